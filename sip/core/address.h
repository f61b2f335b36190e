// Socket addresses of SIP peers, IPv4 and IPv6, numeric only.
#pragma once

#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

namespace sipcore {

struct sock_addr_t {
    sockaddr_storage ss{};
    socklen_t len = 0;

    bool valid() const { return len > 0; }
    int family() const { return ss.ss_family; }
    const sockaddr* sa() const { return reinterpret_cast<const sockaddr*>(&ss); }
    sockaddr* sa() { return reinterpret_cast<sockaddr*>(&ss); }
    std::string ip() const;  // numeric, IPv6 without brackets
    int port() const;
    std::string key() const;  // "ip:port", IPv6 in brackets
    bool operator==(const sock_addr_t& o) const { return key() == o.key(); }
};

// A numeric IPv4 or IPv6 address (brackets allowed); invalid otherwise.
sock_addr_t make_addr(const std::string& ip, int port);
bool is_numeric_host(const std::string& host);

// The source address of the default route for the family (a UDP connect,
// which sends nothing), else the first running non-loopback interface, else
// loopback. Needs no stack and no lock. Tests pin it with the override.
std::string guess_local_ip(int family = AF_INET);
void set_local_ip_override(const std::string& ip);  // "" clears it

}  // namespace sipcore
