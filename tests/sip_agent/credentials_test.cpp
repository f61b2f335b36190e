// Credentials up front: once a challenge of a call or registration has been
// answered, its later requests carry credentials (same nonce, next nc) without
// waiting to be challenged again. And nothing is left behind afterwards, also
// when a registration is removed while its REGISTER is being challenged.
#include "agent_fixture.h"

#include "sip/core/digest.h"
#include "sip/core/response.h"

using namespace agenttest;
using namespace sipcore;
using siptest::UdpPeer;

namespace {

class Credentials : public PeerSide {
protected:
    Credentials() : PeerSide(200) {}
    void challenge(const std::string& request_text, int code)
    {
        peer.send(make_challenge(Message::parse(request_text), code, challenge_of("gw", "n1", "op")).toString(),
                  agentAddr());
    }
    // The digest a request carries checks out for the password; its nc.
    std::string verified_nc(const std::string& text, const char* header)
    {
        Message m = Message::parse(text);
        digest_response_t dr;
        if (digest_parse_response(m.header(header), &dr) != 0)
            return "none";
        EXPECT_EQ(dr.nonce, "n1");
        EXPECT_EQ(dr.opaque, "op");
        EXPECT_TRUE(digest_verify(dr, m.method(), digest_ha1("auth-me", "gw", "secret"))) << text;
        return dr.nc;
    }
    agent_counts_t counts()
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        return side.agent->counts();
    }
    int registerNow()
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        Message msg;
        int rid = side.agent->registerBuildInitial("<sip:me@example.com>", "sip:127.0.0.1:" + std::to_string(peer.port()),
                                                   "<sip:me@127.0.0.1>", 60, &msg);
        EXPECT_EQ(side.agent->registerSend(rid, std::move(msg)), 0);
        return rid;
    }
    void SetUp() override
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        side.agent->addAuthenticationInfo("me", "auth-me", "secret", "", "gw");
    }
};

}  // namespace

TEST_F(Credentials, LaterRequestsOfAChallengedCallCarryThem)
{
    int cid = callPeer();
    std::string first = wait_for(peer, "INVITE");
    ASSERT_FALSE(first.empty());
    challenge(first, 407);
    std::string second = wait_for(peer, "INVITE");
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(verified_nc(second, "Proxy-Authorization"), "00000001");
    reply(second, 200, "peer1", {{"Contact", peerContact()}});
    auto ans = side.next(EventType::CallAnswered);
    ASSERT_TRUE(ans);
    int info_tid;
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        ASSERT_EQ(side.agent->callSendAck(ans->tid), 0);
        Message info;
        ASSERT_EQ(side.agent->callBuildRequest(ans->did, "INFO", &info), 0);
        info_tid = side.agent->callSendRequest(ans->did, std::move(info));
        ASSERT_GT(info_tid, 0);
    }
    std::string info = wait_for(peer, "INFO");
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(verified_nc(info, "Proxy-Authorization"), "00000002");
    reply(info, 200, "");
    ASSERT_TRUE(side.next(EventType::CallMessageAnswered));
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        ASSERT_EQ(side.agent->callTerminate(cid, 0), 0);
    }
    std::string bye = wait_for(peer, "BYE");
    ASSERT_FALSE(bye.empty());
    EXPECT_EQ(verified_nc(bye, "Proxy-Authorization"), "00000003");
    reply(bye, 200, "");
    ASSERT_TRUE(side.next(EventType::CallReleased));
    agent_counts_t c = counts();
    EXPECT_EQ(c.calls, 0u);
    EXPECT_EQ(c.dialogs, 0u);
    EXPECT_EQ(c.timers, 0u) << "timers of a released call";
    EXPECT_EQ(c.challenges, 0u) << "the call's challenge outlived it";
}

TEST_F(Credentials, RefreshAndRemovalOfAChallengedRegistrationCarryThem)
{
    int rid = registerNow();
    std::string first = wait_for(peer, "REGISTER");
    ASSERT_FALSE(first.empty());
    challenge(first, 401);
    std::string second = wait_for(peer, "REGISTER");
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(verified_nc(second, "Authorization"), "00000001");
    reply(second, 200, "reg", {{"Expires", "60"}});
    ASSERT_TRUE(side.next(EventType::RegistrationSuccess));

    advance(54000);
    std::string refresh = wait_for(peer, "REGISTER");
    ASSERT_FALSE(refresh.empty());
    EXPECT_EQ(verified_nc(refresh, "Authorization"), "00000002");
    reply(refresh, 200, "reg", {{"Expires", "60"}});
    ASSERT_TRUE(side.next(EventType::RegistrationSuccess));
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        ASSERT_EQ(side.agent->registerRemove(rid), 0);
    }
    std::string removal = wait_for(peer, "REGISTER");
    ASSERT_FALSE(removal.empty());
    EXPECT_EQ(header_of(removal, "Expires"), "0");
    EXPECT_EQ(verified_nc(removal, "Authorization"), "00000003");
    reply(removal, 200, "reg");
    ASSERT_TRUE(side.next(EventType::RegistrationSuccess));
    agent_counts_t c = counts();
    EXPECT_EQ(c.registrations, 0u);
    EXPECT_EQ(c.timers, 0u);
    EXPECT_EQ(c.challenges, 0u);
}

// Removed while its REGISTER is out: the challenge is still answered, then
// Expires 0 goes once, then nothing of it is left and nothing refreshes.
TEST_F(Credentials, RegistrationRemovedWhileChallengedLeavesNothing)
{
    int rid = registerNow();
    std::string first = wait_for(peer, "REGISTER");
    ASSERT_FALSE(first.empty());
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        ASSERT_EQ(side.agent->registerRemove(rid), 0);
    }
    challenge(first, 401);
    std::string second = wait_for(peer, "REGISTER");
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(header_of(second, "Expires"), "60");
    reply(second, 200, "reg", {{"Expires", "60"}});
    std::string removal = wait_for(peer, "REGISTER");
    ASSERT_FALSE(removal.empty()) << "the removal never went out";
    EXPECT_EQ(header_of(removal, "Expires"), "0");
    EXPECT_EQ(verified_nc(removal, "Authorization"), "00000002");
    reply(removal, 200, "reg");
    side.drain(200);
    advance(3600000);
    EXPECT_TRUE(wait_for(peer, "REGISTER", 300).empty()) << "a removed registration was sent again";
    agent_counts_t c = counts();
    EXPECT_EQ(c.registrations, 0u);
    EXPECT_EQ(c.timers, 0u);
    EXPECT_EQ(c.challenges, 0u);
}

// A request inside a call that was never challenged before: the challenge is
// answered, the request goes again, and the call ends as usual.
TEST_F(Credentials, ChallengedByeIsSentAgainWithThem)
{
    int cid = callPeer();
    std::string invite = wait_for(peer, "INVITE");
    ASSERT_FALSE(invite.empty());
    reply(invite, 200, "peer1", {{"Contact", peerContact()}});
    auto ans = side.next(EventType::CallAnswered);
    ASSERT_TRUE(ans);
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        ASSERT_EQ(side.agent->callSendAck(ans->tid), 0);
        ASSERT_EQ(side.agent->callTerminate(cid, 0), 0);
    }
    std::string bye = wait_for(peer, "BYE");
    ASSERT_FALSE(bye.empty());
    EXPECT_EQ(verified_nc(bye, "Authorization"), "none");
    challenge(bye, 401);
    auto ch = side.next(EventType::CallMessageRequestFailure);
    ASSERT_TRUE(ch);
    EXPECT_TRUE(ch->will_retry);
    std::string again = wait_for(peer, "BYE");
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(Message::parse(again).cseq(), Message::parse(bye).cseq() + 1);
    EXPECT_EQ(verified_nc(again, "Authorization"), "00000001");
    reply(again, 200, "");
    ASSERT_TRUE(side.next(EventType::CallReleased));
    side.drain(50);
    bool last = false;
    EXPECT_EQ(side.releases(cid, &last), 1);
    EXPECT_TRUE(last);
}

// Credentials answered for one target are not handed to the target a 3xx
// names: the new target's INVITE carries none until it challenges itself.
TEST_F(Credentials, RedirectedInviteCarriesNoneOfTheOldTargets)
{
    callPeer();
    std::string first = wait_for(peer, "INVITE");
    ASSERT_FALSE(first.empty());
    challenge(first, 407);
    std::string second = wait_for(peer, "INVITE");
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(verified_nc(second, "Proxy-Authorization"), "00000001");
    std::string elsewhere = "<sip:elsewhere@127.0.0.1:" + std::to_string(peer.port()) + ">";
    reply(second, 302, "peer1", {{"Contact", elsewhere}});
    std::string third = wait_for(peer, "INVITE");
    ASSERT_FALSE(third.empty());
    Message redirected = Message::parse(third);
    EXPECT_EQ(redirected.requestUri().toString(), "sip:elsewhere@127.0.0.1:" + std::to_string(peer.port()));
    EXPECT_EQ(redirected.header("Proxy-Authorization"), "");
    EXPECT_EQ(redirected.header("Authorization"), "");
    challenge(third, 407);
    std::string fourth = wait_for(peer, "INVITE");
    ASSERT_FALSE(fourth.empty());
    EXPECT_EQ(verified_nc(fourth, "Proxy-Authorization"), "00000001");
    reply(fourth, 486, "peer2");
    EXPECT_TRUE(side.next(EventType::CallReleased));
}
