// The interfaces' IPv6 addresses as the kernel lists them in /proc/net/if_inet6.
#pragma once

#include <netinet/in.h>

// A global, not deprecated address on the interface (any interface for null).
bool has_global_ipv6(const char* name);

// The interface's first link-local address; prefix may be null.
bool get_link_local_ipv6(in6_addr* addr, const char* name, int* prefix);

// The first global, not deprecated address of the interface (any for null),
// else its first link-local, not deprecated one; prefix may be null.
bool get_ipv6_addr(in6_addr* addr, const char* name, int* prefix);

// Removes the interface's addresses, the link-local ones only when asked.
// -1 with errno when the socket or the list cannot be opened.
int flush_ipv6_addrs(const char* name, bool link_local);
