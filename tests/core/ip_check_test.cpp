#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/event_queue.h"
#include "core/ip_check.h"
#include "support/log_capture.h"

namespace {

std::map<std::string, std::string> v4_addresses;                  // interface -> address
std::map<std::string, std::pair<std::string, int>> v6_addresses;  // interface -> address, prefix

int fake_v4(const char* ifname, in_addr* a)
{
    auto it = v4_addresses.find(ifname);
    if (it == v4_addresses.end())
        return -1;
    inet_pton(AF_INET, it->second.c_str(), a);
    return 0;
}

bool fake_v6(in6_addr* a, const char* ifname, int* prefix)
{
    auto it = v6_addresses.find(ifname);
    if (it == v6_addresses.end())
        return false;
    inet_pton(AF_INET6, it->second.first.c_str(), a);
    *prefix = it->second.second;
    return true;
}

// The commands run: a recording iptables is the only program on PATH, so
// the host's firewall is never touched.
class IpCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/lgipXXXXXX";
        dir = mkdtemp(tmpl);
        std::ofstream s(dir + "/iptables");
        s << "#!/bin/sh\necho \"iptables $*\" >> " << dir << "/calls\n";
        s.close();
        chmod((dir + "/iptables").c_str(), 0755);
        saved_path = getenv("PATH");
        setenv("PATH", dir.c_str(), 1);
        v4_addresses.clear();
        v6_addresses.clear();
        ip_check_set_sources(fake_v4, fake_v6);
        inet_pton(AF_INET, "127.0.0.1", &last_ipv4_address);
        last_ipv6_address = {};
        last_ipv6_prefix = -1;
        ASSERT_EQ(std_queue_create(&event_queue, 16), 0);
    }
    void TearDown() override
    {
        setenv("PATH", saved_path.c_str(), 1);
        ip_check_set_sources(nullptr, nullptr);
        while (channel_event_t* e = std_queue_dequeue(event_queue))
            delete e;
        std_queue_destroy(&event_queue);
        std::string cmd = "rm -rf " + dir;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string calls()
    {
        std::ifstream f(dir + "/calls");
        std::stringstream s;
        s << f.rdbuf();
        unlink((dir + "/calls").c_str());
        return s.str();
    }
    // Data of the posted EV_IP_ADDRESS_CHANGED events.
    std::vector<int> events()
    {
        std::vector<int> out;
        while (channel_event_t* e = std_queue_dequeue(event_queue)) {
            EXPECT_EQ(e->code, EV_IP_ADDRESS_CHANGED);
            EXPECT_EQ(e->channel, -1);
            out.push_back(e->data);
            delete e;
        }
        return out;
    }
    std::string dir, saved_path;
};

const char* rules = "iptables -t filter -F OUTPUT\n"
                    "iptables -t filter -A OUTPUT -o eth2 -p icmp --icmp-type 3 -j DROP\n";

}  // namespace

TEST_F(IpCheck, Changes)
{
    struct Step {
        const char* name;
        std::map<std::string, std::string> v4;
        std::map<std::string, std::pair<std::string, int>> v6;
        std::vector<std::string> logs;
        std::string commands;
        std::vector<int> events;
    } steps[] = {
        {"no addresses", {}, {}, {}, "", {}},
        {"eth0 gets one", {{"eth0", "10.0.0.2"}}, {}, {"IP change 127.0.0.1 --> 10.0.0.2 detected"}, rules, {1}},
        {"unchanged", {{"eth0", "10.0.0.2"}}, {}, {}, "", {}},
        {"ppp0 when eth0 has none", {{"ppp0", "10.9.0.1"}}, {}, {"IP change 10.0.0.2 --> 10.9.0.1 detected"}, rules, {1}},
        {"both lose theirs", {}, {}, {}, "", {}},
        {"eth0 before ppp0", {{"eth0", "10.0.0.3"}, {"ppp0", "10.9.0.1"}}, {},
         {"IP change 10.9.0.1 --> 10.0.0.3 detected"}, rules, {1}},
        {"IPv6 from eth0", {{"eth0", "10.0.0.3"}}, {{"eth0", {"2001:db8::1", 64}}},
         {"IP change :: --> 2001:db8::1 detected"}, "", {2}},
        {"only the prefix", {{"eth0", "10.0.0.3"}}, {{"eth0", {"2001:db8::1", 48}}}, {}, "", {}},
        {"ppp0 before eth0, and IPv4", {{"eth0", "10.0.0.4"}},
         {{"eth0", {"2001:db8::1", 48}}, {"ppp0", {"2001:db8:1::7", 64}}},
         {"IP change 10.0.0.3 --> 10.0.0.4 detected", "IP change 2001:db8::1 --> 2001:db8:1::7 detected"}, rules, {3}},
    };
    for (const auto& s : steps) {
        v4_addresses = s.v4;
        v6_addresses = s.v6;
        LogCapture cap;
        ip_check();
        std::vector<std::string> logs;
        for (const auto& l : cap.all())
            logs.push_back(l.substr(l.find(": ") + 2));
        EXPECT_EQ(logs, s.logs) << s.name;
        EXPECT_EQ(calls(), s.commands) << s.name;
        EXPECT_EQ(events(), s.events) << s.name;
    }
    EXPECT_EQ(last_ipv6_prefix, 64);
}

TEST_F(IpCheck, Baseline)
{
    ip_check_baseline();  // nothing found: the initial values stay
    char buf[INET_ADDRSTRLEN];
    EXPECT_STREQ(inet_ntop(AF_INET, &last_ipv4_address, buf, sizeof buf), "127.0.0.1");
    v4_addresses = {{"ppp0", "10.1.1.1"}};
    v6_addresses = {{"eth0", {"fe80::1", 64}}};
    ip_check_baseline();
    EXPECT_STREQ(inet_ntop(AF_INET, &last_ipv4_address, buf, sizeof buf), "10.1.1.1");
    EXPECT_EQ(last_ipv6_prefix, 64);
    ip_check();
    EXPECT_EQ(events(), std::vector<int>{});
}
