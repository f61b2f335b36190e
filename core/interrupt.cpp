#include "core/interrupt.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "core/log.h"

Interrupt::Interrupt(int extra) : extra_fd(extra)
{
    int fds[2];
    // Close-on-exec: children started by the daemon must not keep the pipe.
    if (pipe2(fds, O_CLOEXEC) != 0) {
        LOG(LOGF_GENERAL, 3, "Failed to allocate interrupt pipe: %s", strerror(errno));
        return;
    }
    read_end = fds[0];
    write_end = fds[1];
}

Interrupt::~Interrupt() { close(); }

int Interrupt::signal()
{
    // One pending byte is enough to wake the reader; never fill the pipe.
    pollfd p{read_end, POLLIN, 0};
    if (poll(&p, 1, 0) != 0)
        return 0;
    if (write(write_end, "w", 1) != 1) {
        LOG(LOGF_GENERAL, 3, "Failed to signal interrupt: %s", strerror(errno));
        return -1;
    }
    return 0;
}

int Interrupt::wait(int ms)
{
    pollfd p[2] = {{read_end, POLLIN, 0}, {extra_fd, POLLIN, 0}};
    nfds_t n = extra_fd >= 0 ? 2 : 1;
    int r;
    do {
        r = poll(p, n, ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        LOG(LOGF_GENERAL, 2, "interrupt poll failed (%s)", strerror(errno));
        return -1;
    }
    if (r == 0)
        return 1;
    if (p[0].revents & POLLIN) {
        char buf[255];
        if (read(read_end, buf, sizeof buf) < 0)
            LOG(LOGF_GENERAL, 2, "reading interrupt descriptor failed (%s)", strerror(errno));
    }
    if (n == 2 && (p[1].revents & POLLIN))
        return 2;
    return 0;
}

void Interrupt::close()
{
    if (read_end >= 0)
        ::close(read_end);
    if (write_end >= 0)
        ::close(write_end);
    read_end = write_end = -1;
}
