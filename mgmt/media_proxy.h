// The media relay: IPv4 UDP datagrams reaching eth2 for ports 10000-10511 go
// out again, unchanged, as Ethernet frames on eth1 to eth0's MAC address,
// which is where the media processor takes them. Served by the process's
// epoll loop on the registration-sync thread.
#pragma once

#include <cstdint>
#include <linux/if_packet.h>

#include "core/epoller.h"

class MediaProxy : public EPoller {
public:
    static constexpr int FIRST_PORT = 10000;
    static constexpr int LAST_PORT = 10511;
    static constexpr int ETHER_HEADER = 14;
    // The largest datagram a frame carries; a longer one is dropped whole.
    static constexpr int MAX_DATAGRAM = 2034;

    MediaProxy() = default;
    ~MediaProxy() override;
    MediaProxy(const MediaProxy&) = delete;
    MediaProxy& operator=(const MediaProxy&) = delete;

    // Main thread, after the epoll loop exists. Failures are logged and
    // leave the relay inactive.
    void start();
    // Main thread. On return the loop no longer reaches this object.
    void stop();
    void onEvents(uint32_t events) override;
    // One datagram.
    void onReadable();

private:
    int sendSock = -1;
    sockaddr_ll link{};
    uint8_t dstMac[6] = {};
    uint8_t srcMac[6] = {};
    uint8_t frame[ETHER_HEADER + MAX_DATAGRAM];
};

// Made by start-up, deleted at shutdown; null otherwise. Main thread.
extern MediaProxy* mediaProxy;
