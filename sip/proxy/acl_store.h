// Trusted peers: address and mask, port (0 = any) and transport, all three
// must match. "localhost" stands for 127.0.0.1/8, ::1/128 and fe80::1/64.
// One store for the whole process. Thread-safe.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "sip/core/address.h"
#include "sip/core/uri.h"

namespace sipproxy {

struct acl_t {
    std::string tls_name;  // kept for the caller; not matched here
    std::string address;   // numeric
    int mask = 32;
    int port = 0;
    int family = 0;  // AF_INET or AF_INET6
    sipcore::TransportType transport = sipcore::TransportType::UDP;
};

class AclStore {
public:
    // A name ("localhost" or a numeric address, "/mask" allowed); false
    // when it is neither.
    bool addAcl(const std::string& name, int port, sipcore::TransportType transport);
    bool addAcl(const std::string& tls_name, const std::string& address, int mask, int port, int family,
                sipcore::TransportType transport);
    void eraseAcl(const std::string& address, int mask, int port, sipcore::TransportType transport);
    bool isTrusted(const sipcore::sock_addr_t& from, sipcore::TransportType transport) const;
    std::vector<acl_t> list() const;

private:
    mutable std::mutex lock;  // guards acls
    std::vector<acl_t> acls;
};

}  // namespace sipproxy
