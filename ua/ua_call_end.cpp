// The end of a call as the channel learns it: failures of our INVITEs and
// re-INVITEs, no answer, the remote side's CANCEL and BYE, and ACKs.
#include "core/log.h"
#include "ua/call_data.h"
#include "ua/ua_context.h"
#include "ua/ua_events.h"
#include "ua/user_agent.h"

using sipagent::Agent;
using sipagent::event_t;
using sipagent::EventType;
using sipcore::Message;

namespace {

std::string status_line(const Message& response)
{
    return "SIP/2.0 " + std::to_string(response.statusCode()) + " " + response.reason() + "\r\n";
}

}  // namespace

void ua_call_failed(Agent& ctx, const event_t& ev)
{
    UaOutbox out;
    std::lock_guard<std::mutex> g(ctx.mutex());
    CallData* call = ua_call_data(ev.cid);
    if (!call)
        return;
    // The layer sends the request again itself (credentials, Min-SE, a
    // redirect target, a crossed re-INVITE): not the end of anything.
    if (ev.will_retry)
        return;
    int status = ev.response ? ev.response.statusCode() : 0;
    bool reinvite = ev.request && !ev.request.fromTag().empty() && !ev.request.toTag().empty();
    if (reinvite && ev.type != EventType::CallNoAnswer) {
        // A refused hold or switch to T.38, or re-INVITEs that kept crossing:
        // the call goes on with the media it has.
        if ((status == 488 && !call->is_t38) || status == 491)
            return;
    }
    auto* d = new disconnect_event_t(-1, ev.cid);
    if (ev.type == EventType::CallNoAnswer || !ev.response) {
        d->sip_status = 408;
        d->reason = "Request timeout";
    } else {
        ua_parse_reason(&ev.response, d);
    }
    out.post(call, d);
    ua_transfer_outcome(ctx, *call,
                        ev.type == EventType::CallNoAnswer || !ev.response ? "SIP/2.0 503 Service Unavailable\r\n"
                                                                            : status_line(ev.response));
    if (reinvite) {
        // The channel is told the call ended: so it must end on the wire too.
        // After 481, 408 or no answer at all the layer ends the dialog itself.
        call->end_reported = true;
        if (status != 481 && status != 408 && ev.response) {
            int r = ctx.callTerminate(ev.cid, call->did);
            if (r < 0)
                LOG(LOGF_GENERAL, 3, "eXosip_call_terminate(%d, %d) error %d", ev.cid, call->did, r);
        }
    }
}

void ua_call_ended(Agent& ctx, const event_t& ev)
{
    UaOutbox out;
    std::lock_guard<std::mutex> g(ctx.mutex());
    CallData* call = ua_call_data(ev.cid);
    if (!call || call->end_reported)
        return;
    auto* d = new disconnect_event_t(-1, ev.cid);
    if (ev.type == EventType::CallCancelled) {
        ua_parse_reason(&ev.request, d);
    } else {
        if (ev.request && ev.request.method() == "BYE")
            ua_parse_reason(&ev.request, d);
        if (ev.tid == 0) {
            // Closed without a BYE: our answer was never acknowledged.
            d->sip_status = 408;
            d->reason = "Request timeout";
        }
    }
    out.post(call, d);
    ua_transfer_outcome(ctx, *call,
                        ev.response ? status_line(ev.response) : "SIP/2.0 503 Service Unavailable\r\n");
}
