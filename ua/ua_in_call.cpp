// Requests received inside a call: NOTIFY, INFO, OPTIONS, PRACK, UPDATE and
// REFER are answered here; NOTIFY and REFER also reach the call's channel.
#include <osipparser2/osip_parser.h>

#include "core/log.h"
#include "core/scheduler.h"
#include "sip/core/name_addr.h"
#include "ua/call_data.h"
#include "ua/ua_context.h"
#include "ua/ua_events.h"
#include "ua/user_agent.h"

using sipagent::Agent;
using sipagent::event_t;
using sipcore::Message;
using sipcore::NameAddr;
using sipcore::Uri;

namespace {

// NOTIFY body, type and subtype: only a non-empty body with a full type.
void notify_body(const Message& request, call_notify_t& e)
{
    osip_message_t* m = request.raw();
    osip_body_t* body = nullptr;
    if (osip_message_get_body(m, 0, &body) < 0 || !body || !body->body || body->length == 0)
        return;
    osip_content_type_t* type = body->content_type ? body->content_type : m->content_type;
    if (!type || !type->type || !type->subtype)
        return;
    e.body.assign(body->body, body->length);
    e.content_type = type->type;
    e.content_subtype = type->subtype;
}

// Stops the retransmission of the reliable provisional response the PRACK
// acknowledges.
void prack_received(CallData& call, const Message& prack)
{
    std::string expected;
    if (call.reliable_response) {
        std::string rseq = call.reliable_response.header("RSeq");
        unsigned cseq = call.reliable_response.cseq();
        std::string method = call.reliable_response.cseqMethod();
        if (!rseq.empty() && cseq && !method.empty())
            expected = rseq + " " + std::to_string(cseq) + " " + method;
    }
    std::string rack = prack.header("RAck");
    if (rack.empty()) {
        LOG(LOGF_GENERAL, 4, "no valid RAck in PRACK");
    } else if (rack == expected) {
        if (call.rel_timer)
            sched_cancel_timer(main_scheduler, call.rel_timer);
        call.rel_timer = 0;
        call.reliable_response = {};
    } else {
        LOG(LOGF_GENERAL, 4, "unexpected RAck in PRACK (got '%s', expected '%s')", rack.c_str(), expected.c_str());
    }
}

}  // namespace

int ua_send_call_answer(Agent& ctx, int tid, int status, bool colon_style)
{
    Message answer;
    int r = ctx.callBuildAnswer(tid, status, &answer);
    if (r != 0) {
        if (colon_style)
            LOG(LOGF_GENERAL, 3, "eXosip_call_build_answer(): error %d", r);
        else
            LOG(LOGF_GENERAL, 3, "eXosip_call_build_answer() error: %d", r);
        return r;
    }
    ua_fix_contact(answer, false);
    r = ctx.callSendAnswer(tid, status, std::move(answer));
    if (r != 0) {
        if (colon_style)
            LOG(LOGF_GENERAL, 3, "eXosip_call_send_answer(): error %d", r);
        else
            LOG(LOGF_GENERAL, 3, "eXosip_call_send_answer() error: %d", r);
    }
    return r;
}

void ua_in_call_request(Agent& ctx, const event_t& ev)
{
    const Message& req = ev.request;
    if (!req)
        return;
    const std::string method = req.method();
    if (method == "BYE")
        return;  // answered by the layer; the call's end follows
    if (req.hasHeader("Replaces")) {
        ua_response_status(ev.cid, 400, ev.tid, false, "", "");
        return;
    }
    bool answer_status = false;  // answered through ua_response_status, without the lock
    {
        UaOutbox out;
        std::lock_guard<std::mutex> g(ctx.mutex());
        CallData* call = ua_call_data(ev.cid);
        if (method == "NOTIFY") {
            if (call) {
                auto* e = new call_notify_t;
                e->data = ev.cid;
                e->subscription_state = req.header("Subscription-State");
                e->event = req.header("Event");
                notify_body(req, *e);
                out.post(call, e);
            }
            ua_send_call_answer(ctx, ev.tid, 200, false);
        } else if (method == "INFO") {
            ua_send_call_answer(ctx, ev.tid, 200, false);
        } else if (method == "OPTIONS") {
            // Asked of every SIP endpoint, inside a call as much as outside.
            Message answer;
            int r = ctx.callBuildAnswer(ev.tid, 200, &answer);
            if (r == 0) {
                ua_fix_contact(answer, false);
                ua_add_capabilities(answer);
                r = ctx.callSendAnswer(ev.tid, 200, std::move(answer));
            }
            if (r != 0)
                LOG(LOGF_GENERAL, 3, "eXosip_call_send_answer() error: %d", r);
        } else if (method == "PRACK" && call) {
            prack_received(*call, req);
            answer_status = true;
        } else if (method == "UPDATE" && call) {
            answer_status = true;
        } else if (method == "REFER" && call && req.to()) {
            int status = 400;
            std::string refer_to = req.header("Refer-To");
            if (!refer_to.empty()) {
                auto* e = new refer_event_t;
                e->data = ev.cid;
                e->refer_to = refer_to;
                NameAddr target = NameAddr::parse(refer_to);
                if (target) {
                    Uri u = target.uri();
                    if (!u.user().empty()) {
                        e->refer_user = u.user();
                        if (!u.scheme().empty() && !u.host().empty())
                            e->refer_uri = u.scheme() + ":" + u.user() + "@" + u.host();
                    }
                }
                e->did = ev.did;
                e->params = ua_uri_params(req.requestUri());
                e->referred_by = req.header("Referred-By");
                out.post(call, e);
                status = 202;
            }
            ua_send_call_answer(ctx, ev.tid, status, true);
        }
    }
    if (answer_status)
        ua_response_status(ev.cid, 200, ev.tid, false, "", "");
}
