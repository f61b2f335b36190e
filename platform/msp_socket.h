// The media processor's control socket. On the board it is the driver's own
// socket family on Ethernet type 0x889B; without the board it is a local
// datagram socket to the simulator, each datagram carrying the 32-byte driver
// address in front of the message so the simulator sees the channelId exactly
// where the driver puts it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr size_t MSP_SOCKET_ADDRESS_SIZE = 32;

// Environment variable naming the simulator's socket path; when set, the
// simulated transport is used instead of the driver's socket.
constexpr const char* MSP_SIM_ENV = "LINEGW_SIM_MSP";
// The daemon's end of the simulated transport is bound at the simulator's
// path with this suffix; the simulator answers that address alone.
constexpr const char* MSP_SIM_DAEMON_SUFFIX = ".daemon";

// The steps of opening the control socket, each failing on its own so that
// the caller can tell them apart.
// Creates the socket: the simulated transport's when LINEGW_SIM_MSP is set (or
// a descriptor was handed over with msp_socket_adopt), else the driver's.
// Returns the descriptor or -1 (errno set).
int msp_socket_create();
// Binds it to the MSP's MAC address on the interface with index ifindex (the
// driver's bind option); the simulated transport connects to the simulator
// instead. 0, or -1 (errno set).
int msp_socket_bind(int fd, const uint8_t mac[6], uint32_t ifindex);
// fcntl F_GETFL and F_SETFL: the flags or 0, else -1 (errno set).
int msp_socket_get_flags(int fd);
int msp_socket_set_flags(int fd, int flags);

// All of the above, in non-blocking mode. Returns the descriptor or -1 (errno set).
int msp_socket_open(const uint8_t mac[6], uint32_t ifindex);

// Tests make the next call of one step fail with the given errno.
enum class MspSocketStep { Create, Bind, GetFlags, SetFlags };
void msp_socket_fail_next(MspSocketStep step, int error);

// Tests hand over one end of a socketpair(AF_UNIX, SOCK_DGRAM); the next
// msp_socket_open returns it. -1 forgets a pending hand-over.
void msp_socket_adopt(int fd);

// True when the last open chose the simulated transport.
bool msp_socket_simulated();

// Sends one message to the address (32 bytes). Returns 0 or -1 (errno set).
int msp_socket_send(int fd, const uint8_t address[MSP_SOCKET_ADDRESS_SIZE], const void* message,
                    size_t length);

// Receives one message of up to capacity bytes and the address it came with.
// Returns the message length, or -1 (errno set; EAGAIN when empty). A
// simulated datagram too short to hold an address is returned as length 0.
ssize_t msp_socket_recv(int fd, void* buffer, size_t capacity,
                        uint8_t address[MSP_SOCKET_ADDRESS_SIZE]);

void msp_socket_close(int fd);
