#include "platform/msp_socket.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int DRIVER_FAMILY = 27;
constexpr uint16_t DRIVER_ETHERTYPE = 0x889B;
constexpr int DRIVER_SOL = 269;
constexpr int DRIVER_BIND_OPTION = 1;
constexpr size_t MAX_DATAGRAM = 1500;

std::atomic<int> adopted_fd{-1};
std::atomic<bool> simulated{false};

int set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return -1;
    return 0;
}

int open_driver(const uint8_t mac[6], uint32_t ifindex)
{
    int fd = socket(DRIVER_FAMILY, SOCK_DGRAM, htons(DRIVER_ETHERTYPE));
    if (fd < 0)
        return -1;
    // MAC, 2 bytes padding, u32 interface index, one byte 0, 3 bytes padding
    uint8_t value[16] = {};
    memcpy(value, mac, 6);
    memcpy(value + 8, &ifindex, 4);
    if (setsockopt(fd, DRIVER_SOL, DRIVER_BIND_OPTION, value, sizeof value) < 0 ||
        set_nonblocking(fd) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int open_simulated(const char* path)
{
    sockaddr_un peer{};
    peer.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof peer.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(peer.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Autobind to an abstract address so the simulator can answer us.
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    if (bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof(sa_family_t)) < 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) < 0 || set_nonblocking(fd) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

}  // namespace

void msp_socket_adopt(int fd) { adopted_fd.store(fd); }

bool msp_socket_simulated() { return simulated.load(); }

int msp_socket_open(const uint8_t mac[6], uint32_t ifindex)
{
    int fd = adopted_fd.exchange(-1);
    if (fd >= 0) {
        simulated.store(true);
        if (set_nonblocking(fd) < 0)
            return -1;
        return fd;
    }
    const char* path = getenv(MSP_SIM_ENV);
    if (path && *path) {
        simulated.store(true);
        return open_simulated(path);
    }
    simulated.store(false);
    return open_driver(mac, ifindex);
}

int msp_socket_send(int fd, const uint8_t address[MSP_SOCKET_ADDRESS_SIZE], const void* message,
                    size_t length)
{
    if (!simulated.load()) {
        ssize_t n = sendto(fd, message, length, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(address),
                           MSP_SOCKET_ADDRESS_SIZE);
        return n < 0 ? -1 : 0;
    }
    if (length > MAX_DATAGRAM) {
        errno = EMSGSIZE;
        return -1;
    }
    uint8_t datagram[MSP_SOCKET_ADDRESS_SIZE + MAX_DATAGRAM];
    memcpy(datagram, address, MSP_SOCKET_ADDRESS_SIZE);
    memcpy(datagram + MSP_SOCKET_ADDRESS_SIZE, message, length);
    ssize_t n = send(fd, datagram, MSP_SOCKET_ADDRESS_SIZE + length, MSG_DONTWAIT);
    return n < 0 ? -1 : 0;
}

ssize_t msp_socket_recv(int fd, void* buffer, size_t capacity, uint8_t address[MSP_SOCKET_ADDRESS_SIZE])
{
    if (!simulated.load()) {
        socklen_t alen = MSP_SOCKET_ADDRESS_SIZE;
        memset(address, 0, MSP_SOCKET_ADDRESS_SIZE);
        return recvfrom(fd, buffer, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(address), &alen);
    }
    uint8_t datagram[MSP_SOCKET_ADDRESS_SIZE + MAX_DATAGRAM];
    ssize_t n = recv(fd, datagram, sizeof datagram, MSG_DONTWAIT);
    if (n < 0)
        return -1;
    memset(address, 0, MSP_SOCKET_ADDRESS_SIZE);
    if (static_cast<size_t>(n) < MSP_SOCKET_ADDRESS_SIZE)
        return 0;
    memcpy(address, datagram, MSP_SOCKET_ADDRESS_SIZE);
    size_t len = static_cast<size_t>(n) - MSP_SOCKET_ADDRESS_SIZE;
    if (len > capacity)
        len = capacity;
    memcpy(buffer, datagram + MSP_SOCKET_ADDRESS_SIZE, len);
    return static_cast<ssize_t>(len);
}

void msp_socket_close(int fd)
{
    if (fd >= 0)
        close(fd);
}
