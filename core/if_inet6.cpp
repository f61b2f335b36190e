#include "core/if_inet6.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/ipv6.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/hex_digit.h"

namespace {

constexpr unsigned scope_global = 0x00;
constexpr unsigned scope_link = 0x20;
constexpr unsigned flag_deprecated = 0x20;

struct inet6_entry_t {
    in6_addr addr;
    unsigned ifindex;
    unsigned prefix;
    unsigned scope;
    unsigned flags;
    char name[21];
};

bool parse_line(const char* line, inet6_entry_t* e)
{
    char hex[33];
    if (sscanf(line, "%32s %02x %02x %02x %02x %20s", hex, &e->ifindex, &e->prefix, &e->scope, &e->flags, e->name) != 6)
        return false;
    if (strlen(hex) != 32)
        return false;
    for (int i = 0; i < 16; i++) {
        int hi = hex_digit(hex[2 * i]);
        int lo = hex_digit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        e->addr.s6_addr[i] = uint8_t(hi << 4 | lo);
    }
    return true;
}

// The kernel's list of addresses; false (errno set) when it cannot be read.
// Malformed lines are skipped.
bool read_entries(std::vector<inet6_entry_t>* entries)
{
    FILE* f = fopen("/proc/net/if_inet6", "re");
    if (!f)
        return false;
    char line[256];
    inet6_entry_t e;
    while (fgets(line, sizeof line, f))
        if (parse_line(line, &e))
            entries->push_back(e);
    fclose(f);
    return true;
}

bool on_interface(const inet6_entry_t& e, const char* name)
{
    return !name || strncmp(e.name, name, 15) == 0;
}

bool pick(const std::vector<inet6_entry_t>& entries, const char* name, unsigned scope, bool skip_deprecated,
          in6_addr* addr, int* prefix)
{
    for (const auto& e : entries) {
        if (!on_interface(e, name) || e.scope != scope || (skip_deprecated && (e.flags & flag_deprecated)))
            continue;
        *addr = e.addr;
        if (prefix)
            *prefix = int(e.prefix);
        return true;
    }
    return false;
}

}   // namespace

bool has_global_ipv6(const char* name)
{
    std::vector<inet6_entry_t> entries;
    in6_addr addr;
    return read_entries(&entries) && pick(entries, name, scope_global, true, &addr, nullptr);
}

bool get_link_local_ipv6(in6_addr* addr, const char* name, int* prefix)
{
    std::vector<inet6_entry_t> entries;
    return read_entries(&entries) && pick(entries, name, scope_link, false, addr, prefix);
}

bool get_ipv6_addr(in6_addr* addr, const char* name, int* prefix)
{
    std::vector<inet6_entry_t> entries;
    if (!read_entries(&entries))
        return false;
    return pick(entries, name, scope_global, true, addr, prefix) || pick(entries, name, scope_link, true, addr, prefix);
}

int flush_ipv6_addrs(const char* name, bool link_local)
{
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    std::vector<inet6_entry_t> entries;
    if (!read_entries(&entries)) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    for (const auto& e : entries) {
        if (!on_interface(e, name) || (e.scope == scope_link && !link_local))
            continue;
        in6_ifreq req;
        memset(&req, 0, sizeof req);
        req.ifr6_addr = e.addr;
        req.ifr6_prefixlen = e.prefix;
        req.ifr6_ifindex = int(e.ifindex);
        ioctl(fd, SIOCDIFADDR, &req);
    }
    close(fd);
    return 0;
}
