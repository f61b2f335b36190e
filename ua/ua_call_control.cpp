// Calls the channels place and change: the outgoing INVITE, re-INVITEs for
// hold, resume and T.38, and the transferee's INVITE of a received REFER.
#include <strings.h>

#include "core/channel_table.h"
#include "core/global_flags.h"
#include "core/log.h"
#include "ua/call_data.h"
#include "ua/sdp_offer.h"
#include "ua/ua_context.h"
#include "ua/ua_events.h"
#include "ua/user_agent.h"

using sipcore::Message;
using sipcore::NameAddr;
using sipcore::Uri;

namespace {

bool is_held_mode(const char* mode)
{
    return mode && (strcasecmp(mode, "inactive") == 0 || strcasecmp(mode, "recvonly") == 0);
}

void add_transport_param(Message& request, int transport)
{
    if (transport != 1 && transport != 2)
        return;
    Uri uri = request.requestUri();
    uri.setParam("transport", transport == 1 ? "tcp" : "tls");
    request.setRequestUri(uri);
}

void add_session_expires(Message& request, const ua_sip_account_t& account)
{
    if (account.se > 0)
        request.addHeader("Session-Expires", std::to_string(account.se));
}

}  // namespace

bool ua_channel_account(int ts, ua_sip_account_t* account, std::string* type_name)
{
    if (ts < 0 || ts >= CHANNEL_TABLE_SIZE || !channel_table[ts])
        return false;
    if (!ua_read_sip_account(channel_table[ts], account))
        return false;
    const char* type = channel_table[ts]->getTypeName();
    *type_name = type ? type : "";
    return true;
}

int ua_dial_out(int transport, const std::string& to, const std::string& from, const std::string& route,
                int channel, const std::string& codecs, const char* mode)
{
    LOG(LOGF_GENERAL, 6, "--> ua_dial_out() %s -> %s (%s)...", from.c_str(), to.c_str(), route.c_str());
    UaLock lock;
    if (!lock.ctx || to.empty())
        return -1;
    sipagent::Agent& ctx = *lock.ctx;
    sdp_session_t session;
    auto offer = sdp_build_offer(ua_sdp_local(), channel, mode, codecs, "", "", sdp_random_urandom, &session);
    if (!offer)
        return -1;
    ua_sip_account_t account;
    std::string type_name;
    bool sip_channel = ua_channel_account(channel, &account, &type_name);
    const std::string& identity = sip_channel ? account.local_identity : from;
    unsigned presentation = globalFlags.load() & 0xE0;

    Message invite;
    int r = ctx.callBuildInitialInvite(&invite, to, presentation == 0 ? from : identity);
    if (r < 0) {
        LOG(LOGF_GENERAL, 3, "eXosip_call_build_initial_invite(): error %d", r);
        return r;
    }
    if (presentation == 0x20)
        invite.addHeader("Remote-Party-ID", from + ";screen=yes;party=calling");
    else if (presentation == 0x40)
        invite.addHeader("P-Asserted-Identity", from);
    if (sip_channel) {
        invite.addHeader("X-Endpoint-Type", type_name);
        add_session_expires(invite, account);
    }
    ua_fix_contact(invite, false);
    if (!route.empty())
        invite.addHeader("Route", route);
    add_transport_param(invite, transport);
    invite.setBody("application/sdp", *offer);
    ua_add_capabilities(invite);
    int cid = ctx.callSendInitialInvite(std::move(invite));
    if (cid <= 0) {
        LOG(LOGF_GENERAL, 3, "eXosip_call_send_initial_invite(): error %d", cid);
        return cid < 0 ? cid : -1;
    }
    CallData* call = ua_call_data_create(cid, channel);
    call->on_hold = is_held_mode(mode);
    call->codec_list = codecs;
    call->endpoint_type = sip_channel ? type_name : "";
    call->identity = from;
    call->session = session;
    ctx.callSetReference(cid, call);
    return cid;
}

int ua_reinvite(int call_id, const char* mode)
{
    UaOutbox out;
    UaLock lock;
    CallData* call = lock.ctx ? ua_call_data(call_id) : nullptr;
    if (!call) {
        lock.release();
        LOG(LOGF_GENERAL, 3, "ua_reinvite(%d): call reference is NULL", call_id);
        return -1;
    }
    sipagent::Agent& ctx = *lock.ctx;
    if (mode && strcasecmp(mode, "t38") != 0) {
        bool held = is_held_mode(mode);
        if (!call->is_t38 && call->on_hold == held) {
            // already so: the channel goes on as if the remote side had agreed
            auto* a = new answer_event_t;
            a->data = call_id;
            out.post(call, a);
            return 0;
        }
        call->on_hold = held;
    }
    auto offer = sdp_build_offer(ua_sdp_local(), call->ts, mode, call->codec_list, call->srtp_suite, call->srtp_key,
                                 sdp_random_urandom, &call->session);
    if (!offer)
        return -1;
    Message request;
    int r = ctx.callBuildRequest(call->did, "INVITE", &request);
    if (r < 0) {
        LOG(LOGF_GENERAL, 3, "eXosip_call_build_request(): error %d", r);
        return r;
    }
    ua_fix_contact(request, false);
    request.setBody("application/sdp", *offer);
    ua_add_capabilities(request);
    ua_sip_account_t account;
    std::string type_name;
    if (ua_channel_account(call->ts, &account, &type_name)) {
        request.addHeader("X-Endpoint-Type", call->endpoint_type);
        add_session_expires(request, account);
    }
    r = ctx.callSendRequest(call->did, std::move(request));
    if (r < 0)
        LOG(LOGF_GENERAL, 3, "eXosip_call_send_request(): error %d", r);
    return r;
}

int ua_refer_to(int, int call_id, int channel, const std::string& from, const std::string& refer_to,
                const std::string& codecs, int did, const std::string& referred_by)
{
    UaLock lock;
    if (!lock.ctx)
        return -1;
    sipagent::Agent& ctx = *lock.ctx;
    CallData* call = ua_call_data(call_id);
    Message invite;
    bool ok = true;
    if (!call) {
        LOG(LOGF_GENERAL, 3, "ua_refer_to(): no call data for cid %d", call_id);
        ok = false;
    } else if (call->did != did) {
        LOG(LOGF_GENERAL, 3, "ua_refer_to(): Call Data did(%d) != caller did(%d)", call->did, did);
        ok = false;
    }
    if (ok) {
        int r = ctx.callBuildInitialInvite(&invite, refer_to, from);
        if (r < 0) {
            LOG(LOGF_GENERAL, 3, "eXosip_call_build_initial_invite(): error %d", r);
            ok = false;
        }
    }
    if (ok) {
        NameAddr from_addr = NameAddr::parse(from);
        if (!from_addr) {
            LOG(LOGF_GENERAL, 3, "osip_from_parse('%s'): error %d", from.c_str(), -1);
            ok = false;
        } else {
            ua_fix_contact(invite, from_addr.uri().hasParam("isfocus"));
        }
    }
    if (ok) {
        auto offer = sdp_build_offer(ua_sdp_local(), channel, call->on_hold ? "inactive" : nullptr, codecs, "", "",
                                     sdp_random_urandom, nullptr);
        if (!offer) {
            ok = false;
        } else {
            invite.setBody("application/sdp", *offer);
            ua_add_capabilities(invite);
        }
    }
    if (ok) {
        ua_sip_account_t account;
        std::string type_name;
        if (ua_channel_account(channel, &account, &type_name)) {
            call->endpoint_type = type_name;
            invite.addHeader("X-Endpoint-Type", type_name);
            add_session_expires(invite, account);
        }
        if (!referred_by.empty())
            invite.addHeader("Referred-By", referred_by);
    }
    int r = ua_send_refer_notify(ctx, did,
                                 ok ? sipagent::SubscriptionState::Active : sipagent::SubscriptionState::Terminated,
                                 ok ? "SIP/2.0 100 Trying\r\n" : "SIP/2.0 500 Internal error\r\n");
    if (r < 0 || !ok)
        return -1;
    // sent once the transferor has answered the NOTIFY
    call->pending_invite = std::move(invite);
    call->pending_channel = channel;
    return 0;
}
