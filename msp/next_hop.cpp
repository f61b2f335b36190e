#include "msp/next_hop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include "core/log.h"
#include "core/scheduler.h"
#include "msp/comcerto_device.h"
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
