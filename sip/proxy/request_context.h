// The state of one proxied request: its server transaction, the request as
// received and as it will be forwarded, what the processors learnt about it,
// and its targets. Lives on the stack thread from the request until the final
// response has gone upstream and every branch has ended.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sip/core/message.h"
#include "sip/core/stack.h"
#include "sip/proxy/processor.h"
#include "sip/proxy/processor_event.h"
#include "sip/proxy/response_context.h"

namespace sipproxy {

class Proxy;

// Context keys set by processors for later ones.
inline constexpr const char* from_trusted_node_key = "FromTrustedNode";
inline constexpr const char* certificate_verified_key = "CertificateVerified";

class RequestContext {
public:
    RequestContext(Proxy& proxy, int tid, sipcore::Message request, const sipcore::request_info_t& info);
    ~RequestContext();
    RequestContext(const RequestContext&) = delete;
    RequestContext& operator=(const RequestContext&) = delete;

    Proxy& getProxy() { return proxy; }
    int getTransactionId() const { return tid; }
    const sipcore::peer_t& getSource() const { return source; }
    const sipcore::Message& getOriginalRequest() const { return original; }
    // The copy that is forwarded, for processors that change it: made from
    // the original on first use.
    sipcore::Message& getRequest();
    // The request as it will be forwarded, for reading: no copy is made.
    const sipcore::Message& getCurrentRequest() const { return request ? request : original; }
    // The event that resumed a waiting processor; null otherwise.
    const ProcessorEvent* getCurrentEvent() const { return event.get(); }
    // The response being run through the response chain; null otherwise.
    const sipcore::Message* getCurrentResponse() const { return response; }
    ResponseContext& getResponseContext() { return responses; }

    // A response on the server transaction. A final one ends the request
    // upstream; later ones are dropped (2xx to INVITE excepted).
    void sendResponse(sipcore::Message response);
    void respond(int code, const std::string& reason = "");
    bool finalResponseSent() const { return final_sent; }

    const std::string& getDigestIdentity() const { return digest_identity; }
    void setDigestIdentity(const std::string& identity) { digest_identity = identity; }

    // Facts processors leave for each other ("trusted node", "certificate verified").
    bool getKey(const std::string& key) const;
    void setKey(const std::string& key, bool value);

    // Accounting marks kept by the collector.
    bool sessionCreated = false;
    bool sessionEstablished = false;

private:
    friend class Proxy;
    friend class ResponseContext;

    Proxy& proxy;
    int tid;
    sipcore::peer_t source;
    sipcore::Message original;
    sipcore::Message request;  // empty until a processor changes the request
    std::string loop_key;      // of the original, for our branch ids
    std::unique_ptr<ProcessorEvent> event;
    const sipcore::Message* response = nullptr;
    std::string digest_identity;
    std::vector<std::pair<std::string, bool>> keys;
    ResponseContext responses;

    bool final_sent = false;
    bool server_gone = false;  // the server transaction ended
    bool cancelled = false;    // CANCEL from upstream
    bool waiting = false;
    ChainType waiting_chain = ChainType::Request;
    size_t waiting_at = 0;
    int branch_count = 0;  // for branch ids
    int busy = 0;          // calls into the context under way; it is dropped only at 0
};

}  // namespace sipproxy
