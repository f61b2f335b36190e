// Incoming INVITEs in-process: the fields of the incoming-call event, the
// caller identity by the flags word, the 404 of an unclaimed call, and an
// incoming-call event that the queue refuses; admission against the main
// loop's backlog.
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "core/channel_table.h"
#include "core/event_queue.h"
#include "core/global_flags.h"
#include "support/log_capture.h"
#include "ua/sip_peer.h"
#include "ua/test_sip_channel.h"
#include "ua/ua_harness.h"
#include "ua/user_agent.h"

namespace {

class UaIncomingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!enter_own_net_namespace())
            GTEST_SKIP() << "needs root for a network namespace";
        h = std::make_unique<UaHarness>();
    }
    void TearDown() override { globalFlags = 0; }
    std::unique_ptr<UaHarness> h;
};

TEST_F(UaIncomingTest, UnclaimedCallCarriesTheCallerAndIsAnswered404)
{
    ASSERT_TRUE(h->start());
    SipPeer peer;
    std::string invite = invite_text("sip:100@127.0.0.1;foo=bar;foo=baz;x;line", "in-1",
                                     "X-Secure-Transport: YES\r\n");
    SipPeer::replace(invite, "<sip:alice@127.0.0.1:$port>;tag", "<sip:alice@127.0.0.1:$port;cpc=payphone>;tag");
    SipPeer::replace(invite, "Contact: <sip:alice@127.0.0.1:$port>", "Contact: <sip:alice@127.0.0.1:$port>;isfocus");
    peer.send(invite);
    ASSERT_TRUE(h->waitFor("Incoming call"));
    EXPECT_TRUE(h->sawLine("Incoming call ch=-1 data=1 from=alice@127.0.0.1 called=100 name=Alice number=alice "
                           "cpc=payphone secure=1 status=404 params=foo=baz focus=1"))
        << ::testing::PrintToString(h->events);
    sipcore::Message answer = peer.receiveFinal();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer.statusCode(), 404);
}

TEST_F(UaIncomingTest, CallerIdentityFollowsTheFlagsWord)
{
    const std::string PAI = "P-Asserted-Identity: \"Bob\" <sip:200@example.com>\r\n";
    const std::string RPID = "Remote-Party-ID: <sip:300@example.com>;party=calling\r\n";
    const struct {
        uint32_t flags;
        std::string headers;
        const char* identity;  // as the event shows it
    } rows[] = {
        {0x300, PAI + RPID, "name=Bob number=200"},
        {0x000, PAI + RPID, "name= number=300"},
        {0x100, PAI + RPID, "name=Bob number=200"},
        {0x100, "P-Asserted-Identity: <<<\r\n" + RPID, "name= number= "},  // found, unparsable: nothing else tried
        {0x200, PAI, "name=Alice number=alice"},
        {0x400, PAI + RPID, "name=Alice number=alice"},
        {0x500, PAI + RPID, "name= number= "},
    };
    ASSERT_TRUE(h->start());
    SipPeer peer;
    int n = 0;
    for (const auto& row : rows) {
        globalFlags = row.flags;
        h->events.clear();
        peer.send(invite_text("sip:100@127.0.0.1", "id-" + std::to_string(++n), row.headers));
        ASSERT_TRUE(h->waitFor("Incoming call")) << n;
        std::string call;
        for (const auto& l : h->events)
            if (l.rfind("Incoming call", 0) == 0)
                call = l;
        EXPECT_NE(call.find(row.identity), std::string::npos) << "flags " << std::hex << row.flags << ": " << call;
        EXPECT_EQ(peer.receiveFinal().statusCode(), 404);
    }
}

TEST_F(UaIncomingTest, LineChannelGetsTheCallAndItsAccountUserComparesCaseBlind)
{
    auto* c = new TestSipChannel(3, "Alice@127.0.0.1");
    {
        MutexLock g(channel_table_mutex);
        channel_table[3] = c;
    }
    c->on_call = [](int call_id) { ua_response_status(call_id, 486, 0, false, "", ""); };
    ASSERT_TRUE(h->start());
    SipPeer peer;
    peer.send(invite_text("sip:alice@127.0.0.1;line=3", "line-1"));
    ASSERT_TRUE(h->waitFor("Incoming call ch=3 data=1"));
    EXPECT_EQ(peer.receiveFinal().statusCode(), 486);
}

// The layer has already answered a CANCEL 200 whatever it requires: the
// channel must still learn that the call is over.
TEST_F(UaIncomingTest, CancelRequiringAnUnknownExtensionStillEndsTheCall)
{
    auto* c = new TestSipChannel(3, "100@127.0.0.1");
    {
        MutexLock g(channel_table_mutex);
        channel_table[3] = c;
    }
    c->on_call = [](int call_id) { ua_response_status(call_id, 180, 0, false, "", ""); };
    ASSERT_TRUE(h->start());
    SipPeer peer;
    peer.send(invite_text("sip:100@127.0.0.1;line=3", "cancel-1"));
    ASSERT_TRUE(h->waitFor("Incoming call ch=3"));
    EXPECT_EQ(peer.receiveFinal().statusCode(), 180);
    peer.send("CANCEL sip:100@127.0.0.1;line=3 SIP/2.0\r\n"
              "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$samebranch;rport\r\n"
              "Max-Forwards: 70\r\nFrom: \"Alice\" <sip:alice@127.0.0.1:$port>;tag=peer-cancel-1\r\n"
              "To: <sip:100@127.0.0.1;line=3>\r\nCall-ID: cancel-1\r\nCSeq: 1 CANCEL\r\n"
              "Require: foo\r\nReason: Q.850;cause=31;location=LN\r\nContent-Length: 0\r\n\r\n");
    EXPECT_TRUE(h->waitFor("Call disconnected ch=3 data=1 cause=31 location=2 status=0"))
        << ::testing::PrintToString(h->events);
    std::set<int> answers;
    for (sipcore::Message m; (m = peer.receive(500));)
        answers.insert(m.statusCode());
    EXPECT_EQ(answers, (std::set<int>{200, 487}));
}

// Events for no channel (dropped by the dispatch) until the main loop is
// `UA_QUEUE_ADMISSION_LIMIT` behind.
void fill_main_queue()
{
    while (std_queue_count(event_queue) < UA_QUEUE_ADMISSION_LIMIT)
        postEvent(300, new channel_event_t(300, EV_CAS, 0));
}

// A burst puts the main loop behind for a moment: the INVITE waits for it
// instead of getting 503. A backlog that outlasts the wait gets 503, and
// further INVITEs get it at once until the main loop has caught up.
TEST_F(UaIncomingTest, InviteWaitsForABriefBacklogAndIsRefusedWhileItLasts)
{
    ASSERT_TRUE(h->start());
    SipPeer peer;
    // the final answer to that call (unacknowledged earlier ones come again)
    auto final_of = [&](const std::string& call_id, int ms) {
        for (sipcore::Message m; (m = peer.receiveFinal(ms));)
            if (m.callId() == call_id)
                return m.statusCode();
        return 0;
    };
    fill_main_queue();
    peer.send(invite_text("sip:100@127.0.0.1", "burst-1"));
    EXPECT_EQ(final_of("burst-1", UA_ADMISSION_WAIT_MS / 5), 0) << "refused while the main loop was catching up";
    ASSERT_TRUE(h->waitFor("Incoming call ch=-1 data="));
    EXPECT_EQ(final_of("burst-1", 2000), 404);

    fill_main_queue();
    peer.send(invite_text("sip:100@127.0.0.1", "stalled-1"));
    EXPECT_EQ(final_of("stalled-1", UA_ADMISSION_WAIT_MS * 10), 503);
    auto sent = std::chrono::steady_clock::now();
    peer.send(invite_text("sip:100@127.0.0.1", "stalled-2"));
    EXPECT_EQ(final_of("stalled-2", UA_ADMISSION_WAIT_MS * 10), 503);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(UA_ADMISSION_WAIT_MS))
        << "the overloaded main loop was waited for again";

    h->events.clear();
    h->pump();
    peer.send(invite_text("sip:100@127.0.0.1", "caught-up-1"));
    ASSERT_TRUE(h->waitFor("Incoming call ch=-1 data="));
    EXPECT_EQ(final_of("caught-up-1", 2000), 404);
    int calls = 0;
    for (const auto& l : h->events)
        calls += l.rfind("Incoming call", 0) == 0;
    EXPECT_EQ(calls, 1) << "a refused INVITE reached the channels: " << ::testing::PrintToString(h->events);
}

// The queue refuses the incoming-call event: deleting it answers the call,
// which takes the layer's lock; the thread must not be holding it then.
TEST_F(UaIncomingTest, RefusedIncomingCallEventIsAnsweredWithoutDeadlock)
{
    LogCapture log;
    std_queue_destroy(&event_queue);
    std_queue_create(&event_queue, 1);
    ASSERT_TRUE(h->start());  // "SIP transport ready" fills the queue
    SipPeer peer;
    peer.send(invite_text("sip:100@127.0.0.1", "full-1"));
    sipcore::Message answer = peer.receiveFinal(5000);
    ASSERT_TRUE(answer) << "no answer: the user-agent thread is stuck";
    EXPECT_EQ(answer.statusCode(), 404);
    EXPECT_TRUE(log.contains("std_queue_enqueue() failed (result=-1)"));
    // and the thread goes on
    peer.send("OPTIONS sip:ping@127.0.0.1:6060 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch\r\n"
              "From: <sip:a@127.0.0.1>;tag=1\r\nTo: <sip:ping@127.0.0.1>\r\nCall-ID: opt-1\r\nCSeq: 1 OPTIONS\r\n"
              "Max-Forwards: 70\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(peer.receiveFinal().statusCode(), 200);
}

}  // namespace
