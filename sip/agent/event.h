// What the user-agent layer reports: one record per happening, queued in
// order and taken by the application without the layer's lock.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "sip/core/message.h"

namespace sipagent {

using sipcore::Message;

// The numbers are part of the interface: logs print them and callers test ranges.
enum class EventType : int {
    RegistrationSuccess = 0,
    RegistrationFailure = 1,
    CallInvite = 2,
    CallReinvite = 3,
    CallNoAnswer = 4,
    CallProceeding = 5,
    CallRinging = 6,
    CallAnswered = 7,
    CallRedirected = 8,
    CallRequestFailure = 9,
    CallServerFailure = 10,
    CallGlobalFailure = 11,
    CallAck = 12,
    CallCancelled = 13,
    CallMessageNew = 14,
    CallMessageProceeding = 15,
    CallMessageAnswered = 16,
    CallMessageRedirected = 17,
    CallMessageRequestFailure = 18,
    CallMessageServerFailure = 19,
    CallMessageGlobalFailure = 20,
    CallClosed = 21,
    CallReleased = 22,
    MessageNew = 23,
    MessageProceeding = 24,
    MessageAnswered = 25,
    MessageRedirected = 26,
    MessageRequestFailure = 27,
    MessageServerFailure = 28,
    MessageGlobalFailure = 29,
    InSubscriptionNew = 38,
};

const char* event_type_name(EventType t);

struct event_t {
    EventType type = EventType::MessageNew;
    std::string textinfo;
    void* reference = nullptr;  // the call's, as it stands when the event is taken
    Message request;
    Message response;
    Message ack;
    int tid = 0;
    int did = 0;
    int cid = 0;
    int rid = 0;
    int sid = 0;
    int nid = 0;
    // On a failure or redirect: the layer is sending the request again itself
    // (credentials, Min-SE, Min-Expires, a redirect target); not final.
    bool will_retry = false;
};

// FIFO of events. push() is called under the layer's lock; wait() without it.
// The call references live here too so that an event gets the reference the
// call holds when it is taken, not when it was queued.
class EventQueue {
public:
    void push(std::unique_ptr<event_t> ev);
    std::unique_ptr<event_t> wait(int timeout_ms);
    size_t size();
    void setReference(int cid, void* ref);
    void* reference(int cid);
    void forget(int cid);

private:
    std::mutex m;  // guards q and refs
    std::condition_variable cv;
    std::deque<std::unique_ptr<event_t>> q;
    std::map<int, void*> refs;
};

}  // namespace sipagent
