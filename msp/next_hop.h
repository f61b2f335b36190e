// The MAC address of an RTP connection's next hop. The media processor sends
// RTP as whole Ethernet frames, so the daemon finds the next hop's MAC (by the
// kernel's caches, by ARP and neighbour solicitations of its own on eth0, or
// from the PPPoE peer file) and hands it to the channel's connection.
// Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

// When the last ARP request went to each IPv4 address (network order), in
// sched_get_time_ms milliseconds, so that all channels together ask for one
// address at most once a second.
struct msp_arp_hash_t {
    std::map<uint32_t, uint32_t> sent;
    uint32_t last_sweep = 0;
};
extern msp_arp_hash_t msp_arp_hash;

constexpr size_t ARP_REQUEST_LENGTH = 42;
constexpr size_t NEIGHBOR_SOLICITATION_LENGTH = 86;

// Addresses in network order.
void build_arp_request(uint8_t frame[ARP_REQUEST_LENGTH], const uint8_t srcMac[6], uint32_t senderIp,
                       uint32_t targetIp);
void build_neighbor_solicitation(uint8_t frame[NEIGHBOR_SOLICITATION_LENGTH], const uint8_t srcMac[6],
                                 const uint8_t localIp6[16], const uint8_t targetIp6[16]);

// Broadcasts one ARP request on eth0 through msp_raw_socket. 0 sent, 1 held
// back (asked less than a second ago), -1 not sent (no socket, send error).
int send_arp_request(const uint8_t srcMac[6], uint32_t senderIp, uint32_t targetIp);
// Sends one neighbour solicitation on eth0 to the target's solicited-node
// group. 0 sent, -1 not sent.
int send_neighbor_solicitation(const uint8_t srcMac[6], const uint8_t localIp6[16], const uint8_t targetIp6[16]);

// Reads the PPPoE access concentrator's MAC and the session id from
// "/tmp/pppoe_id". 0, or -1 after logging why.
int parse_pppoe_id(uint8_t mac[6], int* session);

// The "arp" timer's callback: ComcertoChannel::arp_timeout of the channel
// given as the timer's argument (nothing for null).
void arp_timer_callback(void* channel);
