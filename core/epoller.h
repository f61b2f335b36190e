// Base of everything served by the process's one epoll loop (registration-sync
// connections, the media proxy). The loop runs on the registration-sync thread.
#pragma once

#include <cstdint>
#include <sys/epoll.h>

class EPoller {
public:
    virtual ~EPoller();
    // Brings the registration to (fd, events): adds, modifies or removes as needed.
    void setEvents(int fd, uint32_t events);
    virtual void onEvents(uint32_t events) {}

    uint32_t getEvents() const { return events; }
    int getFd() const { return fd; }

protected:
    uint32_t events = 0;   // 0 = not registered
    int fd = -1;
};

extern int epoll_fd;

bool epoller_init();
void epoller_poll(int ms);
void epoller_done();

// Returns once no event gathered before the call can still reach an object:
// after removing its registration, an owner on another thread calls this
// before it closes the descriptor or deletes the object. Waits at most for
// the loop's current pass; at once when the loop is not inside one.
void epoller_quiesce();

// The epoll_ctl the registrations go through; tests count the calls. Null restores it.
typedef int (*epoller_ctl_t)(int epfd, int op, int fd, struct epoll_event* ev);
void epoller_set_ctl(epoller_ctl_t ctl);
