#include "mgmt/pinger.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include "core/log.h"
#include "core/main_loop.h"
#include "core/main_thread.h"
#include "platform/paths.h"

namespace {

std::mutex pingerMutex;
Pinger* pinger = nullptr;   // guarded by pingerMutex, as is every use of it

void on_host(void* self, int status, int /*timeouts*/, hostent* host)
{
    static_cast<Pinger*>(self)->onResolved(status, host);
}

uint16_t identifier() { return static_cast<uint16_t>(main_pid & 0xFFFF); }

// Internet checksum: one's complement sum of big-endian 16-bit words.
uint16_t inet_checksum(const uint8_t* p, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += uint32_t(p[i] << 8 | p[i + 1]);
    if (n & 1)
        sum += uint32_t(p[n - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

}  // namespace

Pinger::Pinger()
{
    if (!ares_library_ready)
        return;
    int r;
    // A simulated board keeps its resolver configuration under its root.
    if (!platform_root().empty()) {
        std::string conf = platform_path("/etc/resolv.conf");
        ares_options opts{};
        opts.resolvconf_path = conf.data();
        r = ares_init_options(&resolver, &opts, ARES_OPT_RESOLVCONF);
    } else {
        r = ares_init(&resolver);
    }
    if (r != ARES_SUCCESS) {
        LOG(LOGF_BOARD, 3, "c-ares channel initialization error: %s", ares_strerror(r));
        return;
    }
    resolver_ok = true;
}

Pinger::~Pinger()
{
    closeSocket();
    if (resolver_ok)
        ares_destroy(resolver);
}

void Pinger::closeSocket()
{
    if (sock >= 0)
        close(sock);
    sock = -1;
}

void Pinger::start(const std::string& host)
{
    if (resolver_ok)
        ares_cancel(resolver);   // the old lookup ends as cancelled, leaving the text alone
    closeSocket();
    state = RESOLVING;
    status_text = "working...";

    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) {
        if (!resolver_ok) {
            // Without a resolver no name can be looked up.
            state = IDLE;
            status_text = "cannot resolve host name: unknown error";
            LOG(LOGF_BOARD, 3, "Pinger: cannot resolve host: no resolver");
            return;
        }
        ares_gethostbyname(resolver, host.c_str(), AF_UNSPEC, on_host, this);
        return;
    }
    if (res && res->ai_addr) {
        target = sockaddr_storage{};
        memcpy(&target, res->ai_addr, std::min<size_t>(res->ai_addrlen, sizeof target));
        state = PINGING;
        polls = 0;
        openSocket(res->ai_addr->sa_family);
    } else {
        state = IDLE;
        status_text = "no address";
    }
    if (res)
        freeaddrinfo(res);
}

void Pinger::onResolved(int status, hostent* host)
{
    state = IDLE;
    switch (status) {
    case ARES_SUCCESS: {
        bool v4 = host && host->h_addrtype == AF_INET && host->h_length == 4;
        bool v6 = host && host->h_addrtype == AF_INET6 && host->h_length == 16;
        if (!(v4 || v6) || !host->h_addr_list || !host->h_addr_list[0]) {
            LOG(LOGF_BOARD, 3, "Pinger: cannot resolve host: NULL result");
            status_text = "cannot resolve host name: unknown error";
            return;
        }
        target = sockaddr_storage{};
        target.ss_family = sa_family_t(host->h_addrtype);
        if (v4)
            memcpy(&reinterpret_cast<sockaddr_in*>(&target)->sin_addr, host->h_addr_list[0], 4);
        else
            memcpy(&reinterpret_cast<sockaddr_in6*>(&target)->sin6_addr, host->h_addr_list[0], 16);
        state = PINGING;
        polls = 0;
        openSocket(host->h_addrtype);
        return;
    }
    case ARES_ENODATA:
        status_text = "cannot resolve host name: no data returned";
        return;
    case ARES_ENOTFOUND:
        status_text = "host does not exist";
        return;
    case ARES_ENOTIMP:
        status_text = "address family not implemented";
        return;
    case ARES_EBADNAME:
        status_text = "cannot resolve host name: invalid name";
        return;
    case ARES_ENOMEM:
        status_text = "cannot resolve host name: not enough memory";
        return;
    case ARES_ECANCELLED:
    case ARES_EDESTRUCTION:
        return;
    default:
        LOG(LOGF_BOARD, 3, "Pinger: cannot resolve host: unknown c-ares error status %d", status);
        status_text = "cannot resolve host name: unknown error";
        return;
    }
}

void Pinger::openSocket(int family)
{
    if (family == AF_INET) {
        sock = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    } else {
        sock = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
        int offset = 2;
        if (sock >= 0 && setsockopt(sock, IPPROTO_RAW, IPV6_CHECKSUM, &offset, sizeof offset) != 0)
            LOG(LOGF_BOARD, 3, "cannot set IPV6_CHECKSUM option to ICMP6 socket: %s", strerror(errno));
    }
    if (sock >= 0)
        return;
    status_text = std::string(family == AF_INET ? "cannot create ICMP socket: " : "cannot create ICMP6 socket: ") +
                  strerror(errno);
    LOG(LOGF_BOARD, 3, "%s", status_text.c_str());
    state = IDLE;
}

// True when an echo reply of ours was among the datagrams waiting.
bool Pinger::takeReply()
{
    uint8_t buf[128];
    for (;;) {
        ssize_t n = recvfrom(sock, buf, sizeof buf, MSG_DONTWAIT, nullptr, nullptr);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                LOG(LOGF_BOARD, 3, "recvfrom(): %s", strerror(errno));
            return false;
        }
        const uint8_t* icmp = buf;
        uint8_t reply = 129;
        if (target.ss_family == AF_INET) {
            // The IPv4 socket hands over the IP header too.
            size_t header = size_t(buf[0] & 0xF) * 4;
            if (n < 28 || size_t(n) < header + 8)
                continue;
            icmp = buf + header;
            reply = 0;
        } else if (n < 8) {
            continue;
        }
        uint16_t id;
        memcpy(&id, icmp + 4, 2);
        if (icmp[0] == reply && id == identifier())
            return true;
    }
}

void Pinger::sendRequest()
{
    uint8_t req[REQUEST_SIZE] = {};
    req[0] = target.ss_family == AF_INET ? 8 : 128;
    uint16_t id = identifier();
    memcpy(req + 4, &id, 2);
    req[6] = static_cast<uint8_t>(polls >> 8);
    req[7] = static_cast<uint8_t>(polls);
    // ICMPv6 sums a pseudo-header: the kernel fills that checksum in.
    if (target.ss_family == AF_INET) {
        uint16_t sum = inet_checksum(req, sizeof req);
        req[2] = static_cast<uint8_t>(sum >> 8);
        req[3] = static_cast<uint8_t>(sum);
    }
    if (sendto(sock, req, sizeof req, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) >= 0)
        return;
    status_text = std::string("cannot send ping request: ") + strerror(errno);
    LOG(LOGF_BOARD, 3, "%s", status_text.c_str());
    state = IDLE;
}

void Pinger::poll()
{
    if (!resolver_ok)
        return;
    // Resolver I/O without waiting; with nothing ready c-ares still runs its
    // timeouts. Descriptors by poll(): select's sets end at FD_SETSIZE.
    ares_socket_t socks[ARES_GETSOCK_MAXNUM];
    int bits = ares_getsock(resolver, socks, ARES_GETSOCK_MAXNUM);
    pollfd fds[ARES_GETSOCK_MAXNUM];
    int nfds = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; i++) {
        short ev = short((ARES_GETSOCK_READABLE(bits, i) ? POLLIN : 0) | (ARES_GETSOCK_WRITABLE(bits, i) ? POLLOUT : 0));
        if (ev)
            fds[nfds++] = pollfd{socks[i], ev, 0};
    }
    if (nfds > 0 && ::poll(fds, nfds_t(nfds), 0) >= 0) {
        bool any = false;
        for (int i = 0; i < nfds; i++) {
            short r = fds[i].revents;
            if (!r)
                continue;
            any = true;
            ares_process_fd(resolver, r & (POLLIN | POLLERR | POLLHUP) ? fds[i].fd : ARES_SOCKET_BAD,
                            r & (POLLOUT | POLLERR) ? fds[i].fd : ARES_SOCKET_BAD);
        }
        if (!any)
            ares_process_fd(resolver, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    }
    if (state != PINGING)
        return;

    if (takeReply()) {
        status_text = "OK";
        state = IDLE;
    } else if (polls < REQUESTS) {
        sendRequest();
    }
    if (++polls > POLL_LIMIT) {
        status_text = "timeout";
        state = IDLE;
    }
    if (state == IDLE)
        closeSocket();
}

void pinger_create()
{
    auto* p = new Pinger;
    std::lock_guard<std::mutex> lock(pingerMutex);
    delete pinger;
    pinger = p;
}

void pinger_delete()
{
    std::lock_guard<std::mutex> lock(pingerMutex);
    delete pinger;
    pinger = nullptr;
}

void pinger_poll()
{
    std::lock_guard<std::mutex> lock(pingerMutex);
    if (pinger)
        pinger->poll();
}

bool pinger_start(const std::string& host)
{
    std::lock_guard<std::mutex> lock(pingerMutex);
    if (!pinger)
        return false;
    pinger->start(host);
    return true;
}

std::string pinger_status()
{
    std::lock_guard<std::mutex> lock(pingerMutex);
    return pinger ? pinger->statusText() : std::string();
}
