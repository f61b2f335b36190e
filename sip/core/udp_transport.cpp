#include "sip/core/udp_transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
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
    // Arrival times show how long datagrams waited: the stack's overload measure.
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
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
    if (!bufs)
        bufs.reset(new char[batch * slot_size]);
    mmsghdr msgs[batch];
    iovec iovs[batch];
    peer_t froms[batch];
    alignas(cmsghdr) char ctl[batch][CMSG_SPACE(sizeof(timespec))];
    // Bounded: a flood cannot keep the stack thread here for ever.
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < batch; ++i) {
            froms[i].transport = TransportType::UDP;
            froms[i].transport_id = id();
            froms[i].addr.len = sizeof froms[i].addr.ss;
            iovs[i] = iovec{bufs.get() + i * slot_size, slot_size};
            msgs[i].msg_hdr = msghdr{froms[i].addr.sa(), froms[i].addr.len, &iovs[i], 1, ctl[i], sizeof ctl[i], 0};
            msgs[i].msg_len = 0;
        }
        int n = recvmmsg(sock, msgs, batch, MSG_DONTWAIT, nullptr);
        if (n <= 0)
            return;
        // The oldest of the batch tells how far behind the stack is.
        for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[0].msg_hdr); c; c = CMSG_NXTHDR(&msgs[0].msg_hdr, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec sent, now;
                memcpy(&sent, CMSG_DATA(c), sizeof sent);
                clock_gettime(CLOCK_REALTIME, &now);
                int64_t ms = (now.tv_sec - sent.tv_sec) * 1000LL + (now.tv_nsec - sent.tv_nsec) / 1000000;
                host->queueDelay(ms > 0 ? ms : 0);
            }
        holding = n > 1;
        for (int i = 0; i < n; ++i) {
            froms[i].addr.len = msgs[i].msg_hdr.msg_namelen;
            if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) {
                LOG(LOGF_GENERAL, LOG_WARNING, "UDP transport: dropped an oversized datagram from %s",
                    froms[i].addr.key().c_str());
                continue;
            }
            host->received(bufs.get() + i * slot_size, msgs[i].msg_len, froms[i]);
        }
        holding = false;
        flush();
        if (n < batch)
            return;
    }
}

int UdpTransport::send(const std::string& data, const sock_addr_t& dest, int, int* used_connection)
{
    if (used_connection)
        *used_connection = 0;
    if (!dest.valid() || dest.family() != local_addr.family())
        return -EAFNOSUPPORT;
    if (holding) {
        if (out_count == out.size())
            out.emplace_back();
        out[out_count].data.assign(data);
        out[out_count].dest = dest;
        ++out_count;
        return 0;
    }
    ssize_t n = sendto(sock, data.data(), data.size(), 0, dest.sa(), dest.len);
    if (n < 0) {
        int e = errno;
        LOG(LOGF_GENERAL, LOG_WARNING, "UDP transport: sendto %s failed: %s", dest.key().c_str(), strerror(e));
        return -e;
    }
    return 0;
}

void UdpTransport::flush()
{
    constexpr size_t most = 64;
    mmsghdr msgs[most];
    iovec iovs[most];
    size_t done = 0;
    while (done < out_count) {
        size_t k = std::min(most, out_count - done);
        for (size_t i = 0; i < k; ++i) {
            outgoing_t& o = out[done + i];
            iovs[i] = iovec{o.data.data(), o.data.size()};
            msgs[i].msg_hdr = msghdr{o.dest.sa(), o.dest.len, &iovs[i], 1, nullptr, 0, 0};
            msgs[i].msg_len = 0;
        }
        int n = sendmmsg(sock, msgs, static_cast<unsigned>(k), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // The first datagram failed: like a lost one, left to retransmissions.
            LOG(LOGF_GENERAL, LOG_WARNING, "UDP transport: sendto %s failed: %s", out[done].dest.key().c_str(),
                strerror(errno));
            n = 1;
        }
        done += static_cast<size_t>(n);
    }
    for (size_t i = 0; i < out_count; ++i)
        if (out[i].data.capacity() > 16384)
            std::string().swap(out[i].data);
    out_count = 0;
}

int UdpTransport::setReceiveBuffer(int bytes)
{
    // Accepted connections inherit the listener's size.
    if (bytes <= 0 || setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
        return bytes <= 0 ? -EINVAL : -errno;
    return 0;
}

}  // namespace sipcore
