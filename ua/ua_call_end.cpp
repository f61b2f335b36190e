// The remote side's ACK, CANCEL and BYE of a call, as channel events.
#include "core/log.h"
#include "ua/call_data.h"
#include "ua/ua_context.h"
#include "ua/ua_events.h"
#include "ua/user_agent.h"

using sipagent::Agent;
using sipagent::event_t;
using sipagent::EventType;

void ua_call_ended(Agent& ctx, const event_t& ev)
{
    UaOutbox out;
    std::lock_guard<std::mutex> g(ctx.mutex());
    CallData* call = ua_call_data(ev.cid);
    if (!call)
        return;
    if (ev.type == EventType::CallAck) {
        auto* a = new call_ack_t;
        a->data = ev.cid;
        a->method = ev.request ? ev.request.method() : "";
        a->status = ev.response ? ev.response.statusCode() : 0;
        out.post(call, a);
        return;
    }
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
}
