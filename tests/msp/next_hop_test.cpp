// Next-hop resolution: the ARP and neighbour-solicitation frames byte for
// byte, the per-address rate limit and the sweep of the ARP hash on a
// hand-driven clock, the PPPoE peer file, and the frames on a real wire.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/netif.h"
#include "core/scheduler.h"
#include "msp/comcerto_device.h"
#include "msp/next_hop.h"
#include "platform/paths.h"
#include "support/hex_text.h"
#include "support/log_capture.h"
#include "support/msp_sim_fixture.h"
#include "support/net_namespace.h"
#include "support/test_channel.h"

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

uint64_t hop_clock_ms;
int hop_clock(struct timespec* ts)
{
    ts->tv_sec = time_t(hop_clock_ms / 1000);
    ts->tv_nsec = long(hop_clock_ms % 1000) * 1000000;
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
        hop_clock_ms = 1000000;
        sched_set_clock(&hop_clock);
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
        hop_clock_ms = s.at;
        EXPECT_EQ(ask(s.target), s.result) << s.at << " " << s.target;
    }
    EXPECT_EQ(cap.count("sendto(): "), 4u);
    EXPECT_EQ(msp_arp_hash.sent.size(), 2u);
}

TEST_F(ArpHash, SweepKeepsEntriesUpTo20000msOld)
{
    ask("10.0.0.1");   // sweeps the empty hash at 1000000
    hop_clock_ms = 1049999;
    ask("10.0.0.2");
    hop_clock_ms = 1050000;
    ask("10.0.0.3");
    // the next sweep is due once more than 60000 ms have passed
    LogCapture cap;
    hop_clock_ms = 1060000;
    ask("10.0.0.9");
    EXPECT_FALSE(cap.contains("deleted from ARP hash"));
    EXPECT_EQ(msp_arp_hash.sent.size(), 4u);

    hop_clock_ms = 1070000;   // 70000 after the last sweep
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

// The "arp" timer of a channel with a connection on the simulated media
// processor, in the namespaces above, on a hand-driven clock.
namespace {

class TimerChannel : public TestChannel {
public:
    using TestChannel::TestChannel;
    void setAlarm(int code) override { alarms.push_back(code); }
    // The stream itself is another module's; here only that it is started.
    int startStream() override
    {
        starts++;
        if (failStart)
            return -1;
        streamRunning = true;
        return 0;
    }
    std::vector<int> alarms;
    int starts = 0;
    bool failStart = false;
};

sockaddr_storage sockaddr_of(const char* address, int port)
{
    sockaddr_storage ss{};
    if (strchr(address, ':')) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(uint16_t(port));
        inet_pton(AF_INET6, address, &s6->sin6_addr);
    } else {
        auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
        s4->sin_family = AF_INET;
        s4->sin_port = htons(uint16_t(port));
        inet_pton(AF_INET, address, &s4->sin_addr);
    }
    return ss;
}

}   // namespace

class ArpTimer : public NextHopWire {
protected:
    void SetUp() override
    {
        NextHopWire::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        // Answers to our own ARP requests create cache entries, as answers
        // to the kernel's would.
        net.sh(net.here, "echo 1 > /proc/sys/net/ipv4/conf/eth0/arp_accept");
        hop_clock_ms = 5000000;
        sched_set_clock(&hop_clock);
        ASSERT_EQ(sched_create(&main_scheduler, "main scheduler"), 0);
        sim = std::make_unique<MspSimFixture>();
        wire = net.capture(net.lan, "eth0p");
        ASSERT_GE(wire, 0);

        char tmpl[] = "/tmp/arp_timer.XXXXXX";
        root = mkdtemp(tmpl);
        mkdir((root + "/tmp").c_str(), 0755);
        platform_set_root(root);
    }
    void TearDown() override
    {
        channel.reset();
        sim.reset();
        if (main_scheduler)
            sched_destroy(&main_scheduler);
        sched_set_clock(nullptr);
        if (wire >= 0)
            close(wire);
        if (!root.empty()) {
            unlink((root + "/tmp/pppoe_id").c_str());
            rmdir((root + "/tmp").c_str());
            rmdir(root.c_str());
            platform_set_root("");
        }
        NextHopWire::TearDown();
    }

    // A channel on timeslot 3 with a voice connection, its RTP going from
    // local to remote:4000.
    TimerChannel& open(const char* remote, const char* local = "10.1.1.1")
    {
        channel = std::make_unique<TimerChannel>(3);
        EXPECT_GE(test_open_connection(*channel), 0);
        channel->rtp.local_addr = sockaddr_of(local, 2 * (5000 + 3));
        channel->rtp.remote_addr = sockaddr_of(remote, 4000);
        channel->rtpTtl = 64;
        channel->rtcpTtl = 32;
        channel->rtpDscp = 46;
        channel->rtcpDscp = 26;
        return *channel;
    }

    // Time to the armed "arp" timer; -1 when none is armed.
    static long armed()
    {
        uint32_t ms = 0;
        sched_get_time_to_next_timer(main_scheduler, &ms);
        return ms == 0xFFFFFFFF ? -1 : long(ms);
    }
    // Lets the armed timer fire.
    static void fire()
    {
        long ms = armed();
        ASSERT_GE(ms, 0);
        hop_clock_ms += uint64_t(ms);
        sched_run(main_scheduler);
    }

    MspSimChannel state() const
    {
        MspSimChannel c;
        sim->sim->channel(uint16_t(channel->channelId), c);
        return c;
    }
    static std::string eth(const MspSimChannel& c, int protocol)
    {
        auto it = c.eth.find(protocol);
        if (it == c.eth.end())
            return "none";
        char type[8];
        snprintf(type, sizeof type, "%04x", it->second.ethertype);
        return it->second.dst + " " + it->second.src + " " + type;
    }
    static std::string ip(const MspSimChannel& c, int part)
    {
        auto it = c.ip.find(part);
        if (it == c.ip.end())
            return "none";
        const auto& h = it->second;
        return h.src + ":" + std::to_string(h.src_port) + " " + h.dst + ":" + std::to_string(h.dst_port) +
               " ttl " + std::to_string(h.ttl) + " dscp " + std::to_string(h.dscp);
    }
    void pppoe_file(const char* text)
    {
        FILE* f = fopen((root + "/tmp/pppoe_id").c_str(), "w");
        fputs(text, f);
        fclose(f);
    }

    std::unique_ptr<MspSimFixture> sim;
    std::unique_ptr<TimerChannel> channel;
    int wire = -1;
    std::string root;
};

TEST_F(ArpTimer, HeadersOfAResolvedNextHop)
{
    net.sh(net.here, "ip neigh replace 10.1.1.2 lladdr 02:00:00:00:00:02 dev eth0 nud permanent && "
                     "ip -6 neigh replace 2001:db8:1::2 lladdr 02:00:00:00:00:02 dev eth0 nud permanent");
    const struct {
        const char* remote;
        const char* local;
        int protocol;   // of the Ethernet header
        const char* eth;
        const char* rtp;
        const char* rtcp;
        int session;
    } cases[] = {
        // a peer on the link
        {"10.1.1.2", "10.1.1.1", 1, "02:00:00:00:00:02 02:00:00:00:00:01 0800",
         "10.1.1.1:10006 10.1.1.2:4000 ttl 64 dscp 46", "10.1.1.1:10007 10.1.1.2:4001 ttl 32 dscp 26", -1},
        // behind the router: the router's MAC, the peer's address
        {"10.9.1.5", "10.1.1.1", 1, "02:00:00:00:00:fe 02:00:00:00:00:01 0800",
         "10.1.1.1:10006 10.9.1.5:4000 ttl 64 dscp 46", "10.1.1.1:10007 10.9.1.5:4001 ttl 32 dscp 26", -1},
        // through the media relay on eth2: eth1's MAC
        {"192.168.2.9", "10.1.1.1", 1, "02:00:00:00:00:11 02:00:00:00:00:01 0800",
         "10.1.1.1:10006 192.168.2.9:4000 ttl 64 dscp 46", "10.1.1.1:10007 192.168.2.9:4001 ttl 32 dscp 26", -1},
        // the board itself
        {"10.1.1.1", "10.1.1.1", 1, "02:00:00:00:00:01 02:00:00:00:00:01 0800",
         "10.1.1.1:10006 10.1.1.1:4000 ttl 64 dscp 46", "10.1.1.1:10007 10.1.1.1:4001 ttl 32 dscp 26", -1},
        // PPPoE: the access concentrator's MAC and the session
        {"198.51.100.9", "100.64.0.1", 8, "02:aa:bb:cc:dd:ee 02:00:00:00:00:01 8864",
         "100.64.0.1:10006 198.51.100.9:4000 ttl 64 dscp 46", "100.64.0.1:10007 198.51.100.9:4001 ttl 32 dscp 26",
         4660},
        // IPv6 on the link and behind the router (no DSCP in IPv6 headers)
        {"2001:db8:1::2", "2001:db8:1::1", 6, "02:00:00:00:00:02 02:00:00:00:00:01 86dd",
         "2001:db8:1::1:10006 2001:db8:1::2:4000 ttl 64 dscp 0",
         "2001:db8:1::1:10007 2001:db8:1::2:4001 ttl 32 dscp 0", -1},
        {"2001:db8:9::5", "2001:db8:1::1", 6, "02:00:00:00:00:fe 02:00:00:00:00:01 86dd",
         "2001:db8:1::1:10006 2001:db8:9::5:4000 ttl 64 dscp 0",
         "2001:db8:1::1:10007 2001:db8:9::5:4001 ttl 32 dscp 0", -1},
    };
    pppoe_file("02:aa:bb:cc:dd:ee 4660\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.remote);
        LogCapture cap;
        auto& ch = open(c.remote, c.local);
        ch.arp_timeout();
        MspSimChannel s = state();
        EXPECT_EQ(eth(s, c.protocol), c.eth);
        EXPECT_EQ(ip(s, 0), c.rtp);
        EXPECT_EQ(ip(s, 1), c.rtcp);
        EXPECT_EQ(s.pppoe_session, c.session);
        EXPECT_EQ(ch.starts, 1);
        EXPECT_EQ(ch.alarms, std::vector<int>{3});
        EXPECT_EQ(armed(), 120000);
        std::string mac = std::string(c.eth).substr(0, 17);
        EXPECT_TRUE(cap.contains("ts 3: starting RTP stream to " + mac));
        channel.reset();
        EXPECT_EQ(armed(), -1);   // the deleted channel's timer went with it
    }
    EXPECT_TRUE(NetNamespaces::frames(wire, ETH_P_ARP, 50).empty());
}

TEST_F(ArpTimer, PppoeTurnsVoiceOffAndOnAroundTheSessionHeader)
{
    pppoe_file("02:aa:bb:cc:dd:ee 4660\n");
    auto& ch = open("198.51.100.9", "100.64.0.1");
    ch.rtp.tx_pt = 8;
    ch.ssrc = 0x12345678;
    ch.arp_timeout();
    std::vector<int> voice;
    for (const auto& c : sim->sim->commands())
        if (c.fc == 0x8000)
            voice.push_back(c.bytes[8]);
    EXPECT_EQ(voice, (std::vector<int>{0, 1}));
    MspSimChannel s = state();
    EXPECT_EQ(s.voice_mode, 1);
    EXPECT_EQ(s.tx_pt, 8);
    EXPECT_EQ(s.ssrc, 0x12345678u);
    EXPECT_EQ(s.pppoe_session, 4660);

    // a refused voice-off: nothing further, and the next run sets it all up again
    pppoe_file("02:aa:bb:cc:dd:ee 4662\n");
    MspSimFault refuse;
    refuse.fc = 0x8000;
    refuse.status = 0x0A00;
    refuse.count = 1;
    sim->sim->add_fault(refuse);
    ch.nextHopMac[0] ^= 1;
    {
        LogCapture cap;
        fire();
        EXPECT_TRUE(cap.contains("ts 3: FC_VOPENA failed (result="));
    }
    EXPECT_EQ(state().pppoe_session, 4660);
    EXPECT_EQ(ch.arpRetries, 1);
    EXPECT_EQ(armed(), 300);
    fire();
    EXPECT_EQ(state().pppoe_session, 4662);
    EXPECT_EQ(state().voice_mode, 1);
    EXPECT_EQ(armed(), 120000);

    // an SRTP connection keeps its voice path as it is
    pppoe_file("02:aa:bb:cc:dd:ef 4661\n");
    ch.secure.set(true);
    sim->sim->clear_commands();
    fire();
    EXPECT_EQ(sim->sim->count(0x8000), 0u);
    EXPECT_EQ(state().pppoe_session, 4661);
}

TEST_F(ArpTimer, UnansweredPeerIsReportedDownAndAskedAgain)
{
    LogCapture cap;
    auto& ch = open("10.1.1.77");
    // ten attempts 300 ms apart; the wire sees at most one request a second
    ch.arp_timeout();
    for (int attempt = 1; attempt <= 10; attempt++) {
        SCOPED_TRACE(attempt);
        EXPECT_EQ(ch.arpRetries, attempt);
        ASSERT_EQ(armed(), 300);
        if (attempt < 10)
            fire();
    }
    auto frames = NetNamespaces::frames(wire, ETH_P_ARP);
    ASSERT_EQ(frames.size(), 3u);   // at 0, 1200 and 2400 ms
    uint8_t expected[ARP_REQUEST_LENGTH];
    build_arp_request(expected, own_mac, v4("10.1.1.1"), v4("10.1.1.77"));
    for (const auto& f : frames)
        EXPECT_EQ(hex(f), hex(expected, sizeof expected));
    EXPECT_FALSE(cap.contains("host is down"));

    fire();   // the 11th run
    EXPECT_TRUE(cap.contains("10.1.1.77: host is down"));
    EXPECT_EQ(ch.alarms, std::vector<int>{2});
    EXPECT_EQ(ch.arpRetries, 0);
    EXPECT_EQ(armed(), 10000);

    fire();   // asks again, counting from one
    EXPECT_EQ(ch.arpRetries, 1);
    EXPECT_EQ(armed(), 300);
    EXPECT_EQ(NetNamespaces::frames(wire, ETH_P_ARP).size(), 1u);
    EXPECT_EQ(ch.starts, 0);
    EXPECT_EQ(sim->sim->count(0x9010), 0u);   // no Ethernet header
}

TEST_F(ArpTimer, PeerThatAnswersLateGetsItsStream)
{
    auto& ch = open("10.1.1.77");
    ch.arp_timeout();
    fire();
    EXPECT_EQ(ch.starts, 0);
    // the peer comes up and answers the next request
    net.sh(net.lan, "ip addr add 10.1.1.77/24 dev eth0p");
    bool resolved = false;
    for (int run = 0; run < 8 && !resolved; run++) {
        fire();
        resolved = ch.starts > 0;
        if (!resolved)
            NetNamespaces::eventually([] {
                uint8_t mac[6];
                in_addr a{v4("10.1.1.77")};
                return get_arp_mac("eth0", a, mac) == 0 && mac[5] == 2;
            }, 300);
    }
    ASSERT_EQ(ch.starts, 1);
    EXPECT_EQ(eth(state(), 1), "02:00:00:00:00:02 02:00:00:00:00:01 0800");
    EXPECT_EQ(ch.alarms, std::vector<int>{3});
    EXPECT_EQ(ch.arpRetries, 0);
    EXPECT_EQ(armed(), 120000);

    // two minutes later, the same MAC: nothing for the media processor
    sim->sim->clear_commands();
    fire();
    EXPECT_TRUE(sim->sim->commands().empty());
    EXPECT_EQ(ch.starts, 1);
    EXPECT_EQ(armed(), 120000);

    // a stream that does not start is set up again at the next check
    ch.failStart = true;
    net.sh(net.here, "ip neigh replace 10.1.1.77 lladdr 02:00:00:00:00:98 dev eth0 nud permanent");
    fire();
    EXPECT_EQ(ch.starts, 2);
    ch.failStart = false;
    fire();
    EXPECT_EQ(ch.starts, 3);
    EXPECT_EQ(armed(), 120000);

    // a new MAC: new headers and the stream again
    net.sh(net.here, "ip neigh replace 10.1.1.77 lladdr 02:00:00:00:00:99 dev eth0 nud permanent");
    fire();
    EXPECT_EQ(eth(state(), 1), "02:00:00:00:00:99 02:00:00:00:00:01 0800");
    EXPECT_EQ(ch.starts, 4);
    EXPECT_EQ(armed(), 120000);
}

TEST_F(ArpTimer, UnansweredIpv6PeerGetsTenSolicitations)
{
    LogCapture cap;
    auto& ch = open("2001:db8:1::77", "2001:db8:1::1");
    ch.arp_timeout();
    for (int attempt = 2; attempt <= 11; attempt++)
        fire();
    int solicitations = 0;
    for (const auto& f : NetNamespaces::frames(wire, ETH_P_IPV6))
        solicitations += f.size() == NEIGHBOR_SOLICITATION_LENGTH && f[54] == 135 && hex(f.data(), 6) == "3333ff000077";
    EXPECT_EQ(solicitations, 10);
    EXPECT_TRUE(cap.contains("2001:db8:1::77: host is down"));
    EXPECT_EQ(ch.alarms, std::vector<int>{2});
    EXPECT_EQ(armed(), 10000);
}

TEST_F(ArpTimer, RetriesWithoutTellingTheMediaProcessor)
{
    const struct {
        const char* remote;
        const char* local;
        const char* pppoe;   // file contents, null: none
        const char* message;
    } cases[] = {
        {"10.200.0.1", "10.1.1.1", nullptr, "10.200.0.1: no route to host"},
        {"2001:db8:55::1", "2001:db8:1::1", nullptr, "2001:db8:55::1: no route to host"},
        {"198.51.100.9", "100.64.0.1", nullptr, "parse_pppoe_id(): cannot open /tmp/pppoe_id"},
        {"198.51.100.9", "100.64.0.1", "02:aa:bb:cc:dd 4660\n", "parse_pppoe_id(): /tmp/pppoe_id: parse error"},
        {"2001:db8:77::1", "2001:db8:1::1", nullptr, "ts 3: PPP transport not supported for IPv6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.remote);
        unlink((root + "/tmp/pppoe_id").c_str());
        if (c.pppoe)
            pppoe_file(c.pppoe);
        auto& ch = open(c.remote, c.local);
        sim->sim->clear_commands();
        LogCapture cap;
        ch.arp_timeout();
        EXPECT_TRUE(cap.contains(c.message));
        EXPECT_TRUE(sim->sim->commands().empty());
        EXPECT_TRUE(ch.alarms.empty());
        EXPECT_EQ(armed(), 30000);
        channel.reset();
    }
}

TEST_F(ArpTimer, PeerOnTheBoardOverIpv6)
{
    // eth2 (the media relay) and lo: headers set, no stream start, no re-check
    const struct {
        const char* remote;
        const char* local;
        const char* eth;
    } cases[] = {
        {"2001:db8:2::9", "2001:db8:2::1", "02:00:00:00:00:11 02:00:00:00:00:11 86dd"},
        {"::1", "::1", "02:00:00:00:00:01 02:00:00:00:00:01 86dd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.remote);
        auto& ch = open(c.remote, c.local);
        ch.arp_timeout();
        EXPECT_EQ(eth(state(), 6), c.eth);
        EXPECT_NE(ip(state(), 1), "none");
        EXPECT_EQ(ch.starts, 0);
        EXPECT_EQ(armed(), -1);
        sim->sim->clear_commands();
        ch.arp_timeout();   // the same MAC again: nothing
        EXPECT_TRUE(sim->sim->commands().empty());
        channel.reset();
    }
}

TEST_F(ArpTimer, NothingToResolveForStopsTheTimer)
{
    LogCapture cap;
    auto& ch = open("10.1.1.2");
    ch.rtp.remote_addr.ss_family = AF_UNIX;
    ch.arp_timeout();
    EXPECT_TRUE(cap.contains("arp_timeout(): unsupported address family (1)"));
    EXPECT_EQ(armed(), -1);

    // a channel whose connection is gone
    ch.rtp.remote_addr = sockaddr_of("10.1.1.77", 4000);
    ch.destroyConnection();
    sim->sim->clear_commands();
    cap.clear();
    ch.arp_timeout();
    EXPECT_EQ(armed(), -1);
    EXPECT_TRUE(cap.all().empty());
    EXPECT_TRUE(sim->sim->commands().empty());
    EXPECT_TRUE(NetNamespaces::frames(wire, ETH_P_ARP, 50).empty());
}

TEST_F(ArpTimer, TwoChannelsShareOneRequest)
{
    auto& first = open("10.1.1.77");
    TimerChannel second(4);
    ASSERT_GE(test_open_connection(second), 0);
    second.rtp = first.rtp;
    first.arp_timeout();
    second.arp_timeout();
    EXPECT_EQ(NetNamespaces::frames(wire, ETH_P_ARP).size(), 1u);
    EXPECT_EQ(first.arpRetries, 1);
    EXPECT_EQ(second.arpRetries, 1);
}
