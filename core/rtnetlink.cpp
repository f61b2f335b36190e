#include "core/rtnetlink.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <linux/if_addr.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/log.h"

namespace {

// One counter per request kind; atomic so that concurrent callers never race.
std::atomic<uint32_t> route4_seq{0};
std::atomic<uint32_t> route6_seq{0};
std::atomic<uint32_t> neigh_seq{0};
std::atomic<uint32_t> dump_seq{0};

constexpr size_t header_len = sizeof(nlmsghdr);
constexpr size_t route_msg_len = NLMSG_LENGTH(sizeof(rtmsg));    // 28
constexpr size_t neigh_msg_len = NLMSG_LENGTH(sizeof(ndmsg));    // 28
constexpr size_t addr_msg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));  // 24

class NetlinkSocket {
public:
    // quiet: the caller reports failures by its result alone
    explicit NetlinkSocket(bool quiet = false)
        : fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE)), quiet(quiet)
    {
        if (fd < 0) {
            if (!quiet)
                LOG(LOGF_GENERAL, 3, "cannot create socket: %s", strerror(errno));
            return;
        }
        // The kernel answers at once; the limit only guards the caller's loop.
        timeval tv{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~NetlinkSocket()
    {
        if (fd >= 0)
            close(fd);
    }
    NetlinkSocket(const NetlinkSocket&) = delete;
    NetlinkSocket& operator=(const NetlinkSocket&) = delete;

    bool send_request(const void* req, size_t len)
    {
        if (send(fd, req, len, 0) != ssize_t(len)) {
            if (!quiet)
                LOG(LOGF_GENERAL, 3, "cannot send netlink request: %s", strerror(errno));
            return false;
        }
        return true;
    }
    ssize_t receive(void* buf, size_t len)
    {
        ssize_t n = recv(fd, buf, len, 0);
        if (n < 0 && !quiet)
            LOG(LOGF_GENERAL, 3, "cannot receive netlink answer: %s", strerror(errno));
        return n;
    }
    const int fd;
    const bool quiet;
};

// Calls fn(type, data, length) for each attribute in [p, p + rest). False
// when an attribute is shorter than its header, overruns the rest, or bytes
// too few for an attribute are left over.
template <class Fn>
bool walk_attrs(const uint8_t* p, size_t rest, Fn fn)
{
    while (rest > 0) {
        if (rest < sizeof(rtattr))
            return false;
        rtattr rta;
        memcpy(&rta, p, sizeof rta);
        if (rta.rta_len < sizeof(rtattr) || rta.rta_len > rest)
            return false;
        fn(rta.rta_type, p + RTA_LENGTH(0), size_t(rta.rta_len - RTA_LENGTH(0)));
        size_t step = RTA_ALIGN(rta.rta_len);
        if (step >= rest)
            break;
        p += step;
        rest -= step;
    }
    return true;
}

// The header of one message at p with avail bytes left; false when it does
// not fit or claims more than arrived.
bool read_header(const uint8_t* p, size_t avail, nlmsghdr* h)
{
    if (avail < header_len)
        return false;
    memcpy(h, p, header_len);
    return h->nlmsg_len >= header_len && h->nlmsg_len <= avail;
}

void log_kernel_error(const uint8_t* msg)
{
    int err;
    memcpy(&err, msg + header_len, sizeof err);
    LOG(LOGF_GENERAL, 3, "kernel returned error %d (%s)", err, strerror(-err));
}

void copy_ifname(int fd, int index, char* ifname, const char* who, int* result)
{
    ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    ifr.ifr_ifindex = index;
    if (ioctl(fd, SIOCGIFNAME, &ifr) < 0) {
        LOG(LOGF_GENERAL, 3, "%s(): cannot get interface name: %s", who, strerror(errno));
        *result = -1;
        return;
    }
    memcpy(ifname, ifr.ifr_name, IFNAMSIZ);
    ifname[IFNAMSIZ - 1] = 0;
}

struct route_request_t {
    nlmsghdr h;
    rtmsg r;
    rtattr a;
    uint8_t addr[16];
};

// Sends the route request for dst and parses the kernel's answer.
int ask_route(NetlinkSocket& s, int family, const void* dst, rtnl_route_t* route)
{
    size_t addr_len = family == AF_INET ? 4 : 16;
    route_request_t req;
    memset(&req, 0, sizeof req);
    req.h.nlmsg_len = uint32_t(route_msg_len + RTA_LENGTH(addr_len));   // 36 or 48
    req.h.nlmsg_type = RTM_GETROUTE;
    req.h.nlmsg_flags = NLM_F_REQUEST;
    req.h.nlmsg_seq = family == AF_INET ? ++route4_seq : ++route6_seq;
    req.r.rtm_family = uint8_t(family);
    req.r.rtm_dst_len = uint8_t(addr_len * 8);
    req.r.rtm_table = RT_TABLE_DEFAULT;
    req.r.rtm_type = RTN_UNICAST;
    req.a.rta_len = uint16_t(RTA_LENGTH(addr_len));
    req.a.rta_type = RTA_DST;
    memcpy(req.addr, dst, addr_len);
    if (!s.send_request(&req, req.h.nlmsg_len))
        return -1;

    uint8_t buf[540];
    ssize_t n = s.receive(buf, sizeof buf);
    if (n < 0)
        return -1;
    return rtnl_parse_route_reply(buf, n, req.h.nlmsg_seq, family, route);
}

}   // namespace

int rtnl_parse_route_reply(const void* buf, ssize_t received, uint32_t seq, int family, rtnl_route_t* route)
{
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    nlmsghdr h;
    // The body must lie inside the message, not only inside what arrived.
    if (received < 0 || !read_header(p, size_t(received), &h) || size_t(received) < route_msg_len ||
        h.nlmsg_len < route_msg_len) {
        LOG(LOGF_GENERAL, 3, "invalid netlink message data");
        return -1;
    }
    if (h.nlmsg_seq != seq) {
        LOG(LOGF_GENERAL, 3, "unexpected sequence number");
        return -1;
    }
    if (h.nlmsg_type == NLMSG_ERROR) {
        log_kernel_error(p);
        return -1;
    }
    if (h.nlmsg_type != RTM_NEWROUTE) {
        LOG(LOGF_GENERAL, 3, "unexpected message type %d", h.nlmsg_type);
        return -1;
    }

    const size_t addr_attr_len = RTA_LENGTH(family == AF_INET ? 4 : 16);
    *route = rtnl_route_t{};
    bool sizes_ok = true;
    bool walked = walk_attrs(p + route_msg_len, h.nlmsg_len - route_msg_len,
                             [&](int type, const uint8_t* data, size_t len) {
        size_t rta_len = RTA_LENGTH(len);
        switch (type) {
        case RTA_OIF:
            if (rta_len != RTA_LENGTH(sizeof(int))) {
                LOG(LOGF_GENERAL, 3, "RTA_OIF: invalid attribute size %d", int(rta_len));
                sizes_ok = false;
                return;
            }
            memcpy(&route->oif, data, sizeof(int));
            break;
        case RTA_GATEWAY:
            if (rta_len != addr_attr_len) {
                LOG(LOGF_GENERAL, 3, "RTA_GATEWAY: invalid attribute size %d", int(rta_len));
                sizes_ok = false;
                return;
            }
            memcpy(route->gateway, data, len);
            route->has_gateway = true;
            break;
        case RTA_PREFSRC:
            if (rta_len != addr_attr_len) {
                LOG(LOGF_GENERAL, 3, "RTA_PREFSRC: invalid attribute size %d", int(rta_len));
                sizes_ok = false;
                return;
            }
            memcpy(route->prefsrc, data, len);
            route->has_prefsrc = true;
            break;
        }
    });
    if (!walked) {
        LOG(LOGF_GENERAL, 3, "RTA_OK is 0");
        return -1;
    }
    return sizes_ok ? 0 : -1;
}

int rtnl_parse_neigh_part(const void* buf, ssize_t received, uint32_t seq, const in6_addr* addr, uint8_t mac[6])
{
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    size_t avail = received < 0 ? 0 : size_t(received);
    bool more = false;
    while (avail > 0) {
        nlmsghdr h;
        if (!read_header(p, avail, &h)) {
            LOG(LOGF_GENERAL, 3, "invalid netlink message data");
            return -1;
        }
        if (h.nlmsg_seq != seq) {
            LOG(LOGF_GENERAL, 3, "unexpected sequence number");
            return -1;
        }
        if (h.nlmsg_type == NLMSG_DONE)
            return 2;
        if (h.nlmsg_type == NLMSG_ERROR) {
            if (h.nlmsg_len < header_len + sizeof(int)) {
                LOG(LOGF_GENERAL, 3, "invalid netlink message data");
                return -1;
            }
            log_kernel_error(p);
            return -1;
        }
        if (h.nlmsg_type != RTM_NEWNEIGH) {
            LOG(LOGF_GENERAL, 3, "unexpected message type %d", h.nlmsg_type);
            return -1;
        }
        if (h.nlmsg_len < neigh_msg_len) {
            LOG(LOGF_GENERAL, 3, "invalid netlink message data");
            return -1;
        }
        more = h.nlmsg_flags & NLM_F_MULTI;

        bool dst_match = false;
        bool has_mac = false;
        uint8_t entry_mac[6] = {};
        bool walked = walk_attrs(p + neigh_msg_len, h.nlmsg_len - neigh_msg_len,
                                 [&](int type, const uint8_t* data, size_t len) {
            if (type == NDA_DST) {
                if (RTA_LENGTH(len) != RTA_LENGTH(16)) {
                    LOG(LOGF_GENERAL, 4, "RTA_DST: invalid attribute size %d", int(RTA_LENGTH(len)));
                    return;
                }
                dst_match = memcmp(data, addr, 16) == 0;
            } else if (type == NDA_LLADDR) {
                if (RTA_LENGTH(len) != RTA_LENGTH(6)) {
                    LOG(LOGF_GENERAL, 4, "RTA_SRC: invalid attribute size %d", int(RTA_LENGTH(len)));
                    return;
                }
                memcpy(entry_mac, data, 6);
                has_mac = true;
            }
        });
        if (!walked) {
            LOG(LOGF_GENERAL, 3, "RTA_OK is 0");
            return -1;
        }
        static const uint8_t zero[6] = {};
        if (dst_match && has_mac && memcmp(entry_mac, zero, 6) != 0) {
            memcpy(mac, entry_mac, 6);
            return 1;
        }
        size_t step = NLMSG_ALIGN(h.nlmsg_len);
        if (step >= avail)
            break;
        p += step;
        avail -= step;
    }
    return more ? 0 : 2;
}

int get_route(in_addr dst, in_addr* next_hop, char* ifname)
{
    NetlinkSocket s;
    if (s.fd < 0)
        return -1;
    rtnl_route_t route;
    if (ask_route(s, AF_INET, &dst, &route) < 0)
        return -1;
    int result = 0;
    if (ifname && route.oif)
        copy_ifname(s.fd, route.oif, ifname, "get_route", &result);
    if (result < 0)
        return -1;
    if (route.has_gateway)
        memcpy(next_hop, route.gateway, 4);
    else
        *next_hop = dst;
    return 0;
}

int get_route(const in6_addr* dst, in6_addr* next_hop, char* ifname, in6_addr* prefsrc)
{
    NetlinkSocket s;
    if (s.fd < 0)
        return -1;
    rtnl_route_t route;
    if (ask_route(s, AF_INET6, dst, &route) < 0)
        return -1;
    int result = 0;
    if (ifname && route.oif)
        copy_ifname(s.fd, route.oif, ifname, "get_route", &result);
    if (result < 0)
        return -1;
    if (prefsrc && route.has_prefsrc)
        memcpy(prefsrc, route.prefsrc, 16);
    if (route.has_gateway)
        memcpy(next_hop, route.gateway, 16);
    else
        *next_hop = *dst;
    return 0;
}

int get_local_ipv6(const in6_addr* dst, in6_addr* src, char* ifname)
{
    NetlinkSocket s;
    if (s.fd < 0)
        return -1;
    rtnl_route_t route;
    if (ask_route(s, AF_INET6, dst, &route) < 0)
        return -1;
    int result = 0;
    if (ifname && route.oif)
        copy_ifname(s.fd, route.oif, ifname, "get_local_ipv6", &result);
    if (result < 0)
        return -1;
    if (route.has_prefsrc)
        memcpy(src, route.prefsrc, 16);
    else
        *src = in6addr_loopback;
    return 0;
}

int get_neighbour_mac6(const in6_addr* addr, uint8_t mac[6])
{
    NetlinkSocket s;
    if (s.fd < 0)
        return -1;
    struct {
        nlmsghdr h;
        ndmsg n;
    } req;
    memset(&req, 0, sizeof req);
    req.h.nlmsg_len = uint32_t(neigh_msg_len);
    req.h.nlmsg_type = RTM_GETNEIGH;
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_ROOT;
    req.h.nlmsg_seq = ++neigh_seq;
    req.n.ndm_family = AF_INET6;
    req.n.ndm_state = NUD_REACHABLE;
    if (!s.send_request(&req, sizeof req))
        return -1;

    // A big table comes in several parts; every part is read until the entry
    // turns up or the dump ends.
    static constexpr size_t buf_len = 32768;
    auto buf = std::make_unique<uint8_t[]>(buf_len);
    ssize_t n = s.receive(buf.get(), buf_len);
    if (n <= 32)
        return -1;
    for (;;) {
        int r = rtnl_parse_neigh_part(buf.get(), n, req.h.nlmsg_seq, addr, mac);
        if (r == 1)
            return 0;
        if (r != 0)
            return -1;
        n = s.receive(buf.get(), buf_len);
        if (n <= 0)
            return -1;
    }
}

namespace {

// One dump request of `type` with its family message, and the replies of
// type `reply`: fn(message, attributes, length) sees each, and returns 1 to
// end the dump with it, 0 to go on, -1 for a reply it cannot read. 1: fn
// ended it; 0: the dump ended first; -1: the request, a reply or fn failed
// (errno says why).
template <class Msg, class Fn>
int dump(NetlinkSocket& s, uint16_t type, const Msg& family, uint16_t reply, Fn fn)
{
    constexpr size_t msg_len = NLMSG_LENGTH(sizeof(Msg));
    struct {
        nlmsghdr h;
        Msg m;
    } req;
    memset(&req, 0, sizeof req);
    req.h.nlmsg_len = uint32_t(msg_len);
    req.h.nlmsg_type = type;
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.h.nlmsg_seq = ++dump_seq;
    req.h.nlmsg_pid = uint32_t(getpid());
    req.m = family;
    if (!s.send_request(&req, sizeof req))
        return -1;

    uint8_t buf[8192];
    for (;;) {
        ssize_t n = s.receive(buf, sizeof buf);
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return -1;
        }
        const uint8_t* p = buf;
        size_t avail = size_t(n);
        while (avail > 0) {
            nlmsghdr h;
            if (!read_header(p, avail, &h)) {
                errno = EIO;
                return -1;
            }
            if (h.nlmsg_type == NLMSG_ERROR) {
                nlmsgerr e{};
                if (h.nlmsg_len >= NLMSG_LENGTH(sizeof e))
                    memcpy(&e, p + header_len, sizeof e);
                errno = e.error < 0 ? -e.error : EIO;
                return -1;
            }
            if (h.nlmsg_type == NLMSG_DONE)
                return 0;
            if (h.nlmsg_type == reply) {
                int r = -1;
                if (h.nlmsg_len >= msg_len) {
                    Msg m;
                    memcpy(&m, p + header_len, sizeof m);
                    r = fn(m, p + msg_len, h.nlmsg_len - msg_len);
                }
                if (r < 0)
                    errno = EIO;
                if (r != 0)
                    return r;
            }
            size_t step = NLMSG_ALIGN(h.nlmsg_len);
            if (step >= avail)
                break;
            p += step;
            avail -= step;
        }
    }
}

}  // namespace

int get_default_gateway(in_addr* gateway)
{
    NetlinkSocket s(true);
    if (s.fd < 0)
        return -1;
    rtmsg family{};
    int r = dump(s, RTM_GETROUTE, family, RTM_NEWROUTE, [&](const rtmsg& route, const uint8_t* attrs, size_t len) {
        // Only the default route: a route to a network behind a router is
        // not the device's gateway.
        if (route.rtm_family != AF_INET || route.rtm_table != RT_TABLE_MAIN || route.rtm_dst_len != 0)
            return 0;
        bool found = false;
        in_addr gw;
        bool walked = walk_attrs(attrs, len, [&](int type, const uint8_t* data, size_t n) {
            if (type == RTA_GATEWAY && n == 4 && !found) {
                memcpy(&gw, data, 4);
                found = true;
            }
        });
        if (!walked)
            return -1;
        if (found)
            *gateway = gw;
        return int(found);
    });
    return r == 1 ? 0 : -1;
}

int get_if_ipv4(const char* name, in_addr* addr)
{
    char label[IFNAMSIZ] = {};
    strncpy(label, name, IFNAMSIZ - 1);
    NetlinkSocket s(true);
    if (s.fd < 0) {
        int saved = errno;
        LOG(LOGF_GENERAL, 3, "cannot create socket: %s", strerror(errno));
        errno = saved;
        return -1;
    }
    ifaddrmsg family{};
    family.ifa_family = AF_INET;
    int r = dump(s, RTM_GETADDR, family, RTM_NEWADDR, [&](const ifaddrmsg&, const uint8_t* attrs, size_t len) {
        bool named = false, found = false;
        in_addr local{};
        bool walked = walk_attrs(attrs, len, [&](int type, const uint8_t* data, size_t n) {
            if (type == IFA_LABEL)
                named = strnlen(reinterpret_cast<const char*>(data), n) == strlen(label) &&
                        memcmp(data, label, strlen(label)) == 0;
            else if (type == IFA_LOCAL && n == 4) {
                memcpy(&local, data, 4);
                found = true;
            }
        });
        if (!walked || !named || !found)
            return 0;
        *addr = local;
        return 1;
    });
    if (r == 0) {
        // The first address of the interface that carries the name, as the
        // interface ioctls pick it; none: say which is missing.
        char base[IFNAMSIZ];
        memcpy(base, label, sizeof base);
        base[strcspn(base, ":")] = 0;
        errno = if_nametoindex(base) == 0 ? ENODEV : EADDRNOTAVAIL;
    }
    return r == 1 ? 0 : -1;
}
