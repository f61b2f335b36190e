// The user agent's thread: creates the layer on 127.0.0.1:6060, reads its
// events, answers on its own what needs no channel, and hands the rest to the
// handlers of incoming calls, in-call requests and call ends.
#include <atomic>
#include <pthread.h>
#include <strings.h>

#include "core/channel_event.h"
#include "core/event_queue.h"
#include "core/log.h"
#include "ua/call_data.h"
#include "ua/ua_context.h"
#include "ua/user_agent.h"

using sipagent::Agent;
using sipagent::event_t;
using sipagent::EventType;
using sipcore::Message;

std::mutex ua_context_mutex;
sipagent::Agent* ua_context = nullptr;
std::function<int64_t()> ua_layer_clock;
bool ua_tcp_listener = false;
int ua_registration_ids[256] = {};

namespace {

std::atomic<bool> ready{false};
std::atomic<bool> running{true};
pthread_t thread;
bool thread_started = false;  // main thread only

void complete_set_ts(int call_id, int channel)
{
    ua_call_set_ts(call_id, channel);
}

void complete_response_status(int call_id, int status, const std::string& contact)
{
    ua_response_status(call_id, status, 0, false, contact, "");
}

const call_completion_t completion = {complete_set_ts, complete_response_status};

bool is_call_response(EventType t)
{
    int n = int(t);
    return (n >= int(EventType::CallProceeding) && n <= int(EventType::CallGlobalFailure)) ||
           (n >= int(EventType::CallMessageProceeding) && n <= int(EventType::CallMessageGlobalFailure));
}

// Events whose request the extension check may refuse. A CANCEL or BYE has
// already been answered by the layer and must still end the call, so they pass.
bool extension_checked(const event_t& ev)
{
    switch (ev.type) {
    case EventType::CallInvite:
    case EventType::CallReinvite:
        return true;
    case EventType::CallMessageNew:
        return ev.request.method() != "BYE";
    default:
        return false;
    }
}

void answer_unsupported(Agent& ctx, const event_t& ev, const std::string& tag)
{
    std::lock_guard<std::mutex> g(ctx.mutex());
    Message answer;
    int r = ctx.callBuildAnswer(ev.tid, 420, &answer);
    if (r != 0) {
        LOG(LOGF_GENERAL, 3, "eXosip_call_build_answer() error: %d", r);
        return;
    }
    ua_fix_contact(answer, false);
    answer.addHeader("Unsupported", tag);
    ua_add_capabilities(answer);
    r = ctx.callSendAnswer(ev.tid, 420, std::move(answer));
    if (r != 0)
        LOG(LOGF_GENERAL, 3, "eXosip_call_send_answer() error: %d", r);
}

// Out-of-dialog answers with a prepared message: 420 with Unsupported, and
// the 405 or 420 of SUBSCRIBE and REFER.
void send_message_answer(Agent& ctx, int tid, int status, const std::string& unsupported, bool subscription)
{
    Message answer;
    int r = subscription ? ctx.insubscriptionBuildAnswer(tid, status, &answer)
                         : ctx.messageBuildAnswer(tid, status, &answer);
    if (r != 0) {
        LOG(LOGF_GENERAL, 3, "%s() error: %d",
            subscription ? "eXosip_insubscription_build_answer" : "eXosip_message_build_answer", r);
        return;
    }
    ua_fix_contact(answer, false);
    ua_add_capabilities(answer);
    if (!unsupported.empty())
        answer.addHeader("Unsupported", unsupported);
    r = subscription ? ctx.insubscriptionSendAnswer(tid, status, std::move(answer))
                     : ctx.messageSendAnswer(tid, status, std::move(answer));
    if (r != 0)
        LOG(LOGF_GENERAL, 3, "%s() error: %d",
            subscription ? "eXosip_insubscription_send_answer" : "eXosip_message_send_answer", r);
}

void send_bare(Agent& ctx, int tid, int status)
{
    int r = ctx.messageSendAnswer(tid, status, {});
    if (r != 0)
        LOG(LOGF_GENERAL, 3, "eXosip_message_send_answer() error: %d", r);
}

void request_outside_call(Agent& ctx, const event_t& ev)
{
    if (!ev.request)
        return;
    std::lock_guard<std::mutex> g(ctx.mutex());
    const Message& req = ev.request;
    std::string tag = ua_unsupported_require(req);
    std::string method = req.method();
    if (!tag.empty()) {
        send_message_answer(ctx, ev.tid, 420, tag, false);
    } else if (req.hasHeader("Replaces")) {
        send_bare(ctx, ev.tid, 400);
    } else if (method == "NOTIFY" || method == "INFO") {
        send_bare(ctx, ev.tid, 200);
    } else if (method == "OPTIONS") {
        Message answer;
        int r = ctx.optionsBuildAnswer(ev.tid, 200, &answer);
        if (r != 0) {
            LOG(LOGF_GENERAL, 3, "eXosip_options_build_answer() error: %d", r);
            return;
        }
        ua_fix_contact(answer, false);
        ua_add_capabilities(answer);
        r = ctx.optionsSendAnswer(ev.tid, 200, std::move(answer));
        if (r != 0)
            LOG(LOGF_GENERAL, 3, "eXosip_options_send_answer() error: %d", r);
    } else {
        LOG(LOGF_GENERAL, 6, "---> %s received", method.c_str());
    }
}

void subscription_new(Agent& ctx, const event_t& ev)
{
    if (!ev.request)
        return;
    std::lock_guard<std::mutex> g(ctx.mutex());
    std::string tag = ua_unsupported_require(ev.request);
    int status = ev.request.hasHeader("Replaces") ? 400 : !tag.empty() ? 420 : 405;
    send_message_answer(ctx, ev.tid, status, status == 420 ? tag : "", true);
}

// The lowest timeslot whose registration the result is about.
void registration_result(Agent& ctx, const event_t& ev, int code)
{
    // a challenge the layer answers, or a Min-Expires it follows: not a result
    if (ev.will_retry)
        return;
    int ts = -1;
    {
        std::lock_guard<std::mutex> g(ctx.mutex());
        for (int i = 0; i < 256 && ts < 0 && ev.rid != 0; ++i)
            if (ua_registration_ids[i] == ev.rid)
                ts = i;
    }
    if (ts >= 0)
        postChannelEvent(new channel_event_t(ts, code, 0));
}

// A response to a call's request while a hang-up waits for it: the hang-up
// goes now and the response goes no further. False: dispatch it.
bool response_first(Agent& ctx, const event_t& ev)
{
    std::lock_guard<std::mutex> g(ctx.mutex());
    CallData* call = ua_call_data(ev.cid);
    if (!call)
        return false;
    if (!call->terminate_later) {
        if (ev.response)
            ua_learn_remote_caps(*call, ev.response, false);
        return false;
    }
    if (!ev.response || ev.response.statusCode() == 0 || ev.response.cseqMethod() != "INVITE")
        return false;
    LOG(LOGF_GENERAL, 6, "'terminated' flag set, calling eXosip_call_terminate(%d)", ev.cid);
    int r = ctx.callTerminate(ev.cid, call->did);
    if (r == 0)
        call->terminate_later = false;
    else if (r != UA_WRONG_STATE)
        LOG(LOGF_GENERAL, 3, "eXosip_call_terminate(%d, %d): error %d", ev.cid, call->did, r);
    return true;
}

void handle_event(Agent& ctx, const event_t& ev)
{
    LOG(LOGF_GENERAL, 7, "---> transport %d: SIP event %d (%s): cid=%d, did=%d, tid=%d, rid=%d, sid=%d, nid=%d", 0,
        int(ev.type), ev.textinfo.c_str(), ev.cid, ev.did, ev.tid, ev.rid, ev.sid, ev.nid);
    if (ev.cid > 0) {
        std::lock_guard<std::mutex> g(ctx.mutex());
        if (CallData* call = ua_call_data(ev.cid)) {
            if (ev.did > 0)
                call->did = ev.did;
            if (ev.request && strcasecmp(ev.request.method().c_str(), "INVITE") == 0)
                call->tid = ev.tid;
        }
    }
    if (extension_checked(ev) && ev.request) {
        std::string tag = ua_unsupported_require(ev.request);
        if (!tag.empty()) {
            answer_unsupported(ctx, ev, tag);
            return;
        }
    }
    if (is_call_response(ev.type) && response_first(ctx, ev))
        return;

    switch (ev.type) {
    case EventType::RegistrationSuccess:
        registration_result(ctx, ev, EV_ENDPOINT_REGISTERED);
        break;
    case EventType::RegistrationFailure:
        registration_result(ctx, ev, EV_REGISTRATION_FAILED);
        break;
    case EventType::CallInvite:
        ua_incoming_invite(ctx, ev);
        break;
    case EventType::CallReinvite:
        ua_incoming_reinvite(ctx, ev);
        break;
    case EventType::CallMessageNew:
        ua_in_call_request(ctx, ev);
        break;
    case EventType::CallProceeding:
    case EventType::CallRinging:
        ua_call_provisional(ctx, ev);
        break;
    case EventType::CallAnswered:
    case EventType::CallAck:
        ua_call_answered(ctx, ev);
        break;
    case EventType::CallRedirected:
        ua_call_redirected(ctx, ev);
        break;
    case EventType::CallNoAnswer:
    case EventType::CallRequestFailure:
    case EventType::CallServerFailure:
    case EventType::CallGlobalFailure:
        ua_call_failed(ctx, ev);
        break;
    case EventType::CallCancelled:
    case EventType::CallClosed:
        ua_call_ended(ctx, ev);
        break;
    case EventType::CallMessageProceeding:
    case EventType::CallMessageAnswered:
    case EventType::CallMessageRedirected:
    case EventType::CallMessageRequestFailure:
    case EventType::CallMessageServerFailure:
    case EventType::CallMessageGlobalFailure:
        ua_call_message_answered(ctx, ev);
        break;
    case EventType::CallReleased: {
        std::lock_guard<std::mutex> g(ctx.mutex());
        ctx.callSetReference(ev.cid, nullptr);
        ua_call_data_release(ev.cid);
        break;
    }
    case EventType::MessageNew:
        request_outside_call(ctx, ev);
        break;
    case EventType::InSubscriptionNew:
        subscription_new(ctx, ev);
        break;
    default:
        break;
    }
}

}  // namespace

void UaOutbox::post(CallData* call, channel_event_t* event)
{
    if (call)
        event->channel = call->ts;
    events.push_back(event);
}

void UaOutbox::flush()
{
    for (channel_event_t* e : events) {
        int r = std_queue_enqueue(event_queue, e);
        if (r != 0) {
            LOG(LOGF_GENERAL, 3, "std_queue_enqueue() failed (result=%d)", r);
            delete e;
        }
    }
    events.clear();
}

void ua_post_event(CallData* call, channel_event_t* event)
{
    UaOutbox out;
    out.post(call, event);
}

void* ua_thread(void*)
{
    sipagent::agent_config_t config;
    config.clock_ms = ua_layer_clock;
    auto ctx = std::make_unique<Agent>(config);
    if (ctx->listen(sipcore::TransportType::UDP, UA_LISTEN_ADDRESS, UA_LISTEN_PORT) != 0) {
        LOG(LOGF_GENERAL, 2, "could not initialize UDP transport layer");
        return nullptr;
    }
    if (ua_tcp_listener && ctx->listen(sipcore::TransportType::TCP, UA_LISTEN_ADDRESS, UA_LISTEN_PORT) != 0) {
        LOG(LOGF_GENERAL, 2, "could not initialize TCP transport layer");
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> g(ctx->mutex());
        ctx->clearAuthenticationInfo();
    }
    {
        std::lock_guard<std::mutex> g(ua_context_mutex);
        ua_context = ctx.get();
    }
    call_completion_register(&completion);
    postChannelEvent(new channel_event_t(-1, EV_SIP_TRANSPORT_READY, 0));
    ready = true;

    while (running) {
        std::unique_ptr<event_t> ev = ctx->eventWait(100);
        {
            std::lock_guard<std::mutex> g(ctx->mutex());
            ctx->automaticAction();
        }
        if (ev)
            handle_event(*ctx, *ev);
    }

    {
        // Once this is done no API call can reach the layer any more.
        std::lock_guard<std::mutex> g(ua_context_mutex);
        ua_context = nullptr;
    }
    ctx->quit();
    {
        std::lock_guard<std::mutex> g(ctx->mutex());
        ua_call_data_release_all();
    }
    ctx.reset();
    return nullptr;
}

bool ua_is_ready()
{
    return ready;
}

void ua_stop()
{
    running = false;
}

bool ua_is_initialized()
{
    std::lock_guard<std::mutex> g(ua_context_mutex);
    return ua_context != nullptr;
}

int ua_start()
{
    if (thread_started)
        return -1;
    running = true;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1024 * 1024);
    int r = pthread_create(&thread, &attr, ua_thread, nullptr);
    pthread_attr_destroy(&attr);
    if (r != 0) {
        LOG(LOGF_GENERAL, 2, "pthread_create() failed (result=%d)", r);
        return -1;
    }
    thread_started = true;
    return 0;
}

void ua_join()
{
    if (!thread_started)
        return;
    pthread_join(thread, nullptr);
    thread_started = false;
    ready = false;
}

std::string ua_guess_local_ip(int family)
{
    // The layer answers this without its context: the poller may ask before
    // the thread has created it.
    return sipagent::Agent::guessLocalIp(family);
}
