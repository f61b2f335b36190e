// Next-hop resolution: the ARP and neighbour-solicitation frames byte for
// byte, the per-address rate limit and the sweep of the ARP hash on a
// hand-driven clock, the PPPoE peer file, and the frames on a real wire.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/scheduler.h"
#include "msp/comcerto_device.h"
#include "msp/next_hop.h"
#include "platform/paths.h"
#include "support/log_capture.h"
#include "support/net_namespace.h"

namespace {

const uint8_t own_mac[6] = {0x02, 0, 0, 0, 0, 0x01};

uint32_t v4(const char* text)
{
    in_addr a;
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

in6_addr v6(const char* text)
{
    in6_addr a;
    inet_pton(AF_INET6, text, &a);
    return a;
}

std::string hex(const uint8_t* p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string hex(const std::vector<uint8_t>& v) { return hex(v.data(), v.size()); }

uint64_t clock_ms;
int fake_clock(struct timespec* ts)
{
    ts->tv_sec = time_t(clock_ms / 1000);
    ts->tv_nsec = long(clock_ms % 1000) * 1000000;
    return 0;
}

}   // namespace

TEST(NextHopFrames, ArpRequest)
{
    uint8_t frame[ARP_REQUEST_LENGTH];
    build_arp_request(frame, own_mac, v4("10.1.1.1"), v4("10.1.1.77"));
    EXPECT_EQ(hex(frame, sizeof frame),
              "ffffffffffff" "020000000001" "0806"     // Ethernet
              "0001" "0800" "06" "04" "0001"           // IPv4 over Ethernet, request
              "020000000001" "0a010101"                // sender
              "000000000000" "0a01014d");              // target
}

TEST(NextHopFrames, NeighborSolicitation)
{
    in6_addr local = v6("2001:db8:1::1"), target = v6("2001:db8:1::12:3477");
    uint8_t frame[NEIGHBOR_SOLICITATION_LENGTH];
    build_neighbor_solicitation(frame, own_mac, local.s6_addr, target.s6_addr);
    EXPECT_EQ(hex(frame, sizeof frame),
              "3333ff123477" "020000000001" "86dd"                          // to the solicited-node group
              "60000000" "0020" "3a" "ff"                                   // IPv6, 32 bytes of ICMPv6
              "20010db8000100000000000000000001"                            // source
              "ff0200000000000000000001ff123477"                            // solicited-node address
              "87" "00" "b316" "00000000"                                   // type 135, checksum
              "20010db8000100000000000000123477"                            // target
              "01" "01" "020000000001");                                    // source link-layer address
}

// The ARP hash on a hand-driven clock. Sends go to a UDP socket, which refuses
// the link-layer address: every attempt logs "sendto()", every request held
// back returns 1 without a log line.
class ArpHash : public testing::Test {
protected:
    void SetUp() override
    {
        clock_ms = 1000000;
        sched_set_clock(&fake_clock);
        msp_arp_hash = msp_arp_hash_t{};
        saved_socket = msp_raw_socket;
        msp_raw_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(msp_raw_socket, 0);
    }
    void TearDown() override
    {
        close(msp_raw_socket);
        msp_raw_socket = saved_socket;
        sched_set_clock(nullptr);
        msp_arp_hash = msp_arp_hash_t{};
    }
    int ask(const char* target) { return send_arp_request(own_mac, v4("10.1.1.1"), v4(target)); }
    int saved_socket = -1;
};

TEST_F(ArpHash, OneRequestPerAddressPerSecond)
{
    LogCapture cap;
    const struct {
        uint64_t at;
        const char* target;
        int result;
    } steps[] = {
        {1000000, "10.1.1.77", -1},   // first: tried (the UDP socket refuses it)
        {1000000, "10.1.1.77", 1},    // another channel in the same instant
        {1000999, "10.1.1.77", 1},
        {1000999, "10.1.1.78", -1},   // other addresses are not held back
        {1001000, "10.1.1.77", -1},   // a second later
        {1001500, "10.1.1.77", 1},
        {1001999, "10.1.1.78", -1},
    };
    for (const auto& s : steps) {
        clock_ms = s.at;
        EXPECT_EQ(ask(s.target), s.result) << s.at << " " << s.target;
    }
    EXPECT_EQ(cap.count("sendto(): "), 4u);
    EXPECT_EQ(msp_arp_hash.sent.size(), 2u);
}

TEST_F(ArpHash, SweepKeepsEntriesUpTo20000msOld)
{
    ask("10.0.0.1");   // sweeps the empty hash at 1000000
    clock_ms = 1049999;
    ask("10.0.0.2");
    clock_ms = 1050000;
    ask("10.0.0.3");
    // the next sweep is due once more than 60000 ms have passed
    LogCapture cap;
    clock_ms = 1060000;
    ask("10.0.0.9");
    EXPECT_FALSE(cap.contains("deleted from ARP hash"));
    EXPECT_EQ(msp_arp_hash.sent.size(), 4u);

    clock_ms = 1070000;   // 70000 after the last sweep
    ask("10.0.0.4");
    EXPECT_EQ(cap.count("deleted from ARP hash"), 2u);
    EXPECT_TRUE(cap.contains("10.0.0.1: deleted from ARP hash"));
    EXPECT_TRUE(cap.contains("10.0.0.2: deleted from ARP hash"));   // 20001 ms old
    EXPECT_EQ(msp_arp_hash.sent.count(v4("10.0.0.3")), 1u);         // 20000 ms old
    EXPECT_EQ(msp_arp_hash.sent.count(v4("10.0.0.9")), 1u);
    EXPECT_EQ(msp_arp_hash.last_sweep, 1070000u);
}

TEST_F(ArpHash, ClosedRawSocketSendsNothing)
{
    close(msp_raw_socket);
    msp_raw_socket = -1;
    LogCapture cap;
    in6_addr a = v6("2001:db8:1::1");
    EXPECT_EQ(ask("10.1.1.77"), -1);
    EXPECT_EQ(send_neighbor_solicitation(own_mac, a.s6_addr, a.s6_addr), -1);
    EXPECT_TRUE(msp_arp_hash.sent.empty());
    EXPECT_TRUE(cap.all().empty());
}

TEST(PppoeId, FileContents)
{
    char tmpl[] = "/tmp/pppoe_test.XXXXXX";
    std::string root = mkdtemp(tmpl);
    ASSERT_EQ(mkdir((root + "/tmp").c_str(), 0755), 0);
    platform_set_root(root);
    const std::string file = root + "/tmp/pppoe_id";

    const struct {
        const char* contents;   // null: no file
        const char* mac;        // null: refused
        int session;
        const char* message;
    } cases[] = {
        {"02:aa:bb:cc:dd:ee 4660\n", "02aabbccddee", 4660, nullptr},
        {"2:A:b:c:D:e 1", "020a0b0c0d0e", 1, nullptr},
        {"ff:ff:ff:ff:ff:ff 65534\n", "ffffffffffff", 65534, nullptr},
        {nullptr, nullptr, 0, "parse_pppoe_id(): cannot open /tmp/pppoe_id: No such file or directory"},
        {"", nullptr, 0, "parse_pppoe_id(): /tmp/pppoe_id: parse error"},
        {"02:aa:bb:cc:dd 4660\n", nullptr, 0, "parse_pppoe_id(): /tmp/pppoe_id: parse error"},
        {"02:aa:bb:cc:dd:ee\n", nullptr, 0, "parse_pppoe_id(): /tmp/pppoe_id: parse error"},
        {"02:aa:bb:cc:dd:ee abc\n", nullptr, 0, "parse_pppoe_id(): /tmp/pppoe_id: parse error"},
        {"02:aa:bb:cc:dd:100 5\n", nullptr, 0, "parse_pppoe_id(): /tmp/pppoe_id: MAC address parse error"},
        // no value is cut down to a plausible one
        {"02:aa:bb:cc:dd:1000000ee 5\n", nullptr, 0, "parse_pppoe_id(): /tmp/pppoe_id: MAC address parse error"},
        {"02:aa:-1:cc:dd:ee 5\n", nullptr, 0, "parse_pppoe_id(): /tmp/pppoe_id: MAC address parse error"},
        {"02:aa:bb:cc:dd:ee 0\n", nullptr, 0, "parse_pppoe_id(): /tmp/pppoe_id: invalid session ID: 0"},
        {"02:aa:bb:cc:dd:ee 65535\n", nullptr, 0, "parse_pppoe_id(): /tmp/pppoe_id: invalid session ID: 65535"},
        {"02:aa:bb:cc:dd:ee -7\n", nullptr, 0, "parse_pppoe_id(): /tmp/pppoe_id: invalid session ID: -7"},
        {"02:aa:bb:cc:dd:ee 4294967297\n", nullptr, 0,
         "parse_pppoe_id(): /tmp/pppoe_id: invalid session ID: 4294967297"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.contents ? c.contents : "(no file)");
        unlink(file.c_str());
        if (c.contents) {
            FILE* f = fopen(file.c_str(), "w");
            fputs(c.contents, f);
            fclose(f);
        }
        LogCapture cap;
        uint8_t mac[6] = {9, 9, 9, 9, 9, 9};
        int session = -9;
        int r = parse_pppoe_id(mac, &session);
        if (c.mac) {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(hex(mac, 6), c.mac);
            EXPECT_EQ(session, c.session);
            EXPECT_TRUE(cap.all().empty());
        } else {
            EXPECT_EQ(r, -1);
            EXPECT_EQ(hex(mac, 6), "090909090909");   // untouched
            EXPECT_EQ(session, -9);
            ASSERT_EQ(cap.all().size(), 1u);
            EXPECT_NE(cap.all()[0].find(c.message), std::string::npos) << cap.all()[0];
            EXPECT_EQ(cap.all()[0].rfind("next_hop.cpp:", 0), 0u);
        }
    }
    unlink(file.c_str());
    rmdir((root + "/tmp").c_str());
    rmdir(root.c_str());
    platform_set_root("");
}

// The frames on a real wire: the far end of eth0 sees them as built, and its
// kernel takes both (a valid ICMPv6 checksum, a usable ARP request).
class NextHopWire : public testing::Test {
protected:
    void SetUp() override
    {
        if (!NetNamespaces::usable())
            GTEST_SKIP() << "network namespaces need root";
        net.build();
        if (HasFatalFailure())
            return;
        saved_socket = msp_raw_socket;
        saved_ifindex = msp_eth0_ifindex;
        msp_raw_socket = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 255);
        ASSERT_GE(msp_raw_socket, 0);
        msp_eth0_ifindex = int(if_nametoindex("eth0"));
        msp_arp_hash = msp_arp_hash_t{};
    }
    void TearDown() override
    {
        if (saved_socket == -2)
            return;
        close(msp_raw_socket);
        msp_raw_socket = saved_socket;
        msp_eth0_ifindex = saved_ifindex;
        msp_arp_hash = msp_arp_hash_t{};
    }
    NetNamespaces net;
    int saved_socket = -2;
    int saved_ifindex = 0;
};

TEST_F(NextHopWire, FramesReachThePeerAndItsKernelAnswers)
{
    int cap = net.capture(net.lan, "eth0p");
    ASSERT_GE(cap, 0);
    int own = net.capture(net.here, "eth0");
    ASSERT_GE(own, 0);

    ASSERT_EQ(send_arp_request(own_mac, v4("10.1.1.1"), v4("10.1.1.2")), 0);
    auto arp = NetNamespaces::frames(cap, ETH_P_ARP);
    ASSERT_EQ(arp.size(), 1u);
    uint8_t expected[ARP_REQUEST_LENGTH];
    build_arp_request(expected, own_mac, v4("10.1.1.1"), v4("10.1.1.2"));
    EXPECT_EQ(hex(arp[0]), hex(expected, sizeof expected));
    // the peer answers to eth0's MAC
    auto replies = NetNamespaces::frames(own, ETH_P_ARP);
    bool answered = false;
    for (const auto& f : replies)
        answered |= f.size() >= 42 && f[21] == 2 && hex(f.data() + 22, 6) == "020000000002";
    EXPECT_TRUE(answered);

    in6_addr local = v6("2001:db8:1::1"), peer = v6("2001:db8:1::2");
    ASSERT_EQ(send_neighbor_solicitation(own_mac, local.s6_addr, peer.s6_addr), 0);
    auto ns = NetNamespaces::frames(cap, ETH_P_IPV6);
    bool seen = false;
    for (const auto& f : ns)
        seen |= f.size() == NEIGHBOR_SOLICITATION_LENGTH && f[54] == 135 && hex(f.data(), 6) == "3333ff000002";
    EXPECT_TRUE(seen);
    // a neighbour advertisement (type 136) back to eth0 proves the checksum
    auto back = NetNamespaces::frames(own, ETH_P_IPV6);
    bool advertised = false;
    for (const auto& f : back)
        advertised |= f.size() >= 78 && f[20] == IPPROTO_ICMPV6 && f[54] == 136 && hex(f.data(), 6) == "020000000001";
    EXPECT_TRUE(advertised);
    close(cap);
    close(own);
}
