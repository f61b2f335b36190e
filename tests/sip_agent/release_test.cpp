// Endings nobody answers: a hang-up before our ACK went out, a BYE or a
// re-INVITE the peer never answers. The application hears of each failure,
// and the call still ends in exactly one release, its last event.
#include "agent_fixture.h"

#include "sip/core/response.h"

using namespace agenttest;
using namespace sipcore;
using siptest::UdpPeer;

namespace {

class Release : public TwoSides {};

// A raw peer that answers our INVITE and then goes silent.
class Silent : public PeerSide {
protected:
    Silent() : PeerSide(20) {}  // Timer B and F after 1.3 s
    // An answered and acknowledged call to the peer: its cid and did.
    std::pair<int, int> up()
    {
        int cid = callPeer(sdp());
        std::string invite = wait_for(peer, "INVITE");
        EXPECT_FALSE(invite.empty());
        reply(invite, 200, "p1", {{"Contact", peerContact()}});
        auto ans = side.next(EventType::CallAnswered);
        EXPECT_TRUE(ans);
        if (!ans)
            return {cid, 0};
        std::lock_guard<std::mutex> g(side.agent->mutex());
        EXPECT_EQ(side.agent->callSendAck(ans->tid), 0);
        return {cid, ans->did};
    }
    void expectOneReleaseLast(int cid)
    {
        side.drain(100);
        bool last = false;
        EXPECT_EQ(side.releases(cid, &last), 1);
        EXPECT_TRUE(last);
        std::lock_guard<std::mutex> g(side.agent->mutex());
        EXPECT_EQ(side.agent->counts().calls, 0u);
        EXPECT_EQ(side.agent->counts().dialogs, 0u);
    }
};

}  // namespace

// Hung up between the 2xx and our ACK: the ACK goes first, then the BYE.
TEST_F(Release, HangUpBeforeTheAckAcknowledgesFirst)
{
    int cid = dial();
    auto inv = b.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    ASSERT_EQ(answer(b, inv->tid, 200, sdp("5", 5000)), 0);
    auto ans = a.next(EventType::CallAnswered);
    ASSERT_TRUE(ans);
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        EXPECT_EQ(a.agent->callTerminate(cid, 0), 0);
    }
    auto ack = b.next(EventType::CallAck);
    ASSERT_TRUE(ack) << "no ACK before the BYE";
    ASSERT_TRUE(b.next(EventType::CallClosed));
    ASSERT_TRUE(b.next(EventType::CallReleased));
    ASSERT_TRUE(a.next(EventType::CallReleased));
    // the ACK came before the BYE on b's side
    auto at = [&](EventType t) {
        for (size_t i = 0; i < b.seen.size(); ++i)
            if (b.seen[i].first == t)
                return i;
        return b.seen.size();
    };
    EXPECT_LT(at(EventType::CallAck), at(EventType::CallMessageNew));
    a.drain(100);
    bool last = false;
    EXPECT_EQ(a.releases(cid, &last), 1);
    EXPECT_TRUE(last);
}

TEST_F(Silent, UnansweredByeStillReleasesTheCall)
{
    auto [cid, did] = up();
    ASSERT_GT(did, 0);
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        ASSERT_EQ(side.agent->callTerminate(cid, did), 0);
    }
    ASSERT_FALSE(wait_for(peer, "BYE").empty());
    auto failed = side.next(EventType::CallMessageRequestFailure, 5000);
    ASSERT_TRUE(failed) << "the BYE's time-out was not reported";
    EXPECT_EQ(failed->request.method(), "BYE");
    ASSERT_TRUE(side.next(EventType::CallReleased));
    expectOneReleaseLast(cid);
}

// No answer to our re-INVITE: reported, and the call is ended with BYE.
TEST_F(Silent, UnansweredReinviteEndsTheCall)
{
    auto [cid, did] = up();
    ASSERT_GT(did, 0);
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        Message re;
        ASSERT_EQ(side.agent->callBuildRequest(did, "INVITE", &re), 0);
        re.setBody("application/sdp", sdp("2"));
        ASSERT_GT(side.agent->callSendRequest(did, std::move(re)), 0);
    }
    auto failed = side.next(EventType::CallRequestFailure, 5000);
    ASSERT_TRUE(failed) << "the re-INVITE's time-out was not reported";
    EXPECT_FALSE(failed->will_retry);
    ASSERT_TRUE(side.next(EventType::CallClosed));
    std::string bye = wait_for(peer, "BYE");
    ASSERT_FALSE(bye.empty()) << "a call whose peer is gone stays up";
    Message r = make_response(Message::parse(bye), 200);
    peer.send(r.toString(), agentAddr());
    ASSERT_TRUE(side.next(EventType::CallReleased));
    expectOneReleaseLast(cid);
}
