// The gateway's static-route processor in a proxy on loopback: which
// requests it challenges, how it queues the route table's targets, and when
// the rest of the request chain still runs.
#include <mutex>

#include "core/global_flags.h"
#include "proxy/repro_static_route.h"
#include "sip/core/digest.h"
#include "sip/proxy/digest_authenticator.h"
#include "sip_proxy/proxy_fixture.h"

namespace proxytest {
namespace {

class StaticRouteTest : public ProxyTest {
protected:
    void TearDown() override
    {
        ProxyTest::TearDown();
        globalFlags = 0;
    }

    // A proxy for the domain 127.0.0.1 whose request chain is: the case's
    // context keys, the processor under test, then a probe that notes the
    // queued targets and answers 599.
    void startWith(const std::string& disable_auth, const std::string& disable_auth_int,
                   std::unique_ptr<Processor> first = nullptr)
    {
        start();
        proxy->addDomain("127.0.0.1");
        ConfigParse cfg;
        cfg.set("DisableAuth", disable_auth);
        cfg.set("DisableAuthInt", disable_auth_int);
        if (first)
            proxy->requestChain().add(std::move(first));
        proxy->requestChain().add(step("Keys", [this](RequestContext& c) {
            c.setKey(from_trusted_node_key, trusted);
            c.setKey(certificate_verified_key, verified);
            if (!identity.empty())
                c.setDigestIdentity(identity);
            return processor_action_t::Continue;
        }));
        proxy->requestChain().add(std::make_unique<repro::MyStaticRoute>(cfg, routes));
        proxy->requestChain().add(step("Probe", [this](RequestContext& c) {
            std::string shape;
            for (const auto& q : c.getResponseContext().pendingQueues()) {
                shape += shape.empty() ? "" : " | ";
                for (size_t i = 0; i < q.size(); ++i)
                    shape += (i ? ", " : "") + q[i]->uri().user() + "@" + q[i]->uri().host() +
                             (q[i]->uri().port() ? ":" + std::to_string(q[i]->uri().port()) : "");
            }
            {
                std::lock_guard<std::mutex> g(probe_lock);
                probed = shape;
            }
            c.getResponseContext().pendingQueues().clear();
            c.respond(599, "Probe");
            return processor_action_t::SkipAllChains;
        }));
        run();
    }

    std::string probe()
    {
        std::lock_guard<std::mutex> g(probe_lock);
        return probed;
    }

    RouteStore routes;
    std::atomic<bool> trusted{false}, verified{false};
    std::string identity;  // set before the request is sent
    std::mutex probe_lock;
    std::string probed = "-";
};

// Who is challenged, whatever the route: the global flag, the
// configuration, the trusted peer, ACK/BYE, a client certificate with
// local targets only, and a caller who already authenticated.
TEST_F(StaticRouteTest, ChallengePolicy)
{
    struct case_t {
        const char* label;
        uint32_t flags;
        const char* disable_auth;
        bool trusted, verified;
        const char* identity;
        const char* method;
        const char* ruri;
        int code;  // 407, or 599 when the targets reached the probe
    } cases[] = {
        {"no 0x800: never challenged, even towards an outside domain", 0, "false", false, false, "", "INVITE",
         "sip:8123@127.0.0.1", 599},
        {"0x800: an unknown caller is challenged", 0x800, "false", false, false, "", "INVITE", "sip:7123@127.0.0.1",
         407},
        {"0x800 and DisableAuth: never challenged", 0x800, "true", false, false, "", "INVITE", "sip:8123@127.0.0.1",
         599},
        {"0x800: a BYE passes", 0x800, "false", false, false, "", "BYE", "sip:7123@127.0.0.1", 599},
        {"0x800: a trusted peer passes", 0x800, "false", true, false, "", "INVITE", "sip:8123@127.0.0.1", 599},
        {"0x800: verified certificate, local targets only", 0x800, "false", false, true, "", "INVITE",
         "sip:7123@127.0.0.1", 599},
        {"0x800: verified certificate, an outside target", 0x800, "false", false, true, "", "INVITE",
         "sip:8123@127.0.0.1", 407},
        {"0x800: an authenticated caller passes", 0x800, "false", false, false, "alice", "INVITE",
         "sip:8123@127.0.0.1", 599},
        {"0x800: no route, still challenged", 0x800, "false", false, false, "", "INVITE", "sip:5555@127.0.0.1", 407},
    };
    ASSERT_TRUE(routes.addRoute("", "", "^sip:7([0-9]+)@", "", "sip:$1@127.0.0.1:5999", 1));
    ASSERT_TRUE(routes.addRoute("", "", "^sip:8([0-9]+)@", "", "sip:$1@example.net", 1));
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        if (proxy)
            proxy->stack().stop();
        startWith(c.disable_auth, "false");
        globalFlags = c.flags;
        trusted = c.trusted;
        verified = c.verified;
        identity = c.identity;
        std::string call_id = "auth" + std::to_string(++n);
        alice.send(request_text(c.method, c.ruri, alice, "", "z9hG4bK" + call_id, call_id), addr);
        std::string r = next(alice);
        EXPECT_EQ(code_of(r), c.code) << r;
        if (c.code == 407) {
            Message m = Message::parse(r);
            EXPECT_NE(m.header("Proxy-Authenticate").find("realm=\"127.0.0.1\""), std::string::npos) << r;
            alice.send(ack_of(request_text(c.method, c.ruri, alice, "", "z9hG4bK" + call_id, call_id), r), addr);
        }
    }
}

// "DisableAuthInt" takes qop out of the challenge.
TEST_F(StaticRouteTest, DisableAuthIntDropsQop)
{
    globalFlags = 0x800;
    for (const char* disabled : {"false", "true"}) {
        SCOPED_TRACE(disabled);
        if (proxy)
            proxy->stack().stop();
        startWith("false", disabled);
        std::string call_id = std::string("qop-") + disabled;
        alice.send(request_text("INVITE", "sip:1@127.0.0.1", alice, "", "z9hG4bK" + call_id, call_id), addr);
        Message r = Message::parse(next(alice));
        ASSERT_EQ(r.statusCode(), 407);
        bool qop = r.header("Proxy-Authenticate").find("qop=") != std::string::npos;
        EXPECT_EQ(qop, std::string(disabled) == "false") << r.header("Proxy-Authenticate");
    }
}

// The challenge is answered like any proxy challenge: the digest
// authenticator in front checks the credentials, and the same call then
// goes to its route.
TEST_F(StaticRouteTest, AnsweredChallengeReachesTheRoute)
{
    UserStore users;
    ASSERT_TRUE(users.addUser("alice@example.com", "127.0.0.1", "127.0.0.1", "secret", true, "", ""));
    globalFlags = 0x800;
    ASSERT_TRUE(routes.addRoute("", "", "^sip:7([0-9]+)@", "", "sip:$1@127.0.0.1:5999", 1));
    startWith("false", "false", std::make_unique<DigestAuthenticator>(users));
    std::string first = request_text("INVITE", "sip:7123@127.0.0.1", alice, "", "z9hG4bKda1", "da");
    alice.send(first, addr);
    std::string challenge = next(alice);
    ASSERT_EQ(code_of(challenge), 407) << challenge;
    alice.send(ack_of(first, challenge), addr);
    Message again = Message::parse(request_text("INVITE", "sip:7123@127.0.0.1", alice, "", "z9hG4bKda2", "da"));
    sipcore::digest_credentials_t cr{"alice@example.com", "secret", ""};
    ASSERT_EQ(sipcore::digest_answer(again, Message::parse(challenge), cr, 1, "cn"), 0);
    alice.send(again.toString(), addr);
    std::string r = next(alice);
    EXPECT_EQ(code_of(r), 599) << r;
    EXPECT_EQ(probe(), "123@127.0.0.1:5999");
}

// 0x8 makes the matching routes one parallel batch, otherwise one queue
// each, in the table's order; 0x4 ends the request chain once a route
// matched, and only then.
TEST_F(StaticRouteTest, TargetQueuesAndTheRestOfTheChain)
{
    UdpPeer bob3;
    auto at = [](const UdpPeer& p) { return "@127.0.0.1:" + std::to_string(p.port()); };
    ASSERT_TRUE(routes.addRoute("", "", "^sip:9([0-9]+)@", "", "sip:b$1" + at(bob2), 2));
    ASSERT_TRUE(routes.addRoute("", "", "^sip:9([0-9]*)@", "", "sip:a$1" + at(bob1), 1));
    ASSERT_TRUE(routes.addRoute("", "", "^sip:(9[0-9]+)@", "", "sip:c$1" + at(bob3), 3));
    std::string all = "a123" + at(bob1) + ", b123" + at(bob2) + ", c9123" + at(bob3);
    struct case_t {
        uint32_t flags;
        const char* ruri;
        std::string probed;  // "-": the probe never ran
    } cases[] = {
        {0, "sip:9123@127.0.0.1", "a123" + at(bob1) + " | b123" + at(bob2) + " | c9123" + at(bob3)},
        {0x8, "sip:9123@127.0.0.1", all},
        {0x8, "sip:5123@127.0.0.1", ""},
        {0x4, "sip:5123@127.0.0.1", ""},
        {0x4 | 0x8, "sip:9123@127.0.0.1", "-"},
    };
    startWith("false", "false");
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.flags) + " " + c.ruri);
        globalFlags = c.flags;
        {
            std::lock_guard<std::mutex> g(probe_lock);
            probed = "-";
        }
        std::string call_id = "q" + std::to_string(++n);
        std::string invite = request_text("INVITE", c.ruri, alice, "", "z9hG4bK" + call_id, call_id);
        alice.send(invite, addr);
        std::string r;
        if (c.probed == "-") {
            // Straight to the targets, all three at once.
            for (UdpPeer* b : {&bob1, &bob2, &bob3}) {
                std::string fwd = b->recv(2000);
                ASSERT_FALSE(fwd.empty());
                b->send(answer_text(fwd, 486, "Busy Here"), addr);
            }
            r = next(alice);
            EXPECT_EQ(code_of(r), 486) << r;
        } else {
            r = next(alice);
            EXPECT_EQ(code_of(r), 599) << r;
        }
        EXPECT_EQ(probe(), c.probed);
        alice.send(ack_of(invite, r), addr);
    }
}

}  // namespace
}  // namespace proxytest
