// Calls between two layers on loopback: set-up, answer, ACK, BYE from each
// side, CANCEL, rejection, and the rule that a release comes once and last.
#include "agent_fixture.h"

using namespace agenttest;

namespace {

class Calls : public TwoSides {};

}  // namespace

TEST_F(Calls, CallAnsweredAndHungUpByCaller)
{
    up_t u = connect();
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        EXPECT_EQ(a.agent->remoteSdp(u.a_did), sdp("5", 5000));
        EXPECT_EQ(a.agent->localSdp(u.a_did), sdp());
        EXPECT_EQ(a.agent->callTerminate(u.a_cid, u.a_did, "Q.850;cause=16"), 0);
    }
    auto bye = b.next(EventType::CallMessageNew);
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->request.method(), "BYE");
    EXPECT_EQ(bye->request.header("Reason"), "Q.850;cause=16");
    auto closed = b.next(EventType::CallClosed);
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->request.method(), "BYE");
    ASSERT_TRUE(b.next(EventType::CallReleased));
    ASSERT_TRUE(a.next(EventType::CallReleased));
    a.drain(200);
    b.drain(200);
    bool last = false;
    EXPECT_EQ(a.releases(u.a_cid, &last), 1);
    EXPECT_TRUE(last);
    EXPECT_EQ(b.releases(u.b_cid, &last), 1);
    EXPECT_TRUE(last);
}

TEST_F(Calls, HungUpByCallee)
{
    up_t u = connect();
    {
        std::lock_guard<std::mutex> g(b.agent->mutex());
        EXPECT_EQ(b.agent->callTerminate(u.b_cid, 0), 0);
        EXPECT_EQ(b.agent->callTerminate(u.b_cid, 0), -6) << "a second hang-up has nothing to end";
    }
    ASSERT_TRUE(a.next(EventType::CallClosed));
    ASSERT_TRUE(a.next(EventType::CallReleased));
    ASSERT_TRUE(b.next(EventType::CallReleased));
    b.drain(100);
    bool last = false;
    EXPECT_EQ(b.releases(u.b_cid, &last), 1);
    EXPECT_TRUE(last);
}

TEST_F(Calls, CallerCancelsRingingCall)
{
    int cid = dial();
    auto inv = b.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    ASSERT_TRUE(a.next(EventType::CallProceeding)) << "the automatic 100 Trying";
    ASSERT_EQ(answer(b, inv->tid, 180), 0);
    ASSERT_TRUE(a.next(EventType::CallRinging));
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        EXPECT_EQ(a.agent->callTerminate(cid, 0, "SIP;cause=487"), 0);
    }
    auto cancelled = b.next(EventType::CallCancelled);
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(cancelled->request.method(), "CANCEL");
    EXPECT_EQ(cancelled->request.header("Reason"), "SIP;cause=487") << cancelled->request.toString();
    ASSERT_TRUE(b.next(EventType::CallClosed));
    ASSERT_TRUE(b.next(EventType::CallReleased));
    auto failed = a.next(EventType::CallRequestFailure);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->response.statusCode(), 487);
    EXPECT_FALSE(failed->will_retry);
    ASSERT_TRUE(a.next(EventType::CallReleased));
    EXPECT_EQ(answer(b, inv->tid, 200, sdp()), -6) << "the INVITE is gone with its call";
}

TEST_F(Calls, RejectedCallIsReportedAndReleasedOnBothSides)
{
    struct case_t {
        int code;
        EventType type;
    };
    for (case_t c : {case_t{486, EventType::CallRequestFailure}, case_t{503, EventType::CallServerFailure},
                     case_t{603, EventType::CallGlobalFailure}}) {
        SCOPED_TRACE(c.code);
        int cid = dial();
        auto inv = b.next(EventType::CallInvite);
        ASSERT_TRUE(inv);
        ASSERT_EQ(answer(b, inv->tid, c.code), 0);
        EXPECT_EQ(answer(b, inv->tid, 200, sdp()), -6);
        auto closed = b.next(EventType::CallClosed);
        ASSERT_TRUE(closed);
        EXPECT_EQ(closed->tid, inv->tid);
        ASSERT_TRUE(b.next(EventType::CallReleased));
        auto failed = a.next(c.type);
        ASSERT_TRUE(failed);
        EXPECT_EQ(failed->response.statusCode(), c.code);
        EXPECT_EQ(failed->cid, cid);
        auto rel = a.next(EventType::CallReleased);
        ASSERT_TRUE(rel);
        EXPECT_EQ(rel->cid, cid);
    }
}

TEST_F(Calls, CalleeDeclinesUnansweredCallOnHangUp)
{
    dial();
    auto inv = b.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    {
        std::lock_guard<std::mutex> g(b.agent->mutex());
        EXPECT_EQ(b.agent->callTerminate(inv->cid, 0), 0);
    }
    auto failed = a.next(EventType::CallGlobalFailure);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->response.statusCode(), 603);
    ASSERT_TRUE(a.next(EventType::CallReleased));
    ASSERT_TRUE(b.next(EventType::CallReleased));
}

TEST_F(Calls, ReferenceIsTheOneHeldWhenTheEventIsTaken)
{
    int cid = dial();
    int first = 1, second = 2;
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        EXPECT_EQ(a.agent->callSetReference(cid, &first), 0);
    }
    auto inv = b.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    ASSERT_EQ(answer(b, inv->tid, 180), 0);
    b.drain(100);
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        EXPECT_EQ(a.agent->callSetReference(cid, &second), 0);
    }
    auto ringing = a.next(EventType::CallRinging);
    ASSERT_TRUE(ringing);
    EXPECT_EQ(ringing->reference, &second);
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        EXPECT_EQ(a.agent->callGetReference(cid), &second);
        EXPECT_EQ(a.agent->callTerminate(cid, 0), 0);
    }
    auto rel = a.next(EventType::CallReleased);
    ASSERT_TRUE(rel);
    EXPECT_EQ(rel->reference, &second);
}

TEST_F(Calls, ReinviteAnsweredAndAcknowledged)
{
    up_t u = connect();
    int tid;
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        Message re;
        ASSERT_EQ(a.agent->callBuildRequest(u.a_did, "INVITE", &re), 0);
        re.setBody("application/sdp", sdp("1", 4002));
        tid = a.agent->callSendRequest(u.a_did, std::move(re));
        ASSERT_GT(tid, 0);
        Message again;
        EXPECT_EQ(a.agent->callBuildRequest(u.a_did, "INVITE", &again), -3) << "one INVITE at a time";
    }
    auto re = b.next(EventType::CallReinvite);
    ASSERT_TRUE(re);
    EXPECT_EQ(re->did, u.b_did);
    ASSERT_EQ(answer(b, re->tid, 200, sdp("5", 5002)), 0);
    auto ans = a.next(EventType::CallAnswered);
    ASSERT_TRUE(ans);
    EXPECT_EQ(ans->tid, tid);
    std::string o = ans->response.body();
    EXPECT_NE(o.find("o=- 1 6 IN IP4"), std::string::npos) << "a changed SDP gets a higher version: " << o;
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        EXPECT_EQ(a.agent->callSendAck(tid), 0);
        EXPECT_EQ(a.agent->remoteSdp(u.a_did), ans->response.body());
    }
    ASSERT_TRUE(b.next(EventType::CallAck));
}
