// The user agent's thread in-process: the API before and after the thread,
// the reliable provisional retransmission on an injected clock, and the
// incoming-call event that the queue refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <netinet/in.h>
#include <thread>

#include "core/channel_table.h"
#include "core/event_queue.h"
#include "core/scheduler.h"
#include "sip/core/response.h"
#include "support/log_capture.h"
#include "ua/call_data.h"
#include "ua/ua_context.h"
#include "ua/sip_peer.h"
#include "ua/test_sip_channel.h"
#include "ua/ua_harness.h"
#include "ua/user_agent.h"

namespace {

class UaThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!enter_own_net_namespace())
            GTEST_SKIP() << "needs root for a network namespace";
    }
    void startUa(bool fake_clock)
    {
        h = std::make_unique<UaHarness>(fake_clock);
        ASSERT_TRUE(h->start());
    }
    // A SIP channel at ts for the account user 100.
    TestSipChannel* addChannel(int ts)
    {
        auto* c = new TestSipChannel(ts, "100@127.0.0.1");
        MutexLock g(channel_table_mutex);
        channel_table[ts] = c;
        return c;
    }
    std::unique_ptr<UaHarness> h;
};

// Every entry point of the API with no layer behind it: before the thread
// has created it and after it has ended.
void expect_api_refuses()
{
    EXPECT_FALSE(ua_is_initialized());
    EXPECT_FALSE(ua_guess_local_ip(AF_INET).empty());
    EXPECT_EQ(ua_hangup(1, ""), -1);
    EXPECT_EQ(ua_response_status(1, 404, 0, false, "", ""), -1);
    EXPECT_EQ(ua_answer(1), -1);
    EXPECT_EQ(ua_send_refer(1, "<sip:a@b>"), -1);
    EXPECT_EQ(ua_refer(1, 2, true), -1);
    EXPECT_EQ(ua_notify_refer(1, "SIP/2.0 200 OK\r\n"), -1);
    EXPECT_FALSE(ua_call_supports(1, "replaces"));
    EXPECT_FALSE(ua_checkSupportedCodec(1, "8 0"));
    ua_call_set_ts(1, 3);
    ua_call_set_identity(1, "sip:a@b");
    ua_100rel_timer(reinterpret_cast<void*>(intptr_t(1)));
}

TEST_F(UaThreadTest, ApiFailsCleanlyWithoutTheThread)
{
    UaHarness harness;
    expect_api_refuses();
    ASSERT_TRUE(harness.start());
    EXPECT_TRUE(ua_is_initialized());
    harness.pump();
    EXPECT_TRUE(harness.sawLine("SIP transport ready ch=-1 data=0")) << ::testing::PrintToString(harness.events);
    harness.stop();
    expect_api_refuses();
}

// Another thread (the poller, a channel) calls in while the thread starts
// and ends: nothing crashes and the sanitizers see no race.
TEST_F(UaThreadTest, ApiIsSafeWhileTheThreadComesAndGoes)
{
    UaHarness harness;
    std::atomic<bool> done{false};
    std::thread caller([&] {
        while (!done) {
            ua_hangup(7, "");
            ua_call_supports(7, "timer");
            ua_guess_local_ip(AF_INET);
        }
    });
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(harness.start());
        harness.stop();
    }
    done = true;
    caller.join();
}

struct ReliablePeer {
    SipPeer peer;
    // The reliable 180s that arrived within ms.
    int ringing(int ms = 100)
    {
        int n = 0;
        while (sipcore::Message m = peer.receive(ms))
            if (m.isResponse() && m.statusCode() == 180) {
                EXPECT_EQ(m.header("Require"), "100rel");
                ++n;
            }
        return n;
    }
};

// The channel rings reliably as soon as the call reaches it.
void ring_reliably(TestSipChannel* c)
{
    c->on_call = [](int call_id) { EXPECT_GE(ua_response_status(call_id, 180, 0, false, "", ""), 0); };
}

const char* REL_HEADERS = "Supported: 100rel\r\nRequire: 100rel\r\n";

TEST_F(UaThreadTest, ReliableProvisionalIsResentAtHalfOneAndAHalfAndThreeAndAHalfSeconds)
{
    startUa(true);
    ring_reliably(addChannel(3));
    ReliablePeer p;
    p.peer.send(invite_text("sip:100@127.0.0.1;line=3", "rel-1", REL_HEADERS));
    ASSERT_TRUE(h->waitFor("Incoming call ch=3"));
    h->advance(1);  // the channel rings from a timer
    h->pump();
    EXPECT_EQ(p.ringing(), 1);  // at 0
    const struct {
        int64_t step_ms;
        int sent;
    } schedule[] = {{499, 0}, {1, 1}, {999, 0}, {1, 1}, {1999, 0}, {1, 1}, {3999, 0}, {1, 0}, {10000, 0}};
    int64_t at = 0;
    for (const auto& s : schedule) {
        h->advance(s.step_ms);
        at += s.step_ms;
        h->pump(10);
        EXPECT_EQ(p.ringing(), s.sent) << "at " << at << " ms";
    }
}

TEST_F(UaThreadTest, MatchingPrackStopsTheRetransmissionAndAnotherDoesNot)
{
    LogCapture log;
    startUa(true);
    TestSipChannel* c = addChannel(3);
    ring_reliably(c);
    ReliablePeer p;
    p.peer.send(invite_text("sip:100@127.0.0.1;line=3", "rel-2", REL_HEADERS));
    ASSERT_TRUE(h->waitFor("Incoming call ch=3"));
    h->advance(1);  // the channel rings from a timer
    h->pump();
    sipcore::Message ring;
    for (sipcore::Message m; (m = p.peer.receive(500));)
        if (m.statusCode() == 180) {
            ring = std::move(m);
            break;
        }
    ASSERT_TRUE(ring);
    EXPECT_EQ(ring.header("RSeq"), "100");
    std::string tag = ring.toTag();

    p.peer.send(in_dialog_text("PRACK", "rel-2", tag, 2, "RAck: 100 2 INVITE\r\n"));
    sipcore::Message ok = p.peer.receive();
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok.statusCode(), 200);
    EXPECT_EQ(ok.cseqMethod(), "PRACK");
    EXPECT_TRUE(log.contains("unexpected RAck in PRACK (got '100 2 INVITE', expected '100 1 INVITE')"));
    h->advance(500);
    h->pump(10);
    EXPECT_EQ(p.ringing(), 1);  // still going

    p.peer.send(in_dialog_text("PRACK", "rel-2", tag, 3, "RAck: 100 1 INVITE\r\n"));
    ok = p.peer.receive();
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok.statusCode(), 200);
    EXPECT_FALSE(ok.header("Allow").empty());
    for (int64_t step : {1000, 2000, 4000}) {
        h->advance(step);
        h->pump(10);
        EXPECT_EQ(p.ringing(), 0);
    }
}

// The timer holds the call id: fired after the call was released (the race
// with the release on the user-agent thread) it finds nothing and sends nothing.
TEST_F(UaThreadTest, RetransmissionTimerOfAReleasedCallDoesNothing)
{
    startUa(true);
    ring_reliably(addChannel(3));
    ReliablePeer p;
    p.peer.send(invite_text("sip:100@127.0.0.1;line=3", "rel-3", REL_HEADERS));
    ASSERT_TRUE(h->waitFor("Incoming call ch=3 data="));
    h->advance(1);
    h->pump();
    EXPECT_EQ(p.ringing(), 1);
    int call_id = 0;
    for (const auto& l : h->events)
        if (l.rfind("Incoming call", 0) == 0)
            call_id = std::stoi(l.substr(l.find("data=") + 5));
    ASSERT_GT(call_id, 0);

    p.peer.send("CANCEL sip:100@127.0.0.1;line=3 SIP/2.0\r\n"
                "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$samebranch;rport\r\n"
                "Max-Forwards: 70\r\nFrom: \"Alice\" <sip:alice@127.0.0.1:$port>;tag=peer-rel-3\r\n"
                "To: <sip:100@127.0.0.1;line=3>\r\nCall-ID: rel-3\r\nCSeq: 1 CANCEL\r\nContent-Length: 0\r\n\r\n");
    ASSERT_TRUE(h->waitFor("Call disconnected ch=3"));
    auto records = [] {
        UaLock lock;
        return ua_call_data_count();
    };
    for (int i = 0; i < 200 && records() != 0; ++i)
        h->pump(10);
    ASSERT_EQ(records(), 0u);
    ua_100rel_timer(reinterpret_cast<void*>(intptr_t(call_id)));
    h->advance(10000);
    h->pump(10);
    EXPECT_EQ(p.ringing(), 0);
}

// A registration result goes to the lowest timeslot holding its id; an id
// nobody holds gives no event.
TEST_F(UaThreadTest, RegistrationResultGoesToTheLowestTimeslotHoldingItsId)
{
    startUa(false);
    SipPeer registrar;
    auto register_once = [&] {
        int rid = 0;
        {
            UaLock lock;
            sipcore::Message m;
            rid = lock.ctx->registerBuildInitial("<sip:100@127.0.0.1>", "sip:127.0.0.1:5070",
                                                 "<sip:100@127.0.0.1:6060>", 60, &m);
            EXPECT_GT(rid, 0);
            EXPECT_EQ(lock.ctx->registerSend(rid, std::move(m)), 0);
        }
        sipcore::Message request = registrar.receive();
        EXPECT_TRUE(request);
        return std::make_pair(rid, std::move(request));
    };
    auto answer = [&](const sipcore::Message& request, int code) {
        registrar.send(sipcore::make_response(request, code).toString());
    };

    auto [rid, request] = register_once();
    {
        UaLock lock;
        ua_registration_ids[5] = rid;
        ua_registration_ids[9] = rid;
    }
    answer(request, 200);
    EXPECT_TRUE(h->waitFor("Endpoint registered ch=5"));

    auto [rid2, request2] = register_once();
    {
        UaLock lock;
        ua_registration_ids[7] = rid2;
    }
    answer(request2, 403);
    EXPECT_TRUE(h->waitFor("Registration failed ch=7"));

    answer(register_once().second, 200);  // held by no timeslot
    h->pump(300);
    for (const auto& line : h->events)
        EXPECT_EQ(line.find("ch=9"), std::string::npos) << line;
    EXPECT_EQ(std::count_if(h->events.begin(), h->events.end(),
                            [](const std::string& l) { return l.rfind("Endpoint registered", 0) == 0; }),
              1);
    UaLock lock;
    for (int& id : ua_registration_ids)
        id = 0;
}

}  // namespace
