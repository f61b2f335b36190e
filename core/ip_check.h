// Once a second the main loop compares the addresses of eth0 and ppp0 with
// the last ones; on a change the proxy moves to the new address, the ICMP
// rule of eth2 is set again and the channels hear of it (EV_IP_ADDRESS_CHANGED,
// data 1 IPv4, 2 IPv6, 3 both).
#pragma once

#include <netinet/in.h>
#include <string>

extern in_addr last_ipv4_address;    // 127.0.0.1 until an address is seen
extern in6_addr last_ipv6_address;   // all zero until an address is seen
extern int last_ipv6_prefix;

// The start-up baseline; tells the media processor the IPv6 address when it is up.
void ip_check_baseline();
// One check (main loop, at most once a second).
void ip_check();

// Where the addresses come from; tests install their own. Null restores
// the interfaces' own (get_if_addr, get_ipv6_addr).
typedef int (*ipv4_source_t)(const char* ifname, in_addr* addr);          // 0 when it has one
typedef bool (*ipv6_source_t)(in6_addr* addr, const char* ifname, int* prefix);
void ip_check_set_sources(ipv4_source_t v4, ipv6_source_t v6);

// What an address change asks of the layers above (the proxy's domains and
// address, the media processor's IPv6 address); start-up fills it in. A null
// member does nothing. Main thread.
struct ip_change_steps_t {
    void (*proxy_remove_domain)(const std::string& address);
    void (*proxy_add_domain)(const std::string& address);
    void (*proxy_ip_changed)(const std::string& old_address, const std::string& new_address);
    void (*msp_set_ip6)(const in6_addr& address, int prefix);   // only while msp_ready
};
void ip_check_set_steps(const ip_change_steps_t& steps);
