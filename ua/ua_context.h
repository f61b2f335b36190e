// The user agent's layer instance and how its users reach it. Internal to ua/.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/channel_event.h"
#include "ua/user_agent.h"
#include "sip/agent/agent.h"
#include "ua/sdp_media_address.h"

struct CallData;

// Guards ua_context's lifetime: everyone but the thread holds it while using
// the context, so the thread cannot take it away in between. Taken before
// the layer's lock, never while holding it.
extern std::mutex ua_context_mutex;
extern sipagent::Agent* ua_context;  // null before the thread creates it and after it ends
// The clock of the layer's own timers (refreshes, retries); set before the
// thread starts, by tests that need those timers faster. Monotonic by default.
extern std::function<int64_t()> ua_layer_clock;
// Set before the thread starts by test programs whose scenarios run over TCP:
// the layer then also listens on TCP at its address and port.
extern bool ua_tcp_listener;

// The context and its lock for a scope; ctx is null when there is no layer.
class UaLock {
public:
    UaLock() : guard(ua_context_mutex)
    {
        ctx = ua_context;
        if (ctx)
            ctx->lock();
    }
    ~UaLock() { release(); }
    UaLock(const UaLock&) = delete;
    UaLock& operator=(const UaLock&) = delete;
    void release()
    {
        if (ctx)
            ctx->unlock();
        ctx = nullptr;
        if (guard.owns_lock())
            guard.unlock();
    }
    sipagent::Agent* ctx = nullptr;

private:
    std::unique_lock<std::mutex> guard;
};

// Events collected under the layer's lock and queued once it is released:
// a refused event is deleted then, and deleting an incoming-call event
// answers the call, which takes the lock again. Declare it before the lock.
class UaOutbox {
public:
    UaOutbox() = default;
    ~UaOutbox() { flush(); }
    UaOutbox(const UaOutbox&) = delete;
    UaOutbox& operator=(const UaOutbox&) = delete;
    // The call's channel goes into the event now, under the lock.
    void post(CallData* call, channel_event_t* event);
    void flush();

private:
    std::vector<channel_event_t*> events;
};

// Builds and sends an answer on an in-call transaction with the Contact
// fixed; logs failures with the given function names. Under the lock.
int ua_send_call_answer(sipagent::Agent& ctx, int tid, int status, bool colon_style);
// Every parameter of a URI with both a name and a value; the last wins.
std::map<std::string, std::string> ua_uri_params(const sipcore::Uri& uri);
// Adds Allow and Supported.
void ua_add_capabilities(sipcore::Message& message);
// Reads Supported, Allow (and Require when asked) into the call's sets.
void ua_learn_remote_caps(CallData& call, const sipcore::Message& message, bool require);

// The addresses our SDP offers and answers use.
sdp_local_t ua_sdp_local();
// A NOTIFY of a REFER's outcome in dialog did ("Event: refer", a sipfrag
// body); 0, or <0 when it could not be built. Under the lock.
int ua_send_refer_notify(sipagent::Agent& ctx, int did, sipagent::SubscriptionState state, const std::string& body);
// Tells the transferor of a call a REFER created how it went, once.
void ua_transfer_outcome(sipagent::Agent& ctx, CallData& call, const std::string& body);
// The account of the SIP channel at a timeslot 0..255 and its type name;
// false for other channels. Main thread, or with channel_table_mutex.
bool ua_channel_account(int ts, ua_sip_account_t* account, std::string* type_name);

// Handlers of the thread; each takes what it needs and is called without locks.
void ua_incoming_invite(sipagent::Agent& ctx, const sipagent::event_t& ev);
void ua_incoming_reinvite(sipagent::Agent& ctx, const sipagent::event_t& ev);
void ua_in_call_request(sipagent::Agent& ctx, const sipagent::event_t& ev);
void ua_call_ended(sipagent::Agent& ctx, const sipagent::event_t& ev);
void ua_call_provisional(sipagent::Agent& ctx, const sipagent::event_t& ev);
void ua_call_answered(sipagent::Agent& ctx, const sipagent::event_t& ev);
void ua_call_redirected(sipagent::Agent& ctx, const sipagent::event_t& ev);
void ua_call_failed(sipagent::Agent& ctx, const sipagent::event_t& ev);
void ua_call_message_answered(sipagent::Agent& ctx, const sipagent::event_t& ev);
