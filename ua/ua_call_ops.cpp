// Small operations on an existing call: hang-up, binding to the channel that
// claimed it, its identity, REFER (blind and attended) and the transfer NOTIFY.
#include "core/channel_table.h"
#include "core/log.h"
#include "ua/call_data.h"
#include "ua/ua_context.h"
#include "ua/user_agent.h"

using sipcore::Message;

int ua_hangup(int call_id, const std::string& reason)
{
    UaOutbox out;
    UaLock lock;
    CallData* call = lock.ctx ? ua_call_data(call_id) : nullptr;
    if (!call)
        return -1;
    int r = lock.ctx->callTerminate(call_id, call->did, reason);
    if (r == UA_WRONG_STATE) {
        call->terminate_later = true;
        r = 0;
    } else if (r < 0) {
        LOG(LOGF_GENERAL, 3, "eXosip_call_terminate(%d, %d) error %d", call_id, call->did, r);
    }
    out.post(call, new disconnect_event_t(-1, call_id));
    return r;
}

void ua_call_set_ts(int call_id, int channel)
{
    if (call_id < 0)
        return;
    UaLock lock;
    CallData* call = lock.ctx ? ua_call_data(call_id) : nullptr;
    if (!call) {
        lock.release();
        LOG(LOGF_GENERAL, 3, "ua_call_set_ts(%d, %d): no call data", call_id, channel);
        return;
    }
    call->ts = channel;
    if (channel >= 0 && channel < CHANNEL_TABLE_SIZE && channel_table[channel]) {
        const char* type = channel_table[channel]->getTypeName();
        call->endpoint_type = type ? type : "";
    }
    LOG(LOGF_GENERAL, 6, "Call %d routed to TS %d", call_id, channel);
}

void ua_call_set_identity(int call_id, const std::string& identity)
{
    UaLock lock;
    CallData* call = lock.ctx ? ua_call_data(call_id) : nullptr;
    if (!call) {
        lock.release();
        LOG(LOGF_GENERAL, 3, "ua_call_set_identity(%d): no call data", call_id);
        return;
    }
    call->identity = identity;
}

int ua_send_refer(int call_id, const std::string& refer_to)
{
    UaLock lock;
    CallData* call = lock.ctx ? ua_call_data(call_id) : nullptr;
    if (!call)
        return -1;
    Message refer;
    int r = lock.ctx->callBuildRefer(call->did, refer_to, &refer);
    if (r < 0) {
        LOG(LOGF_GENERAL, 3, "eXosip_call_build_refer(did=%d, referto=%s) error: %d", call->did, refer_to.c_str(), r);
        return r;
    }
    ua_fix_contact(refer, false);
    if (!call->identity.empty())
        refer.addHeader("Referred-By", call->identity);
    r = lock.ctx->callSendRequest(call->did, std::move(refer));
    if (r < 0)
        LOG(LOGF_GENERAL, 3, "eXosip_call_send_request() error: %d", r);
    return r < 0 ? r : 0;
}

int ua_refer(int call_id, int replaced_call_id, bool early_only)
{
    constexpr size_t REFER_TO_SIZE = 256;  // with its terminating byte
    std::string refer_to;
    {
        UaLock lock;
        CallData* replaced = lock.ctx ? ua_call_data(replaced_call_id) : nullptr;
        if (!replaced) {
            lock.release();
            LOG(LOGF_GENERAL, 3, "ua_refer(%d, %d): no call data", call_id, replaced_call_id);
            return -1;
        }
        int r = lock.ctx->callGetReferTo(replaced->did, &refer_to);
        lock.release();
        if (r < 0) {
            LOG(LOGF_GENERAL, 3, "eXosip_call_get_referto() error: %d", r);
            return r;
        }
    }
    if (refer_to.size() > REFER_TO_SIZE - 1)
        refer_to.resize(REFER_TO_SIZE - 1);
    if (early_only) {
        refer_to += "%3Bearly-only";
        if (refer_to.size() > REFER_TO_SIZE - 1)
            refer_to.resize(REFER_TO_SIZE - 1);
    }
    return ua_send_refer(call_id, refer_to);
}

int ua_send_refer_notify(sipagent::Agent& ctx, int did, sipagent::SubscriptionState state, const std::string& body)
{
    Message notify;
    int r = ctx.callBuildNotify(did, state, &notify);
    if (r < 0) {
        LOG(LOGF_GENERAL, 3, "eXosip_call_build_notify(): error %d", r);
        return r;
    }
    ua_fix_contact(notify, false);
    notify.setHeader("Event", "refer");  // the layer may have set it already
    notify.setBody("message/sipfrag;version=2.0", body);
    r = ctx.callSendRequest(did, std::move(notify));
    if (r < 0)
        LOG(LOGF_GENERAL, 3, "eXosip_call_send_request(): error %d", r);
    return 0;
}

int ua_notify_refer(int dialog_id, const std::string& body)
{
    UaLock lock;
    if (!lock.ctx)
        return -1;
    return ua_send_refer_notify(*lock.ctx, dialog_id, sipagent::SubscriptionState::Terminated, body) < 0 ? -1 : 0;
}
