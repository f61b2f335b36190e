// The proxy's own domains (with their TLS port, 0 for none). One store for
// the whole process; a proxy reads it when it starts. Thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace sipproxy {

class ConfigStore {
public:
    void addDomain(const std::string& domain, int tls_port);
    void eraseDomain(const std::string& domain);
    std::map<std::string, int> getDomains() const;

private:
    mutable std::mutex lock;  // guards domains
    std::map<std::string, int> domains;
};

}  // namespace sipproxy
