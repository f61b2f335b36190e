// The gateway's request processors on a proxy on loopback: where requests
// of barred callers, to barred and registered subscribers, to unknown numbers
// and to call groups go, the Contact fix-up, and the order of the chains.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "core/global_flags.h"
#include "proxy/contact_fixup.h"
#include "proxy/my_location_server.h"
#include "proxy/repro_api.h"
#include "proxy/repro_runner.h"
#include "sip/proxy/proxy.h"
#include "sip/sip_peer.h"
#include "support/log_capture.h"
#include "support/net_namespace.h"
#include "support/tls_cert.h"

namespace {

using sipcore::Message;
using sipproxy::processor_action_t;
using siptest::UdpPeer;

// Answers 404 in place of forwarding, after noting the targets (one list
// per queue) and the request as it would have left.
class Probe : public sipproxy::Processor {
public:
    Probe() : sipproxy::Processor("Probe") {}
    processor_action_t process(sipproxy::RequestContext& c) override
    {
        std::lock_guard<std::mutex> g(lock);
        queues.clear();
        for (const auto& q : c.getResponseContext().pendingQueues()) {
            queues.emplace_back();
            for (const auto& t : q)
                queues.back().push_back(t->uri().toString());
        }
        forwarded = c.getCurrentRequest().toString();
        c.respond(404);
        return processor_action_t::SkipAllChains;
    }
    std::vector<std::vector<std::string>> seen()
    {
        std::lock_guard<std::mutex> g(lock);
        return queues;
    }
    Message sent()
    {
        std::lock_guard<std::mutex> g(lock);
        return Message::parse(forwarded);
    }

private:
    std::mutex lock;
    std::vector<std::vector<std::string>> queues;
    std::string forwarded;
};

// Notes that the request chain went on after the location server.
class After : public sipproxy::Processor {
public:
    After() : sipproxy::Processor("After") {}
    processor_action_t process(sipproxy::RequestContext&) override
    {
        ++runs;
        return processor_action_t::Continue;
    }
    std::atomic<int> runs{0};
};

class RoutingTest : public ::testing::Test {
protected:
    void SetUp() override { start(); }

    // tls: a secure transport too, on 192.168.2.1 (tls_port).
    void start(bool with_users = true, const sipcore::tls_options_t* tls = nullptr)
    {
        sipcore::stack_config_t sc;
        sc.t1_ms = 100;
        proxy = std::make_unique<sipproxy::Proxy>(sipproxy::proxy_config_t{}, sc);
        int id = proxy->addTransport(sipcore::TransportType::UDP, "0.0.0.0", 0);
        ASSERT_GT(id, 0);
        port = proxy->transportPort(id);
        if (tls) {
            int t = proxy->addTransport(sipcore::TransportType::TLS, "192.168.2.1", 0, tls);
            ASSERT_GT(t, 0);
            tls_port = proxy->transportPort(t);
        }
        proxy->addDomain("gw.test");
        proxy->addDomain("192.168.1.10");
        proxy->requestChain().add(std::make_unique<ContactFixup>());
        proxy->requestChain().add(std::make_unique<MyLocationServer>(db, with_users ? &users : nullptr));
        auto a = std::make_unique<After>();
        after = a.get();
        proxy->requestChain().add(std::move(a));
        auto p = std::make_unique<Probe>();
        probe = p.get();
        proxy->targetChain().add(std::move(p));
        proxy->stack().start();
    }

    void TearDown() override
    {
        if (proxy)
            proxy->stack().stop();
        MutexLock g(proxyMutex);
        proxyUserOptions.clear();
        globalBlex.clear();
        callGroups.clear();
        globalFlags = 0;
    }

    static std::string request(const std::string& method, const std::string& ruri, const std::string& from,
                               const UdpPeer& via, const std::string& extra = "", const std::string& to_tag = "")
    {
        static int n = 0;
        std::string id = std::to_string(++n);
        return method + " " + ruri + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(via.port()) +
               ";branch=z9hG4bKr" + id + ";rport\r\nFrom: <" + from + ">;tag=f" + id + "\r\nTo: <" + ruri + ">" +
               (to_tag.empty() ? "" : ";tag=" + to_tag) + "\r\nCall-ID: c" + id + "@test\r\nCSeq: 1 " + method +
               "\r\nMax-Forwards: 70\r\n" + extra + "Content-Length: 0\r\n\r\n";
    }

    // The final status of text sent from peer (an INVITE's is acknowledged,
    // so that no retransmission of it meets the next request).
    int send(UdpPeer& peer, const std::string& text)
    {
        sipcore::sock_addr_t to = sipcore::make_addr("127.0.0.1", port);
        Message sent = Message::parse(text);
        peer.send(text, to);
        for (;;) {
            Message m = Message::parse(peer.recv(3000));
            if (!m)
                return 0;
            if (m.statusCode() <= 100 || m.callId() != sent.callId())
                continue;
            if (sent.method() == "INVITE")
                peer.send("ACK " + sent.requestUri().toString() + " SIP/2.0\r\nVia: " + sent.header("Via") +
                              "\r\nFrom: " + sent.header("From") + "\r\nTo: " + m.header("To") + "\r\nCall-ID: " +
                              sent.callId() + "\r\nCSeq: 1 ACK\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n",
                          to);
            return m.statusCode();
        }
    }

    void registerContact(const std::string& aor, const std::string& contact, int64_t expires)
    {
        sipproxy::contact_record_t r;
        r.contact = sipcore::NameAddr::parse(contact);
        r.reg_expires = expires;
        r.last_updated = now;
        r.received_from = "UDP:127.0.0.1:5999";
        db.updateContact(aor, r);
    }

    std::atomic<int64_t> now{1000000};
    sipproxy::LocationDb db{[this] { return now.load(); }};
    sipproxy::UserStore users;
    std::unique_ptr<sipproxy::Proxy> proxy;
    int port = 0, tls_port = 0;
    Probe* probe = nullptr;
    After* after = nullptr;
    UdpPeer phone;
};

using Queues = std::vector<std::vector<std::string>>;
const std::string no_money = "sip:ivr-no_money.raw@127.0.0.1:6060;transport=udp";
const std::string sorry = "sip:ivr-sorry.raw@127.0.0.1:6060;transport=udp";

TEST_F(RoutingTest, OutgoingBarringByExceptionExpressions)
{
    struct case_t {
        const char* name;
        bool blout;
        std::string blex, global, number;
        bool barred;
    } cases[] = {
        {"no expression at all", true, "", "", "112", true},
        {"own expression matches", true, "^(112|01)", "", "112", false},
        {"own expression matches a prefix", true, "^(112|01)", "", "0123", false},
        {"own expression does not match", true, "^(112|01)", "", "2001", true},
        {"own expression before the global one", true, "^(112|01)", "^8", "8123", true},
        {"global expression without an own one", true, "", "^8", "8123", false},
        {"global expression unanchored", true, "", "23", "8123", false},
        {"expression that does not compile", true, "(", "", "(", true},
        {"not barred at all", false, "", "", "2001", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            MutexLock g(proxyMutex);
            proxyUserOptions["201"] = {false, c.blout, c.blex, 0};
            globalBlex = c.global;
        }
        EXPECT_EQ(send(phone, request("INVITE", "sip:" + c.number + "@gw.test", "sip:201@gw.test", phone)), 404);
        std::string ua = "sip:" + c.number + "@127.0.0.1:6060;transport=udp";
        EXPECT_EQ(probe->seen(), (Queues{{c.barred ? no_money : ua}}));
    }
}

TEST_F(RoutingTest, OnlyLocalCallersOutsideDialogsAreBarred)
{
    {
        MutexLock g(proxyMutex);
        proxyUserOptions["201"] = {false, true, "", 0};
    }
    // A caller of another domain with the same user name.
    EXPECT_EQ(send(phone, request("INVITE", "sip:2001@gw.test", "sip:201@elsewhere.test", phone)), 404);
    EXPECT_EQ(probe->seen(), (Queues{{"sip:2001@127.0.0.1:6060;transport=udp"}}));
    // Any request of a dialog-less kind is barred...
    EXPECT_EQ(send(phone, request("MESSAGE", "sip:2001@gw.test", "sip:201@gw.test", phone)), 404);
    EXPECT_EQ(probe->seen(), (Queues{{no_money}}));
    // ...but the BYE of a call already up reaches its callee.
    EXPECT_EQ(send(phone, request("BYE", "sip:2001@gw.test", "sip:201@gw.test", phone, "", "t1")), 404);
    EXPECT_EQ(probe->seen(), (Queues{{"sip:2001@127.0.0.1:6060;transport=udp"}}));
}

TEST_F(RoutingTest, ContactsOfLocalCallersFollowTheGlobalFlags)
{
    const std::string ua_contact = "Contact: <sip:201@127.0.0.1:6060>\r\n";
    const std::string other_contact = "Contact: \"Desk\" <sip:201@10.1.1.1:5070;transport=udp>;expires=60\r\n";
    struct case_t {
        const char* name;
        uint32_t flags;
        std::string method, from;
        std::vector<std::string> contacts;
    } cases[] = {
        {"user agent only", 0x1000, "INVITE", "sip:201@192.168.1.10:PORT",
         {"<sip:201@192.168.1.10:PORT>", "\"Desk\" <sip:201@10.1.1.1:5070;transport=udp>;expires=60"}},
        {"others only", 0x2000, "INVITE", "sip:201@192.168.1.10:PORT",
         {"<sip:201@127.0.0.1:6060>", "\"Desk\" <sip:201@192.168.1.10:PORT;transport=udp>;expires=60"}},
        {"both, From without port", 0x3000, "INVITE", "sip:201@gw.test",
         {"<sip:201@gw.test>", "\"Desk\" <sip:201@gw.test;transport=udp>;expires=60"}},
        {"other flags only", 0x0800, "INVITE", "sip:201@gw.test",
         {"<sip:201@127.0.0.1:6060>", "\"Desk\" <sip:201@10.1.1.1:5070;transport=udp>;expires=60"}},
        {"not an INVITE", 0x3000, "MESSAGE", "sip:201@gw.test",
         {"<sip:201@127.0.0.1:6060>", "\"Desk\" <sip:201@10.1.1.1:5070;transport=udp>;expires=60"}},
        {"a caller of another domain", 0x3000, "INVITE", "sip:201@elsewhere.test",
         {"<sip:201@127.0.0.1:6060>", "\"Desk\" <sip:201@10.1.1.1:5070;transport=udp>;expires=60"}},
    };
    auto with_port = [this](std::string s) {
        for (size_t at; (at = s.find("PORT")) != std::string::npos;)
            s.replace(at, 4, std::to_string(port));
        return s;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        globalFlags = c.flags;
        EXPECT_EQ(send(phone, request(c.method, "sip:202@gw.test", with_port(c.from), phone, ua_contact + other_contact)),
                  404);
        std::vector<std::string> expected;
        for (const auto& e : c.contacts)
            expected.push_back(with_port(e));
        EXPECT_EQ(probe->sent().headers("Contact"), expected);
    }
    // The Contact of an INVITE inside a dialog moves too.
    globalFlags = 0x1000;
    EXPECT_EQ(send(phone, request("INVITE", "sip:202@gw.test", "sip:201@gw.test", phone, ua_contact, "t1")), 404);
    EXPECT_EQ(probe->sent().headers("Contact"), std::vector<std::string>{"<sip:201@gw.test>"});
}

TEST_F(RoutingTest, SubscribeIsRefusedBeforeAnyLookup)
{
    EXPECT_EQ(send(phone, request("SUBSCRIBE", "sip:201@gw.test", "sip:alice@elsewhere.test", phone,
                                  "Event: presence\r\n")),
              405);
    EXPECT_EQ(db.recordCount(), 0u);
    EXPECT_EQ(after->runs, 0);
}

TEST_F(RoutingTest, RegisteredAndBarredSubscribers)
{
    registerContact("sip:201@gw.test", "<sip:201@127.0.0.1:5201>", now + 60);
    registerContact("sip:201@gw.test", "<sip:201@127.0.0.1:5202>;q=0.5", now + 60);
    registerContact("sip:201@gw.test", "<sip:201@127.0.0.1:5203>", now);  // expires this second
    EXPECT_EQ(send(phone, request("INVITE", "sip:201@gw.test", "sip:alice@elsewhere.test", phone)), 404);
    EXPECT_EQ(probe->seen(), (Queues{{"sip:201@127.0.0.1:5201", "sip:201@127.0.0.1:5202"}}));
    EXPECT_EQ(db.getAllContacts("sip:201@gw.test").size(), 2u);

    // Barred for incoming calls: the announcement alone, and the chain goes on.
    {
        MutexLock g(proxyMutex);
        proxyUserOptions["201"].blin = true;
    }
    int runs = after->runs;
    EXPECT_EQ(send(phone, request("INVITE", "sip:201@gw.test", "sip:alice@elsewhere.test", phone)), 404);
    EXPECT_EQ(probe->seen(), (Queues{{sorry}}));
    EXPECT_EQ(after->runs, runs + 1);
}

TEST_F(RoutingTest, ExpiredOnlyContactIsRemovedAndNothingIsLookedUp)
{
    // An unknown user: a lookup would send the call to the user agent.
    registerContact("sip:555@gw.test", "<sip:555@127.0.0.1:5201>", now - 1);
    EXPECT_EQ(send(phone, request("INVITE", "sip:555@gw.test", "sip:alice@elsewhere.test", phone)), 480);
    EXPECT_TRUE(db.getAllContacts("sip:555@gw.test").empty());
    EXPECT_TRUE(probe->seen().empty());
}

TEST_F(RoutingTest, UnregisteredNumbers)
{
    users.addUser("300", "gw.test", "gw.test", "pw", true, "", "");
    {
        MutexLock g(proxyMutex);
        callGroups["555"] = {"201", "202@10.0.0.9"};
    }
    struct case_t {
        const char* name;
        std::string ruri;
        int status;
        Queues targets;
    } cases[] = {
        {"known user, not registered", "sip:300@gw.test", 480, {}},
        {"call group: one parallel batch", "sip:555@gw.test", 404, {{"sip:201@gw.test", "sip:202@10.0.0.9"}}},
        {"to the user agent, parameters kept", "sip:556@gw.test;line=3;user=phone", 404,
         {{"sip:556@127.0.0.1:6060;line=3;user=phone;transport=udp"}}},
        {"unknown user of another domain", "sip:556@elsewhere.test", 480, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(send(phone, request("INVITE", c.ruri, "sip:alice@elsewhere.test", phone)), c.status);
        if (c.status == 404) {
            EXPECT_EQ(probe->seen(), c.targets);
        }
    }
}

TEST_F(RoutingTest, CallsToNumbersNobodyRegisteredLeaveNoRecords)
{
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(send(phone, request("INVITE", "sip:7" + std::to_string(i) + "@gw.test", "sip:a@elsewhere.test",
                                      phone)),
                  404);
    EXPECT_EQ(db.recordCount(), 0u);
}

TEST_F(RoutingTest, WithoutUserLookupUnregisteredNumbersGetNoTarget)
{
    proxy->stack().stop();
    proxy.reset();
    start(false);
    EXPECT_EQ(send(phone, request("INVITE", "sip:556@gw.test", "sip:alice@elsewhere.test", phone)), 480);
}

// The sources the gateway trusts to say "X-Secure-Transport" need its own
// interfaces: a network namespace with eth0 10.1.1.1 and eth2 192.168.2.1.
class SecureTransportTest : public RoutingTest {
protected:
    void SetUp() override
    {
        if (!NetNamespaces::usable())
            GTEST_SKIP() << "needs root for a network namespace";
        net.build();
        ASSERT_FALSE(HasFatalFailure());
        tls.cert_file = cert.cert;
        tls.key_file = cert.key;
        start(true, &tls);
    }
    NetNamespaces net;
    testsupport::TlsCert cert;
    sipcore::tls_options_t tls;
};

TEST_F(SecureTransportTest, MarkOnTheWayToTheUserAgent)
{
    auto peer_at = [](const char* ip, int port) {
        auto p = std::make_unique<UdpPeer>(ip);
        if (port) {
            close(p->fd);
            p->addr = sipcore::make_addr(ip, port);
            p->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            EXPECT_EQ(bind(p->fd, p->addr.sa(), p->addr.len), 0);
        }
        return p;
    };
    struct case_t {
        const char* name;
        const char* ip;
        int port;
        std::string header;                 // sent; "" none
        std::vector<std::string> expected;  // forwarded
    } cases[] = {
        {"elsewhere over UDP: removed", "192.168.2.1", 0, "yes", {}},
        {"our user agent: always yes", "127.0.0.1", 6060, "", {"yes"}},
        {"our user agent: set to yes", "127.0.0.1", 6060, "no", {"yes"}},
        {"loopback, another port: kept", "127.0.0.1", 0, "no", {"no"}},
        {"loopback, another port: none kept", "127.0.0.1", 0, "", {}},
        {"our eth0 address: kept", "10.1.1.1", 0, "yes", {"yes"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto peer = peer_at(c.ip, c.port);
        std::string extra = c.header.empty() ? "" : "X-Secure-Transport: " + c.header + "\r\n";
        EXPECT_EQ(send(*peer, request("INVITE", "sip:556@gw.test", "sip:alice@elsewhere.test", *peer, extra)), 404);
        EXPECT_EQ(probe->sent().headers("X-Secure-Transport"), c.expected);
    }

    // A TLS client elsewhere (eth2's address is not one we trust).
    siptest::Recorder rec;
    sipcore::Stack client(&rec);
    rec.stack = &client;
    ASSERT_GT(client.addTransport(sipcore::TransportType::TLS, "192.168.2.1", 0, &tls), 0);
    client.start();
    Message m = Message::parse(
        request("INVITE", "sip:556@192.168.2.1:" + std::to_string(tls_port) + ";transport=tls", "sip:a@elsewhere.test",
                phone, "X-Secure-Transport: no\r\n"));
    m.popVia();
    ASSERT_GT(client.sendRequest(std::move(m)), 0);
    siptest::report_t r;
    do {
        ASSERT_TRUE(rec.next("response", &r, 5000));
    } while (r.code < 200);
    EXPECT_EQ(r.code, 404);
    EXPECT_EQ(probe->sent().headers("X-Secure-Transport"), std::vector<std::string>{"yes"});
    client.stop();

    EXPECT_TRUE(is_local_source(sipcore::make_addr("::1", 5060)));
    EXPECT_FALSE(is_local_source(sipcore::make_addr("2001:db8:2::1", 5060)));
}

// The runner's chains, as the proxy runs them.
class ChainRunner : public MyReproRunner {
public:
    using MyReproRunner::makeRequestProcessorChain;
};

TEST(ReproChainsTest, GatewayProcessorsTakeTheirPlaces)
{
    ChainRunner runner;
    sipproxy::ProcessorChain chain(sipproxy::ChainType::Request);
    LogCapture log;
    runner.makeRequestProcessorChain(chain);
    EXPECT_EQ(chain.names(), (std::vector<std::string>{"StrictRouteFixup", "IsTrustedNode", "DigestAuthenticator",
                                                       "ContactFixup", "AmIResponsible", "MyStaticRoute",
                                                       "MyLocationServer", "DialogTracker"}));
    // Built without running: no registrar to hand the handler to.
    EXPECT_EQ(log.count("MyReproRunner::addRegistrarHandler(): no Registrar object"), 1u);
}

}  // namespace
