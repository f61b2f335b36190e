// Target resolution: numeric addresses at once, names through c-ares (A and
// AAAA), without blocking the stack thread.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "sip/core/address.h"
#include "sip/core/transport.h"

typedef struct ares_channeldata* ares_channel;

namespace sipcore {

class Resolver {
public:
    explicit Resolver(TransportHost* host);
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // error is 0 or -EHOSTUNREACH; addrs carry the port. Numeric hosts answer
    // inside the call; names answer later on the stack thread.
    using done_fn = std::function<void(int error, std::vector<sock_addr_t> addrs)>;
    void resolve(const std::string& host, int port, done_fn done);

    // Called every round: c-ares time-outs and its sockets.
    void process();
    // Milliseconds until c-ares wants process() again; -1 when idle.
    int timeoutMs();

private:
    void syncSockets();
    TransportHost* host;
    ares_channel channel = nullptr;
    std::set<int> watched;
    int pending = 0;
};

}  // namespace sipcore
