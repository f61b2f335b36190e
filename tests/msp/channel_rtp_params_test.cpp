// Negotiated media applied to a channel against the simulated media processor
// on a real kernel network (see support/net_namespace.h): the headers the
// simulator is given for each kind of next hop, a next hop that has not
// answered yet, the re-create rules, T.38, SRTP, hold music and the "arp"
// timer's life.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <fstream>
#include <memory>
#include <net/if.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/channel_table.h"
#include "core/event_queue.h"
#include "core/scheduler.h"
#include "msp/channel_rtp_params.h"
#include "msp/comcerto_device.h"
#include "msp/msp_indications.h"
#include "msp/next_hop.h"
#include "platform/paths.h"
#include "support/log_capture.h"
#include "support/msp_sim_fixture.h"
#include "support/net_namespace.h"
#include "support/test_channel.h"

namespace {

constexpr int TS = 5;
constexpr int LOCAL_PORT = 2 * (5000 + TS);

sockaddr_storage address(const char* ip, int port)
{
    sockaddr_storage ss{};
    if (strchr(ip, ':')) {
        auto& a = reinterpret_cast<sockaddr_in6&>(ss);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, ip, &a.sin6_addr);
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(ss);
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, ip, &a.sin_addr);
    }
    return ss;
}

// Parameters as the user agent would post them for channel TS.
rtp_event_t media(const char* remote, int port = 4000, const char* codec = "PCMA", int pt = 8)
{
    rtp_event_t p;
    p.channel = TS;
    p.data = 77;
    p.local_addr = address(strchr(remote, ':') ? "2001:db8:1::1" : "10.1.1.1", LOCAL_PORT);
    p.remote_addr = address(remote, port);
    p.codec = codec;
    p.tx_pt = p.rx_pt = pt;
    return p;
}

// Milliseconds until the timer fires, -1 when it is not armed.
int timer_due_in(uint64_t id)
{
    if (id == 0)
        return -1;
    MutexLock lock(*main_scheduler->mutex);
    for (sched_timer_t* t = main_scheduler->timers; t; t = t->next)
        if (t->id == id) {
            int64_t at = int64_t(t->expiry_sec) * 1000 + t->expiry_nsec / 1000000;
            timespec ts;
            clock_gettime(CLOCK_MONOTONIC, &ts);
            return int(at - (int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000));
        }
    return -1;
}

bool arp_timer_armed()
{
    MutexLock lock(*main_scheduler->mutex);
    for (sched_timer_t* t = main_scheduler->timers; t; t = t->next)
        if (strcmp(t->name, "arp") == 0)
            return true;
    return false;
}

class RtpParams : public testing::Test, public MspSimFixture {
protected:
    void SetUp() override
    {
        if (!NetNamespaces::usable())
            GTEST_SKIP() << "network namespaces need root";
        net.build();
        if (HasFatalFailure())
            return;
        built = true;
        msp_raw_socket = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 255);
        ASSERT_GE(msp_raw_socket, 0);
        msp_eth0_ifindex = int(if_nametoindex("eth0"));
        msp_arp_hash = msp_arp_hash_t{};
        ASSERT_EQ(sched_create(&main_scheduler, "main scheduler"), 0);
        ASSERT_EQ(std_queue_create(&event_queue, 64), 0);
        msp_indications_reset();
        msp_set_indication_handler(msp_process_indication);

        char dir[] = "/tmp/rtp_params_XXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        root = dir;
        platform_set_root(root);
        write_hold_music(1600);
        channel = std::make_unique<TestChannel>(TS);
    }
    void TearDown() override
    {
        if (!built)
            return;
        channel.reset();
        drain();
        std_queue_destroy(&event_queue);
        sched_destroy(&main_scheduler);
        close(msp_raw_socket);
        msp_raw_socket = -1;
        msp_indications_reset();
        comcerto_device_reset();
        platform_set_root("");
        std::string cmd = "rm -rf " + root;
        (void)!system(cmd.c_str());
    }

    void write_hold_music(size_t bytes)
    {
        std::string path = platform_path(HOLD_MUSIC_FILE);
        std::string cmd = "mkdir -p $(dirname " + path + ")";
        ASSERT_EQ(system(cmd.c_str()), 0);
        std::ofstream(path) << std::string(bytes, '\x55');
    }

    void permanent_neighbour(const char* ip, const char* mac)
    {
        net.sh(net.here, std::string("ip neigh replace ") + ip + " lladdr " + mac + " dev eth0 nud permanent");
    }

    MspSimChannel sim_channel()
    {
        MspSimChannel c;
        EXPECT_TRUE(sim->channel(static_cast<uint16_t>(channel->channelId), c));
        return c;
    }

    size_t count_since(size_t from, uint16_t fc)
    {
        auto log = sim->commands();
        size_t n = 0;
        for (size_t i = from; i < log.size(); i++)
            n += log[i].fc == fc;
        return n;
    }

    int apply(rtp_event_t p) { return channel->comcerto_set_rtp_params(&p); }

    NetNamespaces net;
    bool built = false;
    std::string root;
    std::unique_ptr<TestChannel> channel;
    LogCapture logs;
};

struct HeaderCase {
    const char* what;
    const char* remote;
    const char* neighbour;   // permanent neighbour entry to add, or null
    int proto;               // Ethernet header protocol the simulator holds
    const char* dst;
    const char* src;
    int ipVersion;
    const char* localIp;
};

}   // namespace

TEST_F(RtpParams, HeadersForEachKindOfNextHop)
{
    const HeaderCase cases[] = {
        {"peer on the link", "10.1.1.2", "10.1.1.2", 1, NetNamespaces::PEER_MAC, NetNamespaces::OWN_MAC, 4, "10.1.1.1"},
        {"behind the router", "10.9.0.5", nullptr, 1, NetNamespaces::ROUTER_MAC, NetNamespaces::OWN_MAC, 4,
         "10.1.1.1"},
        {"through eth2: the media relay's side", "192.168.2.9", nullptr, 1, NetNamespaces::ETH1_MAC,
         NetNamespaces::OWN_MAC, 4, "10.1.1.1"},
        {"our own address", "10.1.1.1", nullptr, 1, NetNamespaces::OWN_MAC, NetNamespaces::OWN_MAC, 4, "10.1.1.1"},
        {"IPv6 behind the router", "2001:db8:9::5", nullptr, 6, NetNamespaces::ROUTER_MAC, NetNamespaces::OWN_MAC, 6,
         "2001:db8:1::1"},
        {"IPv6 own address, through lo", "2001:db8:1::1", nullptr, 6, NetNamespaces::OWN_MAC, NetNamespaces::OWN_MAC, 6,
         "2001:db8:1::1"},
    };
    channel->rtpTtl = 64;
    channel->rtpDscp = 46;
    channel->rtcpTtl = 32;
    channel->rtcpDscp = 10;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.neighbour)
            permanent_neighbour(c.neighbour, NetNamespaces::PEER_MAC);
        ASSERT_EQ(apply(media(c.remote, 4000)), 0);
        MspSimChannel s = sim_channel();
        ASSERT_TRUE(s.eth.count(c.proto));
        EXPECT_EQ(s.eth[c.proto].dst, c.dst);
        EXPECT_EQ(s.eth[c.proto].src, c.src);
        EXPECT_EQ(s.eth[c.proto].ethertype, c.ipVersion == 4 ? 0x0800 : 0x86DD);
        ASSERT_TRUE(s.ip.count(0) && s.ip.count(1));
        const MspSimIpHeader& rtpHeader = s.ip[0];
        const MspSimIpHeader& rtcpHeader = s.ip[1];
        EXPECT_EQ(rtpHeader.version, c.ipVersion);
        EXPECT_EQ(rtpHeader.src, c.localIp);
        EXPECT_EQ(rtpHeader.dst, c.remote);
        EXPECT_EQ(rtpHeader.src_port, LOCAL_PORT);
        EXPECT_EQ(rtpHeader.dst_port, 4000);
        EXPECT_EQ(rtpHeader.ttl, 64);
        EXPECT_EQ(rtcpHeader.src_port, LOCAL_PORT + 1);
        EXPECT_EQ(rtcpHeader.dst_port, 4001);
        EXPECT_EQ(rtcpHeader.ttl, 32);
        if (c.ipVersion == 4) {
            EXPECT_EQ(rtpHeader.dscp, 46);
            EXPECT_EQ(rtcpHeader.dscp, 10);
        }
        EXPECT_EQ(s.ip_mode, c.ipVersion == 4 ? 0 : 1);
        // voice on with our payload and SSRC, the stream started
        EXPECT_EQ(s.voice_mode, 1);
        EXPECT_EQ(s.tx_pt, 8);
        EXPECT_EQ(s.ssrc, channel->ssrc);
        EXPECT_TRUE(channel->streamRunning);
        EXPECT_EQ(channel->codecStatus.get(), "PCMA");
        // a resolved next hop is looked at again two minutes later
        int due = timer_due_in(channel->arpTimer);
        EXPECT_GT(due, 110000);
        EXPECT_LE(due, 120000);
    }
    // the address family changed twice: each change made a new connection
    EXPECT_TRUE(logs.contains("ts 5: calling createConnection()"));
}

TEST_F(RtpParams, PppoeSessionFromThePeerFile)
{
    std::string dir = platform_path("/tmp");
    mkdir(dir.c_str(), 0755);
    std::ofstream(platform_path("/tmp/pppoe_id")) << "2:aa:bb:cc:dd:ee 4660\n";
    size_t from = sim->commands().size();
    ASSERT_EQ(apply(media("198.51.100.9")), 0);
    MspSimChannel s = sim_channel();
    ASSERT_TRUE(s.eth.count(8));
    EXPECT_EQ(s.eth[8].dst, "02:aa:bb:cc:dd:ee");
    EXPECT_EQ(s.eth[8].src, NetNamespaces::OWN_MAC);
    EXPECT_EQ(s.eth[8].ethertype, 0x8864);
    EXPECT_EQ(s.pppoe_session, 4660);
    EXPECT_EQ(s.ip[0].dst, "198.51.100.9");
    // voice is switched off for the session header, then on again
    auto log = sim->commands();
    std::vector<int> vopena;
    for (size_t i = from; i < log.size(); i++)
        if (log[i].fc == 0x8000)
            vopena.push_back(msp_get_u16(log[i].bytes.data(), 8));
    EXPECT_EQ(vopena, (std::vector<int>{1, 0, 1}));
    EXPECT_TRUE(channel->streamRunning);

    // a broken peer file ends the call
    std::ofstream(platform_path("/tmp/pppoe_id")) << "garbage\n";
    EXPECT_EQ(apply(media("198.51.100.9", 4002)), -1);
    EXPECT_TRUE(logs.contains("/tmp/pppoe_id: parse error"));
}

TEST_F(RtpParams, RefusedRoutes)
{
    struct Case {
        const char* remote;
        const char* log;
    } cases[] = {
        {"2001:db8:77::1", "ts 5: PPP transport not supported for IPv6"},
        {"172.16.0.1", "172.16.0.1: failed"},   // no default route in this network
    };
    for (const auto& c : cases) {
        EXPECT_EQ(apply(media(c.remote)), -1) << c.remote;
        EXPECT_TRUE(logs.contains(c.log)) << c.remote;
    }

    // through processEvent a failure ends the call
    rtp_event_t p = media("2001:db8:77::1");
    channel->processEvent(&p);
    std::unique_ptr<channel_event_t> hangup(std_queue_dequeue(event_queue));
    std::unique_ptr<channel_event_t> disconnect(std_queue_dequeue(event_queue));
    ASSERT_TRUE(hangup && disconnect);
    EXPECT_EQ(hangup->code, EV_HANGUP);
    EXPECT_EQ(hangup->channel, TS);
    EXPECT_EQ(hangup->data, 0);
    EXPECT_EQ(disconnect->code, EV_CALL_DISCONNECTED);
    auto* d = dynamic_cast<disconnect_event_t*>(disconnect.get());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->data, 77);
    EXPECT_EQ(d->q850_cause, 0);
    EXPECT_EQ(d->location, -1);
    EXPECT_EQ(d->sip_status, 0);
    EXPECT_EQ(d->reason, "");
}

TEST_F(RtpParams, UnknownNextHopIsAskedForAndAwaited)
{
    int lan0 = net.capture(net.lan, "eth0p");
    ASSERT_GE(lan0, 0);
    // The kernel has never heard of 10.1.1.77: no entry at all.
    ASSERT_EQ(apply(media("10.1.1.77")), 0);
    EXPECT_FALSE(channel->streamRunning);
    MspSimChannel s = sim_channel();
    EXPECT_FALSE(s.eth.count(1));
    EXPECT_EQ(s.voice_mode, 1);
    int due = timer_due_in(channel->arpTimer);
    EXPECT_GE(due, 0);
    EXPECT_LE(due, 300);
    auto arp = NetNamespaces::frames(lan0, 0x0806);
    ASSERT_EQ(arp.size(), 1u);
    EXPECT_EQ(arp[0][21], 1);                  // request
    EXPECT_EQ(arp[0][41], 77);                 // for the peer
    close(lan0);

    // The call ends: the timer goes with it.
    channel->stopStream();
    EXPECT_FALSE(arp_timer_armed());

    // An IPv6 peer nobody knows gets a neighbour solicitation instead.
    lan0 = net.capture(net.lan, "eth0p");
    ASSERT_EQ(apply(media("2001:db8:1::77")), 0);
    EXPECT_FALSE(channel->streamRunning);
    EXPECT_TRUE(arp_timer_armed());
    bool solicited = false;
    for (auto& f : NetNamespaces::frames(lan0, 0x86DD))
        solicited |= f.size() == 86 && f[20] == 58 && f[54] == 135 && f[77] == 0x77;
    EXPECT_TRUE(solicited);
    close(lan0);
}

TEST_F(RtpParams, ArpTimerDiesWithTheConnectionAndTheChannel)
{
    ASSERT_EQ(apply(media("10.1.1.77")), 0);
    ASSERT_TRUE(arp_timer_armed());
    ASSERT_EQ(channel->destroyConnection(), 0);
    EXPECT_FALSE(arp_timer_armed());

    ASSERT_EQ(apply(media("10.1.1.77")), 0);
    ASSERT_TRUE(arp_timer_armed());
    channel.reset();
    EXPECT_FALSE(arp_timer_armed());
}

TEST_F(RtpParams, WhatMakesANewConnection)
{
    permanent_neighbour("10.1.1.2", NetNamespaces::PEER_MAC);
    ASSERT_EQ(apply(media("10.1.1.2")), 0);
    int first = channel->channelId;

    // the same parameters again: nothing re-created, no payload change, the
    // running stream only gets its voice options
    size_t from = sim->commands().size();
    ASSERT_EQ(apply(media("10.1.1.2")), 0);
    EXPECT_EQ(channel->channelId, first);
    EXPECT_EQ(count_since(from, 0x0010), 0u);   // SUPVSR_CREATE_CHANNEL
    EXPECT_EQ(count_since(from, 0x8002), 0u);   // DTMFOPT: no stream stop
    EXPECT_EQ(count_since(from, 0x80A0), 0u);   // RTCPENA: no stream start
    EXPECT_EQ(count_since(from, 0x8001), 1u);   // VCEOPT
    EXPECT_EQ(count_since(from, 0x9000), 2u);   // both IP headers again
    EXPECT_EQ(count_since(from, 0x8018), 1u);   // the payload maps again

    // only the remote port: same connection, new headers
    ASSERT_EQ(apply(media("10.1.1.2", 5004)), 0);
    EXPECT_EQ(channel->channelId, first);
    EXPECT_EQ(sim_channel().ip[0].dst_port, 5004);
    EXPECT_EQ(sim_channel().ip[1].dst_port, 5005);

    // a new payload number stops the stream and starts it again
    from = sim->commands().size();
    ASSERT_EQ(apply(media("10.1.1.2", 5004, "PCMA", 96)), 0);
    EXPECT_EQ(channel->channelId, first);
    EXPECT_EQ(count_since(from, 0x8002), 1u);
    EXPECT_EQ(count_since(from, 0x80A0), 2u);   // off, then on
    EXPECT_EQ(sim_channel().tx_pt, 96);
    EXPECT_EQ(channel->getTxPayloadType(5), 96);

    // a codec the media processor does not know on the open connection
    EXPECT_EQ(apply(media("10.1.1.2", 5004, "OPUS", 111)), -1);
    EXPECT_TRUE(logs.contains("ts 5: comcerto_set_rtp_params(): OPUS: unsupported codec"));
}

TEST_F(RtpParams, FaxAndBackToVoice)
{
    permanent_neighbour("10.1.1.2", NetNamespaces::PEER_MAC);
    ASSERT_EQ(apply(media("10.1.1.2")), 0);
    size_t from = sim->commands().size();
    rtp_event_t fax = media("10.1.1.2", 4100, "T38", 0);
    fax.tx_event_pt = 400;   // the remote's largest datagram
    fax.rx_event_pt = 3;     // fill-bit removal and UDP EC
    ASSERT_EQ(apply(fax), 0);
    EXPECT_EQ(channel->connectionType, 7);
    MspSimChannel s = sim_channel();
    EXPECT_EQ(s.type, 7);
    EXPECT_EQ(s.voice_mode, 2);
    EXPECT_EQ(msp_get_u16(s.last[0x808B].data(), 0), 400);   // FOIP_SET_DATAGRAM
    EXPECT_EQ(msp_get_u16(s.last[0x808E].data(), 0), 1);     // FOIP_FILLBIT_CTRL
    EXPECT_TRUE(channel->streamRunning);
    EXPECT_EQ(channel->codecStatus.get(), "T38");
    std::vector<uint16_t> order;
    auto log = sim->commands();
    for (size_t i = from; i < log.size(); i++)
        if (log[i].channelId == channel->channelId)
            order.push_back(log[i].fc);
    std::vector<uint16_t> faxPart;
    for (uint16_t fc : order)
        if (fc == 0x8085 || fc == 0x8003 || fc == 0x808B || fc == 0x808E || fc == 0x9003)
            faxPart.push_back(fc);
    EXPECT_EQ(faxPart, (std::vector<uint16_t>{0x8085, 0x8003, 0x808B, 0x808E, 0x9003}));

    ASSERT_EQ(apply(media("10.1.1.2")), 0);
    EXPECT_EQ(channel->connectionType, 2);
    EXPECT_EQ(sim_channel().type, 2);
    EXPECT_EQ(sim_channel().voice_mode, 1);
}

TEST_F(RtpParams, NewSrtpKeysMakeANewConnection)
{
    permanent_neighbour("10.1.1.2", NetNamespaces::PEER_MAC);
    rtp_event_t p = media("10.1.1.2");
    p.srtp_local_key = std::string(30, 'L');
    p.srtp_remote_key = std::string(30, 'R');
    p.srtp_tag_length = 10;
    p.srtp_on = 1;
    ASSERT_EQ(apply(p), 0);
    int first = channel->channelId;
    EXPECT_TRUE(channel->secure.get());
    EXPECT_TRUE(sim_channel().srtp_active);

    size_t before = sim->commands().size();
    ASSERT_EQ(apply(p), 0);
    EXPECT_EQ(channel->channelId, first);
    EXPECT_EQ(count_since(before, 0x0010), 0u);

    p.srtp_remote_key = std::string(30, 'S');
    size_t from = sim->commands().size();
    ASSERT_EQ(apply(p), 0);
    EXPECT_EQ(count_since(from, 0x0011), 1u);   // SUPVSR_DESTROY_CHANNEL
    EXPECT_EQ(count_since(from, 0x0010), 1u);   // SUPVSR_CREATE_CHANNEL
    EXPECT_TRUE(channel->secure.get());
    std::string remoteKeyHex;
    for (int i = 0; i < 30; i++)
        remoteKeyHex += "53";   // 'S'
    EXPECT_EQ(sim_channel().srtp_keys[1], remoteKeyHex);
}

// Held with a=inactive, or the old way with no address (sendrecv to 0.0.0.0
// or ::, where nothing can be sent).
TEST_F(RtpParams, HoldMusicWhileThePeerHoldsTheCall)
{
    struct Row {
        const char* address;
        int direction;
    } rows[] = {{"0.0.0.0", 0}, {"10.1.1.2", 0}, {"0.0.0.0", 3}, {"::", 3}};
    sim->set_pacing(true);
    permanent_neighbour("10.1.1.2", NetNamespaces::PEER_MAC);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.address) + " direction " + std::to_string(row.direction));
        ASSERT_EQ(apply(media("10.1.1.2")), 0);
        uint64_t before = sim_channel().play_bytes;
        rtp_event_t hold = media(row.address, 4000);
        hold.direction = row.direction;
        ASSERT_EQ(apply(hold), 0);
        EXPECT_FALSE(channel->streamRunning);
        EXPECT_TRUE(channel->playing);
        EXPECT_FALSE(arp_timer_armed());
        // blocks of the file keep coming, paced by the media processor
        ASSERT_TRUE(pump([&] { return sim_channel().play_bytes >= before + 3200; }, 3000));
        MspSimChannel s = sim_channel();
        ASSERT_GE(s.play_offsets.size(), 3u);
        EXPECT_EQ(s.play_offsets[1] - s.play_offsets[0], 160u);

        // the peer is back: the music stops, the stream runs again
        ASSERT_EQ(apply(media("10.1.1.2")), 0);
        EXPECT_FALSE(channel->playing);
        EXPECT_TRUE(channel->streamRunning);
        uint64_t played = sim_channel().play_bytes;
        pump_for(200);
        EXPECT_EQ(sim_channel().play_bytes, played);
    }
}

TEST_F(RtpParams, HoldOnAVirtualChannelOnlyStopsTheStream)
{
    channel.reset();
    channel = std::make_unique<TestChannel>(0xFFFF);
    permanent_neighbour("10.1.1.2", NetNamespaces::PEER_MAC);
    rtp_event_t p = media("10.1.1.2");
    ASSERT_EQ(apply(p), 0);
    EXPECT_GE(channel->timeslot, 1000);
    rtp_event_t hold = media("0.0.0.0", 4000);
    hold.direction = 0;
    ASSERT_EQ(apply(hold), 0);
    EXPECT_FALSE(channel->streamRunning);
    EXPECT_FALSE(channel->playing);
    EXPECT_EQ(sim_channel().play_bytes, 0u);
}

TEST_F(RtpParams, VoiceSetUpDetails)
{
    permanent_neighbour("10.1.1.2", NetNamespaces::PEER_MAC);
    auto lastOf = [&](uint16_t fc) {
        auto log = sim->commands();
        for (size_t i = log.size(); i-- > 0;)
            if (log[i].fc == fc)
                return log[i].bytes;
        return std::vector<uint8_t>{};
    };
    auto w = [&](uint16_t fc, size_t offset) {
        std::vector<uint8_t> b = lastOf(fc);
        return b.size() >= offset + 2 ? int(msp_get_u16(b.data(), offset)) : -1;
    };

    // packet time from the channel's default (flags 0x60: 30 ms), VBD and
    // events on numbers of their own
    channel->channelFlags = 0x60;
    rtp_event_t p = media("10.1.1.2", 4000, "PCMU", 0);
    p.tx_event_pt = 101;
    p.rx_event_pt = 96;
    p.tx_vbd_pt = 98;
    p.rx_vbd_pt = 98;
    ASSERT_EQ(apply(p), 0);
    EXPECT_EQ(channel->rtp.remote_ptime, 30);
    EXPECT_EQ(w(0x8001, 8), 0x1E20);                  // VCEOPT of the running stream
    std::vector<uint8_t> map = lastOf(0x8018), rxMap = lastOf(0x802C);
    ASSERT_EQ(map.size(), 64u);
    EXPECT_EQ(map[8 + 2], 101);                        // events, as the remote asked
    EXPECT_EQ(rxMap[8 + 2], 96);                       // events, our number
    EXPECT_EQ(map[8 + 14], 98);                        // voice-band data
    EXPECT_EQ(map[8 + 4], 0);
    EXPECT_EQ(w(0x80BE, 8), 0x0319);                   // pass-through to the VBD payload
    EXPECT_EQ(w(0x80BE, 12), 0x3C00 | 98);
    EXPECT_EQ(w(0x8006, 8), 0x800F);                   // echo canceller on
    EXPECT_EQ(w(0x805B, 8), 1 | 0x16);                 // tone control with the detectors

    // no VBD number: pass-through on the G.711 payload of the timeslot's law
    channel->vbdAllowed = true;
    p = media("10.1.1.2", 4000, "PCMA", 8);
    ASSERT_EQ(apply(p), 0);
    EXPECT_EQ(w(0x80BE, 8), 0x0019);
    EXPECT_EQ(w(0x80BE, 12), 0x3C00 | 8);

    // transparent data: no echo canceller, no gain, no tone detectors
    p = media("10.1.1.2", 4000, "RAW", 97);
    ASSERT_EQ(apply(p), 0);
    EXPECT_EQ(w(0x8006, 8), 0);
    EXPECT_EQ(w(0x80D1, 8), 0x00C0);
    EXPECT_EQ(w(0x805B, 8), 0);
    EXPECT_EQ(channel->codecStatus.get(), "RAW");

    // codec options
    p = media("10.1.1.2", 4000, "EVRC", 100);
    p.remote_ptime = 60;
    p.maxinterleave = -1;
    ASSERT_EQ(apply(p), 0);
    EXPECT_EQ(w(0x80B2, 8), 3);                        // three frames a packet
    EXPECT_EQ(w(0x80B2, 10), 5);
    EXPECT_EQ(channel->rtp.maxinterleave, 5);
    size_t from = sim->commands().size();
    p = media("10.1.1.2", 4000, "AMR", 96);
    p.amr_flags = 0x4FF;                               // octet-align: codec 19
    ASSERT_EQ(apply(p), 0);
    EXPECT_EQ(count_since(from, 0x81EA), 1u);          // DTX off after EVRC
    EXPECT_EQ(count_since(from, 0x8610), 1u);          // AMR bandwidth parameters
    EXPECT_EQ(channel->getTxPayloadType(19), 96);
}

TEST_F(RtpParams, AddressChangeResolvesTheNextHopAnew)
{
    permanent_neighbour("10.1.1.2", NetNamespaces::PEER_MAC);
    ASSERT_EQ(apply(media("10.1.1.2")), 0);
    struct Case {
        int data, flags;
        size_t headers;   // IP headers sent again
    } cases[] = {
        {2, EVF_PASS1, 0},   // IPv6 changed: not our family
        {1, EVF_PASS2, 0},   // only the first pass counts
        {1, EVF_PASS1, 2},
        {3, EVF_PASS1, 2},
    };
    for (const auto& c : cases) {
        channel_event_t changed(-1, EV_IP_ADDRESS_CHANGED, c.data);
        changed.flags = c.flags;
        size_t from = sim->commands().size();
        channel->processEvent(&changed);
        EXPECT_EQ(count_since(from, 0x9000), c.headers) << c.data << " " << c.flags;
        EXPECT_EQ(changed.channel, -1);   // never claimed
        EXPECT_EQ(changed.flags, c.flags);
    }
}
