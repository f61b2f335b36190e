#include "sip/proxy/acl_store.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sipproxy {

bool AclStore::addAcl(const std::string& name, int port, sipcore::TransportType transport)
{
    if (name == "localhost") {
        addAcl("", "127.0.0.1", 8, port, AF_INET, transport);
        addAcl("", "::1", 128, port, AF_INET6, transport);
        addAcl("", "fe80::1", 64, port, AF_INET6, transport);
        return true;
    }
    std::string addr = name;
    int mask = -1;
    if (size_t slash = name.find('/'); slash != std::string::npos) {
        addr = name.substr(0, slash);
        char* end = nullptr;
        long m = strtol(name.c_str() + slash + 1, &end, 10);
        if (*end || end == name.c_str() + slash + 1)
            return false;
        mask = static_cast<int>(m);
    }
    sipcore::sock_addr_t a = sipcore::make_addr(addr, 0);
    if (!a.valid())
        return false;
    int family = a.family();
    if (mask < 0)
        mask = family == AF_INET6 ? 128 : 32;
    return addAcl("", a.ip(), mask, port, family, transport);
}

bool AclStore::addAcl(const std::string& tls_name, const std::string& address, int mask, int port, int family,
                      sipcore::TransportType transport)
{
    sipcore::sock_addr_t a = sipcore::make_addr(address, 0);
    int max = family == AF_INET6 ? 128 : 32;
    if (!a.valid() || a.family() != family || mask < 0 || mask > max || port < 0 || port > 65535)
        return false;
    std::lock_guard<std::mutex> g(lock);
    acls.push_back({tls_name, a.ip(), mask, port, family, transport});
    return true;
}

void AclStore::eraseAcl(const std::string& address, int mask, int port, sipcore::TransportType transport)
{
    sipcore::sock_addr_t a = sipcore::make_addr(address, 0);
    std::string ip = a.valid() ? a.ip() : address;
    std::lock_guard<std::mutex> g(lock);
    acls.erase(std::remove_if(acls.begin(), acls.end(),
                              [&](const acl_t& x) {
                                  return x.address == ip && x.mask == mask && x.port == port &&
                                         x.transport == transport;
                              }),
               acls.end());
}

static bool in_prefix(const unsigned char* a, const unsigned char* b, int bits)
{
    int whole = bits / 8, rest = bits % 8;
    if (memcmp(a, b, static_cast<size_t>(whole)) != 0)
        return false;
    if (!rest)
        return true;
    unsigned char m = static_cast<unsigned char>(0xff << (8 - rest));
    return (a[whole] & m) == (b[whole] & m);
}

bool AclStore::isTrusted(const sipcore::sock_addr_t& from, sipcore::TransportType transport) const
{
    if (!from.valid())
        return false;
    int family = from.family();
    const unsigned char* bytes;
    if (family == AF_INET)
        bytes = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(from.sa())->sin_addr);
    else
        bytes = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in6*>(from.sa())->sin6_addr);
    std::lock_guard<std::mutex> g(lock);
    for (const auto& acl : acls) {
        if (acl.family != family || acl.transport != transport || (acl.port && acl.port != from.port()))
            continue;
        unsigned char want[16];
        if (inet_pton(family, acl.address.c_str(), want) != 1)
            continue;
        if (in_prefix(bytes, want, acl.mask))
            return true;
    }
    return false;
}

std::vector<acl_t> AclStore::list() const
{
    std::lock_guard<std::mutex> g(lock);
    return acls;
}

}  // namespace sipproxy
