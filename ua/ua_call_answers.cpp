// The remote side's answers to the INVITEs and in-call requests we sent:
// PRACK and ACK as SIP wants them, the media of SDP answers, and the
// channel events that tell the call's channel what happened; the transfer
// INVITE a REFER prepared goes out once the transferor answers our NOTIFY.
#include <strings.h>

#include <osipparser2/sdp_message.h>

#include "core/event_queue.h"
#include "core/log.h"
#include "ua/call_data.h"
#include "ua/sdp_answered_media.h"
#include "ua/sdp_message_ptr.h"
#include "ua/ua_context.h"
#include "ua/ua_events.h"
#include "ua/user_agent.h"

using sipagent::Agent;
using sipagent::event_t;
using sipagent::EventType;
using sipcore::Message;
using sipcore::NameAddr;
using sipcore::Uri;

namespace {

constexpr const char* INCOMPATIBLE_MEDIA = "Incompatible media parameters";

bool has_sdp(const Message& m)
{
    return m && strncasecmp(m.contentType().c_str(), "application/sdp", 15) == 0 && !m.body().empty();
}

// The media of the remote answer to our offer of dialog did. Under the lock.
sdp_answered_t answered_media(Agent& ctx, CallData& call, int did, const std::string& remote, UaOutbox& out)
{
    sdp_message_ptr ours = sdp_parse(ctx.localSdp(did).c_str());
    sdp_message_ptr theirs = sdp_parse(remote.c_str());
    if (!ours || !theirs)
        return SDP_MEDIA_REFUSED;
    std::unique_ptr<rtp_event_t> media;
    sdp_answered_t r = sdp_answered_media(call, ours.get(), theirs.get(), ua_sdp_local(), media);
    if (r == SDP_MEDIA_ACCEPTED && media)
        out.post(&call, media.release());
    return r;
}

// After refused media: the call ends with a 488 of its own. Without the lock.
void hang_up_refused(int call_id, sdp_answered_t result, UaOutbox& out)
{
    const char* text = result == SDP_MEDIA_BAD_CRYPTO ? SDP_BAD_CRYPTO_REASON : INCOMPATIBLE_MEDIA;
    ua_hangup(call_id, std::string("SIP;cause=488;text=\"") + text + "\"");
    auto* d = new disconnect_event_t(-1, call_id);
    d->sip_status = 488;
    d->reason = text;
    UaLock lock;
    out.post(lock.ctx ? ua_call_data(call_id) : nullptr, d);
}

bool requires_100rel(const Message& response)
{
    for (std::string v : response.headers("Require")) {
        v.erase(0, v.find_first_not_of(" \t"));
        v.erase(v.find_last_not_of(" \t") + 1);
        if (strcasecmp(v.c_str(), "100rel") == 0)
            return true;
    }
    return false;
}

// user "@" host of the answer's asserted identity, "" when it has none.
std::string asserted_identity(const Message& response)
{
    NameAddr pai = NameAddr::parse(response.header("P-Asserted-Identity"));
    if (!pai)
        return "";
    Uri u = pai.uri();
    if (!u || u.user().empty() || u.host().empty())
        return "";
    return u.user() + "@" + u.host();
}

void send_pending_invite(Agent& ctx, CallData& call, UaOutbox& out)
{
    int target = call.pending_channel;
    call.pending_channel = -1;
    Message invite = std::move(call.pending_invite);
    call.pending_invite = {};
    int cid = ctx.callSendInitialInvite(std::move(invite));
    if (cid <= 0) {
        LOG(LOGF_GENERAL, 3, "eXosip_call_send_initial_invite(): error %d", cid);
        ua_send_refer_notify(ctx, call.did, sipagent::SubscriptionState::Terminated,
                             "SIP/2.0 500 Internal error\r\n");
        return;
    }
    CallData* added = ua_call_data_create(cid, target);
    added->codec_list = call.codec_list;
    added->endpoint_type = call.endpoint_type;
    added->notify_did = call.did;
    ctx.callSetReference(cid, added);
    auto* e = new cid_replace_t;
    e->data = call.call_id;
    e->new_call_id = cid;
    e->channel = target;
    out.post(nullptr, e);
}

}  // namespace

void ua_transfer_outcome(Agent& ctx, CallData& call, const std::string& body)
{
    if (!call.notify_did)
        return;
    ua_send_refer_notify(ctx, call.notify_did, sipagent::SubscriptionState::Terminated, body);
    call.notify_did = 0;
}

void ua_call_provisional(Agent& ctx, const event_t& ev)
{
    const Message& response = ev.response;
    int status = response ? response.statusCode() : 0;
    if (status <= 100)
        return;
    UaOutbox out;
    std::unique_lock<std::mutex> lock(ctx.mutex());
    if (requires_100rel(response)) {
        Message prack;
        int r = ctx.callBuildPrack(ev.tid, response, &prack);
        if (r < 0) {
            LOG(LOGF_GENERAL, 3, "eXosip_call_build_prack(): error %d", r);
        } else {
            r = ctx.callSendPrack(ev.tid, std::move(prack));
            if (r < 0)
                LOG(LOGF_GENERAL, 3, "eXosip_call_send_prack(): error %d", r);
        }
    }
    LOG(LOGF_GENERAL, 6, "---> ringing with status code %d", status);
    CallData* call = ua_call_data(ev.cid);
    if (!call)
        return;
    if (has_sdp(response)) {
        // early media
        sdp_answered_t media = answered_media(ctx, *call, ev.did, response.body(), out);
        if (media != SDP_MEDIA_ACCEPTED) {
            lock.unlock();
            out.flush();
            hang_up_refused(ev.cid, media, out);
            return;
        }
        // The layer reports every 1xx but 100 as ringing; with early media
        // only a real 180 rings.
        if (status != 180)
            return;
    }
    auto* r = new ringing_event_t;
    r->data = ev.cid;
    r->status = status;
    out.post(call, r);
}

void ua_call_answered(Agent& ctx, const event_t& ev)
{
    UaOutbox out;
    std::unique_lock<std::mutex> lock(ctx.mutex());
    CallData* call = ua_call_data(ev.cid);
    if (ev.type == EventType::CallAck) {
        if (!call)
            return;
        // Our 200 carried the offer when the ACK brings the answer.
        if (has_sdp(ev.ack))
            answered_media(ctx, *call, ev.did, ev.ack.body(), out);
        auto* a = new call_ack_t;
        a->data = ev.cid;
        a->method = ev.request ? ev.request.method() : "";
        a->status = ev.response ? ev.response.statusCode() : 0;
        out.post(call, a);
        return;
    }
    if (!call) {
        // Nobody holds this call: it must not stay up on the other side.
        ctx.callSendAck(ev.tid);
        ctx.callTerminate(ev.cid, ev.did);
        return;
    }
    sdp_answered_t media = has_sdp(ev.response) ? answered_media(ctx, *call, ev.did, ev.response.body(), out)
                                                 : SDP_MEDIA_REFUSED;
    // The ACK goes before any hang-up: a BYE first would leave it unsendable.
    int r = ctx.callSendAck(ev.tid);
    if (r < 0)
        LOG(LOGF_GENERAL, 3, "eXosip_call_send_ack() error: %d", r);
    ua_transfer_outcome(ctx, *call,
                        media == SDP_MEDIA_ACCEPTED ? "SIP/2.0 200 OK\r\n" : "SIP/2.0 503 Service Unavailable\r\n");
    if (media != SDP_MEDIA_ACCEPTED) {
        lock.unlock();
        out.flush();
        hang_up_refused(ev.cid, media, out);
        return;
    }
    auto* a = new answer_event_t;
    a->data = ev.cid;
    std::vector<std::string> contacts = ev.response.headers("Contact");
    a->contact = contacts.empty() ? "" : contacts[0];
    std::vector<NameAddr> addrs = ev.response.nameAddrs("Contact");
    a->is_focus = !addrs.empty() && addrs[0].hasParam("isfocus");
    a->identity = asserted_identity(ev.response);
    out.post(call, a);
}

void ua_call_redirected(Agent& ctx, const event_t& ev)
{
    UaOutbox out;
    {
        std::lock_guard<std::mutex> g(ctx.mutex());
        CallData* call = ua_call_data(ev.cid);
        if (!call || !ev.response)
            return;
        int status = ev.response.statusCode();
        std::vector<NameAddr> contacts = ev.response.nameAddrs("Contact");
        std::string uri = contacts.empty() ? "" : contacts[0].uri().toString();
        if ((status == 302 || status == 380) && !uri.empty()) {
            auto* r = new redirect_event_t;
            r->data = ev.cid;
            r->contact = uri;
            out.post(call, r);
        }
        if (ev.will_retry)
            return;
    }
    // not followed (no usable target, or too many redirects): the call failed
    ua_call_failed(ctx, ev);
}

void ua_call_message_answered(Agent& ctx, const event_t& ev)
{
    UaOutbox out;
    std::lock_guard<std::mutex> g(ctx.mutex());
    CallData* call = ua_call_data(ev.cid);
    if (!call || !ev.request)
        return;
    std::string method = ev.request.method();
    if (ev.type == EventType::CallMessageAnswered) {
        auto* a = new message_answer_t;
        a->data = ev.cid;
        a->method = method;
        out.post(call, a);
    } else if (ev.type != EventType::CallMessageProceeding && !ev.will_retry) {
        auto* f = new message_failed_t;
        f->data = ev.cid;
        f->method = method;
        out.post(call, f);
    }
    if (method == "NOTIFY" && call->pending_invite)
        send_pending_invite(ctx, *call, out);
}
