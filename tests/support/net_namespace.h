// A gateway's network made of unnamed namespaces for tests that need the real
// kernel (routes, ARP and neighbour caches, raw frames). "here" is the test's
// own namespace while the object lives; "lan" holds the far ends of eth0 and
// eth2. Both vanish with their last descriptor. Needs root: check usable()
// and skip otherwise.
//
// here:  lo
//        eth0 02:00:00:00:00:01  10.1.1.1/24  2001:db8:1::1/64  <-> lan eth0p
//        eth1 02:00:00:00:00:11  (only its MAC matters)        <-> here eth1p
//        eth2 02:00:00:00:00:21  192.168.2.1/24  2001:db8:2::1/64 <-> lan eth2p
//        ppp0 02:00:00:00:00:31  100.64.0.1/32, 198.51.100.0/24 and
//                                2001:db8:77::/48 through it   <-> here ppp0p
//        10.9.0.0/16 and 2001:db8:9::/48 via the router 10.1.1.254 /
//        2001:db8:1::fe, whose MAC ROUTER_MAC is a permanent neighbour entry
// lan:   eth0p 02:00:00:00:00:02  10.1.1.2/24  2001:db8:1::2/64
//        eth2p 02:00:00:00:00:22  192.168.2.2/24
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

class NetNamespaces {
public:
    static constexpr const char* OWN_MAC = "02:00:00:00:00:01";
    static constexpr const char* PEER_MAC = "02:00:00:00:00:02";
    static constexpr const char* ETH1_MAC = "02:00:00:00:00:11";
    static constexpr const char* ROUTER_MAC = "02:00:00:00:00:fe";

    static bool usable() { return geteuid() == 0; }

    // Call from SetUp after usable(); ASSERTs inside, so check HasFatalFailure.
    void build()
    {
        host = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(host, 0);
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
        here = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
        lan = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);   // ip moves links by its /proc path
        ASSERT_EQ(setns(here, CLONE_NEWNET), 0);

        // Addresses are usable at once: no duplicate detection on a private wire.
        const char* no_dad = "echo 0 > /proc/sys/net/ipv6/conf/default/accept_dad";
        sh(here, no_dad);
        sh(lan, no_dad);
        std::string to_lan = " netns /proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(lan);
        sh(here, "ip link set lo up && "
                 "ip link add eth0 address 02:00:00:00:00:01 type veth peer name eth0p address 02:00:00:00:00:02 && "
                 "ip link add eth1 address 02:00:00:00:00:11 type veth peer name eth1p && "
                 "ip link add eth2 address 02:00:00:00:00:21 type veth peer name eth2p address 02:00:00:00:00:22 && "
                 "ip link add ppp0 address 02:00:00:00:00:31 type veth peer name ppp0p && "
                 "ip link set eth0p" + to_lan + " && ip link set eth2p" + to_lan + " && "
                 "ip addr add 10.1.1.1/24 dev eth0 && ip -6 addr add 2001:db8:1::1/64 dev eth0 && "
                 "ip addr add 192.168.2.1/24 dev eth2 && ip -6 addr add 2001:db8:2::1/64 dev eth2 && ip addr add 100.64.0.1/32 dev ppp0 && "
                 "for l in eth0 eth1 eth1p eth2 ppp0 ppp0p; do ip link set $l up; done && "
                 "ip route add 198.51.100.0/24 dev ppp0 && ip -6 route add 2001:db8:77::/48 dev ppp0 && "
                 "ip neigh replace 10.1.1.254 lladdr 02:00:00:00:00:fe dev eth0 nud permanent && "
                 "ip -6 neigh replace 2001:db8:1::fe lladdr 02:00:00:00:00:fe dev eth0 nud permanent && "
                 "ip route add 10.9.0.0/16 via 10.1.1.254 && ip -6 route add 2001:db8:9::/48 via 2001:db8:1::fe");
        sh(lan, "ip link set lo up && ip addr add 10.1.1.2/24 dev eth0p && "
                "ip -6 addr add 2001:db8:1::2/64 dev eth0p && ip addr add 192.168.2.2/24 dev eth2p && "
                "ip link set eth0p up && ip link set eth2p up");
    }

    ~NetNamespaces()
    {
        if (host >= 0)
            setns(host, CLONE_NEWNET);
        for (int fd : {host, here, lan})
            if (fd >= 0)
                close(fd);
    }

    // Runs a shell command line inside a namespace; fails the test unless it succeeds.
    static void sh(int ns, const std::string& cmd)
    {
        pid_t pid = fork();
        if (pid == 0) {
            if (setns(ns, CLONE_NEWNET) == 0)
                execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << cmd;
    }

    // A non-blocking packet socket that sees every frame arriving on ifname in ns.
    int capture(int ns, const char* ifname)
    {
        setns(ns, CLONE_NEWNET);
        int fd = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
        sockaddr_ll a{};
        a.sll_family = AF_PACKET;
        a.sll_protocol = htons(ETH_P_ALL);
        a.sll_ifindex = int(if_nametoindex(ifname));
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            fd = -1;
        }
        setns(here, CLONE_NEWNET);
        return fd;
    }

    // Frames that arrived (not the ones sent) on a capture socket within ms,
    // whose ethertype is type.
    static std::vector<std::vector<uint8_t>> frames(int fd, uint16_t type, int ms = 200)
    {
        std::vector<std::vector<uint8_t>> out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                               .count());
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0)
                break;
            uint8_t buf[4096];
            ssize_t n;
            sockaddr_ll from{};
            socklen_t len = sizeof from;
            while ((n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len)) > 0)
                if (from.sll_pkttype != PACKET_OUTGOING && n >= 14 && (buf[12] << 8 | buf[13]) == type)
                    out.emplace_back(buf, buf + n);
        }
        return out;
    }

    // Waits a bounded while for fn to hold.
    template <class Fn>
    static bool eventually(Fn fn, int ms = 3000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (fn())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    int host = -1;
    int here = -1;
    int lan = -1;
};

// Tests that run in a freshly built gateway network; skipped without root.
// A fixture's own SetUp calls this one first and returns when
// IsSkipped() || HasFatalFailure().
class NetNamespacesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!NetNamespaces::usable())
            GTEST_SKIP() << "needs root for network namespaces";
        net.build();
    }

    NetNamespaces net;
};
