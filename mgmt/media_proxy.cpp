#include "mgmt/media_proxy.h"

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.h"
#include "core/netif.h"

MediaProxy* mediaProxy = nullptr;

namespace {

void bind_to(int sock, const char* ifname)
{
    if (setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, ifname, socklen_t(strlen(ifname) + 1)) != 0)
        LOG(LOGF_GENERAL, 3, "MediaProxy::MediaStream(): cannot bind socket to device: %s", strerror(errno));
}

}  // namespace

MediaProxy::~MediaProxy()
{
    if (events || fd >= 0 || sendSock >= 0)
        stop();
}

void MediaProxy::start()
{
    LOG(LOGF_GENERAL, 7, "--> MediaProxy::start()");
    get_if_hwaddr("eth0", dstMac);
    get_if_hwaddr("eth1", srcMac);
    // Protocol 255 matches no ethertype: the socket only sends.
    sendSock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 255);
    if (sendSock < 0) {
        LOG(LOGF_GENERAL, 3, "MediaProxy::start(): cannot create RAW socket: %s", strerror(errno));
        return;
    }
    ifreq ifr{};
    strncpy(ifr.ifr_name, "eth1", IFNAMSIZ - 1);
    if (ioctl(sendSock, SIOCGIFINDEX, &ifr) != 0) {
        LOG(LOGF_GENERAL, 3, "MediaProxy::start(): cannot get interface index: %s", strerror(errno));
        return;
    }
    link = sockaddr_ll{};
    link.sll_ifindex = ifr.ifr_ifindex;
    link.sll_halen = 6;
    bind_to(sendSock, "eth1");
    int recvSock = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
    if (recvSock < 0) {
        LOG(LOGF_GENERAL, 3, "MediaProxy::start(): cannot create UDP socket: %s", strerror(errno));
        return;
    }
    bind_to(recvSock, "eth2");
    memcpy(frame, dstMac, 6);
    memcpy(frame + 6, srcMac, 6);
    frame[12] = 0x08;
    frame[13] = 0x00;
    setEvents(recvSock, EPOLLIN);
    if (!events) {   // the loop refused it: nothing would read the socket
        close(recvSock);
        fd = -1;
    }
}

void MediaProxy::stop()
{
    LOG(LOGF_GENERAL, 7, "--> MediaProxy::stop()");
    int recvSock = fd;
    setEvents(recvSock, 0);
    // A datagram being relayed, or an event gathered before the removal,
    // must not meet closed sockets or a deleted object.
    epoller_quiesce();
    if (recvSock >= 0)
        close(recvSock);
    fd = -1;
    if (sendSock >= 0)
        close(sendSock);
    sendSock = -1;
}

void MediaProxy::onEvents(uint32_t ready)
{
    if (ready & EPOLLIN)
        onReadable();
}

void MediaProxy::onReadable()
{
    uint8_t* datagram = frame + ETHER_HEADER;
    // MSG_TRUNC gives the whole length: a longer datagram would otherwise go
    // out cut short behind an IP header that claims all of it.
    ssize_t n = recv(fd, datagram, MAX_DATAGRAM, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
        LOG(LOGF_GENERAL, 3, "MediaProxy: recv: %s", strerror(errno));
        return;
    }
    if (n > MAX_DATAGRAM) {
        LOG(LOGF_GENERAL, 4, "MediaProxy: datagram of %zd bytes too large for a frame, dropped", n);
        return;
    }
    // The port is read where a 20-byte IP header puts it.
    if (n < 24 || (datagram[0] >> 4) != 4)
        return;
    int port = datagram[22] << 8 | datagram[23];
    if (port < FIRST_PORT || port > LAST_PORT)
        return;
    if (sendto(sendSock, frame, size_t(n) + ETHER_HEADER, 0, reinterpret_cast<const sockaddr*>(&link), sizeof link) < 0)
        LOG(LOGF_GENERAL, 3, "MediaProxy: cannot send raw packet: %s", strerror(errno));
}
