// Moves the whole test process into a fresh network namespace with lo up, so
// that its fixed ports never meet another test's. Call it before any thread
// exists: a namespace belongs to the thread that enters it.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// False (after printing why) when it cannot (needs root).
inline bool enter_own_net_namespace()
{
    if (unshare(CLONE_NEWNET) != 0) {
        fprintf(stderr, "unshare(CLONE_NEWNET): %s\n", strerror(errno));
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq r{};
    strncpy(r.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &r) == 0;
    r.ifr_flags = short(r.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &r) == 0;
    if (fd >= 0)
        close(fd);
    if (!ok)
        fprintf(stderr, "cannot bring lo up: %s\n", strerror(errno));
    return ok;
}
