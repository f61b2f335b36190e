// The process-wide stores and the configuration file.
#include <fstream>

#include <gtest/gtest.h>

#include "sip/core/digest.h"
#include "sip/proxy/acl_store.h"
#include "sip/proxy/config_parse.h"
#include "sip/proxy/route_store.h"
#include "sip/proxy/user_store.h"

namespace {

using namespace sipproxy;
using sipcore::Message;

TEST(ConfigParse, SyntaxAndLookups)
{
    ConfigParse c;
    std::string err;
    ASSERT_EQ(c.parseText("# comment\n  ServerText = my proxy  \nTimerC=60\nDisableAuth = on\nQValue = disable\n"
                          "Transport2Interface = 1.2.3.4:5060\nTransport10Type = TCP\nTransport1Interface = x:1\n"
                          "Bad = 12x\n",
                          "t", &err),
              0)
        << err;
    EXPECT_EQ(c.getConfigData("servertext", ""), "my proxy  ");  // the rest of the line
    EXPECT_EQ(c.getConfigInt("TIMERC", 180), 60);
    EXPECT_EQ(c.getConfigInt("Bad", 7), 7);
    EXPECT_EQ(c.getConfigInt("Missing", 7), 7);
    EXPECT_TRUE(c.getConfigBool("DisableAuth", false));
    EXPECT_FALSE(c.getConfigBool("QValue", true));
    EXPECT_EQ(c.getConfigIndexKeys("Transport"), (std::vector<std::string>{"transport1", "transport10", "transport2"}));

    struct bad_t {
        const char* text;
        const char* why;
    } bad[] = {
        {"A = 1\na = 2\n", "set twice"},
        {"just words\n", "expected Name = value"},
        {" = 3\n", "no name"},
        {"include /nonexistent/file\n", "cannot read"},
    };
    for (const auto& b : bad) {
        ConfigParse p;
        std::string e;
        EXPECT_EQ(p.parseText(b.text, "bad", &e), -1) << b.text;
        EXPECT_NE(e.find(b.why), std::string::npos) << e;
    }
}

TEST(ConfigParse, IncludeIsRelativeToTheFile)
{
    char dir[] = "/tmp/proxy-config-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string d = dir;
    std::ofstream(d + "/main.config") << "A = 1\ninclude more.config\n";
    std::ofstream(d + "/more.config") << "B = 2\n";
    ConfigParse c;
    std::string e;
    EXPECT_EQ(c.parseFile(d + "/main.config", &e), 0) << e;
    EXPECT_EQ(c.getConfigInt("b", 0), 2);
    std::ofstream(d + "/more.config") << "a = 2\n";
    ConfigParse dup;
    EXPECT_EQ(dup.parseFile(d + "/main.config", &e), -1);
    unlink((d + "/main.config").c_str());
    unlink((d + "/more.config").c_str());
    rmdir(dir);
}

Message request(const std::string& method, const std::string& ruri, const std::string& from,
                const std::string& extra = "")
{
    return Message::parse(method + " " + ruri +
                          " SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bK1\r\nFrom: <" + from +
                          ">;tag=1\r\nTo: <" + ruri + ">\r\nCall-ID: c\r\nCSeq: 1 " + method + "\r\n" + extra +
                          "Content-Length: 0\r\n\r\n");
}

std::vector<std::string> texts(const std::vector<sipcore::Uri>& v)
{
    std::vector<std::string> out;
    for (const auto& u : v)
        out.push_back(u.toString());
    return out;
}

TEST(RouteStore, MatchRewriteAndOrder)
{
    RouteStore r;
    EXPECT_TRUE(r.addRoute("", "", "^sip:9([0-9]+)@", "", "sip:$1@gw.example.com", 5));
    EXPECT_TRUE(r.addRoute("INVITE", "", "^sip:9", "", "sip:first@example.com", 1));
    EXPECT_TRUE(r.addRoute("", "", "^sip:9", "^sip:boss@", "sip:boss-line@example.com", 0));
    EXPECT_TRUE(r.addRoute("SUBSCRIBE", "presence", "^sip:9", "", "sip:pres@example.com", 0));
    EXPECT_TRUE(r.addRoute("", "", "^sip:8(.*)@", "", "$1.example.com", 0));  // no scheme: "sip:" goes in front
    EXPECT_TRUE(r.addRoute("", "", "([", "", "sip:never@example.com", 0));   // does not compile: ignored
    EXPECT_FALSE(r.addRoute("", "", "^sip:9([0-9]+)@", "", "sip:dup@example.com", 9));

    EXPECT_EQ(texts(r.process(request("INVITE", "sip:9123@10.0.0.5", "sip:201@10.0.0.5"))),
              (std::vector<std::string>{"sip:first@example.com", "sip:123@gw.example.com"}));
    EXPECT_EQ(texts(r.process(request("MESSAGE", "sip:9123@10.0.0.5", "sip:boss@10.0.0.5"))),
              (std::vector<std::string>{"sip:boss-line@example.com", "sip:123@gw.example.com"}));
    EXPECT_EQ(texts(r.process(request("SUBSCRIBE", "sip:9@10.0.0.5", "sip:201@10.0.0.5", "Event: presence;id=1\r\n"))),
              (std::vector<std::string>{"sip:pres@example.com"}));
    EXPECT_EQ(texts(r.process(request("MESSAGE", "sip:8host@10.0.0.5", "sip:201@10.0.0.5"))),
              (std::vector<std::string>{"sip:host.example.com"}));

    // Keys walk in order and survive an update that renames.
    std::string k = RouteStore::keyOf("", "", "^sip:9([0-9]+)@", "");
    route_record_t rec;
    ASSERT_TRUE(r.getRouteRecord(k, &rec));
    EXPECT_EQ(rec.order, 5);
    EXPECT_TRUE(r.updateRoute(k, "", "", "^sip:7([0-9]+)@", "", "sip:$1@gw2", 2));
    EXPECT_FALSE(r.getRouteRecord(k, &rec));
    int n = 0;
    for (std::string key = r.getFirstKey(); !key.empty(); key = r.getNextKey(key))
        ++n;
    EXPECT_EQ(n, 6);
}

TEST(UserStore, HashesAndKeys)
{
    UserStore u;
    EXPECT_TRUE(u.addUser("201", "10.0.0.5", "10.0.0.5", "secret", true, "", "grp"));
    EXPECT_FALSE(u.addUser("201", "10.0.0.5", "10.0.0.5", "other", true, "", ""));
    EXPECT_EQ(u.getUserAuthInfo("201", "10.0.0.5"), sipcore::digest_ha1("201", "10.0.0.5", "secret"));
    EXPECT_EQ(u.getUserAuthInfo("201", "10.0.0.5", true), sipcore::digest_ha1("201@10.0.0.5", "10.0.0.5", "secret"));
    EXPECT_EQ(u.getUserAuthInfo("202", "10.0.0.5"), "");
    // Renamed by an update (an address change), keeping the given hash.
    std::string a1 = u.getUserAuthInfo("201", "10.0.0.5");
    EXPECT_TRUE(u.updateUser("201@10.0.0.5", "201", "10.0.0.7", "10.0.0.7", a1, false, "", ""));
    user_record_t rec;
    EXPECT_FALSE(u.getUserInfo("201@10.0.0.5", &rec));
    ASSERT_TRUE(u.getUserInfo("201@10.0.0.7", &rec));
    EXPECT_EQ(rec.passwordHash, a1);
    EXPECT_EQ(u.getFirstKey(), "201@10.0.0.7");
    EXPECT_EQ(u.getNextKey("201@10.0.0.7"), "");
}

TEST(AclStore, AddressMaskPortTransport)
{
    AclStore a;
    EXPECT_TRUE(a.addAcl("localhost", 0, sipcore::TransportType::UDP));
    EXPECT_TRUE(a.addAcl("10.1.0.0/16", 5070, sipcore::TransportType::TCP));
    EXPECT_FALSE(a.addAcl("not-an-address", 0, sipcore::TransportType::UDP));
    EXPECT_FALSE(a.addAcl("10.0.0.0/40", 0, sipcore::TransportType::UDP));
    struct case_t {
        const char* ip;
        int port;
        sipcore::TransportType t;
        bool trusted;
    } cases[] = {
        {"127.0.0.1", 5060, sipcore::TransportType::UDP, true},
        {"127.9.9.9", 1, sipcore::TransportType::UDP, true},
        {"127.0.0.1", 5060, sipcore::TransportType::TCP, false},
        {"::1", 5060, sipcore::TransportType::UDP, true},
        {"10.1.200.3", 5070, sipcore::TransportType::TCP, true},
        {"10.1.200.3", 5071, sipcore::TransportType::TCP, false},
        {"10.2.0.1", 5070, sipcore::TransportType::TCP, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(a.isTrusted(sipcore::make_addr(c.ip, c.port), c.t), c.trusted) << c.ip << ":" << c.port;
    a.eraseAcl("10.1.0.0", 16, 5070, sipcore::TransportType::TCP);
    EXPECT_FALSE(a.isTrusted(sipcore::make_addr("10.1.200.3", 5070), sipcore::TransportType::TCP));
}

}  // namespace
