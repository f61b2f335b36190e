// Targets and forking: parallel batches, queues tried one after another,
// the best response, CANCEL both ways, Timer C, Record-Route.
#include <mutex>

#include "sip/proxy/am_i_responsible.h"
#include "sip/proxy/strict_route_fixup.h"
#include "sip_proxy/proxy_fixture.h"

namespace proxytest {
namespace {

std::unique_ptr<Target> to_peer(const UdpPeer& p) { return std::make_unique<Target>(sipcore::Uri::parse(uri_of(p, "bob"))); }

std::string cancel_of(const std::string& invite)
{
    Message m = Message::parse(invite);
    std::string out = "CANCEL " + m.requestUri().toString() + " SIP/2.0\r\nVia: " + m.header("Via") +
                      "\r\nFrom: " + m.header("From") + "\r\nTo: " + m.header("To") + "\r\nCall-ID: " + m.callId() +
                      "\r\nCSeq: " + std::to_string(m.cseq()) + " CANCEL\r\nContent-Length: 0\r\n\r\n";
    return out;
}

// Records each accounting call as "in|out METHOD-or-code"; an INVITE
// creates the session, its final response establishes it.
struct Accounting : AccountingCollector {
    void doSessionAccounting(const Message& m, bool received, RequestContext& c) override
    {
        if (m.isRequest() && m.method() == "INVITE")
            c.sessionCreated = true;
        if (m.isResponse() && m.statusCode() >= 200 && m.method() == "INVITE")
            c.sessionEstablished = true;
        std::lock_guard<std::mutex> g(lock);
        seen.push_back(std::string(received ? "in " : "out ") +
                       (m.isResponse() ? std::to_string(m.statusCode()) : m.method()));
    }
    std::vector<std::string> log()
    {
        std::lock_guard<std::mutex> g(lock);
        return seen;
    }
    std::mutex lock;  // guards seen (written on the stack thread)
    std::vector<std::string> seen;
};

class ForkTest : public ProxyTest {
protected:
    // Every INVITE for bob gets the queues `layout` describes: "p" one batch
    // of bob1 and bob2, "s" bob1 then bob2.
    void startWith(const std::string& layout, proxy_config_t cfg = {})
    {
        start(cfg);
        proxy->requestChain().add(step("Fork", [this, layout](RequestContext& c) {
            ResponseContext& r = c.getResponseContext();
            if (layout == "p") {
                std::vector<std::unique_ptr<Target>> batch;
                batch.push_back(to_peer(bob1));
                batch.push_back(to_peer(bob2));
                r.addTargetBatch(std::move(batch));
            } else {
                r.addTarget(to_peer(bob1));
                r.addTarget(to_peer(bob2));
            }
            return processor_action_t::Continue;
        }));
        run();
    }
    std::string invite(const std::string& call)
    {
        std::string inv = request_text("INVITE", "sip:bob@example.com", alice, "", "z9hG4bK" + call, call);
        alice.send(inv, addr);
        return inv;
    }
};

TEST_F(ForkTest, ParallelForkCancelsTheLoser)
{
    startWith("p");
    invite("pf1");
    std::string i1 = methodAt(bob1, "INVITE"), i2 = methodAt(bob2, "INVITE");
    ASSERT_FALSE(i1.empty());
    ASSERT_FALSE(i2.empty());
    EXPECT_NE(Message::parse(i1).topBranch(), Message::parse(i2).topBranch());
    bob2.send(answer_text(i2, 180, "Ringing", "b2"), addr);
    EXPECT_EQ(code_of(next(alice)), 180);
    bob1.send(answer_text(i1, 200, "OK", "b1"), addr);
    Message ok = Message::parse(next(alice));
    EXPECT_EQ(ok.statusCode(), 200);
    EXPECT_EQ(ok.toTag(), "b1");
    std::string cancel = methodAt(bob2, "CANCEL");
    ASSERT_FALSE(cancel.empty());
    EXPECT_EQ(Message::parse(cancel).topBranch(), Message::parse(i2).topBranch());
    bob2.send(answer_text(cancel, 200, "OK", "b2"), addr);
    bob2.send(answer_text(i2, 487, "Request Terminated", "b2"), addr);
    EXPECT_FALSE(methodAt(bob2, "ACK").empty());
    EXPECT_TRUE(next(alice, 300).empty());  // the 487 stays with us
    EXPECT_EQ(contexts(), 0u);
}

TEST_F(ForkTest, NextQueueAfterFailure)
{
    startWith("s");
    invite("sq1");
    std::string i1 = methodAt(bob1, "INVITE");
    ASSERT_FALSE(i1.empty());
    EXPECT_TRUE(bob2.recv(200).empty());  // the second queue waits
    bob1.send(answer_text(i1, 486, "Busy Here"), addr);
    std::string i2 = methodAt(bob2, "INVITE");
    ASSERT_FALSE(i2.empty());
    bob2.send(answer_text(i2, 200, "OK", "b2"), addr);
    EXPECT_EQ(code_of(next(alice)), 200);
}

// Two parallel branches answer; alice gets the one RFC 3261 16.7 picks.
TEST_F(ForkTest, BestResponse)
{
    struct case_t {
        int first, second, expect;
    } cases[] = {
        {404, 486, 404}, {503, 404, 404}, {503, 503, 500}, {404, 302, 302},
        {404, 603, 603}, {404, 407, 407}, {500, 486, 486},
    };
    startWith("p");
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + "+" + std::to_string(c.second));
        std::string call = "best" + std::to_string(++n);
        std::string inv = invite(call);
        std::string i1 = methodAt(bob1, "INVITE", 2000, call), i2 = methodAt(bob2, "INVITE", 2000, call);
        ASSERT_FALSE(i1.empty());
        ASSERT_FALSE(i2.empty());
        bob1.send(answer_text(i1, c.first, "X", "b1"), addr);
        if (c.first >= 600) {
            std::string cancel = methodAt(bob2, "CANCEL", 2000, call);
        }
        bob2.send(answer_text(i2, c.second, "X", "b2"), addr);
        std::string final = finalAt(alice, call);
        EXPECT_EQ(code_of(final), c.expect);
        alice.send(ack_of(inv, final), addr);
        // One final answer: anything more is its retransmission from before the ACK.
        for (std::string m; !(m = next(alice, 300)).empty();)
            EXPECT_EQ(m, final);
    }
}

TEST_F(ForkTest, UpstreamCancelReachesRingingBranches)
{
    Accounting acct;
    startWith("p");
    proxy->setAccountingCollector(&acct);
    std::string inv = invite("uc1");
    std::string i1 = methodAt(bob1, "INVITE"), i2 = methodAt(bob2, "INVITE");
    bob1.send(answer_text(i1, 180, "Ringing", "b1"), addr);
    EXPECT_EQ(code_of(next(alice)), 180);
    alice.send(cancel_of(inv), addr);
    EXPECT_EQ(code_of(next(alice)), 200);  // to the CANCEL
    std::string c1 = methodAt(bob1, "CANCEL");
    ASSERT_FALSE(c1.empty());
    // bob2 has not rung yet: its CANCEL waits for its first provisional.
    EXPECT_TRUE(methodAt(bob2, "CANCEL", 200).empty());
    bob2.send(answer_text(i2, 180, "Ringing", "b2"), addr);
    std::string c2 = methodAt(bob2, "CANCEL");
    ASSERT_FALSE(c2.empty());
    bob1.send(answer_text(i1, 487, "Request Terminated", "b1"), addr);
    bob2.send(answer_text(i2, 487, "Request Terminated", "b2"), addr);
    std::string m;
    while (!(m = next(alice)).empty() && code_of(m) < 200) {
    }
    EXPECT_EQ(code_of(m), 487);
    alice.send(ack_of(inv, m), addr);
    EXPECT_EQ(contexts(), 0u);
    // The CANCEL counts while the session is set up; responses only until it ends.
    EXPECT_EQ(acct.log(), (std::vector<std::string>{"out INVITE", "out INVITE", "out 180", "in CANCEL", "out 180", "out 487"}));
}

TEST_F(ForkTest, TimerCStandsInForASilentBranchAndCancelsARingingOne)
{
    proxy_config_t cfg;
    cfg.timer_c_ms = 300;
    startWith("s", cfg);
    invite("tc1");
    // bob1 stays silent: after Timer C a 408 stands in for it and bob2 is tried.
    std::string i1 = methodAt(bob1, "INVITE");
    ASSERT_FALSE(i1.empty());
    std::string i2 = methodAt(bob2, "INVITE", 1500);
    ASSERT_FALSE(i2.empty());
    bob2.send(answer_text(i2, 180, "Ringing", "b2"), addr);
    EXPECT_EQ(code_of(next(alice)), 180);
    // bob2 rings for ever: Timer C cancels it.
    std::string c2 = methodAt(bob2, "CANCEL", 1500);
    ASSERT_FALSE(c2.empty());
    bob2.send(answer_text(i2, 487, "Request Terminated", "b2"), addr);
    // 408 and 487 rank alike; the first of them goes upstream.
    EXPECT_EQ(code_of(next(alice)), 408);
}

// Record-Route on the INVITE; the BYE comes back with our Route and goes to
// bob's contact.
TEST_F(ForkTest, RecordRouteKeepsTheDialogOnTheProxy)
{
    proxy_config_t cfg;
    cfg.domains = {"example.com"};
    start(cfg);
    cfg.record_route_uri = "sip:127.0.0.1:" + std::to_string(port) + ";lr";
    proxy->setRecordRouteUri(cfg.record_route_uri);
    Accounting acct;
    proxy->setAccountingCollector(&acct);
    proxy->requestChain().add(std::make_unique<StrictRouteFixup>());
    proxy->requestChain().add(std::make_unique<AmIResponsible>());
    proxy->requestChain().add(step("Location", [this](RequestContext& c) {
        c.getResponseContext().addTarget(to_peer(bob1));
        return processor_action_t::Continue;
    }));
    run();

    invite("rr1");
    std::string i1 = methodAt(bob1, "INVITE");
    Message fwd = Message::parse(i1);
    ASSERT_EQ(fwd.headers("Record-Route").size(), 1u);
    EXPECT_EQ(fwd.header("Record-Route"), "<" + cfg.record_route_uri + ">");
    bob1.send(answer_text(i1, 200, "OK", "b1", "Contact: <" + uri_of(bob1, "bob") + ">\r\n"), addr);
    Message ok = Message::parse(next(alice));
    ASSERT_EQ(ok.statusCode(), 200);
    ASSERT_EQ(ok.headers("Record-Route").size(), 1u);

    std::string route = "Route: " + ok.header("Record-Route") + "\r\n";
    alice.send(request_text("ACK", uri_of(bob1, "bob"), alice, route, "z9hG4bKrrack", "rr1", "b1"), addr);
    Message ack = Message::parse(methodAt(bob1, "ACK"));
    ASSERT_TRUE(ack.valid());
    EXPECT_FALSE(ack.hasHeader("Route"));
    std::string bye = request_text("BYE", uri_of(bob1, "bob"), alice, route, "z9hG4bKrrbye", "rr1", "b1");
    alice.send(bye, addr);
    std::string b = methodAt(bob1, "BYE");
    ASSERT_FALSE(b.empty());
    EXPECT_FALSE(Message::parse(b).hasHeader("Route"));
    EXPECT_FALSE(Message::parse(b).hasHeader("Record-Route"));
    bob1.send(answer_text(b, 200, "OK", "b1"), addr);
    EXPECT_EQ(code_of(next(alice)), 200);
    // Requests taken in and forwarded, and the INVITE's 200 that establishes the session.
    EXPECT_EQ(acct.log(), (std::vector<std::string>{"in INVITE", "out INVITE", "out 200", "in BYE", "out BYE"}));
}

// A transport's own Record-Route: a request that arrives on one transport and
// leaves on another carries both, the leaving one on top, so that each side
// reaches the proxy on its own transport.
TEST_F(ForkTest, RecordRoutePerTransport)
{
    proxy_config_t cfg;
    cfg.domains = {"example.com"};
    start(cfg);
    int second = proxy->addTransport(sipcore::TransportType::UDP, "127.0.0.2", 0);
    ASSERT_GT(second, 0);
    proxy->addTransportRecordRoute(1, "sip:out.test;lr");
    proxy->addTransportRecordRoute(second, "sip:in.test;lr");
    proxy->requestChain().add(step("Location", [this](RequestContext& c) {
        c.getResponseContext().addTarget(to_peer(bob1));
        return processor_action_t::Continue;
    }));
    run();

    struct case_t {
        const char* to;
        std::vector<std::string> record_routes;
    } cases[] = {
        {"127.0.0.1", {"<sip:out.test;lr>"}},
        {"127.0.0.2", {"<sip:out.test;lr>", "<sip:in.test;lr>"}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        std::string call = "pt" + std::to_string(++n);
        std::string inv = request_text("INVITE", "sip:bob@example.com", alice, "", "z9hG4bK" + call, call);
        int id = c.to == std::string("127.0.0.1") ? 1 : second;
        sipcore::sock_addr_t to = sipcore::make_addr(c.to, proxy->transportPort(id));
        alice.send(inv, to);
        std::string i = methodAt(bob1, "INVITE", 2000, call);
        EXPECT_EQ(Message::parse(i).headers("Record-Route"), c.record_routes);
        bob1.send(answer_text(i, 486, "Busy Here"), addr);
        std::string final = finalAt(alice, call);
        EXPECT_EQ(code_of(final), 486);
        alice.send(ack_of(inv, final), to);
    }
}

}  // namespace
}  // namespace proxytest
