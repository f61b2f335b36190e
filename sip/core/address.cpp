#include "sip/core/address.h"

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <mutex>
#include <net/if.h>
#include <unistd.h>

namespace sipcore {

namespace {

std::string strip_brackets(const std::string& h)
{
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']')
        return h.substr(1, h.size() - 2);
    return h;
}

}  // namespace

std::string sock_addr_t::ip() const
{
    char buf[INET6_ADDRSTRLEN] = "";
    if (ss.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr, buf, sizeof buf);
    else if (ss.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr, buf, sizeof buf);
    return buf;
}

int sock_addr_t::port() const
{
    if (ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port);
    return 0;
}

std::string sock_addr_t::key() const
{
    if (ss.ss_family == AF_INET6)
        return "[" + ip() + "]:" + std::to_string(port());
    return ip() + ":" + std::to_string(port());
}

sock_addr_t make_addr(const std::string& host, int port)
{
    sock_addr_t a;
    std::string ip = strip_brackets(host);
    if (port < 0 || port > 65535)
        return a;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&a.ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&a.ss);
    if (inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        a.len = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        a.len = sizeof(sockaddr_in6);
    }
    return a;
}

bool is_numeric_host(const std::string& host) { return make_addr(host, 0).valid(); }

namespace {

std::mutex override_lock;  // guards local_override
std::string local_override;

}  // namespace

void set_local_ip_override(const std::string& ip)
{
    std::lock_guard<std::mutex> g(override_lock);
    local_override = ip;
}

std::string guess_local_ip(int family)
{
    {
        std::lock_guard<std::mutex> g(override_lock);
        if (!local_override.empty())
            return local_override;
    }
    sock_addr_t probe = family == AF_INET6 ? make_addr("2001:db8::1", 11111) : make_addr("217.12.3.11", 11111);
    int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        sock_addr_t src;
        src.len = sizeof src.ss;
        bool ok = connect(fd, probe.sa(), probe.len) == 0 && getsockname(fd, src.sa(), &src.len) == 0;
        close(fd);
        if (ok && src.ip() != "0.0.0.0" && src.ip() != "::")
            return src.ip();
    }
    ifaddrs* list = nullptr;
    std::string found;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != family || !(i->ifa_flags & IFF_RUNNING) ||
                (i->ifa_flags & IFF_LOOPBACK))
                continue;
            sock_addr_t a;
            a.len = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
            memcpy(&a.ss, i->ifa_addr, a.len);
            found = a.ip();
        }
        freeifaddrs(list);
    }
    if (!found.empty())
        return found;
    return family == AF_INET6 ? "::1" : "127.0.0.1";
}

}  // namespace sipcore
