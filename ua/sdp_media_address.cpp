#include "ua/sdp_media_address.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>

#include "core/log.h"
#include "ua/sdp_attributes.h"

namespace {

// Numeric resolution; family 0 when it fails (message already logged), -1 on
// a family other than the declared one.
int resolve(const char* address, int family, sockaddr_storage& out, bool altc)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* result = nullptr;
    int rc = getaddrinfo(address, nullptr, &hints, &result);
    if (rc != 0) {
        const char* why = rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc);
        if (altc)
            LOG(LOGF_GENERAL, 4, "altc: getaddrinfo(%s): %s", address, why);
        else
            LOG(LOGF_GENERAL, 3, "getaddrinfo(%s): %s", address, why);
        return 0;
    }
    if (!result) {
        if (altc)
            LOG(LOGF_GENERAL, 4, "altc: getaddrinfo(%s): empty result", address);
        else
            LOG(LOGF_GENERAL, 3, "getaddrinfo(%s): empty result", address);
        return 0;
    }
    int got = result->ai_family;
    if (got == family)
        memcpy(&out, result->ai_addr, std::min<size_t>(result->ai_addrlen, sizeof out));
    freeaddrinfo(result);
    return got == family ? family : -1;
}

bool set_local(const sdp_local_t& local, bool ipv6, sdp_media_address_t& out)
{
    out.local = {};
    if (ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&out.local);
        a->sin6_family = AF_INET6;
        if (inet_pton(AF_INET6, local.ipv6.c_str(), &a->sin6_addr) != 1)
            return false;
        out.type = "IP6";
        out.length = sizeof(sockaddr_in6);
        out.local_text = local.ipv6;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&out.local);
        a->sin_family = AF_INET;
        if (inet_pton(AF_INET, local.ipv4.c_str(), &a->sin_addr) != 1)
            return false;
        out.type = "IP4";
        out.length = sizeof(sockaddr_in);
        out.local_text = local.ipv4;
    }
    return true;
}

struct altc_t {
    bool ipv6;
    sockaddr_storage address;
};

// "pref type address port"
void read_altc(const char* value, std::map<long, altc_t>& entries)
{
    const char* v = value ? value : "";
    char* end = nullptr;
    errno = 0;
    long pref = strtol(v, &end, 10);
    if (end == v || pref <= 0 || errno == ERANGE || *end != ' ')
        return;
    std::string rest = end + 1;
    auto next = [&rest](std::string& piece) {
        size_t b = rest.find_first_not_of(' ');
        if (b == std::string::npos)
            return false;
        size_t e = rest.find(' ', b);
        piece = rest.substr(b, e == std::string::npos ? std::string::npos : e - b);
        rest = e == std::string::npos ? "" : rest.substr(e);
        return true;
    };
    std::string type, address, port;
    if (!next(type)) {
        LOG(LOGF_GENERAL, 4, "altc:%s: no addrtype", v);
        return;
    }
    if (!next(address)) {
        LOG(LOGF_GENERAL, 4, "altc:%s: no address", v);
        return;
    }
    if (!next(port)) {
        LOG(LOGF_GENERAL, 4, "altc:%s: no port", v);
        return;
    }
    long p;
    if (!sdp_parse_int(port, 0, 65535, p)) {
        LOG(LOGF_GENERAL, 4, "altc: invalid port: '%s'", port.c_str());
        return;
    }
    bool ipv6;
    if (type == "IP4")
        ipv6 = false;
    else if (type == "IP6")
        ipv6 = true;
    else {
        LOG(LOGF_GENERAL, 4, "altc: unsupported address type '%s'", type.c_str());
        return;
    }
    altc_t entry{ipv6, {}};
    if (resolve(address.c_str(), ipv6 ? AF_INET6 : AF_INET, entry.address, true) <= 0)
        return;
    sdp_address_set_port(entry.address, int(p));
    entries[pref] = entry;
}

}  // namespace

int sdp_address_port(const sockaddr_storage& a)
{
    if (a.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return 0;
}

void sdp_address_set_port(sockaddr_storage& a, int port)
{
    if (a.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in&>(a).sin_port = htons(uint16_t(port));
    else if (a.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(a).sin6_port = htons(uint16_t(port));
}

bool sdp_get_media_address(sdp_message_t* sdp, int m, const sdp_local_t& local, sdp_media_address_t& out)
{
    std::map<long, altc_t> entries;
    const char *field, *value;
    for (int i = 0; sdp_attribute_at(sdp, m, i, field, value); i++)
        if (strcasecmp(field, "altc") == 0)
            read_altc(value, entries);

    for (const auto& [pref, entry] : entries) {
        if (entry.ipv6 ? local.ipv6_usable() : local.ipv4_usable()) {
            if (!set_local(local, entry.ipv6, out))
                continue;
            out.remote = entry.address;
            return true;
        }
    }

    int c = m;
    const char* address = sdp_message_c_addr_get(sdp, m, 0);
    if (!address) {
        c = -1;
        address = sdp_message_c_addr_get(sdp, -1, 0);
    }
    if (!address) {
        LOG(LOGF_GENERAL, 3, "no connection attribute");
        return false;
    }
    const char* type = sdp_message_c_addrtype_get(sdp, c, 0);
    type = type ? type : "";
    long port;
    if (!sdp_parse_int(sdp_media_port(sdp, m), 0, 65535, port)) {
        LOG(LOGF_GENERAL, 3, "invalid media port '%s'", sdp_media_port(sdp, m).c_str());
        return false;
    }
    bool ipv6;
    if (strcmp(type, "IP4") == 0) {
        if (!local.ipv4_usable())
            return false;
        ipv6 = false;
    } else if (strcmp(type, "IP6") == 0) {
        if (local.ipv6_prefix < 0)
            return false;
        ipv6 = true;
    } else {
        LOG(LOGF_GENERAL, 3, "unsupported address type '%s'", type);
        return false;
    }
    int family = ipv6 ? AF_INET6 : AF_INET;
    int got = resolve(address, family, out.remote, false);
    if (got < 0)
        LOG(LOGF_GENERAL, 3, "getaddrinfo(%s): invalid address (probably doesn't correcpond declared address type)",
            address);
    if (got <= 0)
        return false;
    sdp_address_set_port(out.remote, int(port));
    if (!set_local(local, ipv6, out)) {
        LOG(LOGF_GENERAL, 3, "no local %s address", ipv6 ? "IPv6" : "IPv4");
        return false;
    }
    return true;
}
