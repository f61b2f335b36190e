// Answers to a call's INVITE (and to its other requests): headers, the SDP
// answer, the redirect Contact and reliable provisional responses.
#include <cstdint>
#include <netinet/in.h>

#include <osipparser2/osip_message.h>
#include <osipparser2/sdp_message.h>

#include "core/global_flags.h"
#include "core/if_inet6.h"
#include "core/log.h"
#include "core/scheduler.h"
#include "ua/call_data.h"
#include "ua/sdp_answer.h"
#include "ua/sdp_message_ptr.h"
#include "ua/sdp_offer.h"
#include "ua/ua_context.h"
#include "ua/user_agent.h"

using sipcore::Message;

sdp_local_t ua_sdp_local()
{
    sdp_local_t local;
    local.ipv4 = ua_guess_local_ip(AF_INET);
    local.global_ipv6 = has_global_ipv6(nullptr);
    return local;
}

namespace {

// Puts the SDP answer (or, without a remote offer, an offer) into msg. False
// when there is none to give.
bool add_sdp(sipagent::Agent& ctx, CallData& call, Message& msg, UaOutbox& out)
{
    std::string remote = ctx.remoteSdp(call.did);
    sdp_local_t local = ua_sdp_local();
    if (remote.empty()) {
        LOG(LOGF_GENERAL, 6, "no remote SDP body found for call! Sending SDP offer.");
        auto offer = sdp_build_offer(local, call.ts, call.on_hold ? "inactive" : nullptr, call.codec_list, "", "",
                                     sdp_random_urandom, &call.session);
        if (!offer)
            return false;
        msg.setBody("application/sdp", *offer);
        return true;
    }
    sdp_message_ptr offer = sdp_parse(remote.c_str());
    if (!offer)
        return false;
    std::string body;
    std::unique_ptr<rtp_event_t> media;
    if (!sdp_complete_200ok(call, offer.get(), local, sdp_random_urandom, body, media))
        return false;
    msg.setBody("application/sdp", body);
    if (media)
        out.post(&call, media.release());
    return true;
}

void replace_contact(Message& msg, const std::string& contact)
{
    msg.removeHeader("Contact");
    osip_contact_t* c = nullptr;
    if (osip_contact_init(&c) != 0)
        return;
    if (osip_contact_parse(c, contact.c_str()) != 0) {
        osip_contact_free(c);
        return;
    }
    osip_list_add(&msg.raw()->contacts, c, -1);
}

// A provisional answer goes reliably when the caller supports it and either
// requires it or the gateway is not told to avoid it.
void make_reliable(CallData& call, Message& msg, int status)
{
    if (status < 101 || status > 199 || !call.remote_caps.count("100rel"))
        return;
    if (!call.remote_require.count("100rel") && (globalFlags.load() & 0x10))
        return;
    msg.addHeader("Require", "100rel");
    msg.addHeader("RSeq", std::to_string(call.rseq++));
    if (call.rel_timer)
        sched_cancel_timer(main_scheduler, call.rel_timer);
    call.rel_timer = 0;
    call.reliable_response = msg.clone();
    if (!call.reliable_response) {
        LOG(LOGF_GENERAL, 3, "osip_message_clone() failed");
        return;
    }
    call.rel_interval = 500;
    // The timer holds the call id, not the record: the call may be released
    // before it fires.
    sched_add_timer(main_scheduler, "100rel", 500, ua_100rel_timer,
                    reinterpret_cast<void*>(static_cast<intptr_t>(call.call_id)), &call.rel_timer);
}

}  // namespace

int ua_response_status(int call_id, int status, int transaction, bool with_sdp, const std::string& contact,
                       const std::string& reason)
{
    UaOutbox out;
    UaLock lock;
    CallData* call = lock.ctx ? ua_call_data(call_id) : nullptr;
    if (!call) {
        lock.release();
        LOG(LOGF_GENERAL, 3, "ua_response_status(%d, %d) error %d", call_id, status, -1);
        return -1;
    }
    sipagent::Agent& ctx = *lock.ctx;
    int tid = transaction > 0 ? transaction : call->tid;
    Message msg;
    int r = ctx.callBuildAnswer(tid, status, &msg);
    if (r != 0) {
        LOG(LOGF_GENERAL, 3, "eXosip_call_build_answer(%d, %d) error %d", call->did, status, r);
        msg = {};
    }
    bool refused_media = false;
    if (msg) {
        ua_add_capabilities(msg);
        if (with_sdp && !add_sdp(ctx, *call, msg, out)) {
            msg = {};
            auto* d = new disconnect_event_t(-1, call_id);
            d->sip_status = 488;
            d->reason = "Incompatible media parameters";
            out.post(call, d);
            status = 488;
            refused_media = true;
        }
    }
    if (!contact.empty() && !refused_media)
        call->redirect_contact = contact;
    if (msg) {
        if (!call->redirect_contact.empty())
            replace_contact(msg, call->redirect_contact);
        if (status != 301 && status != 302)
            ua_fix_contact(msg, false);
        if (!call->endpoint_type.empty())
            msg.addHeader("X-Endpoint-Type", call->endpoint_type);
        if (!call->identity.empty())
            msg.addHeader("P-Asserted-Identity", call->identity);
        if (!reason.empty())
            msg.addHeader("Reason", reason);
        make_reliable(*call, msg, status);
    }
    r = ctx.callSendAnswer(tid, status, std::move(msg));
    lock.release();
    if (r < 0)
        LOG(LOGF_GENERAL, 3, "ua_response_status(%d, %d) error %d", call_id, status, r);
    return r;
}

int ua_answer(int call_id)
{
    return ua_response_status(call_id, 200, 0, true, "", "");
}

int ua_ringing(int call_id, bool with_sdp)
{
    return ua_response_status(call_id, 180, 0, with_sdp, "", "");
}

int ua_session_progress(int call_id)
{
    return ua_response_status(call_id, 183, 0, true, "", "");
}

int ua_busy(int call_id)
{
    return ua_response_status(call_id, 486, 0, false, "", "");
}

int ua_request_timeout(int call_id)
{
    return ua_response_status(call_id, 408, 0, false, "", "");
}

int ua_service_unavailable(int call_id)
{
    return ua_response_status(call_id, 503, 0, false, "", "");
}

bool ua_checkSupportedCodec(int call_id, const std::string& codecs)
{
    UaLock lock;
    CallData* call = lock.ctx ? ua_call_data(call_id) : nullptr;
    if (!call)
        return false;
    std::string remote = lock.ctx->remoteSdp(call->did);
    if (remote.empty())
        return true;
    sdp_message_ptr offer = sdp_parse(remote.c_str());
    if (!offer)
        return false;
    return sdp_check_supported_codec(offer.get(), codecs);
}

void ua_100rel_timer(void* argument)
{
    int call_id = static_cast<int>(reinterpret_cast<intptr_t>(argument));
    UaLock lock;
    CallData* call = lock.ctx ? ua_call_data(call_id) : nullptr;
    if (!call)
        return;  // released meanwhile
    call->rel_timer = 0;
    if (!call->reliable_response)
        return;
    call->rel_interval *= 2;
    if (call->rel_interval > 4000) {
        call->reliable_response = {};
        return;
    }
    Message copy = call->reliable_response.clone();
    if (copy) {
        int status = copy.statusCode();
        lock.ctx->callSendAnswer(call->tid, status, std::move(copy));
    }
    sched_add_timer(main_scheduler, "100rel", call->rel_interval, ua_100rel_timer, argument, &call->rel_timer);
}
