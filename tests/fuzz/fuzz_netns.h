// Moves a fuzz target into a network namespace of its own with only lo up:
// what it sends follows fuzzed Via, Contact and Route values, and nothing may
// leave the host. Exits 77 (skipped) when no namespace can be made.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

inline void fuzz_enter_netns(const char* name)
{
    if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        fprintf(stderr, "%s: no network namespace of its own (%s); skipped\n", name, strerror(errno));
        exit(77);
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    bool ok = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    if (s >= 0)
        close(s);
    if (!ok) {
        fprintf(stderr, "%s: cannot bring lo up in the namespace: %s\n", name, strerror(errno));
        abort();
    }
}
