// The media relay on real interfaces: datagrams sent from the far end of eth2
// and frames caught at the far end of eth1, with the epoll loop on a thread
// of its own as the registration-sync thread runs it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/ip.h>
#include <thread>

#include "core/epoller.h"
#include "mgmt/media_proxy.h"
#include "support/log_capture.h"
#include "support/net_namespace.h"

namespace {

constexpr uint8_t ETH0_MAC[6] = {2, 0, 0, 0, 0, 0x01};
constexpr uint8_t ETH1_MAC[6] = {2, 0, 0, 0, 0, 0x11};

class MediaProxyTest : public NetNamespacesTest {
protected:
    void SetUp() override
    {
        NetNamespacesTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        // Room for the largest frame the relay sends.
        NetNamespaces::sh(net.here, "for l in eth1 eth1p eth2; do ip link set $l mtu 2100; done");
        NetNamespaces::sh(net.lan, "ip link set eth2p mtu 2100");
        ASSERT_TRUE(epoller_init());
        loop = std::thread([this] {
            while (!stopLoop)
                epoller_poll(20);
        });
        ASSERT_EQ(setns(net.lan, CLONE_NEWNET), 0);
        sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(setns(net.here, CLONE_NEWNET), 0);
        ASSERT_GE(sender, 0);
        logs = std::make_unique<LogCapture>(7);
    }

    void TearDown() override
    {
        if (!loop.joinable())
            return;
        stopLoop = true;
        loop.join();
        epoller_done();
        close(sender);
    }

    // One datagram of size bytes in all (IP header included) from the far end
    // of eth2 to the gateway's eth2 address.
    void send(int port, int size, const std::vector<uint8_t>& options = {})
    {
        setsockopt(sender, IPPROTO_IP, IP_OPTIONS, options.data(), socklen_t(options.size()));
        std::vector<uint8_t> payload(size_t(size) - 28 - options.size());
        for (size_t i = 0; i < payload.size(); i++)
            payload[i] = uint8_t(i * 31 + size_t(port));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(port));
        inet_pton(AF_INET, "192.168.2.1", &to.sin_addr);
        ASSERT_EQ(sendto(sender, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  ssize_t(payload.size()))
            << strerror(errno);
    }

    std::thread loop;
    std::atomic<bool> stopLoop{false};
    int sender = -1;
    std::unique_ptr<LogCapture> logs;
};

TEST_F(MediaProxyTest, RelaysThePortRangeByteForByteToEth0sMac)
{
    MediaProxy proxy;
    proxy.start();
    ASSERT_EQ(proxy.getEvents(), uint32_t(EPOLLIN));
    int eth1 = net.capture(net.here, "eth1p");
    int eth2 = net.capture(net.here, "eth2");
    ASSERT_GE(eth1, 0);
    ASSERT_GE(eth2, 0);

    struct Case {
        int port;
        int size;
        std::vector<uint8_t> options;
        bool relayed;
    };
    const Case cases[] = {
        {10000, 200, {}, true},
        {10511, 60, {}, true},
        {9999, 200, {}, false},
        {10512, 200, {}, false},
        {10000, MediaProxy::MAX_DATAGRAM, {}, true},
        // Longer than a frame carries: dropped whole, not cut short.
        {10000, MediaProxy::MAX_DATAGRAM + 1, {}, false},
        // The port is read where a plain 20-byte header puts it: here in the options.
        {10000, 200, {IPOPT_NOP, IPOPT_NOP, IPOPT_NOP, IPOPT_END}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.port) + "/" + std::to_string(c.size));
        send(c.port, c.size, c.options);
        auto in = NetNamespaces::frames(eth2, 0x0800, 150);
        ASSERT_EQ(in.size(), 1u);
        ASSERT_EQ(in[0].size(), size_t(c.size) + 14);
        auto out = NetNamespaces::frames(eth1, 0x0800, c.relayed ? 150 : 50);
        if (!c.relayed) {
            EXPECT_TRUE(out.empty());
            continue;
        }
        ASSERT_EQ(out.size(), 1u);
        const std::vector<uint8_t>& f = out[0];
        EXPECT_TRUE(std::equal(ETH0_MAC, ETH0_MAC + 6, f.begin()));
        EXPECT_TRUE(std::equal(ETH1_MAC, ETH1_MAC + 6, f.begin() + 6));
        EXPECT_EQ(f.size(), size_t(c.size) + 14);
        EXPECT_TRUE(std::equal(f.begin() + 14, f.end(), in[0].begin() + 14, in[0].end()));
    }
    EXPECT_EQ(logs->count("too large for a frame"), 1u);
    close(eth1);
    close(eth2);
}

TEST_F(MediaProxyTest, WithoutEth1NothingIsRegistered)
{
    NetNamespaces::sh(net.here, "ip link del eth1");
    MediaProxy proxy;
    proxy.start();
    EXPECT_TRUE(logs->contains("MediaProxy::start(): cannot get interface index"));
    EXPECT_EQ(proxy.getEvents(), 0u);
}

// Shutdown stops and deletes the relay while the loop may be relaying for
// it: no datagram may reach a closed socket or a deleted object.
TEST_F(MediaProxyTest, StopsSafelyUnderTraffic)
{
    std::atomic<bool> sending{true};
    std::thread traffic([&] {
        while (sending) {
            send(10000 + rand() % 512, 100);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int round = 0; round < 10; round++) {
        auto proxy = std::make_unique<MediaProxy>();
        proxy->start();
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        proxy->stop();
        EXPECT_EQ(proxy->getEvents(), 0u);
    }
    auto proxy = std::make_unique<MediaProxy>();
    proxy->start();
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    proxy.reset();   // the destructor stops it too
    sending = false;
    traffic.join();
    EXPECT_FALSE(logs->contains("cannot send raw packet"));
}

}  // namespace
