// Inside established calls: PRACK, session-timer refresh, REFER with the
// NOTIFYs that outlive BYE, and the Replaces/Refer-To helpers.
#include "agent_fixture.h"

using namespace agenttest;

namespace {

class Dialogs : public TwoSides {};

}  // namespace

TEST_F(Dialogs, ReliableProvisionalIsAcknowledgedOnce)
{
    dial();
    auto inv = b.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    ASSERT_EQ(answer(b, inv->tid, 183, sdp("5", 5000), {{"Require", "100rel"}, {"RSeq", "1"}}), 0);
    auto early = a.next(EventType::CallRinging);
    ASSERT_TRUE(early);
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        EXPECT_EQ(a.agent->remoteSdp(early->did), sdp("5", 5000)) << "early media is readable";
        Message prack;
        ASSERT_EQ(a.agent->callBuildPrack(early->tid, early->response, &prack), 0);
        EXPECT_EQ(prack.header("RAck"), "1 20 INVITE");
        ASSERT_EQ(a.agent->callSendPrack(early->tid, std::move(prack)), 0);
        Message again;
        EXPECT_EQ(a.agent->callBuildPrack(early->tid, early->response, &again), -3) << "one PRACK per RSeq";
    }
    auto prack = b.next(EventType::CallMessageNew);
    ASSERT_TRUE(prack);
    EXPECT_EQ(prack->request.method(), "PRACK");
    EXPECT_EQ(prack->did, inv->did) << "the PRACK belongs to the early dialog";
    ASSERT_EQ(answer(b, prack->tid, 200), 0);
    auto done = a.next(EventType::CallMessageAnswered);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->request.method(), "PRACK");
}

TEST_F(Dialogs, RefresherSendsReinviteWithItsCurrentSdp)
{
    up_t u = connect({{"Supported", "timer"}, {"Session-Expires", "90"}}, {{"Supported", "timer"}});
    (void)u;
    // b answered, so b refreshes (refresher=uas) at half the interval
    {
        std::lock_guard<std::mutex> g(b.agent->mutex());
        clock.ms += 44000;
        b.agent->automaticAction();
    }
    EXPECT_FALSE(a.next(EventType::CallReinvite, 300)) << "refreshed too early";
    {
        std::lock_guard<std::mutex> g(b.agent->mutex());
        clock.ms += 1000;
        b.agent->automaticAction();
    }
    auto re = a.next(EventType::CallReinvite);
    ASSERT_TRUE(re) << "no refresh at half the interval";
    EXPECT_EQ(re->request.body(), sdp("5", 5000)) << "the refresh offers the SDP in force";
    EXPECT_NE(re->request.header("Session-Expires").find("90"), std::string::npos);
    ASSERT_EQ(answer(a, re->tid, 200, sdp(), {{"Supported", "timer"}}), 0);
    ASSERT_TRUE(a.next(EventType::CallAck)) << "the layer acknowledges its own refresh";
    b.drain(200);
    for (const auto& [type, cid] : b.seen)
        EXPECT_NE(type, EventType::CallAnswered) << "the refresh is not reported";
}

TEST_F(Dialogs, AnswerCarriesSessionTimerOfTheRequest)
{
    dial(sdp(), {{"Supported", "timer"}, {"Session-Expires", "1800;refresher=uac"}});
    auto inv = b.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    ASSERT_EQ(answer(b, inv->tid, 200, sdp("5"), {{"Supported", "timer"}}), 0);
    auto ans = a.next(EventType::CallAnswered);
    ASSERT_TRUE(ans);
    EXPECT_EQ(ans->response.header("Session-Expires"), "1800;refresher=uac");
    EXPECT_EQ(ans->response.header("Require"), "timer");
}

// A session shorter than Min-SE is refused with 422 and the caller's layer
// retries with ours; a peer without timer support gets it raised instead.
TEST_F(Dialogs, SessionBelowMinSeIsRefusedOrRaised)
{
    dial(sdp(), {{"Supported", "timer"}, {"Session-Expires", "1"}});
    auto inv = b.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    EXPECT_EQ(inv->request.header("Session-Expires"), "90") << "the retry after 422 carries our Min-SE";
    ASSERT_EQ(answer(b, inv->tid, 200, sdp("5"), {{"Supported", "timer"}}), 0);
    auto ans = a.next(EventType::CallAnswered);
    ASSERT_TRUE(ans);
    EXPECT_EQ(ans->response.header("Session-Expires"), "90;refresher=uas");

    dial(sdp(), {{"Session-Expires", "2;refresher=uac"}});
    auto inv2 = b.next(EventType::CallInvite);
    ASSERT_TRUE(inv2);
    ASSERT_EQ(answer(b, inv2->tid, 200, sdp("5"), {{"Supported", "timer"}}), 0);
    auto ans2 = a.next(EventType::CallAnswered);
    ASSERT_TRUE(ans2);
    EXPECT_EQ(ans2->response.header("Session-Expires"), "90;refresher=uac");
}

TEST_F(Dialogs, ReferNotifiesAfterBye)
{
    up_t u = connect();
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        Message refer;
        ASSERT_EQ(a.agent->callBuildRefer(u.a_did, "<sip:carol@127.0.0.1>", &refer), 0);
        EXPECT_EQ(refer.header("Refer-To"), "<sip:carol@127.0.0.1>");
        ASSERT_GT(a.agent->callSendRequest(u.a_did, std::move(refer)), 0);
    }
    auto refer = b.next(EventType::CallMessageNew);
    ASSERT_TRUE(refer);
    EXPECT_EQ(refer->request.method(), "REFER");
    ASSERT_EQ(answer(b, refer->tid, 202), 0);
    auto accepted = a.next(EventType::CallMessageAnswered);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->response.statusCode(), 202);
    {
        std::lock_guard<std::mutex> g(b.agent->mutex());
        Message notify;
        ASSERT_EQ(b.agent->callBuildNotify(u.b_did, SubscriptionState::Active, &notify), 0);
        EXPECT_EQ(notify.header("Subscription-State"), "active;expires=180");
        EXPECT_EQ(notify.header("Event"), "refer");
    }
    // the transferor leaves at once
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        ASSERT_EQ(a.agent->callTerminate(u.a_cid, 0), 0);
    }
    ASSERT_TRUE(b.next(EventType::CallClosed));
    b.drain(100);
    EXPECT_EQ(b.releases(u.b_cid), 0) << "released while the REFER subscription lives";
    {
        std::lock_guard<std::mutex> g(b.agent->mutex());
        Message notify;
        ASSERT_EQ(b.agent->callBuildNotify(u.b_did, SubscriptionState::Terminated, &notify), 0);
        notify.setBody("message/sipfrag;version=2.0", "SIP/2.0 200 OK\r\n");
        ASSERT_GT(b.agent->callSendRequest(u.b_did, std::move(notify)), 0);
    }
    auto notify = a.next(EventType::CallMessageNew);
    ASSERT_TRUE(notify);
    EXPECT_EQ(notify->request.method(), "NOTIFY");
    EXPECT_EQ(notify->request.header("Subscription-State"), "terminated;reason=noresource");
    EXPECT_EQ(notify->request.body(), "SIP/2.0 200 OK\r\n");
    ASSERT_EQ(answer(a, notify->tid, 200), 0);
    ASSERT_TRUE(a.next(EventType::CallReleased));
    ASSERT_TRUE(b.next(EventType::CallReleased));
    a.drain(100);
    b.drain(100);
    EXPECT_EQ(a.releases(u.a_cid), 1);
    EXPECT_EQ(b.releases(u.b_cid), 1);
}

TEST_F(Dialogs, SubscriptionOfReferEndsOnItsTimer)
{
    up_t u = connect();
    ASSERT_GT(request(a, u.a_did, "REFER"), 0);
    auto refer = b.next(EventType::CallMessageNew);
    ASSERT_TRUE(refer);
    ASSERT_EQ(answer(b, refer->tid, 202), 0);
    ASSERT_TRUE(a.next(EventType::CallMessageAnswered));
    {
        std::lock_guard<std::mutex> g(b.agent->mutex());
        ASSERT_EQ(b.agent->callTerminate(u.b_cid, 0), 0);
    }
    ASSERT_TRUE(a.next(EventType::CallClosed));
    EXPECT_FALSE(a.next(EventType::CallReleased, 200));
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        clock.ms += 61000;
        a.agent->automaticAction();
    }
    EXPECT_TRUE(a.next(EventType::CallReleased)) << "the dialog outlived its subscription";
}

TEST_F(Dialogs, ReplacesAndReferToName)
{
    up_t u = connect();
    std::string refer_to;
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        ASSERT_EQ(a.agent->callGetReferTo(u.a_did, &refer_to), 0);
    }
    size_t q = refer_to.find("?Replaces=");
    ASSERT_NE(q, std::string::npos) << refer_to;
    EXPECT_EQ(refer_to.substr(0, q), b.uri("bob"));
    std::string replaces = sipcore::uri_unescape(refer_to.substr(q + 10));
    std::string bob = b.uri("bob");
    // b sees it from the other side: the tags are swapped
    std::lock_guard<std::mutex> g(b.agent->mutex());
    EXPECT_EQ(b.agent->callFindByReplaces(replaces), u.b_cid) << replaces;
    EXPECT_EQ(b.agent->callFindByReplaces(replaces + ";early-only"), -3);
    EXPECT_EQ(b.agent->callFindByReplaces("nosuch;to-tag=1;from-tag=2"), -6);
    // The To URI's header becomes a header of the INVITE built for it.
    Message inv;
    ASSERT_EQ(b.agent->callBuildInitialInvite(&inv, "<" + refer_to + ">", "<sip:bob@127.0.0.1>"), 0);
    EXPECT_EQ(inv.header("Replaces"), replaces);
    EXPECT_EQ(inv.requestUri().toString(), bob);
}
