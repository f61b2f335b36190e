// The proxy core: request checks, the three chains and their actions.
#include <atomic>
#include <thread>

#include "sip_proxy/proxy_fixture.h"

namespace proxytest {
namespace {

processor_action_t target_peer(RequestContext& c, const UdpPeer& peer)
{
    c.getResponseContext().addTarget(sipcore::NameAddr::parse("<" + uri_of(peer, "bob") + ">"));
    return processor_action_t::Continue;
}

TEST_F(ProxyTest, RequestChecksAnswerBeforeAnyProcessor)
{
    start();
    std::atomic<int> seen{0};
    proxy->requestChain().add(step("Count", [&](RequestContext&) {
        ++seen;
        return processor_action_t::Continue;
    }));
    run();
    struct case_t {
        const char* label;
        std::string method, ruri, extra;
        int code;
        std::string header, value;
    } cases[] = {
        {"Max-Forwards 0", "INVITE", "sip:bob@example.com", "Max-Forwards: 0\r\n", 483, "", ""},
        {"Max-Forwards 0 on OPTIONS", "OPTIONS", "sip:bob@example.com", "Max-Forwards: 0\r\n", 200, "", ""},
        {"Max-Forwards not a number", "INVITE", "sip:bob@example.com", "Max-Forwards: many\r\n", 400, "", ""},
        {"Proxy-Require", "INVITE", "sip:bob@example.com", "Proxy-Require: foo, bar\r\n", 420, "Unsupported",
         "foo, bar"},
        {"OPTIONS to us", "OPTIONS", proxyUri(), "", 200, "Allow", ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string branch = "z9hG4bKchk" + std::to_string(++n);
        std::string call_id = "chk" + std::to_string(n);
        alice.send(request_text(c.method, c.ruri, alice, c.extra, branch, call_id), addr);
        // An unacknowledged 483 before is sent again after T1: not this case's answer.
        std::string r;
        do
            r = next(alice);
        while (!r.empty() && Message::parse(r).callId() != call_id);
        EXPECT_EQ(code_of(r), c.code) << c.label << "\n" << r;
        if (!c.header.empty()) {
            Message m = Message::parse(r);
            EXPECT_TRUE(m.hasHeader(c.header)) << c.label;
            if (!c.value.empty()) {
                std::string all;
                for (const auto& v : m.headers(c.header))
                    all += (all.empty() ? "" : ", ") + v;
                EXPECT_EQ(all, c.value) << c.label;
            }
        }
    }
    EXPECT_EQ(seen, 0);
}

TEST_F(ProxyTest, NoTargetGives480AndContextEnds)
{
    start();
    run();
    alice.send(request_text("INVITE", "sip:nobody@example.com", alice), addr);
    EXPECT_EQ(code_of(next(alice)), 480);
    EXPECT_EQ(contexts(), 0u);
}

TEST_F(ProxyTest, ChainEditingByName)
{
    start();
    ProcessorChain& c = proxy->requestChain();
    auto cont = [](RequestContext&) { return processor_action_t::Continue; };
    c.add(step("A", cont));
    c.add(step("C", cont));
    EXPECT_TRUE(c.insertBefore("C", step("B", cont)));
    EXPECT_TRUE(c.insertAfter("C", step("D", cont)));
    EXPECT_TRUE(c.replace("A", step("A2", cont)));
    EXPECT_FALSE(c.insertBefore("Nope", step("X", cont)));
    EXPECT_FALSE(c.replace("Nope", step("X", cont)));
    EXPECT_TRUE(c.remove("D"));
    EXPECT_EQ(c.names(), (std::vector<std::string>{"A2", "B", "C"}));
    ASSERT_NE(c.find("B"), nullptr);
    EXPECT_EQ(c.find("B")->getChainType(), ChainType::Request);
    proxy->targetChain().add(step("T", cont));
    EXPECT_EQ(proxy->targetChain().find("T")->getChainType(), ChainType::Target);
}

// Each action of a request processor, and what runs after it.
TEST_F(ProxyTest, ActionsDecideWhatRunsNext)
{
    struct case_t {
        processor_action_t action;
        std::string expect_trace;
        int expect_code;  // at alice; 0 = the request reaches bob1
    } cases[] = {
        {processor_action_t::Continue, "first second target", 0},
        {processor_action_t::SkipThisChain, "first target", 0},
        {processor_action_t::SkipAllChains, "first", 403},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expect_trace);
        start();
        std::string trace;
        proxy->requestChain().add(step("First", [&](RequestContext& ctx) {
            trace += "first";
            target_peer(ctx, bob1);
            if (c.action == processor_action_t::SkipAllChains)
                ctx.respond(403);
            return c.action;
        }));
        proxy->requestChain().add(step("Second", [&](RequestContext&) {
            trace += " second";
            return processor_action_t::Continue;
        }));
        proxy->targetChain().add(step("Target", [&](RequestContext&) {
            trace += " target";
            return processor_action_t::Continue;
        }));
        run();
        std::string call = "act" + std::to_string(++n);
        std::string inv = request_text("INVITE", "sip:bob@example.com", alice, "", "z9hG4bK" + call, call);
        alice.send(inv, addr);
        if (c.expect_code) {
            EXPECT_EQ(code_of(finalAt(alice, call)), c.expect_code);
        } else {
            std::string fwd = methodAt(bob1, "INVITE", 2000, call);
            ASSERT_FALSE(fwd.empty());
            Message m = Message::parse(fwd);
            EXPECT_EQ(m.requestUri().toString(), uri_of(bob1, "bob"));
            EXPECT_EQ(m.viaCount(), 2u);
            EXPECT_EQ(m.header("Max-Forwards"), "19");
            bob1.send(answer_text(fwd, 486, "Busy Here"), addr);
            EXPECT_EQ(code_of(finalAt(alice, call)), 486);
            EXPECT_FALSE(methodAt(bob1, "ACK", 2000, call).empty());  // hop by hop
        }
        proxy->stack().stop();  // the trace is the stack thread's until then
        EXPECT_EQ(trace, c.expect_trace);
        proxy.reset();
    }
}

struct Answer : ProcessorEvent {
    explicit Answer(std::string u) : uri(std::move(u)) {}
    std::string uri;
};

// A processor waits for an event posted from another thread and the chain
// resumes at that processor; a CANCEL while it waits ends the request.
TEST_F(ProxyTest, WaitingProcessorResumesOnItsEvent)
{
    start();
    std::atomic<int> waiting_tid{0};
    std::atomic<int> calls{0}, after{0};
    proxy->requestChain().add(step("Lookup", [&](RequestContext& c) {
        ++calls;
        if (auto* e = dynamic_cast<const Answer*>(c.getCurrentEvent())) {
            if (!e->uri.empty())
                c.getResponseContext().addTarget(sipcore::NameAddr::parse("<" + e->uri + ">"));
            return processor_action_t::Continue;
        }
        waiting_tid = c.getTransactionId();
        return processor_action_t::WaitingForEvent;
    }));
    proxy->requestChain().add(step("After", [&](RequestContext&) {
        ++after;
        return processor_action_t::Continue;
    }));
    run();
    alice.send(request_text("INVITE", "sip:bob@example.com", alice, "", "z9hG4bKw1", "w1"), addr);
    for (int i = 0; i < 200 && !waiting_tid; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_NE(waiting_tid.load(), 0);
    EXPECT_TRUE(bob1.recv(200).empty());
    std::thread([&] { proxy->postEvent(waiting_tid, std::make_unique<Answer>(uri_of(bob1, "bob"))); }).join();
    std::string fwd = bob1.recv();
    ASSERT_FALSE(fwd.empty());
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(after, 1);
    bob1.send(answer_text(fwd, 200, "OK"), addr);
    EXPECT_EQ(code_of(next(alice)), 200);

    // CANCEL while waiting: 200 to the CANCEL, 487 to the INVITE; a late event is dropped.
    waiting_tid = 0;
    std::string inv = request_text("INVITE", "sip:bob@example.com", alice, "", "z9hG4bKw2", "w2");
    alice.send(inv, addr);
    for (int i = 0; i < 200 && !waiting_tid; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::string cancel = inv;
    cancel.replace(0, 6, "CANCEL");
    cancel.replace(cancel.find("CSeq: 1 INVITE"), 14, "CSeq: 1 CANCEL");
    alice.send(cancel, addr);
    int c200 = 0, c487 = 0;
    for (int i = 0; i < 2; ++i) {
        Message m = Message::parse(next(alice));
        ASSERT_TRUE(m.valid());
        if (m.statusCode() == 200 && m.cseqMethod() == "CANCEL")
            ++c200;
        if (m.statusCode() == 487 && m.cseqMethod() == "INVITE")
            ++c487;
    }
    EXPECT_EQ(c200, 1);
    EXPECT_EQ(c487, 1);
    proxy->postEvent(waiting_tid, std::make_unique<Answer>(uri_of(bob1, "bob")));
    EXPECT_TRUE(bob1.recv(300).empty());
}

// A request sent back to us unchanged is a loop (482); one whose
// Request-URI changed on the way is a spiral and goes on.
TEST_F(ProxyTest, LoopIsRefusedSpiralIsNot)
{
    start();
    proxy->requestChain().add(step("Route", [&](RequestContext& c) {
        std::string user = c.getRequest().requestUri().user();
        if (user == "loop")
            c.getResponseContext().addTarget(sipcore::NameAddr::parse("<" + proxyUri("loop") + ">"));
        else if (user == "spiral")
            c.getResponseContext().addTarget(sipcore::NameAddr::parse("<" + proxyUri("bob") + ">"));
        else
            target_peer(c, bob1);
        return processor_action_t::Continue;
    }));
    run();
    alice.send(request_text("MESSAGE", proxyUri("loop"), alice, "", "z9hG4bKl1", "l1"), addr);
    EXPECT_EQ(code_of(next(alice)), 482);

    alice.send(request_text("MESSAGE", proxyUri("spiral"), alice, "", "z9hG4bKl2", "l2"), addr);
    std::string fwd = bob1.recv();
    ASSERT_FALSE(fwd.empty());
    EXPECT_EQ(Message::parse(fwd).viaCount(), 3u);
    bob1.send(answer_text(fwd, 200, "OK"), addr);
    EXPECT_EQ(code_of(next(alice)), 200);
}

}  // namespace
}  // namespace proxytest
