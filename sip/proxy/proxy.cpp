#include "sip/proxy/proxy.h"

#include <strings.h>

#include <syslog.h>

#include "core/log.h"
#include "sip/core/response.h"
#include "sip/proxy/request_checks.h"

using sipcore::Message;

namespace sipproxy {

namespace {

// A completed request's answer is kept only T4 for its retransmissions, not
// 64*T1: a later one is forwarded again, and the next hop answers it from
// its own transaction.
sipcore::stack_config_t proxy_stack_config(sipcore::stack_config_t c)
{
    if (c.completed_linger_ms == 0)
        c.completed_linger_ms = c.t4_ms;
    return c;
}

}  // namespace

Proxy::Proxy(proxy_config_t config, sipcore::stack_config_t stack_config)
    : cfg(std::move(config)), sip(std::make_unique<sipcore::Stack>(this, proxy_stack_config(std::move(stack_config))))
{
    for (const auto& d : cfg.domains)
        addDomain(d);
}

Proxy::~Proxy()
{
    sip->stop();
    branches.clear();
    contexts.clear();
}

int Proxy::addTransport(sipcore::TransportType type, const std::string& ip, int port,
                        const sipcore::tls_options_t* tls)
{
    int id = sip->addTransport(type, ip, port, tls);
    if (id <= 0)
        return id;
    transport_t t{id, type, sip->localAddress(id), "", ""};
    std::string host = t.local.ip();
    if (host == "0.0.0.0" || host == "::")
        host = sipcore::guess_local_ip(t.local.family());
    if (t.local.family() == AF_INET6)
        host = "[" + host + "]";
    t.sent_by = host + ":" + std::to_string(t.local.port());
    sip->call([&] {
        transports.push_back(t);
        return 0;
    });
    return id;
}

void Proxy::addTransportRecordRoute(int transport_id, const std::string& uri)
{
    sip->call([&] {
        for (auto& t : transports)
            if (t.id == transport_id)
                t.record_route = uri;
        return 0;
    });
}

const std::string& Proxy::recordRouteFor(int transport_id) const
{
    for (const auto& t : transports)
        if (t.id == transport_id && !t.record_route.empty())
            return t.record_route;
    return cfg.record_route_uri;
}

int Proxy::transportPort(int transport_id) const
{
    for (const auto& t : transports)
        if (t.id == transport_id)
            return t.local.port();
    return 0;
}

void Proxy::addDomain(const std::string& domain)
{
    std::lock_guard<std::mutex> g(domain_lock);
    std::string d = domain;
    for (auto& c : d)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    domains.insert(d);
}

void Proxy::removeDomain(const std::string& domain)
{
    std::lock_guard<std::mutex> g(domain_lock);
    std::string d = domain;
    for (auto& c : d)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    domains.erase(d);
}

bool Proxy::isMyDomain(const std::string& host) const
{
    std::string d = host;
    for (auto& c : d)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (d.size() > 2 && d.front() == '[' && d.back() == ']')
        d = d.substr(1, d.size() - 2);
    std::lock_guard<std::mutex> g(domain_lock);
    return domains.count(d) > 0;
}

bool Proxy::isMyAddress(const std::string& host, int port) const
{
    std::string h = host;
    if (h.size() > 2 && h.front() == '[' && h.back() == ']')
        h = h.substr(1, h.size() - 2);
    for (const auto& t : transports) {
        int p = port > 0 ? port : sipcore::transport_default_port(t.type);
        if (t.local.port() != p)
            continue;
        std::string ip = t.local.ip();
        if (ip == h)
            return true;
        // Loopback first: guessing the local address costs a socket.
        if ((ip == "0.0.0.0" || ip == "::") &&
            (h == "127.0.0.1" || h == "::1" || h == sipcore::guess_local_ip(t.local.family())))
            return true;
    }
    return false;
}

bool Proxy::isMyUri(const sipcore::Uri& uri) const
{
    if (!uri)
        return false;
    if (isMyAddress(uri.host(), uri.port()))
        return true;
    if (!isMyDomain(uri.host()))
        return false;
    if (uri.port() == 0)
        return true;
    for (const auto& t : transports)
        if (t.local.port() == uri.port())
            return true;
    return false;
}

const Proxy::transport_t* Proxy::transportFor(sipcore::TransportType type, const std::string& host) const
{
    // The stack sends on the first transport of the type and family; our Via
    // must name that one.
    int family = host.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    for (const auto& t : transports)
        if (t.type == type && t.local.family() == family)
            return &t;
    return nullptr;
}

bool Proxy::popOwnRoutes(Message& request) const
{
    bool popped = false;
    for (;;) {
        auto routes = request.nameAddrs("Route");
        if (routes.empty() || !isMyUri(routes[0].uri()))
            return popped;
        request.popRoute();
        popped = true;
    }
}

void Proxy::answer(int tid, const Message& request, int code, const std::string& reason)
{
    sipcore::response_options_t o;
    o.reason = reason;
    o.server = cfg.server_text;
    sip->sendResponse(tid, sipcore::make_response(request, code, o));
}

template <class F> void Proxy::withContext(RequestContext& ctx, F fn)
{
    ++ctx.busy;
    fn();
    --ctx.busy;
    reap(ctx);
}

void Proxy::reap(RequestContext& ctx)
{
    if (ctx.busy > 0 || !(ctx.final_sent || ctx.server_gone) || ctx.responses.hasActiveBranches())
        return;
    for (const auto& b : ctx.responses.branches)
        if (b.tid)
            branches.erase(b.tid);
    contexts.erase(ctx.tid);
}

// ---- requests ----

void Proxy::onRequest(int tid, Message request, const sipcore::request_info_t& info)
{
    if (request.method() == "CANCEL") {
        if (!has_mandatory_headers(request))
            return;
        answer(tid, request, 200);
        auto it = contexts.find(info.cancels);
        if (info.cancels && it != contexts.end()) {
            RequestContext& ctx = *it->second;
            withContext(ctx, [&] { cancelUpstream(ctx, request); });
        }
        return;
    }
    responder_t send = [this, tid](Message r) { sip->sendResponse(tid, std::move(r)); };
    if (answerBeforeChains(request, info, send))
        return;
    auto owned = std::make_unique<RequestContext>(*this, tid, std::move(request), info);
    RequestContext& ctx = *owned;
    contexts[tid] = std::move(owned);
    withContext(ctx, [&] { runChains(ctx, 0); });
}

bool Proxy::onStatelessRequest(Message& request, const sipcore::request_info_t& info)
{
    // REGISTER for us is answered without a transaction: a retransmission is
    // simply answered again, and registering is idempotent.
    if (!handler || request.method() != "REGISTER")
        return false;
    sipcore::peer_t from = info.from;
    responder_t send = [this, from](Message r) { sip->sendStatelessResponse(std::move(r), from); };
    return answerBeforeChains(request, info, send);
}

bool Proxy::answerBeforeChains(Message& request, const sipcore::request_info_t& info, const responder_t& send)
{
    if (!has_mandatory_headers(request))
        return true;  // dropped
    std::string method = request.method();
    sipcore::response_options_t o;
    o.server = cfg.server_text;
    auto reply = [&](int code, const std::string& reason = "") {
        o.reason = reason;
        send(sipcore::make_response(request, code, o));
        return true;
    };
    int mf = max_forwards_of(request, cfg.max_forwards_default);
    if (mf < 0)
        return reply(400, "Invalid Max-Forwards");
    if (mf == 0)
        return reply(method == "OPTIONS" ? 200 : 483);
    if (is_loop(request, [this](const std::string& h, int p) { return isMyAddress(h, p); }))
        return reply(482);
    auto unsupported = unsupported_proxy_require(request, cfg.proxy_require_supported);
    if (!unsupported.empty()) {
        Message r = sipcore::make_response(request, 420, o);
        std::string list;
        for (const auto& u : unsupported)
            list += (list.empty() ? "" : ", ") + u;
        r.addHeader("Unsupported", list);
        send(std::move(r));
        return true;
    }
    popOwnRoutes(request);
    if (method == "OPTIONS" && request.nameAddrs("Route").empty() && request.requestUri().user().empty() &&
        isMyUri(request.requestUri())) {
        Message r = sipcore::make_response(request, 200, o);
        r.addHeader("Allow", "INVITE, ACK, CANCEL, BYE, OPTIONS, REGISTER, SUBSCRIBE, NOTIFY, REFER, INFO, MESSAGE");
        send(std::move(r));
        return true;
    }
    return handler && handler->handle(request, info, send);
}

void Proxy::runChains(RequestContext& ctx, size_t from)
{
    size_t at = 0;
    processor_action_t a = request_chain.process(ctx, from, &at);
    if (a == processor_action_t::WaitingForEvent) {
        ctx.waiting = true;
        ctx.waiting_chain = ChainType::Request;
        ctx.waiting_at = at;
        return;
    }
    if (a == processor_action_t::SkipAllChains || ctx.final_sent)
        return;
    if (!ctx.responses.hasTargets()) {
        ctx.respond(480);
        return;
    }
    ctx.responses.advance(0);
}

bool Proxy::runTargetChain(RequestContext& ctx, size_t from)
{
    size_t at = 0;
    processor_action_t a = target_chain.process(ctx, from, &at);
    if (a == processor_action_t::WaitingForEvent) {
        ctx.waiting = true;
        ctx.waiting_chain = ChainType::Target;
        ctx.waiting_at = at;
        return false;
    }
    return a != processor_action_t::SkipAllChains && !ctx.final_sent;
}

void Proxy::postEvent(int tid, std::unique_ptr<ProcessorEvent> event)
{
    auto holder = std::make_shared<std::unique_ptr<ProcessorEvent>>(std::move(event));
    sip->post([this, tid, holder] { resume(tid, std::move(*holder)); });
}

void Proxy::resume(int tid, std::unique_ptr<ProcessorEvent> event)
{
    auto it = contexts.find(tid);
    if (it == contexts.end() || !it->second->waiting)
        return;
    RequestContext& ctx = *it->second;
    withContext(ctx, [&] {
        ctx.waiting = false;
        ctx.event = std::move(event);
        if (ctx.cancelled || ctx.final_sent) {
            ctx.event.reset();
            return;
        }
        if (ctx.waiting_chain == ChainType::Request)
            runChains(ctx, ctx.waiting_at);
        else
            ctx.responses.advance(ctx.waiting_at);
        if (!ctx.waiting)
            ctx.event.reset();
    });
}

void Proxy::cancelUpstream(RequestContext& ctx, const Message& cancel)
{
    if (ctx.cancelled || ctx.final_sent)
        return;
    ctx.cancelled = true;
    if (collector && ctx.sessionCreated && !ctx.sessionEstablished)
        collector->doSessionAccounting(cancel, true, ctx);
    ctx.responses.queues.clear();
    ctx.responses.cancelBranches();
    if (!ctx.responses.hasActiveBranches()) {
        ctx.waiting = false;
        ctx.respond(487);
    }
}

void Proxy::onAck(Message ack, const sipcore::peer_t&)
{
    if (!has_mandatory_headers(ack))
        return;
    popOwnRoutes(ack);
    if (ack.nameAddrs("Route").empty() && isMyUri(ack.requestUri()))
        return;  // ours: nothing upstream or downstream waits for it
    int mf = max_forwards_of(ack, cfg.max_forwards_default);
    if (mf <= 0)
        return;
    ack.setHeader("Max-Forwards", std::to_string(mf - 1));
    sipcore::send_options_t o;
    o.push_via = true;
    sip->sendStateless(std::move(ack), o);
}

// ---- responses ----

void Proxy::onResponse(int tid, Message response)
{
    auto it = branches.find(tid);
    if (it == branches.end())
        return;  // a CANCEL's answer, or a branch of a finished request
    RequestContext& ctx = *it->second;
    withContext(ctx, [&] { ctx.responses.onResponse(tid, std::move(response)); });
}

void Proxy::forwardStateless(Message response)
{
    sip->sendStateless(std::move(response));
}

void Proxy::onStrayResponse(Message response, const sipcore::peer_t&)
{
    sipcore::via_t v = response.via();
    if (response.viaCount() < 2 || !isMyAddress(v.host, v.port))
        return;
    response.popVia();
    sip->sendStateless(std::move(response));
}

void Proxy::onTimeout(int tid)
{
    auto it = branches.find(tid);
    if (it == branches.end())
        return;
    RequestContext& ctx = *it->second;
    withContext(ctx, [&] { ctx.responses.onFailure(tid, 408); });
}

void Proxy::onTransportError(int tid, int)
{
    auto it = branches.find(tid);
    if (it == branches.end()) {
        inline_failure = tid;
        return;
    }
    RequestContext& ctx = *it->second;
    withContext(ctx, [&] { ctx.responses.onFailure(tid, 503); });
}

void Proxy::onTimerC(int tid)
{
    auto it = branches.find(tid);
    if (it == branches.end())
        return;
    RequestContext& ctx = *it->second;
    withContext(ctx, [&] { ctx.responses.onTimerC(tid); });
}

void Proxy::onTerminated(int tid)
{
    if (auto c = contexts.find(tid); c != contexts.end()) {
        RequestContext& ctx = *c->second;
        withContext(ctx, [&] { ctx.server_gone = true; });
        return;
    }
    auto it = branches.find(tid);
    if (it == branches.end())
        return;
    RequestContext& ctx = *it->second;
    branches.erase(it);
    withContext(ctx, [&] { ctx.responses.onFailure(tid, 408); });
}

}  // namespace sipproxy
