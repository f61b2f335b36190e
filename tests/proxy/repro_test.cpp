// The gateway's proxy as the daemon drives it: started from /etc/repro.config
// in a scratch root, inside a network namespace of its own (eth0 10.1.1.1).
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <sys/stat.h>

#include "mgmt/var_store.h"
#include "platform/paths.h"
#include "proxy/repro_api.h"
#include "proxy/repro_runner.h"
#include "sip/core/digest.h"
#include "sip/sip_peer.h"
#include "support/log_capture.h"
#include "support/net_namespace.h"
#include "support/tls_cert.h"
#include "tests/proxy/repro_fixture.h"

namespace {

using proxytest::ReproTest;
using sipcore::Message;
using siptest::UdpPeer;

JsonValue json(const char* text)
{
    MemDataSource src(text);
    JsonValue v;
    EXPECT_TRUE(v.parse(src)) << text;
    return v;
}

bool udp_bound(const std::string& ip, int port)
{
    sipcore::sock_addr_t a = sipcore::make_addr(ip, port);
    int fd = socket(a.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool busy = bind(fd, a.sa(), a.len) != 0 && errno == EADDRINUSE;
    close(fd);
    return busy;
}

bool tcp_listening(const std::string& ip, int port)
{
    sipcore::sock_addr_t a = sipcore::make_addr(ip, port);
    int fd = socket(a.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = connect(fd, a.sa(), a.len) == 0;
    close(fd);
    return ok;
}


// The transport keys: what opens, what fails the set-up, the record-routes.
TEST_F(ReproTest, TransportsFromTheConfiguration)
{
    struct case_t {
        const char* name;
        std::string config;
        bool tls_files;
        bool started;
        bool all_record_route;
        std::vector<std::string> record_routes;   // by transport, in id order
        std::vector<std::string> log;             // lines that must be logged
    } cases[] = {
        {"no transport at all", "", false, true, false, {}, {}},
        {"TLS without key skipped, UDP opened",
         "Transport1Interface = 10.1.1.1:5061\nTransport1Type = TLS\nTransport2Interface = 10.1.1.1:5060\n", false,
         true, false, {}, {"--> skipping secure transport: no cert file"}},
        {"no ':' in the interface", "Transport1Interface = 10.1.1.1\n", false, false, false, {}, {}},
        {"no port after ':'", "Transport1Interface = 10.1.1.1:\n", false, false, false, {},
         {"Port not specified in transport1Interface setting: expected format is <IPAddress>:<Port>"}},
        {"unknown type", "Transport1Interface = 10.1.1.1:5060\nTransport1Type = SCTP\n", false, false, false, {},
         {"Unknown transport type found in transport1Type setting: SCTP"}},
        {"generated and given record-routes",
         "Transport1Interface = 0.0.0.0:5060\nTransport1RecordRouteUri = AUTO\n"
         "Transport2Interface = 10.1.1.1:5060\nTransport2Type = TCP\nTransport2RecordRouteUri = <sip:gw.example.com;transport=tcp>\n"
         "Transport3Interface = 10.1.1.1:5061\nTransport3Type = tls\nTransport3RecordRouteUri = auto\n"
         "Transport3TlsClientVerification = optional\n",
         true, true, true,
         {"sip:10.1.1.1:5060;transport=udp;lr", "sip:gw.example.com;transport=tcp;lr",
          "sip:10.1.1.1:5061;transport=tls;lr"},
         {}},
        {"a record-route that does not parse is ignored",
         "Transport1Interface = 10.1.1.1:5060\nTransport1RecordRouteUri = <not a uri\n"
         "Transport1TlsClientVerification = Opt\n",
         false, true, false, {}, {"Invalid uri provided in transport1RecordRouteUri setting (ignoring)",
                                  "Unknown TLS client verification mode found in transport1TlsClientVerification setting: Opt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        config(c.config);
        unlink((root + "/tmp/ssl/sslcert").c_str());
        unlink((root + "/tmp/ssl/sslkey").c_str());
        if (c.tls_files)
            tlsFiles();
        LogCapture log;
        EXPECT_EQ(repro_start(), c.started);
        for (const auto& l : c.log)
            EXPECT_TRUE(log.contains(l)) << l;
        {
            MutexLock g(proxyMutex);
            ASSERT_NE(reproRunner, nullptr);
            EXPECT_EQ(reproRunner->running(), c.started);
            if (c.started) {
                EXPECT_EQ(reproRunner->allTransportsRecordRoute(), c.all_record_route);
                std::vector<std::string> rr;
                for (const auto& [id, uri] : reproRunner->transportRecordRoutes())
                    rr.push_back(uri);
                EXPECT_EQ(rr, c.record_routes);
            }
        }
        if (std::string(c.name) == "TLS without key skipped, UDP opened") {
            EXPECT_TRUE(udp_bound("10.1.1.1", 5060));
            EXPECT_FALSE(tcp_listening("10.1.1.1", 5061));
        }
        if (std::string(c.name) == "generated and given record-routes") {
            EXPECT_TRUE(tcp_listening("10.1.1.1", 5060));
            EXPECT_TRUE(tcp_listening("10.1.1.1", 5061));
        }
        repro_stop();
    }
}

// Without a proxy the options table still follows the user feed; with one,
// users land in its store under user@domain with their intercept group.
TEST_F(ReproTest, UsersAndDomainsWithAndWithoutProxy)
{
    repro_add_domain("10.1.1.1");
    repro_add_user("201", "10.1.1.1", "pw", "g1", 7);
    std::string out = "untouched";
    EXPECT_FALSE(repro_get_user_info("201@10.1.1.1", out));
    EXPECT_EQ(out, "untouched");
    {
        MutexLock g(proxyMutex);
        EXPECT_EQ(proxyUserOptions["201"].bellDelay, 7);
        EXPECT_EQ(sipproxy::proxy_stores().users.size(), 0u);
        EXPECT_TRUE(sipproxy::proxy_stores().config.getDomains().empty());
    }
    repro_set_user_options("201", json(R"({"blin":true,"notify":false})"));
    repro_erase_user("201", "10.1.1.1");
    {
        MutexLock g(proxyMutex);
        EXPECT_EQ(proxyUserOptions.count("201"), 0u);   // blin went with the delay
    }
    repro_restart();   // nothing to restart

    config("");
    ASSERT_TRUE(repro_start());
    repro_add_domain("10.1.1.1");
    repro_add_domain("2001:db8:1::1");
    auto acls = sipproxy::proxy_stores().acls.list();
    auto has_acl = [&](const std::string& a, int mask, int family) {
        for (const auto& x : acls)
            if (x.address == a && x.mask == mask && x.family == family && x.port == 0)
                return true;
        return false;
    };
    EXPECT_TRUE(has_acl("10.1.1.1", 32, AF_INET));
    EXPECT_TRUE(has_acl("2001:db8:1::1", 128, AF_INET6));
    EXPECT_EQ(sipproxy::proxy_stores().config.getDomains().count("2001:db8:1::1"), 1u);
    repro_remove_domain("2001:db8:1::1");
    EXPECT_EQ(sipproxy::proxy_stores().config.getDomains().count("2001:db8:1::1"), 0u);

    repro_add_user("201", "10.1.1.1", "pw", "g1", 3);
    EXPECT_TRUE(repro_get_user_info("201@10.1.1.1", out));
    EXPECT_EQ(out, "g1");
    repro_update_user("201", "10.1.1.1", "pw2", "g2", 4);
    EXPECT_TRUE(repro_get_user_info("201@10.1.1.1", out));
    EXPECT_EQ(out, "g2");
    sipproxy::user_record_t r;
    ASSERT_TRUE(sipproxy::proxy_stores().users.getUserInfo("201@10.1.1.1", &r));
    EXPECT_EQ(r.passwordHash, sipcore::digest_ha1("201", "10.1.1.1", "pw2"));
    EXPECT_TRUE(repro_get_user_info("nobody@10.1.1.1", out));
    EXPECT_EQ(out, "");
    repro_erase_user("201", "10.1.1.1");
    EXPECT_FALSE(sipproxy::proxy_stores().users.getUserInfo("201@10.1.1.1", &r));
}

TEST_F(ReproTest, UserOptionsAndGlobalOptions)
{
    struct case_t {
        const char* json;
        bool blin, blout;
        const char* blex;
        bool published;
    } cases[] = {
        {R"({"blin":true,"notify":false})", true, false, "", false},
        {R"({"blout":true,"blex":"^1","notify":0})", true, true, "^1", true},
        {R"({"blin":"yes"})", true, true, "^1", true},
        {R"({"blin":false,"blex":""})", false, true, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        {
            MutexLock g(varStore.mutex);
            varStore.values.clear();
        }
        repro_set_user_options("201", json(c.json));
        MutexLock g(proxyMutex);
        EXPECT_EQ(proxyUserOptions["201"].blin, c.blin);
        EXPECT_EQ(proxyUserOptions["201"].blout, c.blout);
        EXPECT_EQ(proxyUserOptions["201"].blex, c.blex);
        MutexLock v(varStore.mutex);
        ASSERT_EQ(varStore.values.size(), c.published ? 1u : 0u);
        if (c.published) {
            const auto& [id, value] = *varStore.values.begin();
            EXPECT_TRUE(id.rfind(".10.", 0) == 0 && id.size() >= 9 && id.substr(id.size() - 4) == ".2.0") << id;
            EXPECT_EQ(value.text, json(c.json).toString());
        }
    }

    repro_set_options(json(R"({"blex":"^0","T1":"250"})"));
    EXPECT_EQ(repro_t1(), 250);
    {
        MutexLock g(proxyMutex);
        EXPECT_EQ(globalBlex, "^0");
    }
    // T1 as a number, T1 of 0 and a T1 the timers cannot hold change nothing.
    for (const char* text : {R"({"T1":500})", R"({"T1":"0"})", R"({"T1":"ms"})", R"({"T1":"99999999999"})"}) {
        repro_set_options(json(text));
        EXPECT_EQ(repro_t1(), 250) << text;
    }
    config("Transport1Interface = 10.1.1.1:5060\n");
    ASSERT_TRUE(repro_start());
    MutexLock g(proxyMutex);
    EXPECT_EQ(reproRunner->getProxy()->stack().t1(), 250);
}

// An address change: users move to the new address with hashes for the new
// realm, so that a phone registers again with the same password.
TEST_F(ReproTest, IpChangeKeepsPhonesAbleToRegister)
{
    config("Transport1Interface = 0.0.0.0:5060\nTransport1RecordRouteUri = auto\n");
    ASSERT_TRUE(repro_start());
    EXPECT_EQ(proxyLocalAddress, "10.1.1.1");
    repro_add_domain("10.1.1.1");
    repro_ip_changed("127.0.0.1", "10.1.1.1");   // the start-up address change: new domains
    repro_add_user("201", "10.1.1.1", "secret", "g1", 0);
    repro_add_user("301", "other.example", "x", "g3", 0);
    EXPECT_EQ(registerAt("10.1.1.1", "201", "secret"), 200);

    NetNamespaces::sh(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC),
                      "ip addr del 10.1.1.1/24 dev eth0 && ip addr add 10.1.1.7/24 dev eth0");
    repro_remove_domain("10.1.1.1");
    repro_add_domain("10.1.1.7");
    repro_ip_changed("10.1.1.1", "10.1.1.7");
    EXPECT_EQ(proxyLocalAddress, "10.1.1.7");
    sipproxy::user_record_t r;
    auto& users = sipproxy::proxy_stores().users;
    EXPECT_FALSE(users.getUserInfo("201@10.1.1.1", &r));
    ASSERT_TRUE(users.getUserInfo("201@10.1.1.7", &r));
    EXPECT_EQ(r.realm, "10.1.1.7");
    EXPECT_EQ(r.passwordHash, sipcore::digest_ha1("201", "10.1.1.7", "secret"));
    EXPECT_EQ(r.email, "g1");   // the intercept group stays
    ASSERT_TRUE(users.getUserInfo("301@other.example", &r));
    EXPECT_EQ(r.passwordHash, sipcore::digest_ha1("301", "other.example", "x"));
    EXPECT_EQ(registerAt("10.1.1.7", "201", "secret"), 200);
    {
        MutexLock g(proxyMutex);
        EXPECT_EQ(reproRunner->transportRecordRoutes().begin()->second, "sip:10.1.1.7:5060;transport=udp;lr");
    }

    // Without a proxy, an address change starts one.
    repro_stop();
    repro_ip_changed("10.1.1.7", "10.1.1.8");
    MutexLock g(proxyMutex);
    ASSERT_NE(reproRunner, nullptr);
    EXPECT_TRUE(reproRunner->running());
    EXPECT_EQ(proxyLocalAddress, "10.1.1.7");   // read from eth0 by the new runner
}

// New TLS files: a restart opens the secure transport and keeps the
// registrations; registrations reach the user-status table before and after.
TEST_F(ReproTest, RestartReadsTlsFilesAndKeepsRegistrations)
{
    config("Transport1Interface = 10.1.1.1:5060\nTransport2Interface = 10.1.1.1:5061\nTransport2Type = TLS\n");
    ASSERT_TRUE(repro_start());
    repro_add_domain("10.1.1.1");
    repro_ip_changed("127.0.0.1", "10.1.1.1");
    repro_add_user("201", "10.1.1.1", "secret", "", 0);
    EXPECT_FALSE(tcp_listening("10.1.1.1", 5061));
    EXPECT_EQ(registerAt("10.1.1.1", "201", "secret"), 200);

    auto registered = [] {
        MutexLock g(userStatusMutex);
        bool found = UserStatusTable.count("201") == 1;
        UserStatusTable.clear();
        return found;
    };
    EXPECT_TRUE(registered());

    tlsFiles();
    repro_restart();
    EXPECT_TRUE(tcp_listening("10.1.1.1", 5061));
    {
        MutexLock g(proxyMutex);
        EXPECT_EQ(reproRunner->getLocationDb().getContacts("sip:201@10.1.1.1").size(), 1u);
    }
    // the restarted registrar still tells the user-status table
    EXPECT_EQ(registerAt("10.1.1.1", "201", "secret"), 200);
    EXPECT_TRUE(registered());
}

// The proxy's own threads take proxyMutex; stopping or restarting it waits
// for them, so it must not hold the lock meanwhile.
TEST_F(ReproTest, StopAndRestartDoNotHoldTheLockWhileWaitingForTheProxy)
{
    config("Transport1Interface = 10.1.1.1:5060\n");
    ASSERT_TRUE(repro_start());
    for (auto op : {repro_restart, +[] { repro_ip_changed("10.1.1.1", "10.1.1.1"); }, +[] { repro_stop(); }}) {
        std::promise<void> in_timer;
        {
            MutexLock g(proxyMutex);
            reproRunner->getProxy()->stack().startTimer(0, [&] {
                in_timer.set_value();
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                MutexLock inner(proxyMutex);   // as a request processor does
            });
        }
        in_timer.get_future().wait();
        auto done = std::async(std::launch::async, op);
        ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "deadlock";
    }
}

}  // namespace
