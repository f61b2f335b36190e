#include "core/epoller.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "core/log.h"

int epoll_fd = -1;

namespace {
std::atomic<epoller_ctl_t> ctl_fn{&epoll_ctl};
// Odd while the loop waits or delivers: what it gathered may name an object
// whose registration was removed meanwhile.
std::atomic<uint64_t> pass_count{0};
thread_local bool in_loop = false;
}

void epoller_set_ctl(epoller_ctl_t ctl) { ctl_fn.store(ctl ? ctl : &epoll_ctl); }

bool epoller_init()
{
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0) {
        LOG(LOGF_WEB, 3, "%s:%d: cannot create epoll: %s", __FILE_NAME__, __LINE__, strerror(errno));
        return false;
    }
    return true;
}

void epoller_poll(int ms)
{
    epoll_event evs[100];
    pass_count.fetch_add(1);
    in_loop = true;
    int n = epoll_wait(epoll_fd, evs, 100, ms);
    int err = errno;
    for (int i = 0; i < n; i++) {
        if (auto* p = static_cast<EPoller*>(evs[i].data.ptr))
            p->onEvents(evs[i].events);
    }
    in_loop = false;
    pass_count.fetch_add(1);
    if (n < 0 && err != EINTR) {
        LOG(LOGF_WEB, 3, "%s:%d: epoll_wait() error: %s", __FILE_NAME__, __LINE__, strerror(err));
        usleep(1000);
    }
}

void epoller_quiesce()
{
    // The loop's own objects are never inside a delivery of another pass.
    if (in_loop)
        return;
    uint64_t seen = pass_count.load();
    if (!(seen & 1))
        return;
    while (pass_count.load() == seen)
        usleep(1000);
}

void epoller_done()
{
    if (epoll_fd >= 0)
        close(epoll_fd);
    epoll_fd = -1;
}

EPoller::~EPoller()
{
    if (events)
        setEvents(fd, 0);
}

void EPoller::setEvents(int new_fd, uint32_t new_events)
{
    if (new_fd != fd) {
        if (events)
            setEvents(fd, 0);
        fd = new_fd;
        if (!new_events)
            return;
    }
    if (new_events == events)
        return;
    int op = !events ? EPOLL_CTL_ADD : !new_events ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    epoll_event ev{};
    ev.events = new_events;
    ev.data.ptr = this;
    if (ctl_fn.load()(epoll_fd, op, fd, &ev) != 0) {
        LOG(LOGF_WEB, 3, "%s:%d: epoll_ctl() error: %s", __FILE_NAME__, __LINE__, strerror(errno));
        return;
    }
    events = new_events;
}
