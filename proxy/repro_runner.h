// The gateway's SIP proxy and registrar: one runner built from
// /etc/repro.config, started, stopped and moved to a new address by the
// daemon. The management functions around it are in repro_api.h.
#pragma once

#include <map>
#include <string>

#include "proxy/dialog_tracker.h"
#include "proxy/my_registrar_handler.h"
#include "sip/proxy/runner.h"

class MyReproRunner : public sipproxy::ProxyRunner {
public:
    // Reads the proxy's own address (eth0, else ppp0, else 127.0.0.1).
    MyReproRunner();
    ~MyReproRunner() override;

    using sipproxy::ProxyRunner::run;
    // Builds and starts the proxy from /etc/repro.config.
    bool run();
    // Whether the proxy runs (a failed run leaves no proxy behind).
    bool running() { return getProxy() != nullptr; }

    // What the last transport set-up found: every transport has its own
    // record-route; the record-route of each transport, by its id.
    bool allTransportsRecordRoute() const { return all_record_route; }
    const std::map<int, std::string>& transportRecordRoutes() const { return record_routes; }
    // The calls ringing now, kept across restarts of this runner.
    DialogTable& dialogTable() { return dialogs; }

protected:
    // The proxy with the gateway's accounting collector, when the
    // configuration enables session or registration accounting.
    std::unique_ptr<sipproxy::Proxy> createProxy() override;
    bool addTransports(sipproxy::Proxy& proxy, std::string* error) override;
    // The gateway's processors in the framework's chains: ContactFixup right
    // before "AmIResponsible", MyStaticRoute and MyLocationServer in place of
    // "StaticRoute" and "LocationServer".
    void addProcessor(sipproxy::ProcessorChain& chain, std::unique_ptr<sipproxy::Processor> processor) override;
    // DialogTracker last in the request chain, first in the other two.
    void makeRequestProcessorChain(sipproxy::ProcessorChain& chain) override;
    void makeResponseProcessorChain(sipproxy::ProcessorChain& chain) override;
    void makeTargetProcessorChain(sipproxy::ProcessorChain& chain) override;
    // The registrar's handler of the gateway; logs when there is no registrar.
    void addRegistrarHandler();
    // Client towards the registration-sync agent (9071), server for it (9070).
    std::unique_ptr<sipproxy::RegSyncPeer> createRegSync(sipproxy::LocationDb& db) override;

private:
    const char* args[2] = {"repro", "/etc/repro.config"};
    MyRegistrarHandler registrar_handler;
    DialogTable dialogs;
    bool all_record_route = false;
    std::map<int, std::string> record_routes;
};

// The running runner; null before repro_start and after repro_stop. Readers
// hold proxyMutex (repro_api.h).
extern MyReproRunner* reproRunner;
// The proxy's own address: the TLS domain and the host of generated
// record-routes. Written under proxyMutex while no proxy starts.
extern std::string proxyLocalAddress;

// Creates and runs a runner (it stays in reproRunner when the run fails).
bool repro_start();
// Moves the proxy to new_address: the users of old_address become users of
// the new one, then the proxy stops and starts again.
void repro_ip_changed(const std::string& old_address, const std::string& new_address);
