#include "sip/core/udp_transport.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include "core/log.h"

namespace sipcore {

std::unique_ptr<UdpTransport> UdpTransport::open(TransportHost* host, const std::string& ip, int port, int* error)
{
    sock_addr_t a = make_addr(ip, port);
    if (!a.valid()) {
        LOG(LOGF_GENERAL, LOG_ERR, "UDP transport: \"%s\" is not a numeric address", ip.c_str());
        *error = -EINVAL;
        return nullptr;
    }
    int fd = socket(a.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = -errno;
        LOG(LOGF_GENERAL, LOG_ERR, "UDP transport: socket() failed: %s", strerror(errno));
        return nullptr;
    }
    // No SO_REUSEADDR: on UDP it would let a second socket share a port in use.
    int one = 1;
    if (a.family() == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (bind(fd, a.sa(), a.len) != 0) {
        *error = -errno;
        LOG(LOGF_GENERAL, LOG_ERR, "UDP transport: bind to %s failed: %s", a.key().c_str(), strerror(errno));
        close(fd);
        return nullptr;
    }
    std::unique_ptr<UdpTransport> t(new UdpTransport(host, fd));
    t->local_addr.len = sizeof t->local_addr.ss;
    getsockname(fd, t->local_addr.sa(), &t->local_addr.len);
    UdpTransport* self = t.get();
    host->watch(fd, POLLIN, [self](short) { self->readable(); });
    *error = 0;
    return t;
}

UdpTransport::~UdpTransport()
{
    host->unwatch(sock);
    close(sock);
}

void UdpTransport::readable()
{
    // Bounded: a flood cannot keep the stack thread here for ever.
    char buf[65536];
    for (int i = 0; i < 64; ++i) {
        peer_t from;
        from.transport = TransportType::UDP;
        from.transport_id = id();
        from.addr.len = sizeof from.addr.ss;
        ssize_t n = recvfrom(sock, buf, sizeof buf, MSG_TRUNC, from.addr.sa(), &from.addr.len);
        if (n < 0)
            return;
        if (static_cast<size_t>(n) > sizeof buf) {
            LOG(LOGF_GENERAL, LOG_WARNING, "UDP transport: dropped an oversized datagram (%zd bytes) from %s", n,
                from.addr.key().c_str());
            continue;
        }
        host->received(buf, static_cast<size_t>(n), from);
    }
}

int UdpTransport::send(const std::string& data, const sock_addr_t& dest, int, int* used_connection)
{
    if (used_connection)
        *used_connection = 0;
    if (!dest.valid() || dest.family() != local_addr.family())
        return -EAFNOSUPPORT;
    ssize_t n = sendto(sock, data.data(), data.size(), 0, dest.sa(), dest.len);
    if (n < 0) {
        int e = errno;
        LOG(LOGF_GENERAL, LOG_WARNING, "UDP transport: sendto %s failed: %s", dest.key().c_str(), strerror(e));
        return -e;
    }
    return 0;
}

int UdpTransport::setReceiveBuffer(int bytes)
{
    // Accepted connections inherit the listener's size.
    if (bytes <= 0 || setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
        return bytes <= 0 ? -EINVAL : -errno;
    return 0;
}

}  // namespace sipcore
