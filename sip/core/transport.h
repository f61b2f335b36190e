// What a transport offers the stack, and what the stack offers a transport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "sip/core/address.h"
#include "sip/core/uri.h"

namespace sipcore {

// Where a message came from.
struct peer_t {
    TransportType transport = TransportType::UDP;
    sock_addr_t addr;        // remote address
    int transport_id = 0;    // the listening transport
    int connection_id = 0;   // stream connection; 0 for UDP
    bool tls_verified = false;   // the peer's certificate was checked
    std::string tls_subject;     // its subject when it sent one
};

// The stack's side: fd watching, delivery of received messages, time.
class TransportHost {
public:
    virtual ~TransportHost() = default;
    // cb runs on the stack thread with poll's revents.
    virtual void watch(int fd, short events, std::function<void(short)> cb) = 0;
    virtual void unwatch(int fd) = 0;
    virtual void received(const char* buf, size_t len, const peer_t& from) = 0;
    // How long the next message(s) waited in the socket's queue.
    virtual void queueDelay(int64_t /*ms*/) {}
    // A stream connection failed or closed before queued data left.
    virtual void connectionFailed(int connection_id, int error) = 0;
    virtual int64_t nowMs() = 0;
};

class Transport {
public:
    virtual ~Transport() = default;
    virtual TransportType type() const = 0;
    int id() const { return transport_id; }
    const sock_addr_t& local() const { return local_addr; }

    // Sends to dest; 0 or -errno. Stream transports use connection_id when it
    // is still open, else a connection to dest (opening one when none exists),
    // and report the connection used.
    virtual int send(const std::string& data, const sock_addr_t& dest, int connection_id, int* used_connection) = 0;
    // Closes idle stream connections.
    virtual void housekeeping(int64_t /*now_ms*/) {}
    virtual size_t connectionCount() const { return 0; }
    // SO_RCVBUF of the receiving socket; 0 or -errno.
    virtual int setReceiveBuffer(int bytes) = 0;

protected:
    int transport_id = 0;
    sock_addr_t local_addr;
    friend class Stack;
};

}  // namespace sipcore
