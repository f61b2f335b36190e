#include "sip/agent/event.h"

#include <chrono>

namespace sipagent {

const char* event_type_name(EventType t)
{
    switch (t) {
    case EventType::RegistrationSuccess: return "registration success";
    case EventType::RegistrationFailure: return "registration failure";
    case EventType::CallInvite: return "new call";
    case EventType::CallReinvite: return "call modified";
    case EventType::CallNoAnswer: return "no answer";
    case EventType::CallProceeding: return "proceeding";
    case EventType::CallRinging: return "ringing";
    case EventType::CallAnswered: return "answered";
    case EventType::CallRedirected: return "redirected";
    case EventType::CallRequestFailure: return "request failure";
    case EventType::CallServerFailure: return "server failure";
    case EventType::CallGlobalFailure: return "global failure";
    case EventType::CallAck: return "ACK received";
    case EventType::CallCancelled: return "cancelled";
    case EventType::CallMessageNew: return "new request in call";
    case EventType::CallMessageProceeding: return "request in call proceeding";
    case EventType::CallMessageAnswered: return "request in call answered";
    case EventType::CallMessageRedirected: return "request in call redirected";
    case EventType::CallMessageRequestFailure: return "request in call failed";
    case EventType::CallMessageServerFailure: return "request in call server failure";
    case EventType::CallMessageGlobalFailure: return "request in call global failure";
    case EventType::CallClosed: return "call closed";
    case EventType::CallReleased: return "call released";
    case EventType::MessageNew: return "new request";
    case EventType::MessageProceeding: return "request proceeding";
    case EventType::MessageAnswered: return "request answered";
    case EventType::MessageRedirected: return "request redirected";
    case EventType::MessageRequestFailure: return "request failed";
    case EventType::MessageServerFailure: return "request server failure";
    case EventType::MessageGlobalFailure: return "request global failure";
    case EventType::InSubscriptionNew: return "new subscription";
    }
    return "unknown";
}

void EventQueue::push(std::unique_ptr<event_t> ev)
{
    std::lock_guard<std::mutex> g(m);
    q.push_back(std::move(ev));
    cv.notify_one();
}

std::unique_ptr<event_t> EventQueue::wait(int timeout_ms)
{
    std::unique_lock<std::mutex> l(m);
    if (!cv.wait_for(l, std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0), [this] { return !q.empty(); }))
        return nullptr;
    auto ev = std::move(q.front());
    q.pop_front();
    if (ev->cid) {
        auto it = refs.find(ev->cid);
        ev->reference = it == refs.end() ? nullptr : it->second;
        // Release is the call's last event: the reference goes with it.
        if (ev->type == EventType::CallReleased && it != refs.end())
            refs.erase(it);
    }
    return ev;
}

size_t EventQueue::size()
{
    std::lock_guard<std::mutex> g(m);
    return q.size();
}

void EventQueue::setReference(int cid, void* ref)
{
    std::lock_guard<std::mutex> g(m);
    refs[cid] = ref;
}

void* EventQueue::reference(int cid)
{
    std::lock_guard<std::mutex> g(m);
    auto it = refs.find(cid);
    return it == refs.end() ? nullptr : it->second;
}

void EventQueue::forget(int cid)
{
    std::lock_guard<std::mutex> g(m);
    refs.erase(cid);
}

}  // namespace sipagent
