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
};

}  // namespace sipcore
