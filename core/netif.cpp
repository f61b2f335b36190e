#include "core/netif.h"

#include <cerrno>
#include <cstring>
#include <linux/ipv6.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.h"
#include "core/rtnetlink.h"

namespace {

// A socket for one request, closed on every road without losing the errno
// the caller reports.
class Socket {
public:
    explicit Socket(int domain) : fd(socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket()
    {
        if (fd >= 0) {
            int saved = errno;
            close(fd);
            errno = saved;
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    const int fd;
};

ifreq make_ifreq(const char* name)
{
    ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    return ifr;
}

int open_inet_socket(const Socket& s)
{
    if (s.fd < 0) {
        int saved = errno;
        LOG(LOGF_GENERAL, 3, "cannot create socket: %s", strerror(errno));
        errno = saved;
        return -1;
    }
    return 0;
}

int get_if_inaddr(const char* name, unsigned long request, in_addr* addr)
{
    Socket s(AF_INET);
    if (open_inet_socket(s) < 0)
        return -1;
    ifreq ifr = make_ifreq(name);
    ifr.ifr_addr.sa_family = AF_INET;
    if (ioctl(s.fd, request, &ifr) < 0)
        return -1;
    sockaddr_in sin;
    memcpy(&sin, &ifr.ifr_addr, sizeof sin);
    *addr = sin.sin_addr;
    return 0;
}

int set_if_inaddr(const char* name, unsigned long request, in_addr addr)
{
    Socket s(AF_INET);
    if (open_inet_socket(s) < 0)
        return -1;
    ifreq ifr = make_ifreq(name);
    sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr = addr;
    memcpy(&ifr.ifr_addr, &sin, sizeof sin);
    return ioctl(s.fd, request, &ifr) < 0 ? -1 : 0;
}

int change_if_flags(const char* name, bool up)
{
    Socket s(AF_INET);
    if (open_inet_socket(s) < 0)
        return -1;
    ifreq ifr = make_ifreq(name);
    if (ioctl(s.fd, SIOCGIFFLAGS, &ifr) < 0) {
        int saved = errno;
        LOG(LOGF_GENERAL, 3, "ioctl: %s", strerror(errno));
        errno = saved;
        return -1;
    }
    if (up)
        ifr.ifr_flags |= IFF_UP;
    else
        ifr.ifr_flags &= ~IFF_UP;
    if (ioctl(s.fd, SIOCSIFFLAGS, &ifr) < 0) {
        int saved = errno;
        LOG(LOGF_GENERAL, 3, "ioctl: %s", strerror(errno));
        errno = saved;
        return -1;
    }
    return 0;
}

sockaddr inet_sockaddr(in_addr addr)
{
    sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr = addr;
    sockaddr sa;
    memcpy(&sa, &sin, sizeof sa);
    return sa;
}

int default_route_ioctl(int fd, unsigned long request, in_addr gateway, short metric)
{
    rtentry rt;
    memset(&rt, 0, sizeof rt);
    rt.rt_dst = inet_sockaddr(in_addr{INADDR_ANY});
    rt.rt_genmask = inet_sockaddr(in_addr{INADDR_ANY});
    rt.rt_gateway = inet_sockaddr(gateway);
    rt.rt_flags = RTF_UP | RTF_GATEWAY;
    rt.rt_metric = metric;
    return ioctl(fd, request, &rt);
}

}   // namespace

int get_if_hwaddr(const char* name, uint8_t mac[6])
{
    Socket s(AF_INET);
    if (open_inet_socket(s) < 0)
        return -1;
    ifreq ifr = make_ifreq(name);
    if (ioctl(s.fd, SIOCGIFHWADDR, &ifr) < 0)
        return -1;
    memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    return 0;
}

int get_if_addr(const char* name, in_addr* addr) { return get_if_ipv4(name, addr); }

int get_if_netmask(const char* name, in_addr* addr) { return get_if_inaddr(name, SIOCGIFNETMASK, addr); }

int get_if_dstaddr(const char* name, in_addr* addr) { return get_if_inaddr(name, SIOCGIFDSTADDR, addr); }

int set_if_addr(const char* name, in_addr addr) { return set_if_inaddr(name, SIOCSIFADDR, addr); }

int set_if_netmask(const char* name, in_addr mask) { return set_if_inaddr(name, SIOCSIFNETMASK, mask); }

int if_up(const char* name) { return change_if_flags(name, true); }

int if_down(const char* name) { return change_if_flags(name, false); }

int set_if_addr6(const char* name, const in6_addr* addr, int prefix)
{
    Socket s(AF_INET6);
    if (s.fd < 0)
        return -1;
    ifreq ifr = make_ifreq(name);
    if (ioctl(s.fd, SIOCGIFINDEX, &ifr) < 0)
        return -1;
    in6_ifreq req;
    memset(&req, 0, sizeof req);
    memcpy(&req.ifr6_addr, addr, sizeof *addr);
    req.ifr6_prefixlen = prefix;
    req.ifr6_ifindex = ifr.ifr_ifindex;
    return ioctl(s.fd, SIOCSIFADDR, &req) < 0 ? -1 : 0;
}

int get_arp_mac(const char* name, in_addr addr, uint8_t mac[6])
{
    memset(mac, 0, 6);
    Socket s(AF_INET);
    if (s.fd < 0) {
        int saved = errno;
        LOG(LOGF_GENERAL, 3, "socket(): %s", strerror(errno));
        errno = saved;
        return -1;
    }
    in_addr own;
    if (get_if_addr(name, &own) < 0)
        return -1;
    if (own.s_addr == addr.s_addr)
        return get_if_hwaddr(name, mac);

    arpreq req;
    memset(&req, 0, sizeof req);
    req.arp_pa = inet_sockaddr(addr);
    strncpy(req.arp_dev, name, IFNAMSIZ - 1);
    if (ioctl(s.fd, SIOCGARP, &req) < 0) {
        int saved = errno;
        LOG(LOGF_GENERAL, 3, "ioctl(): %s", strerror(errno));
        errno = saved;
        return -1;
    }
    memcpy(mac, req.arp_ha.sa_data, 6);
    return 0;
}

int set_default_gateway(in_addr gateway)
{
    Socket s(AF_INET);
    if (s.fd < 0)
        return -1;
    // Put the old default route back when the new one is refused (say, an
    // unreachable gateway), so that a bad setting does not cut the device off.
    in_addr old;
    bool had_old = get_default_gateway(&old) == 0;
    default_route_ioctl(s.fd, SIOCDELRT, in_addr{INADDR_ANY}, 0);
    default_route_ioctl(s.fd, SIOCDELRT, gateway, 1);
    if (default_route_ioctl(s.fd, SIOCADDRT, gateway, 1) == 0)
        return 0;
    int saved = errno;
    if (had_old)
        default_route_ioctl(s.fd, SIOCADDRT, old, 1);
    errno = saved;
    return -1;
}
