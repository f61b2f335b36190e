#include "msp/next_hop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <string>
#include <sys/socket.h>

#include "core/log.h"
#include "core/netif.h"
#include "core/rtnetlink.h"
#include "core/scheduler.h"
#include "msp/comcerto_channel.h"
#include "msp/comcerto_device.h"
#include "msp/function_codes.h"
#include "msp/msp_protocol.h"
#include "platform/paths.h"

msp_arp_hash_t msp_arp_hash;

namespace {

constexpr uint32_t ARP_REQUEST_INTERVAL_MS = 1000;
constexpr uint32_t ARP_SWEEP_INTERVAL_MS = 60000;
constexpr uint32_t ARP_ENTRY_LIFETIME_MS = 20000;

const uint8_t BROADCAST[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

void put16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

int send_frame(const uint8_t* frame, size_t length, const uint8_t dst[6], uint16_t ethertype)
{
    sockaddr_ll to;
    memset(&to, 0, sizeof to);
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ethertype);
    to.sll_ifindex = msp_eth0_ifindex;
    to.sll_halen = 6;
    memcpy(to.sll_addr, dst, 6);
    if (sendto(msp_raw_socket, frame, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
        LOG(LOGF_GENERAL, 3, "sendto(): %s", strerror(errno));
        return -1;
    }
    return 0;
}

// One's-complement sum of the ICMPv6 message and its IPv6 pseudo-header.
uint16_t icmp6_checksum(const uint8_t src[16], const uint8_t dst[16], const uint8_t* message, size_t length)
{
    uint32_t sum = 0;
    auto add = [&sum](const uint8_t* p, size_t n) {
        for (size_t i = 0; i + 1 < n; i += 2)
            sum += uint32_t(p[i] << 8 | p[i + 1]);
        if (n & 1)
            sum += uint32_t(p[n - 1] << 8);
    };
    add(src, 16);
    add(dst, 16);
    sum += uint32_t(length);
    sum += IPPROTO_ICMPV6;
    add(message, length);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return uint16_t(~sum);
}

}   // namespace

void build_arp_request(uint8_t frame[ARP_REQUEST_LENGTH], const uint8_t srcMac[6], uint32_t senderIp,
                       uint32_t targetIp)
{
    static const uint8_t arp_head[8] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
    memset(frame, 0, ARP_REQUEST_LENGTH);
    memcpy(frame, BROADCAST, 6);
    memcpy(frame + 6, srcMac, 6);
    put16(frame + 12, ETH_P_ARP);
    memcpy(frame + 14, arp_head, sizeof arp_head);
    memcpy(frame + 22, srcMac, 6);
    memcpy(frame + 28, &senderIp, 4);
    memcpy(frame + 38, &targetIp, 4);
}

void build_neighbor_solicitation(uint8_t frame[NEIGHBOR_SOLICITATION_LENGTH], const uint8_t srcMac[6],
                                 const uint8_t localIp6[16], const uint8_t targetIp6[16])
{
    memset(frame, 0, NEIGHBOR_SOLICITATION_LENGTH);
    // Ethernet: the target's solicited-node multicast group
    frame[0] = 0x33;
    frame[1] = 0x33;
    frame[2] = 0xff;
    memcpy(frame + 3, targetIp6 + 13, 3);
    memcpy(frame + 6, srcMac, 6);
    put16(frame + 12, ETH_P_IPV6);

    uint8_t* ip = frame + 14;
    ip[0] = 0x60;
    put16(ip + 4, 32);
    ip[6] = IPPROTO_ICMPV6;
    ip[7] = 255;   // receivers drop solicitations that crossed a router
    memcpy(ip + 8, localIp6, 16);
    uint8_t* dst = ip + 24;
    dst[0] = 0xff;
    dst[1] = 0x02;
    dst[11] = 0x01;
    dst[12] = 0xff;
    memcpy(dst + 13, targetIp6 + 13, 3);

    uint8_t* icmp = ip + 40;
    icmp[0] = 135;
    memcpy(icmp + 8, targetIp6, 16);
    icmp[24] = 1;   // source link-layer address option, 8 bytes
    icmp[25] = 1;
    memcpy(icmp + 26, srcMac, 6);
    put16(icmp + 2, icmp6_checksum(ip + 8, dst, icmp, 32));
}

int send_arp_request(const uint8_t srcMac[6], uint32_t senderIp, uint32_t targetIp)
{
    if (msp_raw_socket < 0)
        return -1;
    uint32_t now = sched_get_time_ms();
    auto& hash = msp_arp_hash;
    if (now - hash.last_sweep > ARP_SWEEP_INTERVAL_MS) {
        for (auto it = hash.sent.begin(); it != hash.sent.end();) {
            if (now - it->second > ARP_ENTRY_LIFETIME_MS) {
                char text[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &it->first, text, sizeof text);
                LOG(LOGF_GENERAL, 7, "%s: deleted from ARP hash", text);
                it = hash.sent.erase(it);
            } else {
                ++it;
            }
        }
        hash.last_sweep = now;
    }
    auto entry = hash.sent.find(targetIp);
    if (entry != hash.sent.end() && now - entry->second < ARP_REQUEST_INTERVAL_MS)
        return 1;
    hash.sent[targetIp] = now;

    uint8_t frame[ARP_REQUEST_LENGTH];
    build_arp_request(frame, srcMac, senderIp, targetIp);
    return send_frame(frame, sizeof frame, BROADCAST, ETH_P_ARP);
}

int send_neighbor_solicitation(const uint8_t srcMac[6], const uint8_t localIp6[16], const uint8_t targetIp6[16])
{
    if (msp_raw_socket < 0)
        return -1;
    uint8_t frame[NEIGHBOR_SOLICITATION_LENGTH];
    build_neighbor_solicitation(frame, srcMac, localIp6, targetIp6);
    return send_frame(frame, sizeof frame, frame, ETH_P_IPV6);
}

int parse_pppoe_id(uint8_t mac[6], int* session)
{
    FILE* f = fopen(platform_path("/tmp/pppoe_id").c_str(), "r");
    if (!f) {
        LOG(LOGF_GENERAL, 3, "parse_pppoe_id(): cannot open /tmp/pppoe_id: %s", strerror(errno));
        return -1;
    }
    // Read wider than the fields so that an oversized value is refused rather
    // than cut down to a plausible one.
    unsigned long long m[6];
    long long id = 0;
    int n = fscanf(f, "%llx:%llx:%llx:%llx:%llx:%llx %lld", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5], &id);
    fclose(f);
    if (n < 7) {
        LOG(LOGF_GENERAL, 3, "parse_pppoe_id(): /tmp/pppoe_id: parse error");
        return -1;
    }
    for (int i = 0; i < 6; i++) {
        if (m[i] > 255) {
            LOG(LOGF_GENERAL, 3, "parse_pppoe_id(): /tmp/pppoe_id: MAC address parse error");
            return -1;
        }
    }
    if (id < 1 || id > 0xFFFE) {
        LOG(LOGF_GENERAL, 3, "parse_pppoe_id(): /tmp/pppoe_id: invalid session ID: %lld", id);
        return -1;
    }
    for (int i = 0; i < 6; i++)
        mac[i] = uint8_t(m[i]);
    *session = int(id);
    return 0;
}

// ---- the "arp" timer ----

namespace {

constexpr int ARP_RETRY_MS = 300;
constexpr int ARP_MAX_RETRIES = 10;
constexpr int HOST_DOWN_RETRY_MS = 10000;
constexpr int NO_ROUTE_RETRY_MS = 30000;
constexpr int RECHECK_MS = 120000;

constexpr int ALARM_HOST_DOWN = 2;
constexpr int ALARM_RESOLVED = 3;

std::string address_text(int family, const void* address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(family, address, text, sizeof text);
    return text;
}

bool is_zero(const uint8_t mac[6])
{
    static const uint8_t zero[6] = {};
    return memcmp(mac, zero, 6) == 0;
}

bool starts_with(const char* s, const char* prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

const sockaddr_in& v4(const sockaddr_storage& a) { return reinterpret_cast<const sockaddr_in&>(a); }
const sockaddr_in6& v6(const sockaddr_storage& a) { return reinterpret_cast<const sockaddr_in6&>(a); }

void arm(ComcertoChannel& c, int ms)
{
    if (c.arpTimer != 0)
        sched_cancel_timer(main_scheduler, c.arpTimer);
    c.arpTimer = 0;
    sched_add_timer(main_scheduler, "arp", ms, arp_timer_callback, &c, &c.arpTimer);
}

// The next hop's MAC is still unknown: ask again a few times, then report
// the host as down and keep asking at a slower pace.
void unresolved(ComcertoChannel& c, const uint8_t ownMac[6], const void* nextHop)
{
    int family = c.rtp.remote_addr.ss_family;
    if (++c.arpRetries <= ARP_MAX_RETRIES) {
        if (family == AF_INET) {
            uint32_t hop;
            memcpy(&hop, nextHop, 4);
            send_arp_request(ownMac, v4(c.rtp.local_addr).sin_addr.s_addr, hop);
        } else if (msp_raw_socket >= 0) {
            send_neighbor_solicitation(ownMac, v6(c.rtp.local_addr).sin6_addr.s6_addr,
                                       static_cast<const uint8_t*>(nextHop));
        }
        arm(c, ARP_RETRY_MS);
        return;
    }
    c.arpRetries = 0;
    LOG(LOGF_GENERAL, 4, "%s: host is down", address_text(family, nextHop).c_str());
    c.setAlarm(ALARM_HOST_DOWN);
    arm(c, HOST_DOWN_RETRY_MS);
}

void log_stream_start(const ComcertoChannel& c, const uint8_t mac[6])
{
    LOG(LOGF_GENERAL, 6, "ts %d: starting RTP stream to %02x:%02x:%02x:%02x:%02x:%02x", c.timeslot, mac[0], mac[1],
        mac[2], mac[3], mac[4], mac[5]);
}

void set_ip_headers(ComcertoChannel& c)
{
    if (c.SetConnIpParams(0, c.rtp.local_addr, c.rtp.remote_addr, c.rtpTtl, c.rtpDscp) != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: SetConnIpParams(0) failed", c.timeslot);
    if (c.SetConnIpParams(1, c.rtp.local_addr, c.rtp.remote_addr, c.rtcpTtl, c.rtcpDscp) != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: SetConnIpParams(1) failed", c.timeslot);
}

// The Ethernet header is in place: IP headers, then the stream. A failed
// start forgets the MAC so that the next check sets everything up again.
void start_stream(ComcertoChannel& c)
{
    set_ip_headers(c);
    int result = c.startStream();
    if (result != 0) {
        LOG(LOGF_GENERAL, 3, "ts %d: startStream() failed (result=%d)", c.timeslot, result);
        memset(c.nextHopMac, 0, 6);
    }
}

int passthru(ComcertoChannel& c, MspMessage& m)
{
    uint8_t response[256];
    int length = sizeof response;
    return c.PassThru(m.data(), m.size(), response, &length);
}

// Voice goes off while the PPPoE session header changes (not on an SRTP
// connection, as at call set-up) and comes back on afterwards: the stream
// start alone would leave it off. False when voice could not be turned off.
bool set_pppoe_session(ComcertoChannel& c, int session)
{
    bool off = !c.secure;
    if (off) {
        MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_VOPENA, 2);
        m.u16(8, 0);
        int result = passthru(c, m);
        if (result != 0) {
            LOG(LOGF_GENERAL, 3, "ts %d: FC_VOPENA failed (result=%d)", c.timeslot, result);
            return false;
        }
    }
    c.set_pppoe_hdr_chan(session);
    if (!off)
        return true;
    int result;
    if (c.connectionType == MSP_CONN_T38) {
        MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_VOPENA, 2);
        m.u16(8, 2);
        result = passthru(c, m);
    } else {
        MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_VOPENA, 14);
        m.u16(8, 1).u8(10, 0x80).u8(11, uint8_t(c.rtp.tx_pt)).u32(18, c.ssrc);
        result = passthru(c, m);
    }
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: VOPENA failed (result=%d)", c.timeslot, result);
    return true;
}

void arp_timeout_ipv4(ComcertoChannel& c)
{
    in_addr remote = v4(c.rtp.remote_addr).sin_addr;
    in_addr local = v4(c.rtp.local_addr).sin_addr;
    in_addr hop = remote;
    char ifname[IFNAMSIZ] = "eth0";
    if (get_route(remote, &hop, ifname) != 0) {
        LOG(LOGF_GENERAL, 4, "%s: no route to host", address_text(AF_INET, &remote).c_str());
        arm(c, NO_ROUTE_RETRY_MS);
        return;
    }

    uint8_t peer[6] = {}, own[6] = {};
    int session = 0;
    bool pppoe = starts_with(ifname, "ppp");
    int found;
    if (pppoe) {
        found = parse_pppoe_id(peer, &session);
    } else if (starts_with(ifname, "eth2")) {
        found = get_if_hwaddr("eth1", peer);   // the media relay's side
    } else if (remote.s_addr == local.s_addr) {
        found = get_if_hwaddr("eth0", peer);
    } else {
        // A next hop the kernel has never heard of has no entry at all: it is
        // as unresolved as one still being resolved.
        found = get_arp_mac(ifname, hop, peer);
        if (found != 0 && errno == ENXIO) {
            memset(peer, 0, 6);
            found = 0;
        }
    }
    if (found == 0)
        found = get_if_hwaddr("eth0", own);
    if (found != 0) {
        arm(c, NO_ROUTE_RETRY_MS);
        return;
    }

    if (is_zero(peer)) {
        unresolved(c, own, &hop);
        return;
    }

    c.setAlarm(ALARM_RESOLVED);
    if (memcmp(peer, c.nextHopMac, 6) != 0) {
        memcpy(c.nextHopMac, peer, 6);
        log_stream_start(c, peer);
        int result = c.set_eth_hdr_chan(own, peer, pppoe, false);
        if (result != 0)
            LOG(LOGF_GENERAL, 3, "ts %d: setting ethernet MAC failed (result=%d)", c.timeslot, result);
        if (pppoe && !set_pppoe_session(c, session)) {
            memset(c.nextHopMac, 0, 6);   // set the headers up again next time
            unresolved(c, own, &hop);
            return;
        }
        start_stream(c);
    }
    c.arpRetries = 0;
    arm(c, RECHECK_MS);
}

void arp_timeout_ipv6(ComcertoChannel& c)
{
    const in6_addr remote = v6(c.rtp.remote_addr).sin6_addr;
    in6_addr hop = remote;
    char ifname[IFNAMSIZ] = "eth0";
    if (get_route(&remote, &hop, ifname, nullptr) != 0) {
        LOG(LOGF_GENERAL, 3, "%s: no route to host", address_text(AF_INET6, &remote).c_str());
        arm(c, NO_ROUTE_RETRY_MS);
        return;
    }
    if (starts_with(ifname, "ppp")) {
        LOG(LOGF_GENERAL, 3, "ts %d: PPP transport not supported for IPv6", c.timeslot);
        arm(c, NO_ROUTE_RETRY_MS);
        return;
    }

    uint8_t peer[6] = {};
    bool eth2 = starts_with(ifname, "eth2");
    if (eth2 || strcmp(ifname, "lo") == 0) {
        // The peer is on the board itself: both ends carry the same MAC.
        if (get_if_hwaddr(eth2 ? "eth1" : "eth0", peer) != 0) {
            arm(c, NO_ROUTE_RETRY_MS);
            return;
        }
        if (memcmp(peer, c.nextHopMac, 6) == 0)
            return;
        memcpy(c.nextHopMac, peer, 6);
        log_stream_start(c, peer);
        int result = c.set_eth_hdr_chan(peer, peer, false, true);
        if (result != 0)
            LOG(LOGF_GENERAL, 3, "setting ethernet MAC failed (result=%d)", result);
        set_ip_headers(c);
        return;
    }

    uint8_t own[6] = {};
    if (get_if_hwaddr("eth0", own) != 0) {
        arm(c, NO_ROUTE_RETRY_MS);
        return;
    }
    if (get_neighbour_mac6(&hop, peer) != 0 || is_zero(peer)) {
        unresolved(c, own, hop.s6_addr);
        return;
    }

    c.setAlarm(ALARM_RESOLVED);
    if (memcmp(peer, c.nextHopMac, 6) != 0) {
        memcpy(c.nextHopMac, peer, 6);
        log_stream_start(c, peer);
        int result = c.set_eth_hdr_chan(own, peer, false, true);
        if (result != 0)
            LOG(LOGF_GENERAL, 3, "setting ethernet MAC failed (result=%d)", result);
        else
            start_stream(c);
    }
    c.arpRetries = 0;
    arm(c, RECHECK_MS);
}

}   // namespace

void arp_timer_callback(void* channel)
{
    if (channel)
        static_cast<ComcertoChannel*>(channel)->arp_timeout();
}

void ComcertoChannel::arp_timeout()
{
    arpTimer = 0;   // it has fired
    if (channelId < 0)
        return;   // the connection is gone, and with it the stream to resolve for
    switch (rtp.remote_addr.ss_family) {
    case AF_INET:
        arp_timeout_ipv4(*this);
        break;
    case AF_INET6:
        arp_timeout_ipv6(*this);
        break;
    default:
        LOG(LOGF_GENERAL, 3, "arp_timeout(): unsupported address family (%d)", rtp.remote_addr.ss_family);
        break;
    }
}
