// Builds and runs one proxy from a configuration, in a fixed order: stack
// and transports, domains, stores and location database, registrar, the
// three chains, then the stack thread. Shutdown is quick; restart builds a
// new stack and proxy and keeps the location database and the stores.
// Each step is virtual so that an application can change it; every
// processor passes addProcessor on its way into a chain.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "sip/core/tcp_transport.h"
#include "sip/proxy/config_parse.h"
#include "sip/proxy/location_db.h"
#include "sip/proxy/proxy.h"
#include "sip/proxy/proxy_stores.h"
#include "sip/proxy/reg_sync_peer.h"
#include "sip/proxy/registrar.h"

namespace sipproxy {

class ProxyRunner {
public:
    explicit ProxyRunner(proxy_stores_t& stores = proxy_stores());
    virtual ~ProxyRunner();
    ProxyRunner(const ProxyRunner&) = delete;
    ProxyRunner& operator=(const ProxyRunner&) = delete;

    // False (and nothing left running) when a step fails; *error says which.
    virtual bool run(const ConfigParse& config, std::string* error = nullptr);
    virtual void shutdown();
    virtual bool restart(std::string* error = nullptr);

    Proxy* getProxy() { return proxy.get(); }
    Registrar* getRegistrar() { return registrar.get(); }
    LocationDb& getLocationDb() { return db; }
    proxy_stores_t& stores() { return store; }
    const ConfigParse& config() const { return cfg; }

    // T1 now and for every later start.
    void setT1(int ms);
    void addRegistrarHandler(RegistrarHandler* h) { registrar_handlers.push_back(h); }
    // PEM files of the secure transports (read again by every start and
    // restart); ca checks peer certificates. Set before run or restart.
    void setTlsFiles(const std::string& cert, const std::string& key, const std::string& ca = "");

protected:
    virtual std::unique_ptr<Proxy> createProxy();
    virtual bool addTransports(Proxy& proxy, std::string* error);
    // The options of the secure transport configured under key ("TransportN").
    virtual bool tlsOptions(const std::string& key, sipcore::tls_options_t* tls, std::string* error);
    virtual void addDomains(Proxy& proxy);
    virtual void createRegistrar(Proxy& proxy);
    virtual void makeRequestProcessorChain(ProcessorChain& chain);
    virtual void makeResponseProcessorChain(ProcessorChain& chain);
    virtual void makeTargetProcessorChain(ProcessorChain& chain);
    virtual void addProcessor(ProcessorChain& chain, std::unique_ptr<Processor> processor);
    // Registration sync of the location database, started after the stack;
    // none by default. A sync that cannot start leaves the proxy running.
    virtual std::unique_ptr<RegSyncPeer> createRegSync(LocationDb& db);

private:
    bool start(std::string* error);

    proxy_stores_t& store;
    ConfigParse cfg;
    LocationDb db;
    std::atomic<int> t1_ms{0};
    std::vector<RegistrarHandler*> registrar_handlers;
    std::string tls_cert, tls_key, tls_ca;
    std::unique_ptr<Proxy> proxy;
    std::unique_ptr<Registrar> registrar;
    std::unique_ptr<RegSyncPeer> reg_sync;
};

}  // namespace sipproxy
