#include "sip/proxy/response_context.h"

#include <algorithm>

#include <syslog.h>

#include "core/log.h"
#include "sip/core/response.h"
#include "sip/proxy/proxy.h"
#include "sip/proxy/request_checks.h"
#include "sip/proxy/request_context.h"

using sipcore::Message;

namespace sipproxy {

int response_rank(int code)
{
    if (code >= 600)
        return 10000;
    int rank = (7 - code / 100) * 1000;
    if (code == 401 || code == 407 || code == 415 || code == 420 || code == 484)
        rank += 500;
    if (code == 503)
        rank -= 500;
    return rank;
}

ResponseContext::~ResponseContext()
{
    for (auto& b : branches)
        if (b.timer_c)
            owner.proxy.stack().cancelTimer(b.timer_c);
}

void ResponseContext::addTarget(const sipcore::NameAddr& target, bool high_priority)
{
    addTarget(std::make_unique<Target>(target), high_priority);
}

void ResponseContext::addTarget(std::unique_ptr<Target> target, bool high_priority)
{
    queue_t q;
    q.push_back(std::move(target));
    addTargetBatch(std::move(q), high_priority);
}

void ResponseContext::addTargetBatch(std::vector<std::unique_ptr<Target>> batch, bool high_priority)
{
    if (batch.empty())
        return;
    if (high_priority)
        queues.push_front(std::move(batch));
    else
        queues.push_back(std::move(batch));
}

bool ResponseContext::hasActiveBranches() const
{
    for (const auto& b : branches)
        if (!b.done)
            return true;
    return false;
}

ResponseContext::branch_t* ResponseContext::branchOf(int tid)
{
    for (auto& b : branches)
        if (b.tid == tid)
            return &b;
    return nullptr;
}

int ResponseContext::beginClientTransactions()
{
    if (owner.cancelled || owner.final_sent || forwarded_2xx || got_6xx || queues.empty())
        return 0;
    queue_t q = std::move(queues.front());
    queues.pop_front();
    std::stable_sort(q.begin(), q.end(), Target::priorityMetricCompare);
    int n = 0;
    for (auto& t : q)
        if (startBranch(std::move(t)) > 0)
            ++n;
    return n;
}

int ResponseContext::startBranch(std::unique_ptr<Target> target)
{
    Proxy& proxy = owner.proxy;
    const proxy_config_t& cfg = proxy.config();
    started = true;
    Message fwd = owner.getCurrentRequest().clone();
    fwd.setRequestUri(target->uri());
    int mf = max_forwards_of(owner.getCurrentRequest(), cfg.max_forwards_default);
    fwd.setHeader("Max-Forwards", std::to_string(mf > 0 ? mf - 1 : 0));
    std::string method = fwd.method();
    bool record_route = fwd.toTag().empty() && (method == "INVITE" || method == "SUBSCRIBE" || method == "REFER");
    for (size_t i = target->path.size(); i-- > 0;)
        fwd.addHeaderFirst("Route", target->path[i]);

    branch_t b;
    b.invite = method == "INVITE";
    auto routes = fwd.nameAddrs("Route");
    sipcore::Uri hop = routes.empty() ? fwd.requestUri() : routes[0].uri();
    std::string host = hop.param("maddr").empty() ? hop.host() : hop.param("maddr");
    sipcore::TransportType type = hop.transport();
    const Proxy::transport_t* t = proxy.transportFor(type, host);
    if (!hop || !t) {
        LOG(LOGF_GENERAL, LOG_INFO, "proxy: no transport towards %s", target->uri().toString().c_str());
        b.done = true;
        b.target = std::move(target);
        branches.push_back(std::move(b));
        keepBest(sipcore::make_response(owner.original, 503));
        return 0;
    }
    if (record_route) {
        // Each side reaches us on its own transport's address: when the two
        // differ, both go in, the leaving side's on top.
        const std::string& in = proxy.recordRouteFor(owner.source.transport_id);
        const std::string& out = proxy.recordRouteFor(t->id);
        if (!in.empty() && in != out)
            fwd.addHeaderFirst("Record-Route", "<" + in + ">");
        if (!out.empty())
            fwd.addHeaderFirst("Record-Route", "<" + out + ">");
    }
    if (owner.loop_key.empty())
        owner.loop_key = loop_hash(owner.original, owner.original.header("Via"));
    std::string branch = "z9hG4bK" + owner.loop_key + "." + std::to_string(++owner.branch_count);
    b.via = std::string("SIP/2.0/") + sipcore::transport_name(type) + " " + t->sent_by + ";branch=" + branch +
            ";rport";
    fwd.pushVia(b.via);
    if (b.invite) {  // what a CANCEL of this branch needs
        b.ruri = target->uri().toString();
        b.from = fwd.header("From");
        b.to = fwd.header("To");
        b.call_id = fwd.callId();
        b.cseq = fwd.cseq();
        b.routes = fwd.headers("Route");
    }
    b.target = std::move(target);
    if (AccountingCollector* c = proxy.getAccountingCollector())
        c->doSessionAccounting(fwd, false, owner);

    proxy.inline_failure = 0;
    int tid = proxy.stack().sendRequest(std::move(fwd));
    if (tid <= 0 || proxy.inline_failure == tid) {
        b.done = true;
        branches.push_back(std::move(b));
        keepBest(sipcore::make_response(owner.original, 503));
        return 0;
    }
    b.tid = tid;
    proxy.branches[tid] = &owner;
    if (b.invite && cfg.timer_c_ms > 0)
        b.timer_c = proxy.stack().startTimer(cfg.timer_c_ms, [p = &proxy, tid] { p->onTimerC(tid); });
    branches.push_back(std::move(b));
    return tid;
}

void ResponseContext::onResponse(int tid, Message response)
{
    branch_t* b = branchOf(tid);
    if (!b)
        return;
    int code = response.statusCode();
    response.popVia();
    if (response.viaCount() == 0) {
        // Built from our CANCEL's single Via: it is still the answer of this
        // branch, and the caller's Vias are known here.
        for (const auto& v : owner.original.headers("Via"))
            response.addHeader("Via", v);
    }
    owner.response = &response;
    processor_action_t a = owner.proxy.response_chain.process(owner, 0, nullptr);
    owner.response = nullptr;
    b = branchOf(tid);  // processors may have added branches
    if (a == processor_action_t::SkipAllChains) {
        if (code >= 200 && !b->done) {
            branchDone(*b);
            advance();
        }
        return;
    }
    if (code < 200) {
        if (code == 100)
            return;
        b->provisional = true;
        if (b->cancel_pending)
            sendCancel(*b);
        if (b->done)
            return;
        if (b->timer_c) {
            // Timer C starts again with every provisional response.
            Proxy* p = &owner.proxy;
            p->stack().cancelTimer(b->timer_c);
            b->timer_c = p->stack().startTimer(p->config().timer_c_ms, [p, tid] { p->onTimerC(tid); });
        }
        if (!owner.final_sent)
            owner.sendResponse(std::move(response));
        return;
    }
    bool was_done = b->done;
    branchDone(*b);
    if (code < 300) {
        forwarded_2xx = true;
        queues.clear();
        cancelBranches();
        owner.sendResponse(std::move(response));
    } else if (!was_done) {
        if (code >= 600) {
            got_6xx = true;
            queues.clear();
            cancelBranches();
        }
        keepBest(std::move(response));
    }
    advance();
}

void ResponseContext::onFailure(int tid, int code)
{
    branch_t* b = branchOf(tid);
    if (!b || b->done)
        return;
    branchDone(*b);
    keepBest(sipcore::make_response(owner.original, code));
    advance();
}

void ResponseContext::onTimerC(int tid)
{
    branch_t* b = branchOf(tid);
    if (!b)
        return;
    b->timer_c = 0;
    if (b->done)
        return;
    if (b->provisional) {
        sendCancel(*b);  // its 487 ends the branch
        return;
    }
    // Nothing but 100 so far: as if it had answered 408; cancelled should
    // it still ring.
    b->cancel_pending = true;
    onFailure(tid, 408);
}

void ResponseContext::cancelBranches()
{
    for (auto& b : branches) {
        if (b.done || !b.invite)
            continue;
        if (b.provisional)
            sendCancel(b);
        else
            b.cancel_pending = true;
    }
}

void ResponseContext::sendCancel(branch_t& b)
{
    if (b.cancel_sent || !b.invite)
        return;
    b.cancel_sent = true;
    Message c = Message::request("CANCEL", sipcore::Uri::parse(b.ruri));
    c.addHeader("Via", b.via);
    c.addHeader("From", b.from);
    c.addHeader("To", b.to);
    c.addHeader("Call-ID", b.call_id);
    c.addHeader("CSeq", std::to_string(b.cseq) + " CANCEL");
    c.addHeader("Max-Forwards", "70");
    for (const auto& r : b.routes)
        c.addHeader("Route", r);
    if (owner.proxy.stack().sendRequest(std::move(c)) <= 0)
        LOG(LOGF_GENERAL, LOG_INFO, "proxy: CANCEL towards %s not sent", b.ruri.c_str());
}

void ResponseContext::branchDone(branch_t& b)
{
    b.done = true;
    if (b.timer_c) {
        owner.proxy.stack().cancelTimer(b.timer_c);
        b.timer_c = 0;
    }
}

void ResponseContext::advance(size_t target_from)
{
    while (!hasActiveBranches()) {
        if (forwarded_2xx || got_6xx || owner.cancelled || owner.final_sent || owner.waiting || queues.empty()) {
            if (!forwarded_2xx && !owner.waiting)
                sendBest();
            return;
        }
        if (!owner.proxy.runTargetChain(owner, target_from)) {
            if (!owner.waiting && !hasActiveBranches())
                sendBest();
            return;
        }
        target_from = 0;
        if (!hasActiveBranches())
            beginClientTransactions();
    }
}

void ResponseContext::keepBest(Message response)
{
    if (!best || response_rank(response.statusCode()) > response_rank(best.statusCode()))
        best = std::move(response);
}

void ResponseContext::sendBest()
{
    if (owner.final_sent)
        return;
    if (!best) {
        if (owner.cancelled)
            owner.respond(487);
        else
            owner.respond(started ? 408 : 480);
        return;
    }
    if (best.statusCode() == 503)
        best.setStatus(500);  // a 503 would make upstream stop using us
    owner.sendResponse(std::move(best));
    best = Message();
}

bool ResponseContext::complete() const { return !hasActiveBranches(); }

}  // namespace sipproxy
