// The network helpers against the real kernel, inside network namespaces the
// test makes for itself: "here" (the test's own) holds eth0 and lo, "peer"
// holds eth0's veth partner, which answers ARP and neighbour solicitations.
// Both namespaces have no name and vanish with their last descriptor.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/if_inet6.h"
#include "core/netif.h"
#include "core/rtnetlink.h"
#include "support/inet_text.h"
#include "support/log_capture.h"
#include "support/net_namespace.h"

namespace {

const uint8_t own_mac[6] = {0x02, 0, 0, 0, 0, 0x01};
const uint8_t peer_mac[6] = {0x02, 0, 0, 0, 0, 0x02};

std::string text(in_addr a)
{
    char buf[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

std::string text(const in6_addr& a)
{
    char buf[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, &a, buf, sizeof buf);
}

std::string mac_text(const uint8_t* m)
{
    char buf[18];
    snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return buf;
}

int open_fds()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (readdir(d))
        n++;
    closedir(d);
    return n;
}

// The shared helper under its usual short name.
constexpr auto sh = &NetNamespaces::sh;

class NetHelpers : public testing::Test {
protected:
    void SetUp() override
    {
        if (!NetNamespaces::usable())
            GTEST_SKIP() << "network namespaces need root";
        host = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(host, 0);
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
        here = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
        peer = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);   // ip moves the link by its /proc path
        ASSERT_EQ(setns(here, CLONE_NEWNET), 0);

        // Addresses are usable at once: no duplicate detection in a private wire.
        const char* no_dad = "echo 0 > /proc/sys/net/ipv6/conf/default/accept_dad";
        sh(here, no_dad);
        sh(peer, no_dad);
        sh(here, "ip link set lo up && "
                 "ip link add eth0 address 02:00:00:00:00:01 type veth peer name eth0p address 02:00:00:00:00:02 && "
                 "ip link set eth0p netns /proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(peer) + " && "
                 "ip addr add 10.1.1.1/24 dev eth0 && ip -6 addr add 2001:db8:1::1/64 dev eth0 && "
                 "ip link set eth0 up && "
                 "ip route add 10.9.0.0/16 via 10.1.1.2 && ip -6 route add 2001:db8:9::/48 via 2001:db8:1::2");
        sh(peer, "ip link set lo up && ip addr add 10.1.1.2/24 dev eth0p && "
                 "ip -6 addr add 2001:db8:1::2/64 dev eth0p && ip link set eth0p up");
    }

    void TearDown() override
    {
        if (host >= 0)
            setns(host, CLONE_NEWNET);
        for (int fd : {host, here, peer})
            if (fd >= 0)
                close(fd);
    }

    // Sends one datagram, which makes the kernel resolve the peer's MAC.
    static void poke(int family, const void* addr)
    {
        int fd = socket(family, SOCK_DGRAM, 0);
        sockaddr_storage ss{};
        socklen_t len;
        if (family == AF_INET) {
            auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
            sin->sin_family = AF_INET;
            sin->sin_port = htons(9);
            memcpy(&sin->sin_addr, addr, 4);
            len = sizeof *sin;
        } else {
            auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
            sin6->sin6_family = AF_INET6;
            sin6->sin6_port = htons(9);
            memcpy(&sin6->sin6_addr, addr, 16);
            len = sizeof *sin6;
        }
        sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&ss), len);
        close(fd);
    }

    int host = -1;
    int here = -1;
    int peer = -1;
};

}   // namespace

TEST_F(NetHelpers, InterfaceAddressesMasksAndMac)
{
    uint8_t mac[6] = {};
    ASSERT_EQ(get_if_hwaddr("eth0", mac), 0);
    EXPECT_EQ(mac_text(mac), mac_text(own_mac));
    in_addr a{};
    ASSERT_EQ(get_if_addr("eth0", &a), 0);
    EXPECT_EQ(text(a), "10.1.1.1");
    ASSERT_EQ(get_if_netmask("eth0", &a), 0);
    EXPECT_EQ(text(a), "255.255.255.0");

    ASSERT_EQ(set_if_addr("eth0", v4("10.2.3.4")), 0);
    ASSERT_EQ(set_if_netmask("eth0", v4("255.255.0.0")), 0);
    ASSERT_EQ(get_if_addr("eth0", &a), 0);
    EXPECT_EQ(text(a), "10.2.3.4");
    ASSERT_EQ(get_if_netmask("eth0", &a), 0);
    EXPECT_EQ(text(a), "255.255.0.0");

    // 0.0.0.0 removes the address; the getters then leave their output alone
    ASSERT_EQ(set_if_addr("eth0", v4("0.0.0.0")), 0);
    a = v4("1.2.3.4");
    EXPECT_EQ(get_if_addr("eth0", &a), -1);
    EXPECT_EQ(text(a), "1.2.3.4");

    // a point-to-point link gives its peer
    sh(here, "ip link add ppp7 type veth peer name ppp7p && ip addr add 10.5.5.1 peer 10.5.5.2 dev ppp7");
    ASSERT_EQ(get_if_dstaddr("ppp7", &a), 0);
    EXPECT_EQ(text(a), "10.5.5.2");

    // a missing interface fails with errno kept for the caller's message
    errno = 0;
    EXPECT_EQ(get_if_hwaddr("nosuch0", mac), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(mac_text(mac), mac_text(own_mac));
    errno = 0;
    EXPECT_EQ(set_if_addr("nosuch0", v4("10.1.1.9")), -1);
    EXPECT_EQ(errno, ENODEV);
}

// The address lookup gives what SIOCGIFADDR gives, name for name: the first
// address carrying that label, secondary and alias addresses included.
TEST_F(NetHelpers, InterfaceAddressMatchesTheInterfaceIoctl)
{
    sh(here, "ip addr add 10.1.1.7/24 dev eth0 && ip addr add 10.1.7.1/24 dev eth0 label eth0:7 && "
             "ip addr add 10.3.3.3/24 dev eth0 label eth0:longalias9 && "
             "ip link add dummy3 type veth peer name dummy3p && "
             "ip link add abcdefghijklmno type veth peer name abcp && "
             "ip addr add 10.4.4.4/32 dev abcdefghijklmno");
    auto by_ioctl = [](const char* name, in_addr* a) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq ifr{};
        strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
        ifr.ifr_addr.sa_family = AF_INET;
        int r = ioctl(fd, SIOCGIFADDR, &ifr);
        int e = errno;
        close(fd);
        errno = e;
        if (r == 0)
            *a = reinterpret_cast<sockaddr_in*>(&ifr.ifr_addr)->sin_addr;
        return r;
    };
    for (const char* name : {"eth0", "lo", "eth0:7", "eth0:longalias9", "eth0:longalias9x", "eth0:longalias",
                             "eth0:8", "dummy3", "abcdefghijklmno", "nosuch0", "nosuch0:1"}) {
        SCOPED_TRACE(name);
        in_addr want = v4("9.9.9.9"), got = v4("9.9.9.9");
        errno = 0;
        int wanted = by_ioctl(name, &want);
        int wanted_errno = errno;
        errno = 0;
        EXPECT_EQ(get_if_addr(name, &got), wanted);
        EXPECT_EQ(text(got), text(want));
        if (wanted != 0) {
            EXPECT_EQ(errno, wanted_errno);
        }
    }
    in_addr a{};
    ASSERT_EQ(get_if_addr("eth0:7", &a), 0);
    EXPECT_EQ(text(a), "10.1.7.1");
}

TEST_F(NetHelpers, UpAndDownLeaveNoDescriptorOpen)
{
    auto is_up = [] {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        strcpy(ifr.ifr_name, "eth0");
        ioctl(fd, SIOCGIFFLAGS, &ifr);
        close(fd);
        return (ifr.ifr_flags & IFF_UP) != 0;
    };
    int before = open_fds();
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(if_down("eth0"), 0);
        EXPECT_FALSE(is_up());
        ASSERT_EQ(if_up("eth0"), 0);
        EXPECT_TRUE(is_up());
    }
    // and neither do the other helpers, on their good and their bad roads
    in_addr a;
    uint8_t mac[6];
    in6_addr a6 = v6("2001:db8:1::2");
    get_route(v4("10.9.1.1"), &a, nullptr);
    get_route(v4("192.0.2.1"), &a, nullptr);
    get_neighbour_mac6(&a6, mac);
    get_default_gateway(&a);
    get_arp_mac("eth0", v4("10.1.1.99"), mac);
    get_ipv6_addr(&a6, "eth0", nullptr);
    flush_ipv6_addrs("nosuch0", true);
    EXPECT_EQ(open_fds(), before);

    LogCapture cap;
    EXPECT_EQ(if_up("nosuch0"), -1);
    EXPECT_TRUE(cap.contains("ioctl: No such device"));
    EXPECT_EQ(open_fds(), before);
}

TEST_F(NetHelpers, Ipv4RoutesOnLinkAndBehindARouter)
{
    const struct {
        const char* dst;
        const char* next_hop;
        const char* ifname;
    } cases[] = {
        {"10.1.1.2", "10.1.1.2", "eth0"},   // directly attached: the address itself
        {"10.1.1.200", "10.1.1.200", "eth0"},
        {"10.9.4.5", "10.1.1.2", "eth0"},   // behind the router
        {"127.0.0.1", "127.0.0.1", "lo"},
    };
    for (const auto& c : cases) {
        in_addr hop{};
        char name[IFNAMSIZ] = "x";
        ASSERT_EQ(get_route(v4(c.dst), &hop, name), 0) << c.dst;
        EXPECT_EQ(text(hop), c.next_hop) << c.dst;
        EXPECT_STREQ(name, c.ifname) << c.dst;
        ASSERT_EQ(get_route(v4(c.dst), &hop, nullptr), 0) << c.dst;
    }

    LogCapture cap;
    in_addr hop = v4("1.1.1.1");
    EXPECT_EQ(get_route(v4("192.0.2.1"), &hop, nullptr), -1);
    EXPECT_TRUE(cap.contains("kernel returned error -101 (Network is unreachable)"));
    EXPECT_EQ(text(hop), "1.1.1.1");
}

TEST_F(NetHelpers, Ipv6RoutesAndSourceAddress)
{
    const struct {
        const char* dst;
        const char* next_hop;
        const char* src;
    } cases[] = {
        {"2001:db8:1::2", "2001:db8:1::2", "2001:db8:1::1"},
        {"2001:db8:9::5", "2001:db8:1::2", "2001:db8:1::1"},
    };
    for (const auto& c : cases) {
        in6_addr dst = v6(c.dst), hop{}, src{};
        char name[IFNAMSIZ] = "";
        ASSERT_EQ(get_route(&dst, &hop, name, &src), 0);
        EXPECT_EQ(text(hop), c.next_hop) << c.dst;
        EXPECT_EQ(text(src), c.src) << c.dst;
        EXPECT_STREQ(name, "eth0") << c.dst;

        in6_addr local{};
        char lname[IFNAMSIZ] = "";
        ASSERT_EQ(get_local_ipv6(&dst, &local, lname), 0);
        EXPECT_EQ(text(local), c.src);
        EXPECT_STREQ(lname, "eth0");
    }

    // A route on a link with no address the kernel may use: no preferred source.
    sh(here, "ip link add eth1 type veth peer name eth1p && ip link set eth1 addrgenmode none && "
             "echo 1 > /proc/sys/net/ipv6/conf/eth1/use_oif_addrs_only && "
             "ip link set eth1 up && ip link set eth1p up && ip -6 route add 2001:db8:77::/64 dev eth1");
    in6_addr dst = v6("2001:db8:77::5"), local{}, hop{};
    char name[IFNAMSIZ] = "";
    ASSERT_EQ(get_local_ipv6(&dst, &local, name), 0);
    EXPECT_EQ(text(local), "::1");
    EXPECT_STREQ(name, "eth1");
    in6_addr src = v6("::9");
    ASSERT_EQ(get_route(&dst, &hop, nullptr, &src), 0);
    EXPECT_EQ(text(hop), "2001:db8:77::5");
    EXPECT_EQ(text(src), "::9");

    LogCapture cap;
    dst = v6("2001:db8:66::1");
    EXPECT_EQ(get_local_ipv6(&dst, &local, nullptr), -1);
    EXPECT_EQ(get_route(&dst, &hop, nullptr, nullptr), -1);
    EXPECT_EQ(cap.count("kernel returned error -101 (Network is unreachable)"), 2u);
}

TEST_F(NetHelpers, ArpAndNeighbourLookups)
{
    // the interface's own address: its own MAC, no cache entry needed
    uint8_t mac[6];
    ASSERT_EQ(get_arp_mac("eth0", v4("10.1.1.1"), mac), 0);
    EXPECT_EQ(mac_text(mac), mac_text(own_mac));

    // the peer answers ARP and neighbour solicitations by itself
    in_addr peer4 = v4("10.1.1.2");
    in6_addr peer6 = v6("2001:db8:1::2");
    poke(AF_INET, &peer4);
    poke(AF_INET6, &peer6);
    const uint8_t zero[6] = {};
    EXPECT_TRUE(NetNamespaces::eventually(
        [&] { return get_arp_mac("eth0", peer4, mac) == 0 && memcmp(mac, zero, 6) != 0; }));
    EXPECT_EQ(mac_text(mac), mac_text(peer_mac));
    memset(mac, 0, 6);
    EXPECT_TRUE(NetNamespaces::eventually([&] { return get_neighbour_mac6(&peer6, mac) == 0; }));
    EXPECT_EQ(mac_text(mac), mac_text(peer_mac));

    // addresses nobody asked for are not in the caches
    LogCapture cap;
    memset(mac, 7, 6);
    EXPECT_EQ(get_arp_mac("eth0", v4("10.1.1.77"), mac), -1);
    EXPECT_TRUE(cap.contains("ioctl(): No such device or address"));
    EXPECT_EQ(mac_text(mac), "00:00:00:00:00:00");
    in6_addr unknown = v6("2001:db8:1::77");
    memset(mac, 7, 6);
    EXPECT_EQ(get_neighbour_mac6(&unknown, mac), -1);
    EXPECT_EQ(mac[0], 7);
    EXPECT_EQ(get_arp_mac("nosuch0", peer4, mac), -1);
}

TEST_F(NetHelpers, Ipv6AddressChoice)
{
    const std::string link_local = "fe80::ff:fe00:1";   // from eth0's MAC
    in6_addr a{};
    int prefix = -1;
    ASSERT_TRUE(get_link_local_ipv6(&a, "eth0", &prefix));
    EXPECT_EQ(text(a), link_local);
    EXPECT_EQ(prefix, 64);
    EXPECT_FALSE(get_link_local_ipv6(&a, "nosuch0", nullptr));

    const struct {
        const char* name;
        const char* setup;   // after eth0's global addresses are removed
        const char* chosen;
        int prefix;
        bool global;
    } cases[] = {
        {"one global", "ip -6 addr add 2001:db8:1::1/64 dev eth0", "2001:db8:1::1", 64, true},
        {"only link-local", "true", "fe80::ff:fe00:1", 64, false},
        {"deprecated global", "ip -6 addr add 2001:db8:2::1/56 dev eth0 preferred_lft 0", "fe80::ff:fe00:1", 64, false},
        {"deprecated and valid global",
         "ip -6 addr add 2001:db8:2::1/56 dev eth0 preferred_lft 0 && ip -6 addr add 2001:db8:3::1/48 dev eth0",
         "2001:db8:3::1", 48, true},
    };
    for (const auto& c : cases) {
        sh(here, std::string("ip -6 addr flush dev eth0 scope global && ") + c.setup);
        prefix = -1;
        ASSERT_TRUE(get_ipv6_addr(&a, "eth0", &prefix)) << c.name;
        EXPECT_EQ(text(a), c.chosen) << c.name;
        EXPECT_EQ(prefix, c.prefix) << c.name;
        EXPECT_EQ(has_global_ipv6("eth0"), c.global) << c.name;
        EXPECT_EQ(has_global_ipv6(nullptr), c.global) << c.name;   // lo has only ::1
    }
    EXPECT_FALSE(has_global_ipv6("lo"));
    EXPECT_FALSE(get_ipv6_addr(&a, "nosuch0", nullptr));
}

TEST_F(NetHelpers, SetAndFlushIpv6Addresses)
{
    in6_addr want = v6("2001:db8:5::7");
    ASSERT_EQ(set_if_addr6("eth0", &want, 80), 0);
    sh(here, "ip -6 addr show dev eth0 | grep -q '2001:db8:5::7/80'");

    // without link-local: the globals go, the link-local address stays
    ASSERT_EQ(flush_ipv6_addrs("eth0", false), 0);
    in6_addr a{};
    EXPECT_FALSE(has_global_ipv6("eth0"));
    ASSERT_TRUE(get_ipv6_addr(&a, "eth0", nullptr));
    EXPECT_EQ(text(a), "fe80::ff:fe00:1");

    ASSERT_EQ(flush_ipv6_addrs("eth0", true), 0);
    EXPECT_FALSE(get_ipv6_addr(&a, "eth0", nullptr));
    // the peer's addresses, and lo's, are not touched
    sh(here, "ip -6 addr show dev lo | grep -q '::1/128'");

    errno = 0;
    EXPECT_EQ(set_if_addr6("nosuch0", &want, 64), -1);
    EXPECT_EQ(errno, ENODEV);
}

TEST_F(NetHelpers, DefaultGatewaySetAndGet)
{
    // a route to a network behind a router is not the default route
    in_addr gw = v4("9.9.9.9");
    EXPECT_EQ(get_default_gateway(&gw), -1);
    EXPECT_EQ(text(gw), "9.9.9.9");

    ASSERT_EQ(set_default_gateway(v4("10.1.1.2")), 0);
    ASSERT_EQ(get_default_gateway(&gw), 0);
    EXPECT_EQ(text(gw), "10.1.1.2");

    // a new gateway replaces the old one
    ASSERT_EQ(set_default_gateway(v4("10.1.1.3")), 0);
    ASSERT_EQ(get_default_gateway(&gw), 0);
    EXPECT_EQ(text(gw), "10.1.1.3");
    sh(here, "test \"$(ip -4 route show default)\" = 'default via 10.1.1.3 dev eth0 '");

    // a gateway the kernel refuses keeps the device's default route
    errno = 0;
    EXPECT_EQ(set_default_gateway(v4("192.0.2.1")), -1);
    EXPECT_EQ(errno, ENETUNREACH);
    ASSERT_EQ(get_default_gateway(&gw), 0);
    EXPECT_EQ(text(gw), "10.1.1.3");

    // a default route of another table is not the device's
    sh(here, "ip route del default && ip route add default via 10.1.1.4 table 100");
    EXPECT_EQ(get_default_gateway(&gw), -1);
}
