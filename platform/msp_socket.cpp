#include "platform/msp_socket.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
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
std::atomic<bool> adopted{false};   // the open descriptor was handed over: already connected
std::atomic<int> failures[4] = {};  // by MspSocketStep: errno of an injected failure

bool injected(MspSocketStep step)
{
    int e = failures[static_cast<int>(step)].exchange(0);
    if (e == 0)
        return false;
    errno = e;
    return true;
}

int bind_driver(int fd, const uint8_t mac[6], uint32_t ifindex)
{
    // MAC, 2 bytes padding, u32 interface index, one byte 0, 3 bytes padding
    uint8_t value[16] = {};
    memcpy(value, mac, 6);
    memcpy(value + 8, &ifindex, 4);
    return setsockopt(fd, DRIVER_SOL, DRIVER_BIND_OPTION, value, sizeof value) < 0 ? -1 : 0;
}

int connect_simulator(int fd, const char* path)
{
    sockaddr_un peer{};
    sockaddr_un self{};
    peer.sun_family = self.sun_family = AF_UNIX;
    std::string own = std::string(path) + MSP_SIM_DAEMON_SUFFIX;
    if (own.size() >= sizeof self.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(peer.sun_path, path);
    strcpy(self.sun_path, own.c_str());
    // One daemon runs per root: a file left by an earlier one is stale.
    unlink(own.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) < 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) < 0)
        return -1;
    return 0;
}

const char* simulator_path()
{
    const char* path = getenv(MSP_SIM_ENV);
    return path && *path ? path : nullptr;
}

}  // namespace

void msp_socket_adopt(int fd) { adopted_fd.store(fd); }

bool msp_socket_simulated() { return simulated.load(); }

void msp_socket_fail_next(MspSocketStep step, int error) { failures[static_cast<int>(step)] = error; }

int msp_socket_create()
{
    if (injected(MspSocketStep::Create))
        return -1;
    int fd = adopted_fd.exchange(-1);
    adopted.store(fd >= 0);
    if (fd >= 0) {
        simulated.store(true);
        return fd;
    }
    simulated.store(simulator_path() != nullptr);
    if (simulated.load())
        return socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return socket(DRIVER_FAMILY, SOCK_DGRAM | SOCK_CLOEXEC, htons(DRIVER_ETHERTYPE));
}

int msp_socket_bind(int fd, const uint8_t mac[6], uint32_t ifindex)
{
    if (injected(MspSocketStep::Bind))
        return -1;
    if (adopted.load())
        return 0;
    if (!simulated.load())
        return bind_driver(fd, mac, ifindex);
    const char* path = simulator_path();
    if (!path) {
        errno = ENOENT;
        return -1;
    }
    return connect_simulator(fd, path);
}

int msp_socket_get_flags(int fd)
{
    if (injected(MspSocketStep::GetFlags))
        return -1;
    return fcntl(fd, F_GETFL);
}

int msp_socket_set_flags(int fd, int flags)
{
    if (injected(MspSocketStep::SetFlags))
        return -1;
    return fcntl(fd, F_SETFL, flags);
}

int msp_socket_open(const uint8_t mac[6], uint32_t ifindex)
{
    int fd = msp_socket_create();
    if (fd < 0)
        return -1;
    int flags;
    if (msp_socket_bind(fd, mac, ifindex) < 0 || (flags = msp_socket_get_flags(fd)) < 0 ||
        msp_socket_set_flags(fd, flags | O_NONBLOCK) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
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
