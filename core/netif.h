// Interface addresses, masks, MAC addresses and flags by ioctl, the ARP cache
// and the default route. Each call opens its own socket, so any thread may
// call them. Results: 0, or -1 with errno kept for the caller's message.
#pragma once

#include <cstdint>
#include <netinet/in.h>

// Interface names are used with at most 15 characters.
int get_if_hwaddr(const char* name, uint8_t mac[6]);
int get_if_addr(const char* name, in_addr* addr);
int get_if_netmask(const char* name, in_addr* addr);
int get_if_dstaddr(const char* name, in_addr* addr);   // point-to-point peer
int set_if_addr(const char* name, in_addr addr);       // 0.0.0.0 removes the address
int set_if_netmask(const char* name, in_addr mask);
int if_up(const char* name);
int if_down(const char* name);
int set_if_addr6(const char* name, const in6_addr* addr, int prefix);

// The interface's own MAC for its own address, else the ARP-cache entry
// (all zero while the entry is still being resolved).
int get_arp_mac(const char* name, in_addr addr, uint8_t mac[6]);

// Makes gateway the one default route (metric 1).
int set_default_gateway(in_addr gateway);
