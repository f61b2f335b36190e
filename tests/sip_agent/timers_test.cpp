// The layer's own timers, driven by a fake clock against a raw UDP peer: the
// ring time-out on either side, the session that ends when the peer stops
// refreshing it, and the registration retry that a Retry-After sets.
#include "agent_fixture.h"

#include <algorithm>

#include "sip/core/response.h"

using namespace agenttest;
using namespace sipcore;
using siptest::UdpPeer;

namespace {

class Timers : public PeerSide {
protected:
    Timers() : PeerSide(200) {}
    // A request of the peer's call (Call-ID "t@peer", From tag pf1).
    std::string request(const std::string& method, int cseq, const std::string& to,
                        const std::string& extra = "", const std::string& body = "")
    {
        static int branch = 0;
        return method + " sip:you@127.0.0.1:" + std::to_string(side.port()) + " SIP/2.0\r\n"
               "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.port()) + ";branch=z9hG4bKt" +
               std::to_string(++branch) + ";rport\r\n"
               "Max-Forwards: 70\r\n"
               "From: <sip:peer@127.0.0.1>;tag=pf1\r\n"
               "To: " + to + "\r\n"
               "Call-ID: t@peer\r\n"
               "CSeq: " + std::to_string(cseq) + " " + method + "\r\n"
               "Contact: <sip:peer@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n" + extra +
               (body.empty() ? "" : "Content-Type: application/sdp\r\n") +
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    void send(const std::string& text) { peer.send(text, agentAddr()); }
    void expectOneReleaseLast(int cid)
    {
        side.drain(50);
        bool last = false;
        EXPECT_EQ(side.releases(cid, &last), 1);
        EXPECT_TRUE(last);
    }
};

}  // namespace

// Our call rings for 180 s: NOANSWER, then the CANCEL, then the failure and release.
TEST_F(Timers, OutgoingCallRingingTooLongIsCancelled)
{
    int cid = callPeer();
    std::string invite = wait_for(peer, "INVITE");
    ASSERT_FALSE(invite.empty());
    reply(invite, 180);
    ASSERT_TRUE(side.next(EventType::CallRinging));
    advance(179000);
    EXPECT_TRUE(wait_for(peer, "CANCEL", 200).empty()) << "cancelled before 180 s";
    advance(1000);
    auto na = side.next(EventType::CallNoAnswer);
    ASSERT_TRUE(na);
    EXPECT_EQ(na->cid, cid);
    std::string cancel = wait_for(peer, "CANCEL");
    ASSERT_FALSE(cancel.empty());
    reply(cancel, 200, "");
    reply(invite, 487);
    ASSERT_TRUE(side.next(EventType::CallReleased));
    expectOneReleaseLast(cid);
    // NOANSWER came before the 487's failure
    auto no = std::find(side.seen.begin(), side.seen.end(), std::make_pair(EventType::CallNoAnswer, cid));
    auto fail = std::find(side.seen.begin(), side.seen.end(), std::make_pair(EventType::CallRequestFailure, cid));
    EXPECT_LT(no - side.seen.begin(), fail - side.seen.begin());
}

// Hung up while ringing, and the peer answers the CANCEL but never the
// INVITE: after 64*T1 the INVITE counts as cancelled and the call is released.
TEST_F(Timers, CancelledCallWithoutFinalAnswerIsReleased)
{
    int cid = callPeer();
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
    reply(cancel, 200, "");
    advance(64 * 200 - 100);
    EXPECT_FALSE(side.next(EventType::CallReleased, 300)) << "released before 64*T1";
    advance(100);
    ASSERT_TRUE(side.next(EventType::CallReleased));
    expectOneReleaseLast(cid);
    std::lock_guard<std::mutex> g(side.agent->mutex());
    EXPECT_EQ(side.agent->counts().calls, 0u);
    EXPECT_EQ(side.agent->counts().dialogs, 0u);
}

// An incoming call nobody answers for 180 s is ended with 408.
TEST_F(Timers, IncomingCallUnansweredIsEndedWith408)
{
    std::string invite = request("INVITE", 1, "<sip:you@127.0.0.1>");
    send(invite);
    auto inv = side.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    ASSERT_EQ(side.answer(inv->tid, 180), 0);
    ASSERT_FALSE(wait_for(peer, "180 INVITE").empty());
    advance(179000);
    EXPECT_TRUE(wait_for(peer, "408 INVITE", 200).empty()) << "ended before 180 s";
    advance(1000);
    EXPECT_FALSE(wait_for(peer, "408 INVITE").empty());
    auto closed = side.next(EventType::CallClosed);
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->cid, inv->cid);
    ASSERT_TRUE(side.next(EventType::CallReleased));
    expectOneReleaseLast(inv->cid);
    EXPECT_EQ(side.answer(inv->tid, 200, sdp()), -6) << "the call is gone";
}

// The peer refreshes (refresher=uac); we only watch. Each refresh restarts
// the watch; when none comes the session ends with BYE before it expires.
TEST_F(Timers, SessionEndsWithByeWhenThePeerStopsRefreshing)
{
    send(request("INVITE", 1, "<sip:you@127.0.0.1>",
                 "Supported: timer\r\nSession-Expires: 90;refresher=uac\r\n", sdp()));
    auto inv = side.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    ASSERT_EQ(side.answer(inv->tid, 200, sdp(), {{"Supported", "timer"}}), 0);
    std::string ok_text = wait_for(peer, "200 INVITE");
    ASSERT_FALSE(ok_text.empty());
    Message ok = Message::parse(ok_text);
    EXPECT_EQ(ok.header("Session-Expires"), "90;refresher=uac");
    EXPECT_EQ(ok.header("Require"), "timer");
    std::string to = ok.header("To");
    send(request("ACK", 1, to));
    ASSERT_TRUE(side.next(EventType::CallAck));

    advance(59000);
    EXPECT_TRUE(wait_for(peer, "BYE", 200).empty()) << "ended while the session was still fresh";
    send(request("UPDATE", 2, to, "Supported: timer\r\nSession-Expires: 90;refresher=uac\r\n"));
    auto upd = side.next(EventType::CallMessageNew);
    ASSERT_TRUE(upd);
    EXPECT_EQ(upd->request.method(), "UPDATE");
    ASSERT_EQ(side.answer(upd->tid, 200, "", {{"Supported", "timer"}}), 0);
    ASSERT_FALSE(wait_for(peer, "200 UPDATE").empty());

    advance(59000);
    EXPECT_TRUE(wait_for(peer, "BYE", 200).empty()) << "the refresh did not restart the session";
    advance(1000);
    std::string bye = wait_for(peer, "BYE");
    ASSERT_FALSE(bye.empty()) << "no BYE for an expired session";
    auto closed = side.next(EventType::CallClosed);
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->cid, inv->cid);
    reply(bye, 200, "");
    ASSERT_TRUE(side.next(EventType::CallReleased));
    expectOneReleaseLast(inv->cid);
}

// A failed REGISTER is sent again after Retry-After when the registrar gives
// one, else after 120 s.
TEST_F(Timers, RegistrationRetryFollowsRetryAfter)
{
    struct case_t {
        int code;
        const char* retry_after;
        int64_t wait_ms;
    };
    for (const case_t& c : {case_t{503, "30", 30000}, case_t{500, "5 (maintenance)", 5000},
                            case_t{480, "", 120000}, case_t{503, "junk", 120000},
                            // past 32 bits: not wrapped round to 5 s
                            case_t{503, "4294967301", 120000}}) {
        SCOPED_TRACE(std::to_string(c.code) + " Retry-After " + c.retry_after);
        int rid;
        {
            std::lock_guard<std::mutex> g(side.agent->mutex());
            Message msg;
            rid = side.agent->registerBuildInitial("<sip:100@example.com>",
                                                   "sip:127.0.0.1:" + std::to_string(peer.port()),
                                                   "<sip:100@127.0.0.1>", 60, &msg);
            ASSERT_EQ(side.agent->registerSend(rid, std::move(msg)), 0);
        }
        std::string first = wait_for(peer, "REGISTER");
        ASSERT_FALSE(first.empty());
        std::vector<std::pair<std::string, std::string>> h;
        if (*c.retry_after)
            h.push_back({"Retry-After", c.retry_after});
        reply(first, c.code, "reg", h);
        auto failed = side.next(EventType::RegistrationFailure);
        ASSERT_TRUE(failed);
        EXPECT_FALSE(failed->will_retry);
        advance(c.wait_ms - 1000);
        EXPECT_TRUE(wait_for(peer, "REGISTER", 200).empty()) << "tried again too soon";
        advance(1000);
        std::string again = wait_for(peer, "REGISTER");
        ASSERT_FALSE(again.empty()) << "not tried again";
        EXPECT_EQ(Message::parse(again).callId(), Message::parse(first).callId());
        reply(again, 200, "reg", {{"Expires", "60"}});
        ASSERT_TRUE(side.next(EventType::RegistrationSuccess));
        {
            std::lock_guard<std::mutex> g(side.agent->mutex());
            ASSERT_EQ(side.agent->registerRemove(rid), 0);
        }
        std::string removal = wait_for(peer, "REGISTER");
        ASSERT_FALSE(removal.empty());
        reply(removal, 200, "reg");
        ASSERT_TRUE(side.next(EventType::RegistrationSuccess));
    }
}

namespace {

// Our re-INVITE in an established call; its tid.
int reinvite(Side& side, int did)
{
    std::lock_guard<std::mutex> g(side.agent->mutex());
    Message re;
    if (side.agent->callBuildRequest(did, "INVITE", &re) < 0)
        return -1;
    re.setBody("application/sdp", sdp("2", 4010));
    return side.agent->callSendRequest(did, std::move(re));
}

}  // namespace

// We chose the Call-ID: a re-INVITE that meets 491 goes again 2.1-4 s later,
// with the next CSeq and the same offer, up to three times.
TEST_F(Timers, ReinviteMeeting491IsSentAgainLaterAsCaller)
{
    int cid = callPeer(sdp());
    std::string invite = wait_for(peer, "INVITE");
    ASSERT_FALSE(invite.empty());
    reply(invite, 200, "peer1", {{"Contact", peerContact()}});
    auto ans = side.next(EventType::CallAnswered);
    ASSERT_TRUE(ans);
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        ASSERT_EQ(side.agent->callSendAck(ans->tid), 0);
    }
    ASSERT_GT(reinvite(side, ans->did), 0);
    std::string re = wait_for(peer, "INVITE");
    ASSERT_FALSE(re.empty());
    for (int retry = 1; retry <= 3; ++retry) {
        SCOPED_TRACE(retry);
        reply(re, 491, "");
        auto glare = side.next(EventType::CallRequestFailure);
        ASSERT_TRUE(glare);
        EXPECT_EQ(glare->response.statusCode(), 491);
        EXPECT_TRUE(glare->will_retry);
        EXPECT_LT(reinvite(side, ans->did), 0) << "a second re-INVITE while the first waits to go again";
        advance(2090);
        EXPECT_TRUE(wait_for(peer, "INVITE", 200).empty()) << "sent again before 2.1 s";
        advance(1910);
        std::string again = wait_for(peer, "INVITE");
        ASSERT_FALSE(again.empty()) << "not sent again by 4 s";
        Message a = Message::parse(again), r = Message::parse(re);
        EXPECT_EQ(a.cseq(), r.cseq() + 1);
        EXPECT_EQ(a.body(), r.body());
        EXPECT_NE(a.topBranch(), r.topBranch());
        re = again;
    }
    reply(re, 491, "");
    auto final_failure = side.next(EventType::CallRequestFailure);
    ASSERT_TRUE(final_failure);
    EXPECT_FALSE(final_failure->will_retry) << "three retries are enough";
    advance(5000);
    EXPECT_TRUE(wait_for(peer, "INVITE", 200).empty());
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        EXPECT_EQ(side.agent->callTerminate(cid, 0), 0) << "the call stays up after glare";
    }
    std::string bye = wait_for(peer, "BYE");
    ASSERT_FALSE(bye.empty());
    reply(bye, 200, "");
    ASSERT_TRUE(side.next(EventType::CallReleased));
    expectOneReleaseLast(cid);
}

// The peer chose the Call-ID: we go again within 2 s; a hang-up in the
// meantime drops the retry.
TEST_F(Timers, ReinviteMeeting491IsSentAgainSoonerAsCalleeAndNotAfterHangUp)
{
    send(request("INVITE", 1, "<sip:you@127.0.0.1>", "", sdp()));
    auto inv = side.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    ASSERT_EQ(side.answer(inv->tid, 200, sdp("1", 4002)), 0);
    std::string ok_text = wait_for(peer, "200 INVITE");
    ASSERT_FALSE(ok_text.empty());
    std::string to = Message::parse(ok_text).header("To");
    send(request("ACK", 1, to));
    ASSERT_TRUE(side.next(EventType::CallAck));

    ASSERT_GT(reinvite(side, inv->did), 0);
    std::string re = wait_for(peer, "INVITE");
    ASSERT_FALSE(re.empty());
    reply(re, 491, "");
    ASSERT_TRUE(side.next(EventType::CallRequestFailure));
    advance(2000);
    std::string again = wait_for(peer, "INVITE");
    ASSERT_FALSE(again.empty()) << "not sent again by 2 s";
    reply(again, 200, "", {{"Contact", peerContact()}});
    auto ans = side.next(EventType::CallAnswered);
    ASSERT_TRUE(ans);
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        ASSERT_EQ(side.agent->callSendAck(ans->tid), 0);
    }
    ASSERT_FALSE(wait_for(peer, "ACK").empty());

    ASSERT_GT(reinvite(side, inv->did), 0);
    re = wait_for(peer, "INVITE");
    ASSERT_FALSE(re.empty());
    reply(re, 491, "");
    ASSERT_TRUE(side.next(EventType::CallRequestFailure));
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        EXPECT_EQ(side.agent->callTerminate(inv->cid, 0), 0);
    }
    std::string bye = wait_for(peer, "BYE");
    ASSERT_FALSE(bye.empty());
    advance(5000);
    EXPECT_TRUE(wait_for(peer, "INVITE", 200).empty()) << "a retry after our BYE";
    reply(bye, 200, "");
    ASSERT_TRUE(side.next(EventType::CallReleased));
    expectOneReleaseLast(inv->cid);
}

// The refresh comes before 90% of the period and 6 s before its end; the
// registrar's grant (our Contact's expires, else Expires) shortens the period
// only when it is more than 15 s shorter.
TEST_F(Timers, RegistrationRefreshFollowsTheGrant)
{
    struct case_t {
        int asked;
        const char* header;
        const char* value;
        int64_t refresh_ms;
    };
    std::string contact = "<sip:100@127.0.0.1>";
    for (const case_t& c : {case_t{3600, "Expires", "3600", 900000}, case_t{60, "Expires", "50", 54000},
                            case_t{60, "Expires", "40", 34000}, case_t{60, "Contact", ";expires=30", 24000}}) {
        SCOPED_TRACE(std::to_string(c.asked) + " " + c.header + ": " + c.value);
        int rid;
        {
            std::lock_guard<std::mutex> g(side.agent->mutex());
            Message msg;
            rid = side.agent->registerBuildInitial("<sip:100@example.com>",
                                                   "sip:127.0.0.1:" + std::to_string(peer.port()), contact, c.asked,
                                                   &msg);
            ASSERT_EQ(side.agent->registerSend(rid, std::move(msg)), 0);
        }
        std::string first = wait_for(peer, "REGISTER");
        ASSERT_FALSE(first.empty());
        std::string header = c.header, value = c.value;
        if (header == "Contact")
            value = contact + value;
        reply(first, 200, "reg", {{header, value}});
        ASSERT_TRUE(side.next(EventType::RegistrationSuccess));
        advance(c.refresh_ms - 1000);
        EXPECT_TRUE(wait_for(peer, "REGISTER", 200).empty()) << "refreshed too early";
        advance(1000);
        std::string refresh = wait_for(peer, "REGISTER");
        ASSERT_FALSE(refresh.empty()) << "no refresh";
        EXPECT_EQ(header_of(refresh, "Expires"), std::to_string(c.asked)) << "the refresh asks for the same again";
        reply(refresh, 200, "reg", {{"Expires", std::to_string(c.asked)}});
        ASSERT_TRUE(side.next(EventType::RegistrationSuccess));
        {
            std::lock_guard<std::mutex> g(side.agent->mutex());
            ASSERT_EQ(side.agent->registerRemove(rid), 0);
        }
        std::string removal = wait_for(peer, "REGISTER");
        ASSERT_FALSE(removal.empty());
        reply(removal, 200, "reg");
        ASSERT_TRUE(side.next(EventType::RegistrationSuccess));
    }
}

// We refresh (refresher=uas): at half the interval, with UPDATE since the
// peer allows it; each answered refresh starts the next half.
TEST_F(Timers, RefresherSendsUpdateAtHalfTheInterval)
{
    send(request("INVITE", 1, "<sip:you@127.0.0.1>",
                 "Supported: timer\r\nAllow: INVITE, ACK, BYE, CANCEL, UPDATE\r\nSession-Expires: 120;refresher=uas\r\n",
                 sdp()));
    auto inv = side.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    ASSERT_EQ(side.answer(inv->tid, 200, sdp(), {{"Supported", "timer"}}), 0);
    std::string ok_text = wait_for(peer, "200 INVITE");
    ASSERT_FALSE(ok_text.empty());
    EXPECT_EQ(header_of(ok_text, "Session-Expires"), "120;refresher=uas");
    std::string to = Message::parse(ok_text).header("To");
    send(request("ACK", 1, to));
    ASSERT_TRUE(side.next(EventType::CallAck));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        advance(59000);
        EXPECT_TRUE(wait_for(peer, "UPDATE", 200).empty()) << "refreshed before half the interval";
        advance(1000);
        std::string upd = wait_for(peer, "UPDATE");
        ASSERT_FALSE(upd.empty()) << "no refresh";
        EXPECT_EQ(header_of(upd, "Session-Expires"), "120;refresher=uac") << "we, the client of the refresh, refresh";
        reply(upd, 200, "", {{"Session-Expires", "120;refresher=uac"}, {"Require", "timer"}});
        side.drain(100);
    }
    EXPECT_TRUE(wait_for(peer, "BYE", 100).empty()) << "a refreshed session was ended";
}
