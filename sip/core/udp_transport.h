// A UDP socket bound to one address and port.
#pragma once

#include <memory>

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
    TransportHost* host;
    int sock;
    // Datagrams are taken in batches; pages of a slot are touched only as
    // far as its datagram reaches.
    static constexpr int batch = 32;
    static constexpr size_t slot_size = 65536;
    std::unique_ptr<char[]> bufs;
};

}  // namespace sipcore
