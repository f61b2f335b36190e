// A layer against a raw UDP peer: what goes on the wire for 100 Trying, 2xx
// retransmission and the lost ACK, the ACK re-sent on a retransmitted 2xx,
// a 2xx that crosses our CANCEL, and an INVITE nobody answers.
#include "agent_fixture.h"

#include "sip/core/digest.h"
#include "sip/core/response.h"

using namespace agenttest;
using namespace sipcore;
using siptest::UdpPeer;

namespace {

class Wire : public PeerSide {
protected:
    Wire() : PeerSide(20) {}
    // Our raw peer answers a request it got.
    void reply(const std::string& request_text, int code, const std::string& to_tag = "peer1",
               const std::string& extra = "")
    {
        Message req = Message::parse(request_text);
        Message r = make_response(req, code, {.reason = "", .to_tag = to_tag, .server = "", .copy_record_route = false});
        if (code < 300 && req.method() == "INVITE")
            r.addHeader("Contact", peerContact());
        std::string text = r.toString();
        if (!extra.empty())
            text.insert(text.find("\r\n") + 2, extra);
        peer.send(text, agentAddr());
    }
    std::string inviteText(const std::string& branch, const std::string& call_id)
    {
        return "INVITE sip:you@127.0.0.1:" + std::to_string(side.port()) + " SIP/2.0\r\n"
               "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.port()) + ";branch=" + branch + ";rport\r\n"
               "Max-Forwards: 70\r\n"
               "From: <sip:peer@127.0.0.1>;tag=pf1\r\n"
               "To: <sip:you@127.0.0.1>\r\n"
               "Call-ID: " + call_id + "\r\n"
               "CSeq: 1 INVITE\r\n"
               "Contact: <sip:peer@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n"
               "Content-Length: 0\r\n\r\n";
    }
};

}  // namespace

TEST_F(Wire, TryingThen2xxRetransmittedUntilAck)
{
    peer.send(inviteText("z9hG4bKw1", "w1@peer"), agentAddr());
    EXPECT_FALSE(wait_for(peer, "100 INVITE").empty()) << "100 Trying before the application answers";
    auto inv = side.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        Message ok;
        ASSERT_EQ(side.agent->callBuildAnswer(inv->tid, 200, &ok), 0);
        EXPECT_EQ(ok.nameAddrs("Contact").size(), 1u);
        ok.setBody("application/sdp", sdp());
        ASSERT_EQ(side.agent->callSendAnswer(inv->tid, 200, std::move(ok)), 0);
    }
    std::string first = wait_for(peer, "200 INVITE");
    ASSERT_FALSE(first.empty());
    EXPECT_FALSE(wait_for(peer, "200 INVITE").empty()) << "the 2xx is sent again while no ACK comes";
    Message ok = Message::parse(first);
    std::string ack = "ACK sip:you@127.0.0.1:" + std::to_string(side.port()) + " SIP/2.0\r\n"
                      "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.port()) + ";branch=z9hG4bKwa;rport\r\n"
                      "Max-Forwards: 70\r\n"
                      "From: <sip:peer@127.0.0.1>;tag=pf1\r\n"
                      "To: " + ok.header("To") + "\r\n"
                      "Call-ID: w1@peer\r\n"
                      "CSeq: 1 ACK\r\n"
                      "Content-Length: 0\r\n\r\n";
    peer.send(ack, agentAddr());
    auto acked = side.next(EventType::CallAck);
    ASSERT_TRUE(acked);
    EXPECT_EQ(acked->response.statusCode(), 200);
    EXPECT_EQ(acked->request.method(), "INVITE");
    peer.recv(100);
    EXPECT_TRUE(wait_for(peer, "200 INVITE", 400).empty()) << "still re-sent after the ACK";
}

TEST_F(Wire, LostAckEndsCallWithBye)
{
    peer.send(inviteText("z9hG4bKw2", "w2@peer"), agentAddr());
    auto inv = side.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        Message ok;
        ASSERT_EQ(side.agent->callBuildAnswer(inv->tid, 200, &ok), 0);
        ok.setBody("application/sdp", sdp());
        ASSERT_EQ(side.agent->callSendAnswer(inv->tid, 200, std::move(ok)), 0);
    }
    std::string bye = wait_for(peer, "BYE", 5000);
    ASSERT_FALSE(bye.empty()) << "no BYE after the ACK never came";
    auto closed = side.next(EventType::CallClosed);
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->tid, 0) << "closed by the layer, not by a transaction";
    reply(bye, 200, "");
    auto rel = side.next(EventType::CallReleased);
    ASSERT_TRUE(rel);
    EXPECT_EQ(rel->cid, inv->cid);
}

TEST_F(Wire, AckSentAgainOnRetransmitted2xx)
{
    int cid = callPeer(sdp());
    std::string invite = wait_for(peer, "INVITE");
    ASSERT_FALSE(invite.empty());
    Message inv = Message::parse(invite);
    EXPECT_EQ(inv.cseq(), 20u);
    EXPECT_FALSE(inv.topBranch().empty());
    reply(invite, 200);
    auto ans = side.next(EventType::CallAnswered);
    ASSERT_TRUE(ans);
    EXPECT_EQ(ans->cid, cid);
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        ASSERT_EQ(side.agent->callSendAck(ans->tid), 0);
    }
    std::string ack1 = wait_for(peer, "ACK");
    ASSERT_FALSE(ack1.empty());
    EXPECT_EQ(Message::parse(ack1).cseq(), 20u);
    reply(invite, 200);
    std::string ack2 = wait_for(peer, "ACK");
    ASSERT_FALSE(ack2.empty()) << "a retransmitted 2xx gets the ACK again";
    EXPECT_EQ(Message::parse(ack2).topBranch(), Message::parse(ack1).topBranch());
}

TEST_F(Wire, TwoHundredCrossingCancelIsAcknowledgedAndEnded)
{
    int cid = callPeer(sdp());
    std::string invite = wait_for(peer, "INVITE");
    ASSERT_FALSE(invite.empty());
    reply(invite, 180);
    ASSERT_TRUE(side.next(EventType::CallRinging));
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        ASSERT_EQ(side.agent->callTerminate(cid, 0), 0);
    }
    std::string cancel = wait_for(peer, "CANCEL");
    ASSERT_FALSE(cancel.empty());
    EXPECT_EQ(Message::parse(cancel).topBranch(), Message::parse(invite).topBranch());
    reply(invite, 200);  // crossed the CANCEL
    reply(cancel, 200, "");
    EXPECT_FALSE(wait_for(peer, "ACK").empty());
    std::string bye = wait_for(peer, "BYE");
    ASSERT_FALSE(bye.empty()) << "the answered call must not stay up";
    reply(bye, 200, "");
    ASSERT_TRUE(side.next(EventType::CallReleased));
    EXPECT_EQ(side.releases(cid), 1);
}

TEST_F(Wire, UnansweredInviteReportsNoAnswer)
{
    int cid = callPeer(sdp());  // the peer never answers: Timer B (64 T1)
    ASSERT_FALSE(wait_for(peer, "INVITE").empty());
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        EXPECT_EQ(side.agent->callTerminate(cid, 0), -3) << "nothing heard yet: no CANCEL possible";
    }
    auto ev = side.next(EventType::CallNoAnswer, 5000);
    ASSERT_TRUE(ev);
    EXPECT_EQ(ev->cid, cid);
    ASSERT_TRUE(side.next(EventType::CallReleased));
}

TEST_F(Wire, ByeAndUnknownRequestsOutsideCallsGet481)
{
    std::string bye = inviteText("z9hG4bKw9", "nocall@peer");
    bye.replace(0, 6, "BYE");
    bye.replace(bye.find("CSeq: 1 INVITE"), 14, "CSeq: 1 BYE");
    peer.send(bye, agentAddr());
    EXPECT_FALSE(wait_for(peer, "481 BYE").empty());
}

TEST_F(Wire, OptionsReachTheApplicationAndItsAnswerHasContact)
{
    std::string opt = siptest::options_text(peer.port(), "z9hG4bKo9");
    peer.send(opt, agentAddr());
    auto ev = side.next(EventType::MessageNew);
    ASSERT_TRUE(ev);
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        Message ok;
        ASSERT_EQ(side.agent->optionsBuildAnswer(ev->tid, 200, &ok), 0);
        ASSERT_EQ(side.agent->optionsSendAnswer(ev->tid, 200, std::move(ok)), 0);
        EXPECT_EQ(side.agent->messageSendAnswer(ev->tid, 200, Message()), -3);
    }
    std::string ok = wait_for(peer, "200 OPTIONS");
    ASSERT_FALSE(ok.empty());
    EXPECT_NE(header_of(ok, "Contact").find("127.0.0.1:" + std::to_string(side.port())), std::string::npos);
}

TEST_F(Wire, ChallengedInviteIsSentAgainWithStoredCredentials)
{
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        side.agent->addAuthenticationInfo("me", "auth-me", "secret", "", "gw");
    }
    int cid = callPeer(sdp());
    std::string first = wait_for(peer, "INVITE");
    ASSERT_FALSE(first.empty());
    Message req = Message::parse(first);
    peer.send(make_challenge(req, 407, challenge_of("gw", "n1")).toString(), agentAddr());
    auto ev = side.next(EventType::CallRequestFailure);
    ASSERT_TRUE(ev);
    EXPECT_TRUE(ev->will_retry) << "a retried 407 is not a final failure";
    EXPECT_FALSE(wait_for(peer, "ACK").empty()) << "the 407 is acknowledged";
    std::string second = wait_for(peer, "INVITE");
    ASSERT_FALSE(second.empty());
    Message again = Message::parse(second);
    EXPECT_EQ(again.cseq(), 21u);
    EXPECT_EQ(again.callId(), req.callId());
    EXPECT_NE(again.topBranch(), req.topBranch());
    digest_response_t dr;
    ASSERT_EQ(digest_parse_response(again.header("Proxy-Authorization"), &dr), 0);
    EXPECT_EQ(dr.username, "auth-me");
    EXPECT_TRUE(digest_verify(dr, "INVITE", digest_ha1("auth-me", "gw", "secret")));
    reply(second, 200);
    auto ans = side.next(EventType::CallAnswered);
    ASSERT_TRUE(ans);
    EXPECT_EQ(ans->cid, cid);
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        ASSERT_EQ(side.agent->callSendAck(ans->tid), 0);
    }
    std::string ack = wait_for(peer, "ACK");
    ASSERT_FALSE(ack.empty());
    EXPECT_FALSE(header_of(ack, "Proxy-Authorization").empty()) << "the ACK carries the credentials";
}

TEST_F(Wire, ChallengeWithoutCredentialsIsAFinalFailure)
{
    int cid = callPeer(sdp());
    std::string first = wait_for(peer, "INVITE");
    ASSERT_FALSE(first.empty());
    peer.send(make_challenge(Message::parse(first), 407, challenge_of("gw", "n1")).toString(), agentAddr());
    auto ev = side.next(EventType::CallRequestFailure);
    ASSERT_TRUE(ev);
    EXPECT_FALSE(ev->will_retry);
    EXPECT_EQ(ev->response.statusCode(), 407);
    auto rel = side.next(EventType::CallReleased);
    ASSERT_TRUE(rel);
    EXPECT_EQ(rel->cid, cid);
}

TEST_F(Wire, SessionIntervalTooSmallIsRetriedWithMinSE)
{
    callPeer(sdp());
    std::string first = wait_for(peer, "INVITE");
    ASSERT_FALSE(first.empty());
    reply(first, 422, "t422", "Min-SE: 1800\r\n");
    auto ev = side.next(EventType::CallRequestFailure);
    ASSERT_TRUE(ev);
    EXPECT_TRUE(ev->will_retry);
    // past the first INVITE's retransmissions, which end with the 422's ACK
    EXPECT_FALSE(wait_for(peer, "ACK").empty()) << "the 422 is acknowledged";
    std::string second = wait_for(peer, "INVITE");
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(header_of(second, "Session-Expires"), "1800");
    EXPECT_EQ(header_of(second, "Min-SE"), "1800");
}

TEST_F(Wire, RedirectIsFollowedToTheFirstContact)
{
    UdpPeer other;
    int cid = callPeer(sdp());
    std::string first = wait_for(peer, "INVITE");
    ASSERT_FALSE(first.empty());
    std::string target = "sip:moved@127.0.0.1:" + std::to_string(other.port());
    reply(first, 302, "r302", "Contact: <" + target + ">\r\nDiversion: <sip:peer@127.0.0.1>;reason=unconditional\r\n");
    auto ev = side.next(EventType::CallRedirected);
    ASSERT_TRUE(ev);
    EXPECT_TRUE(ev->will_retry);
    std::string second = wait_for(other, "INVITE");
    ASSERT_FALSE(second.empty()) << "the INVITE did not follow the redirect";
    Message again = Message::parse(second);
    EXPECT_EQ(again.requestUri().toString(), target);
    EXPECT_FALSE(again.header("Diversion").empty());
    // No usable target: the redirect is final.
    Message resp = make_response(again, 302, {.reason = "", .to_tag = "r2", .server = "", .copy_record_route = false});
    resp.addHeader("Contact", "<mailto:nobody@example.com>");
    other.send(resp.toString(), agentAddr());
    auto final_ev = side.next(EventType::CallRedirected);
    ASSERT_TRUE(final_ev);
    EXPECT_FALSE(final_ev->will_retry);
    auto rel = side.next(EventType::CallReleased);
    ASSERT_TRUE(rel);
    EXPECT_EQ(rel->cid, cid);
}

TEST_F(Wire, GlareGets491AndLowerCSeqGets500)
{
    peer.send(inviteText("z9hG4bKg1", "g1@peer"), agentAddr());
    auto inv = side.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        Message ok;
        ASSERT_EQ(side.agent->callBuildAnswer(inv->tid, 200, &ok), 0);
        ok.setBody("application/sdp", sdp());
        ASSERT_EQ(side.agent->callSendAnswer(inv->tid, 200, std::move(ok)), 0);
    }
    std::string ok = wait_for(peer, "200 INVITE");
    ASSERT_FALSE(ok.empty());
    std::string to = Message::parse(ok).header("To");
    // in-dialog request text from the peer, method and CSeq as given
    auto in_dialog = [&](const std::string& method, int cseq, const std::string& branch) {
        return method + " sip:you@127.0.0.1:" + std::to_string(side.port()) + " SIP/2.0\r\n"
               "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.port()) + ";branch=" + branch + ";rport\r\n"
               "Max-Forwards: 70\r\n"
               "From: <sip:peer@127.0.0.1>;tag=pf1\r\n"
               "To: " + to + "\r\n"
               "Call-ID: g1@peer\r\n"
               "CSeq: " + std::to_string(cseq) + " " + method + "\r\n"
               "Contact: <sip:peer@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n"
               "Content-Length: 0\r\n\r\n";
    };
    peer.send(in_dialog("ACK", 1, "z9hG4bKg1a"), agentAddr());
    ASSERT_TRUE(side.next(EventType::CallAck));
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        Message re;
        ASSERT_EQ(side.agent->callBuildRequest(inv->did, "INVITE", &re), 0);
        re.setBody("application/sdp", sdp("2"));
        ASSERT_GT(side.agent->callSendRequest(inv->did, std::move(re)), 0);
    }
    ASSERT_FALSE(wait_for(peer, "INVITE").empty());
    peer.send(in_dialog("INVITE", 2, "z9hG4bKg2"), agentAddr());
    EXPECT_FALSE(wait_for(peer, "491 INVITE").empty()) << "re-INVITEs crossed: 491 expected";
    peer.send(in_dialog("INFO", 1, "z9hG4bKg3"), agentAddr());
    std::string low = wait_for(peer, "500 INFO");
    ASSERT_FALSE(low.empty());
    EXPECT_NE(low.find("Wrong Lower CSeq"), std::string::npos);
}
