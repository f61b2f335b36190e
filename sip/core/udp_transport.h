// A UDP socket bound to one address and port.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sip/core/transport.h"

namespace sipcore {

class UdpTransport : public Transport {
public:
    // Returns null (after logging why) when the socket cannot be bound.
    static std::unique_ptr<UdpTransport> open(TransportHost* host, const std::string& ip, int port, int* error);
    ~UdpTransport() override;

    TransportType type() const override { return TransportType::UDP; }
    int send(const std::string& data, const sock_addr_t& dest, int connection_id, int* used_connection) override;
    int setReceiveBuffer(int bytes) override;

private:
    UdpTransport(TransportHost* h, int fd) : host(h), sock(fd) {}
    void readable();
    void flush();
    TransportHost* host;
    int sock;
    // Datagrams are taken in batches; pages of a slot are touched only as
    // far as its datagram reaches.
    static constexpr int batch = 32;
    static constexpr size_t slot_size = 65536;
    std::unique_ptr<char[]> bufs;
    // While a batch of more than one datagram is handled, what it sends
    // (mostly the answers) waits here and leaves in one sendmmsg.
    struct outgoing_t {
        std::string data;
        sock_addr_t dest;
    };
    bool holding = false;
    std::vector<outgoing_t> out;
    size_t out_count = 0;  // entries of out in use; the rest keep their buffers
};

}  // namespace sipcore
