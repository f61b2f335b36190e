// Routes, preferred source addresses and neighbours, asked of the kernel with
// hand-built rtnetlink requests. Each call uses its own netlink socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/types.h>

// ifname buffers hold IFNAMSIZ (16) bytes. The next hop is the gateway, or
// the destination itself when it is directly reachable.
int get_route(in_addr dst, in_addr* next_hop, char* ifname);
int get_route(const in6_addr* dst, in6_addr* next_hop, char* ifname, in6_addr* prefsrc);

// The source address the kernel would pick towards dst; ::1 when it has none.
int get_local_ipv6(const in6_addr* dst, in6_addr* src, char* ifname);

// The MAC of an IPv6 neighbour from the kernel's neighbour table.
int get_neighbour_mac6(const in6_addr* addr, uint8_t mac[6]);

// The gateway of the IPv4 default route of the main table.
int get_default_gateway(in_addr* gateway);

// The IPv4 address of the interface (or alias label) name, as SIOCGIFADDR
// gives it, without the ioctl: that one waits for the kernel's global
// network configuration lock, which any address or namespace change
// anywhere on the machine holds. errno ENODEV or EADDRNOTAVAIL when none.
int get_if_ipv4(const char* name, in_addr* addr);

// Reply parsing, kept apart from the sockets so that malformed replies can be
// tested. Every length is checked against what was received.
struct rtnl_route_t {
    int oif = 0;   // 0: none
    bool has_gateway = false;
    bool has_prefsrc = false;
    uint8_t gateway[16] = {};
    uint8_t prefsrc[16] = {};
};
// Answer to a single route request of family AF_INET or AF_INET6; logs why it fails.
int rtnl_parse_route_reply(const void* buf, ssize_t received, uint32_t seq, int family, rtnl_route_t* route);

// One part of a neighbour dump: 1 when the MAC of addr was found, 0 when the
// dump goes on in another part, 2 when it ended without it, -1 on failure.
int rtnl_parse_neigh_part(const void* buf, ssize_t received, uint32_t seq, const in6_addr* addr, uint8_t mac[6]);
