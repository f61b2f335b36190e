#include "platform/sim_socket.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

int sim_socket_connect(const char* socket_path)
{
    sockaddr_un peer{};
    peer.sun_family = AF_UNIX;
    if (strlen(socket_path) >= sizeof peer.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(peer.sun_path, socket_path);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval timeout{2, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) < 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}
