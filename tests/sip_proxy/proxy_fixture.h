// A proxy on loopback with raw UDP peers around it, and processors made of
// lambdas, for the proxy framework's tests.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "sip/proxy/proxy.h"
#include "sip/proxy/request_context.h"
#include "sip/sip_peer.h"

namespace proxytest {

using namespace sipproxy;
using sipcore::Message;
using siptest::UdpPeer;

class LambdaProcessor : public Processor {
public:
    using fn_t = std::function<processor_action_t(RequestContext&)>;
    LambdaProcessor(const std::string& name, fn_t fn) : Processor(name), fn(std::move(fn)) {}
    processor_action_t process(RequestContext& c) override { return fn(c); }
    fn_t fn;
};

inline std::unique_ptr<Processor> step(const std::string& name, LambdaProcessor::fn_t fn)
{
    return std::make_unique<LambdaProcessor>(name, std::move(fn));
}

inline std::string uri_of(const UdpPeer& p, const std::string& user) { return "sip:" + user + "@127.0.0.1:" + std::to_string(p.port()); }

// A request from peer `from`, with extra header lines ("Name: value\r\n").
inline std::string request_text(const std::string& method, const std::string& ruri, const UdpPeer& from,
                                const std::string& extra = "", const std::string& branch = "z9hG4bKt1",
                                const std::string& call_id = "c1@test", const std::string& to_tag = "")
{
    std::string to = "<sip:bob@example.com>" + (to_tag.empty() ? "" : ";tag=" + to_tag);
    return method + " " + ruri + " SIP/2.0\r\n" + "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(from.port()) +
           ";branch=" + branch + ";rport\r\n" + "From: <sip:alice@example.com>;tag=a1\r\n" + "To: " + to + "\r\n" +
           "Call-ID: " + call_id + "\r\n" + "CSeq: 1 " + method + "\r\n" + "Contact: <" + uri_of(from, "alice") +
           ">\r\n" + extra + "Content-Length: 0\r\n\r\n";
}

// A response to the request text as a UAS would send it.
inline std::string answer_text(const std::string& request, int code, const std::string& reason,
                               const std::string& to_tag = "b1", const std::string& extra = "")
{
    Message req = Message::parse(request);
    std::string out = "SIP/2.0 " + std::to_string(code) + " " + reason + "\r\n";
    for (const auto& v : req.headers("Via"))
        out += "Via: " + v + "\r\n";
    for (const auto& v : req.headers("Record-Route"))
        out += "Record-Route: " + v + "\r\n";
    out += "From: " + req.header("From") + "\r\n";
    std::string to = req.header("To");
    if (code > 100 && req.toTag().empty())
        to += ";tag=" + to_tag;
    out += "To: " + to + "\r\nCall-ID: " + req.callId() + "\r\nCSeq: " + req.header("CSeq") + "\r\n" + extra +
           "Content-Length: 0\r\n\r\n";
    return out;
}

// The ACK a UAC sends for a non-2xx final response to invite.
inline std::string ack_of(const std::string& invite, const std::string& response)
{
    Message i = Message::parse(invite), r = Message::parse(response);
    return "ACK " + i.requestUri().toString() + " SIP/2.0\r\nVia: " + i.header("Via") + "\r\nFrom: " + i.header("From") +
           "\r\nTo: " + r.header("To") + "\r\nCall-ID: " + i.callId() + "\r\nCSeq: " + std::to_string(i.cseq()) +
           " ACK\r\nContent-Length: 0\r\n\r\n";
}

inline int code_of(const std::string& text)
{
    Message m = Message::parse(text);
    return m && m.isResponse() ? m.statusCode() : 0;
}

class ProxyTest : public ::testing::Test {
protected:
    void start(proxy_config_t cfg = {}, sipcore::stack_config_t scfg = {})
    {
        scfg.t1_ms = 100;  // short timers for the failure paths
        proxy = std::make_unique<Proxy>(cfg, scfg);
        int id = proxy->addTransport(sipcore::TransportType::UDP, "127.0.0.1", 0);
        ASSERT_GT(id, 0);
        port = proxy->transportPort(id);
        addr = sipcore::make_addr("127.0.0.1", port);
    }
    void run() { proxy->stack().start(); }
    void TearDown() override
    {
        if (proxy)
            proxy->stack().stop();
    }
    std::string proxyUri(const std::string& user = "") const
    {
        return "sip:" + (user.empty() ? "" : user + "@") + "127.0.0.1:" + std::to_string(port);
    }
    size_t contexts()
    {
        return static_cast<size_t>(proxy->stack().call([this] { return static_cast<int>(proxy->contextCount()); }));
    }
    // Next message at peer that is not a 100 Trying.
    static std::string next(UdpPeer& p, int timeout_ms = 2000)
    {
        for (;;) {
            std::string m = p.recv(timeout_ms);
            if (m.empty() || code_of(m) != 100)
                return m;
        }
    }
    // The request `method` at a peer, or "" (skips other methods). With a
    // Call-ID, requests of other calls are skipped too: a loaded run answers
    // late, and our retransmission of an earlier call's INVITE is still queued.
    static std::string methodAt(UdpPeer& p, const std::string& method, int timeout_ms = 2000,
                                const std::string& call = "")
    {
        for (;;) {
            std::string m = p.recv(timeout_ms);
            if (m.empty())
                return m;
            Message msg = Message::parse(m);
            if (msg.method() == method && (call.empty() || msg.callId() == call))
                return m;
        }
    }
    // The final response of `call` at a peer, or "" (skips provisionals and
    // retransmissions of earlier calls' finals).
    static std::string finalAt(UdpPeer& p, const std::string& call, int timeout_ms = 2000)
    {
        for (;;) {
            std::string m = p.recv(timeout_ms);
            if (m.empty())
                return m;
            Message msg = Message::parse(m);
            if (msg.isResponse() && msg.statusCode() >= 200 && msg.callId() == call)
                return m;
        }
    }

    std::unique_ptr<Proxy> proxy;
    int port = 0;
    sipcore::sock_addr_t addr;
    UdpPeer alice, bob1, bob2;
};

}  // namespace proxytest
