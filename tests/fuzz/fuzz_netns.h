// What the fuzz targets that talk to a peer over sockets share: a network
// namespace of their own with only lo up (what they send follows fuzzed Via,
// Contact and Route values, and nothing may leave the host), the peer's
// loopback socket, and the input read as messages with placeholders for the
// live values.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.h"

// Each input builds its stack afresh and frees it all, so the default 256 MB
// of freed memory held back to catch a use after free is cycled through every
// hundred inputs or so: 32 MB still holds many inputs' worth, and the
// recycling no longer costs a third of the time. (One source per target
// includes this header.)
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=32"; }

namespace fuzz {

inline const char*& target_name()
{
    static const char* name = "fuzz";
    return name;
}

inline void check(bool ok, const char* what, const std::string& detail = "")
{
    if (!ok) {
        fprintf(stderr, "%s: %s\n%s\n", target_name(), what, detail.c_str());
        abort();
    }
}

// Moves the process into a network namespace of its own with only lo up and
// silences the log. Exits 77 (skipped) when no namespace can be made.
inline void enter_netns(const char* name)
{
    target_name() = name;
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
    check(ok, "cannot bring lo up in the namespace", strerror(errno));
    log_set_sink([](int, const char*) {});
}

// A non-blocking socket of that type bound to 127.0.0.1 on a port of the
// kernel's choice (a stream socket also listens); its port in *port.
inline int loopback_socket(int type, int* port)
{
    int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof in;
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&in), len) == 0 &&
              (type != SOCK_STREAM || listen(fd, 16) == 0) &&
              getsockname(fd, reinterpret_cast<sockaddr*>(&in), &len) == 0;
    check(ok, "peer socket", strerror(errno));
    *port = ntohs(in.sin_port);
    return fd;
}

inline void replace_all(std::string* s, const std::string& from, const std::string& to)
{
    for (size_t at = s->find(from); at != std::string::npos; at = s->find(from, at + to.size()))
        s->replace(at, from.size(), to);
}

// The input's messages, split by "~~~" (16 at the most), each with its
// placeholders replaced by the live values, handed to `each` in order.
template <typename F>
void for_each_message(const std::string& input, const std::map<std::string, std::string>& live, F each)
{
    size_t start = 0;
    for (int i = 0; i < 16 && start <= input.size(); ++i) {
        size_t end = input.find("~~~", start);
        std::string text = input.substr(start, end == std::string::npos ? std::string::npos : end - start);
        for (const auto& [from, to] : live)
            replace_all(&text, from, to);
        each(text);
        if (end == std::string::npos)
            break;
        start = end + 3;
    }
}

}  // namespace fuzz
