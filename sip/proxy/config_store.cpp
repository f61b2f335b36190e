#include "sip/proxy/config_store.h"

namespace sipproxy {

void ConfigStore::addDomain(const std::string& domain, int tls_port)
{
    std::lock_guard<std::mutex> g(lock);
    domains[domain] = tls_port;
}

void ConfigStore::eraseDomain(const std::string& domain)
{
    std::lock_guard<std::mutex> g(lock);
    domains.erase(domain);
}

std::map<std::string, int> ConfigStore::getDomains() const
{
    std::lock_guard<std::mutex> g(lock);
    return domains;
}

}  // namespace sipproxy
