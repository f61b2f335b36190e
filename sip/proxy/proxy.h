// A transaction-stateful proxy on one SIP stack. Each new server transaction
// gets a RequestContext; the request passes the checks, then the request
// chain (which picks targets), then the target chain (which starts them);
// responses pass the response chain before they are chosen and forwarded.
// Everything runs on the stack thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sip/core/stack.h"
#include "sip/proxy/accounting_collector.h"
#include "sip/proxy/processor_chain.h"
#include "sip/proxy/request_context.h"

namespace sipproxy {

struct proxy_config_t {
    std::string record_route_uri;  // "" = none; dialog-creating requests are record-routed when set
    std::vector<std::string> domains;
    std::string server_text;  // Server header of our own responses
    int timer_c_ms = 180000;
    int max_forwards_default = 20;  // put in when a request has none
    std::vector<std::string> proxy_require_supported;
};

// Sends a response to the request at hand: on its server transaction, or
// without one for a request answered statelessly.
using responder_t = std::function<void(sipcore::Message)>;

// Takes requests before the chains (the registrar takes REGISTER for our
// domains). Returns true when it took the request (and answered through send).
class RequestHandler {
public:
    virtual ~RequestHandler() = default;
    virtual bool handle(sipcore::Message& request, const sipcore::request_info_t& info, const responder_t& send) = 0;
};

class Proxy : public sipcore::StackUser {
public:
    explicit Proxy(proxy_config_t config, sipcore::stack_config_t stack_config = {});
    ~Proxy() override;
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    sipcore::Stack& stack() { return *sip; }
    const proxy_config_t& config() const { return cfg; }
    ProcessorChain& requestChain() { return request_chain; }
    ProcessorChain& responseChain() { return response_chain; }
    ProcessorChain& targetChain() { return target_chain; }

    // A listening transport, which also becomes one of our addresses.
    int addTransport(sipcore::TransportType type, const std::string& ip, int port,
                     const sipcore::tls_options_t* tls = nullptr);
    int transportPort(int transport_id) const;
    // Before the stack runs: the Record-Route URI, once the ports are known.
    void setRecordRouteUri(const std::string& uri) { cfg.record_route_uri = uri; }
    // Before the stack runs: the Record-Route URI of one transport, in place
    // of the proxy's own for requests that arrive or leave on it.
    void addTransportRecordRoute(int transport_id, const std::string& uri);
    // The Record-Route URI for a transport ("" = none).
    const std::string& recordRouteFor(int transport_id) const;

    void addDomain(const std::string& domain);
    void removeDomain(const std::string& domain);
    bool isMyDomain(const std::string& host) const;
    // host:port is one of our transports, or host is our domain with no port
    // or a port we listen on.
    bool isMyUri(const sipcore::Uri& uri) const;
    bool isMyAddress(const std::string& host, int port) const;

    // From any thread: hands event to the context of server transaction tid
    // and resumes its chain at the waiting processor. Dropped when the
    // context has ended.
    void postEvent(int tid, std::unique_ptr<ProcessorEvent> event);

    void setAccountingCollector(AccountingCollector* c) { collector = c; }
    AccountingCollector* getAccountingCollector() const { return collector; }
    void setRequestHandler(RequestHandler* h) { handler = h; }

    // Live contexts (stack thread, or through stack().call()).
    size_t contextCount() const { return contexts.size(); }

    // StackUser
    void onRequest(int tid, sipcore::Message request, const sipcore::request_info_t& info) override;
    bool onStatelessRequest(sipcore::Message& request, const sipcore::request_info_t& info) override;
    void onResponse(int tid, sipcore::Message response) override;
    void onAck(sipcore::Message ack, const sipcore::peer_t& from) override;
    void onStrayResponse(sipcore::Message response, const sipcore::peer_t& from) override;
    void onTimeout(int tid) override;
    void onTransportError(int tid, int error) override;
    void onTerminated(int tid) override;

private:
    friend class RequestContext;
    friend class ResponseContext;
    struct transport_t {
        int id;
        sipcore::TransportType type;
        sipcore::sock_addr_t local;
        std::string sent_by;  // host:port for our Via
        std::string record_route;  // "" = the proxy's own
    };

    // Runs the chains from (chain, position) to the end: request chain, the
    // 480 when it found no target, target chain, then the first branches.
    // The checks, OPTIONS to us and the request handler; true when the
    // request was answered (or dropped) there.
    bool answerBeforeChains(sipcore::Message& request, const sipcore::request_info_t& info, const responder_t& send);
    void runChains(RequestContext& ctx, size_t from);
    // False when the chain waits or ended the request.
    bool runTargetChain(RequestContext& ctx, size_t from);
    void resume(int tid, std::unique_ptr<ProcessorEvent> event);
    void cancelUpstream(RequestContext& ctx, const sipcore::Message& cancel);
    void onTimerC(int tid);
    void answer(int tid, const sipcore::Message& request, int code, const std::string& reason = "");
    // Runs fn on the context and drops the context when it is finished.
    template <class F> void withContext(RequestContext& ctx, F fn);
    void reap(RequestContext& ctx);
    void forwardStateless(sipcore::Message response);
    const transport_t* transportFor(sipcore::TransportType type, const std::string& host) const;
    bool popOwnRoutes(sipcore::Message& request) const;

    proxy_config_t cfg;
    std::unique_ptr<sipcore::Stack> sip;
    ProcessorChain request_chain{ChainType::Request};
    ProcessorChain response_chain{ChainType::Response};
    ProcessorChain target_chain{ChainType::Target};
    AccountingCollector* collector = nullptr;
    RequestHandler* handler = nullptr;

    mutable std::mutex domain_lock;  // guards domains
    std::set<std::string> domains;
    // Stack thread only (transports are added before the stack runs).
    std::vector<transport_t> transports;
    std::unordered_map<int, std::unique_ptr<RequestContext>> contexts;  // by server tid
    std::unordered_map<int, RequestContext*> branches;                  // by client tid
    int inline_failure = 0;  // a client transaction that failed inside sendRequest
};

}  // namespace sipproxy
