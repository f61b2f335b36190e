// Registrations against a raw registrar: digest, refresh on the layer's
// clock, 423, retry after failure and removal while a REGISTER is in flight.
#include "agent_fixture.h"

#include "sip/core/digest.h"
#include "sip/core/response.h"

using namespace agenttest;
using namespace sipcore;
using siptest::UdpPeer;

namespace {

class Registrations : public ::testing::Test {
protected:
    sock_addr_t agentAddr() { return make_addr("127.0.0.1", side.port()); }
    int start(int expires = 60)
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        side.agent->addAuthenticationInfo("100", "auth100", "pw", "", "reg");
        Message msg;
        int rid = side.agent->registerBuildInitial("\"Line\" <sip:100@example.com>",
                                                   "sip:127.0.0.1:" + std::to_string(registrar.port()),
                                                   "<sip:100@127.0.0.1:5060;line=4>", expires, &msg);
        EXPECT_GT(rid, 0);
        EXPECT_EQ(side.agent->registerSend(rid, std::move(msg)), 0);
        return rid;
    }
    void answer(const std::string& text, int code, const std::string& extra = "")
    {
        Message r = make_response(Message::parse(text), code);
        std::string t = r.toString();
        if (!extra.empty())
            t.insert(t.find("\r\n") + 2, extra);
        registrar.send(t, agentAddr());
    }
    void advance(int64_t ms)
    {
        // under the lock: the layer reads the clock while it works
        std::lock_guard<std::mutex> g(side.agent->mutex());
        clock.ms += ms;
        side.agent->automaticAction();
    }
    FakeClock clock;
    Side side{clock, 500};  // no retransmissions in the way
    UdpPeer registrar;
};

}  // namespace

TEST_F(Registrations, DigestThenRefreshBeforeExpiry)
{
    int rid = start();
    std::string first = wait_for(registrar, "REGISTER");
    ASSERT_FALSE(first.empty());
    Message m = Message::parse(first);
    EXPECT_EQ(m.header("Contact"), "<sip:100@127.0.0.1:5060;line=4>");
    EXPECT_EQ(m.header("Expires"), "60");
    EXPECT_EQ(m.from().uri().user(), "100");
    registrar.send(make_challenge(m, 401, challenge_of("reg", "abc", "op")).toString(), agentAddr());
    auto ch = side.next(EventType::RegistrationFailure);
    ASSERT_TRUE(ch);
    EXPECT_TRUE(ch->will_retry);
    EXPECT_EQ(ch->rid, rid);
    std::string second = wait_for(registrar, "REGISTER");
    ASSERT_FALSE(second.empty());
    Message m2 = Message::parse(second);
    EXPECT_EQ(m2.cseq(), m.cseq() + 1);
    digest_response_t dr;
    ASSERT_EQ(digest_parse_response(m2.header("Authorization"), &dr), 0);
    EXPECT_EQ(dr.username, "auth100");
    EXPECT_EQ(dr.opaque, "op");
    EXPECT_TRUE(digest_verify(dr, "REGISTER", digest_ha1("auth100", "reg", "pw")));
    answer(second, 200, "Expires: 60\r\n");
    auto ok = side.next(EventType::RegistrationSuccess);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->rid, rid);

    advance(53000);
    EXPECT_TRUE(wait_for(registrar, "REGISTER", 200).empty()) << "refreshed too early";
    advance(1000);
    std::string refresh = wait_for(registrar, "REGISTER");
    ASSERT_FALSE(refresh.empty()) << "no refresh at 54 s of 60";
    Message m3 = Message::parse(refresh);
    EXPECT_EQ(m3.cseq(), m2.cseq() + 1);
    EXPECT_EQ(m3.callId(), m.callId());
    EXPECT_EQ(m3.header("Expires"), "60");
}

TEST_F(Registrations, StaleNoncesAreAnsweredWithoutUsingUpTheTries)
{
    // The registrar's answers in turn, and whether the layer tries again.
    struct {
        const char* nonce;
        bool stale;
        bool answered;
    } steps[] = {
        {"n1", false, true},  {"n2", true, true},  {"n3", false, true}, {"n4", true, true},
        {"n5", true, true},   {"n6", false, true}, {"n7", true, false},   // a fourth stale one: bounded
    };
    start();
    std::string request = wait_for(registrar, "REGISTER");
    ASSERT_FALSE(request.empty());
    for (const auto& step : steps) {
        SCOPED_TRACE(step.nonce);
        challenge_t c = challenge_of("reg", step.nonce);
        c.stale = step.stale;
        registrar.send(make_challenge(Message::parse(request), 401, c).toString(), agentAddr());
        auto ev = side.next(EventType::RegistrationFailure);
        ASSERT_TRUE(ev);
        EXPECT_EQ(ev->will_retry, step.answered);
        std::string again = wait_for(registrar, "REGISTER", step.answered ? 3000 : 300);
        ASSERT_EQ(again.empty(), !step.answered);
        if (!step.answered)
            break;
        // Answered with the stored credentials and the new nonce.
        digest_response_t dr;
        ASSERT_EQ(digest_parse_response(header_of(again, "Authorization"), &dr), 0);
        EXPECT_EQ(dr.nonce, step.nonce);
        EXPECT_TRUE(digest_verify(dr, "REGISTER", digest_ha1("auth100", "reg", "pw")));
        request = again;
    }
}

TEST_F(Registrations, IntervalTooBriefIsRetriedWithMinExpires)
{
    start(30);
    std::string first = wait_for(registrar, "REGISTER");
    ASSERT_FALSE(first.empty());
    answer(first, 423, "Min-Expires: 120\r\n");
    auto ev = side.next(EventType::RegistrationFailure);
    ASSERT_TRUE(ev);
    EXPECT_TRUE(ev->will_retry);
    std::string second = wait_for(registrar, "REGISTER");
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(header_of(second, "Expires"), "120");
}

TEST_F(Registrations, FailureIsRetriedLater)
{
    start();
    std::string first = wait_for(registrar, "REGISTER");
    ASSERT_FALSE(first.empty());
    answer(first, 503);
    auto ev = side.next(EventType::RegistrationFailure);
    ASSERT_TRUE(ev);
    EXPECT_FALSE(ev->will_retry);
    advance(119000);
    EXPECT_TRUE(wait_for(registrar, "REGISTER", 200).empty());
    advance(1000);
    EXPECT_FALSE(wait_for(registrar, "REGISTER").empty()) << "no retry after 120 s";
}

TEST_F(Registrations, RemovedWhileInFlightUnregistersOnceAndStops)
{
    int rid = start();
    std::string first = wait_for(registrar, "REGISTER");
    ASSERT_FALSE(first.empty());
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        Message msg;
        EXPECT_EQ(side.agent->registerBuild(rid, 0, &msg), -3) << "a REGISTER is in flight";
        EXPECT_EQ(side.agent->registerRemove(rid), 0);
    }
    EXPECT_TRUE(wait_for(registrar, "REGISTER", 200).empty()) << "nothing while the first is pending";
    // (a retransmission of the first would show here only after T1 = 500 ms)
    answer(first, 200, "Expires: 60\r\n");
    std::string un = wait_for(registrar, "REGISTER");
    ASSERT_FALSE(un.empty()) << "the removal never went out";
    EXPECT_EQ(header_of(un, "Expires"), "0");
    answer(un, 200);
    side.drain(200);
    advance(3600000);
    EXPECT_TRUE(wait_for(registrar, "REGISTER", 300).empty()) << "a removed registration was refreshed";
    std::lock_guard<std::mutex> g(side.agent->mutex());
    Message msg;
    EXPECT_EQ(side.agent->registerBuild(rid, 60, &msg), -6);
}
