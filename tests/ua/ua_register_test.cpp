// Registration of a channel's account against a loopback registrar: the
// REGISTER's addresses, the challenge, where results go, and removal also
// while a REGISTER is in flight or when the channel registers again.
#include <gtest/gtest.h>

#include "core/channel_table.h"
#include "sip/agent/agent.h"
#include "support/log_capture.h"
#include "ua/sip_peer.h"
#include "ua/test_sip_channel.h"
#include "ua/ua_context.h"
#include "ua/ua_harness.h"
#include "ua/user_agent.h"

using sipcore::Message;

namespace {

std::string answer(const Message& request, int code, const std::string& reason, const std::string& extra = "")
{
    std::string s = "SIP/2.0 " + std::to_string(code) + " " + reason + "\r\n";
    for (const auto& v : request.headers("Via"))
        s += "Via: " + v + "\r\n";
    s += "From: " + request.header("From") + "\r\nTo: " + request.header("To") + ";tag=reg\r\n";
    s += "Call-ID: " + request.callId() + "\r\nCSeq: " + std::to_string(request.cseq()) + " REGISTER\r\n";
    return s + extra + "Content-Length: 0\r\n\r\n";
}

class UaRegisterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!enter_own_net_namespace())
            GTEST_SKIP() << "needs root for a network namespace";
        sipagent::Agent::setLocalIpOverride("192.168.1.10");
        h = std::make_unique<UaHarness>();
        peer = std::make_unique<SipPeer>();
        ch = new TestSipChannel(4, "100@10.0.0.1");
        ch->settings.transport = 2;
        ch->settings.authname = "auth100";
        ch->settings.password = "secret";
        ch->settings.realm = "gw";
        ch->settings.proxy = "127.0.0.1:5070";
        ch->settings.expires = 60;
        channel_table[4] = ch;
        ASSERT_TRUE(h->start());
    }
    void TearDown() override { sipagent::Agent::setLocalIpOverride(""); }

    Message nextRegister(int ms = 2000)
    {
        for (int i = 0; i < 5; ++i) {
            Message m = peer->receive(ms);
            if (!m || (m.isRequest() && m.method() == "REGISTER"))
                return m;
        }
        return {};
    }
    size_t registrations()
    {
        UaLock lock;
        return lock.ctx ? lock.ctx->counts().registrations : 0;
    }

    std::unique_ptr<UaHarness> h;
    std::unique_ptr<SipPeer> peer;
    TestSipChannel* ch = nullptr;
};

TEST_F(UaRegisterTest, RegisterThroughTheProxyWithDigestThenRemoval)
{
    int id = ua_register(ch);
    ASSERT_GT(id, 0);
    Message reg = nextRegister();
    ASSERT_TRUE(reg);
    EXPECT_EQ(reg.requestUri().toString(), "sip:10.0.0.1;transport=tls");
    EXPECT_EQ(reg.header("Contact"), "<sip:100@192.168.1.10:5061;line=4;transport=tls>");
    EXPECT_EQ(reg.header("Route"), "<sip:127.0.0.1:5070;lr>");
    EXPECT_EQ(reg.from().uri().toString(), "sip:100@10.0.0.1");
    EXPECT_EQ(reg.header("Expires"), "60");
    peer->send(answer(reg, 401, "Unauthorized", "WWW-Authenticate: Digest realm=\"gw\", nonce=\"abc\"\r\n"));
    Message again = nextRegister();
    ASSERT_TRUE(again);
    EXPECT_NE(again.header("Authorization").find("username=\"auth100\""), std::string::npos)
        << again.header("Authorization");
    peer->send(answer(again, 200, "OK", "Expires: 60\r\n"));
    ASSERT_TRUE(h->waitFor("Endpoint registered ch=4"));
    // the challenge the layer answered is no result
    EXPECT_FALSE(h->sawLine("Registration failed"));

    h->events.clear();
    EXPECT_EQ(ua_unregister(id, "auth100", "gw"), 0);
    Message removal = nextRegister();
    ASSERT_TRUE(removal);
    EXPECT_EQ(removal.header("Expires"), "0");
    peer->send(answer(removal, 200, "OK"));
    h->pump(200);
    EXPECT_TRUE(h->events.empty()) << ::testing::PrintToString(h->events);
    EXPECT_EQ(registrations(), 0u);
    EXPECT_EQ(ua_unregister(-1, "auth100", "gw"), 0);
}

TEST_F(UaRegisterTest, NothingIsSentToOurselvesOrWithoutAccount)
{
    const struct {
        const char* registrar;
        const char* uri;
    } rows[] = {{"192.168.1.10", "100@10.0.0.1"}, {"127.0.0.1", "100@10.0.0.1"}, {"", "100@127.0.0.1"},
                {"10.0.0.1", ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.registrar) + " " + row.uri);
        ch->settings.registrar = row.registrar;
        ch->account = row.uri;
        EXPECT_EQ(ua_register(ch), -1);
    }
    EXPECT_FALSE(nextRegister(300));
    EXPECT_EQ(registrations(), 0u);
}

// Both spellings of the proxy give the same Route; a virtual channel's
// registration is sent but its results reach no channel.
TEST_F(UaRegisterTest, VirtualChannelRegistersWithoutResults)
{
    TestSipChannel virtual_channel(1000, "300@10.0.0.1");
    virtual_channel.settings.proxy = "sip:127.0.0.1:5070";
    ASSERT_GT(ua_register(&virtual_channel), 0);
    Message reg = nextRegister();
    ASSERT_TRUE(reg);
    EXPECT_EQ(reg.header("Route"), "<sip:127.0.0.1:5070;lr>");
    EXPECT_EQ(reg.header("Contact"), "<sip:300@192.168.1.10:5060;line=1000>");
    peer->send(answer(reg, 200, "OK", "Expires: 3600\r\n"));
    h->pump(300);
    EXPECT_FALSE(h->sawLine("Endpoint registered")) << ::testing::PrintToString(h->events);
}

// Removing a registration whose REGISTER is unanswered, or registering
// again, leaves nothing behind: the Expires 0 follows once the registrar
// has answered.
TEST_F(UaRegisterTest, RemovalWhileInFlightAndRegisteringAgainLeakNothing)
{
    int first = ua_register(ch);
    ASSERT_GT(first, 0);
    Message reg = nextRegister();
    ASSERT_TRUE(reg);
    int second = ua_register(ch);  // again, before the registrar answered
    ASSERT_GT(second, 0);
    Message reg2 = nextRegister();
    ASSERT_TRUE(reg2);
    EXPECT_NE(reg2.callId(), reg.callId());
    peer->send(answer(reg, 200, "OK", "Expires: 60\r\n"));
    Message removal = nextRegister();
    ASSERT_TRUE(removal);
    EXPECT_EQ(removal.callId(), reg.callId());
    EXPECT_EQ(removal.header("Expires"), "0");
    peer->send(answer(removal, 200, "OK"));
    // the old registration's results no longer reach the channel
    h->pump(200);
    EXPECT_FALSE(h->sawLine("Endpoint registered")) << ::testing::PrintToString(h->events);

    EXPECT_EQ(ua_unregister(second, "auth100", "gw"), 0);  // in flight
    peer->send(answer(reg2, 200, "OK", "Expires: 60\r\n"));
    Message removal2 = nextRegister();
    ASSERT_TRUE(removal2);
    EXPECT_EQ(removal2.callId(), reg2.callId());
    EXPECT_EQ(removal2.header("Expires"), "0");
    peer->send(answer(removal2, 200, "OK"));
    h->pump(200);
    EXPECT_EQ(registrations(), 0u);
    EXPECT_FALSE(h->sawLine("Endpoint registered")) << ::testing::PrintToString(h->events);
}

TEST(UaHostFromUri, SchemeIsAddedAndBadTextGivesNothing)
{
    EXPECT_EQ(ua_get_host_from_uri("100@10.0.0.1"), "10.0.0.1");
    EXPECT_EQ(ua_get_host_from_uri("sip:100@example.com:5070"), "example.com");
    LogCapture log;
    EXPECT_EQ(ua_get_host_from_uri("a@"), "");
    EXPECT_TRUE(log.contains("ua_get_host_from_uri(): cannot parse uri \"a@\""));
}

}  // namespace
