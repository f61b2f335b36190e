#include "sip/core/resolver.h"

#include <ares.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <syslog.h>

#include "core/log.h"

namespace sipcore {

namespace {

struct query_t {
    Resolver::done_fn done;
    int port;
    int* pending;
    std::string host;
};

void on_addrinfo(void* arg, int status, int, ares_addrinfo* res)
{
    auto* q = static_cast<query_t*>(arg);
    if (status == ARES_EDESTRUCTION) {
        // The stack is going away; nobody waits for the answer.
        delete q;
        return;
    }
    --*q->pending;
    std::vector<sock_addr_t> addrs;
    if (status == ARES_SUCCESS && res) {
        for (ares_addrinfo_node* n = res->nodes; n; n = n->ai_next) {
            sock_addr_t a;
            if (n->ai_addrlen > sizeof a.ss)
                continue;
            memcpy(&a.ss, n->ai_addr, n->ai_addrlen);
            a.len = n->ai_addrlen;
            a = make_addr(a.ip(), q->port);
            if (a.valid())
                addrs.push_back(a);
        }
    }
    if (res)
        ares_freeaddrinfo(res);
    if (addrs.empty())
        LOG(LOGF_GENERAL, LOG_WARNING, "resolver: \"%s\" did not resolve (%s)", q->host.c_str(),
            ares_strerror(status));
    int error = addrs.empty() ? -EHOSTUNREACH : 0;
    q->done(error, std::move(addrs));
    delete q;
}

}  // namespace

Resolver::Resolver(TransportHost* h) : host(h)
{
    static std::once_flag once;
    std::call_once(once, [] { ares_library_init(ARES_LIB_INIT_ALL); });
    ares_options opts{};
    opts.timeout = 2000;
    opts.tries = 2;
    if (ares_init_options(&channel, &opts, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES) != ARES_SUCCESS) {
        LOG(LOGF_GENERAL, LOG_ERR, "resolver: c-ares initialisation failed; only numeric hosts resolve");
        channel = nullptr;
    }
}

Resolver::~Resolver()
{
    for (int fd : watched)
        host->unwatch(fd);
    if (channel)
        ares_destroy(channel);  // pending queries get ARES_EDESTRUCTION
}

void Resolver::resolve(const std::string& name, int port, done_fn done)
{
    sock_addr_t a = make_addr(name, port);
    if (a.valid()) {
        done(0, {a});
        return;
    }
    if (!channel || name.empty()) {
        done(-EHOSTUNREACH, {});
        return;
    }
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    auto* q = new query_t{std::move(done), port, &pending, name};
    ++pending;
    ares_getaddrinfo(channel, name.c_str(), nullptr, &hints, on_addrinfo, q);
    syncSockets();
}

void Resolver::syncSockets()
{
    if (!channel)
        return;
    ares_socket_t socks[ARES_GETSOCK_MAXNUM];
    int mask = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
    std::set<int> now;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        short ev = 0;
        if (ARES_GETSOCK_READABLE(mask, i))
            ev |= POLLIN;
        if (ARES_GETSOCK_WRITABLE(mask, i))
            ev |= POLLOUT;
        if (!ev)
            continue;
        int fd = socks[i];
        now.insert(fd);
        host->watch(fd, ev, [this, fd](short revents) {
            ares_process_fd(channel, (revents & (POLLIN | POLLERR | POLLHUP)) ? fd : ARES_SOCKET_BAD,
                            (revents & POLLOUT) ? fd : ARES_SOCKET_BAD);
            syncSockets();
        });
    }
    for (int fd : watched)
        if (!now.count(fd))
            host->unwatch(fd);
    watched = std::move(now);
}

void Resolver::process()
{
    if (!channel || pending == 0)
        return;
    ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    syncSockets();
}

int Resolver::timeoutMs()
{
    if (!channel || pending == 0)
        return -1;
    timeval tv{}, *t = ares_timeout(channel, nullptr, &tv);
    if (!t)
        return -1;
    return static_cast<int>(t->tv_sec * 1000 + t->tv_usec / 1000);
}

}  // namespace sipcore
