// A connection to a Unix stream socket that a child process is still
// opening, for tests.
#pragma once

#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// Tries for about 3 s; -1 if nothing listens by then.
inline int connect_to(const std::string& path)
{
    for (int i = 0; i < 300; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, path.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return fd;
        close(fd);
        usleep(10000);
    }
    return -1;
}
