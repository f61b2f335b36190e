#include "sip/proxy/runner.h"

#include <strings.h>
#include <syslog.h>

#include "core/log.h"
#include "sip/proxy/am_i_responsible.h"
#include "sip/proxy/digest_authenticator.h"
#include "sip/proxy/is_trusted_node.h"
#include "sip/proxy/location_server.h"
#include "sip/proxy/simple_target_handler.h"
#include "sip/proxy/static_route.h"
#include "sip/proxy/strict_route_fixup.h"

namespace sipproxy {

proxy_stores_t& proxy_stores()
{
    static proxy_stores_t stores;
    return stores;
}

ProxyRunner::ProxyRunner(proxy_stores_t& stores) : store(stores) {}

ProxyRunner::~ProxyRunner() { shutdown(); }

bool ProxyRunner::run(const ConfigParse& config, std::string* error)
{
    shutdown();
    cfg = config;
    int linger = cfg.getConfigInt("RegSyncPort", 0) ? 86400 : 0;
    db.setLinger(linger);
    return start(error);
}

void ProxyRunner::shutdown()
{
    reg_sync.reset();
    if (proxy)
        proxy->stack().stop();
    proxy.reset();
    registrar.reset();
}

bool ProxyRunner::restart(std::string* error)
{
    shutdown();
    return start(error);
}

void ProxyRunner::setT1(int ms)
{
    if (ms <= 0)
        return;
    t1_ms = ms;
    if (proxy)
        proxy->stack().setT1(ms);
}

static std::vector<std::string> split_list(const std::string& s)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= s.size()) {
        size_t comma = s.find(',', start);
        std::string item = s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t a = item.find_first_not_of(" \t"), b = item.find_last_not_of(" \t");
        if (a != std::string::npos)
            out.push_back(item.substr(a, b - a + 1));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return out;
}

bool ProxyRunner::start(std::string* error)
{
    proxy = createProxy();
    std::string why;
    if (!addTransports(*proxy, &why)) {
        LOG(LOGF_GENERAL, LOG_ERR, "proxy: transports failed: %s", why.c_str());
        if (error)
            *error = why;
        proxy.reset();
        return false;
    }
    addDomains(*proxy);
    if (!cfg.getConfigBool("DisableRegistrar", false))
        createRegistrar(*proxy);
    makeRequestProcessorChain(proxy->requestChain());
    makeResponseProcessorChain(proxy->responseChain());
    makeTargetProcessorChain(proxy->targetChain());
    proxy->stack().start();
    reg_sync = createRegSync(db);
    if (reg_sync && !reg_sync->start(&why)) {
        LOG(LOGF_GENERAL, LOG_WARNING, "proxy: runs without registration sync: %s", why.c_str());
        reg_sync.reset();
    }
    return true;
}

std::unique_ptr<RegSyncPeer> ProxyRunner::createRegSync(LocationDb&) { return nullptr; }

std::unique_ptr<Proxy> ProxyRunner::createProxy()
{
    proxy_config_t pc;
    pc.server_text = cfg.getConfigData("ServerText", "");
    pc.timer_c_ms = cfg.getConfigInt("TimerC", 180) * 1000;
    pc.record_route_uri = cfg.getConfigData("RecordRouteUri", "");
    sipcore::stack_config_t sc;
    int t1 = t1_ms.load() ? t1_ms.load() : cfg.getConfigInt("TimerT1", 500);
    if (t1 > 0) {
        sc.t1_ms = t1;
        sc.t2_ms = 8 * t1;
        sc.t4_ms = 10 * t1;
    }
    return std::make_unique<Proxy>(pc, sc);
}

bool ProxyRunner::addTransports(Proxy& p, std::string* error)
{
    std::vector<std::string> indexes = cfg.getConfigIndexKeys("Transport");
    if (indexes.empty())
        indexes.push_back("");  // one UDP transport from the defaults below
    std::string rr;
    for (const auto& k : indexes) {
        std::string iface = cfg.getConfigData(k + "Interface", k.empty() ? "0.0.0.0:5060" : "");
        size_t colon = iface.rfind(':');
        if (colon == std::string::npos || colon + 1 >= iface.size()) {
            *error = "Port not specified in " + k + "Interface setting: expected format is <IPAddress>:<Port>";
            return false;
        }
        std::string ip = iface.substr(0, colon);
        if (ip.size() > 2 && ip.front() == '[' && ip.back() == ']')
            ip = ip.substr(1, ip.size() - 2);
        int port = atoi(iface.c_str() + colon + 1);
        sipcore::TransportType type;
        std::string tname = cfg.getConfigData(k + "Type", "UDP");
        if (!sipcore::transport_from_name(tname, &type)) {
            *error = "unsupported transport type \"" + tname + "\" in " + k + "Type";
            return false;
        }
        sipcore::tls_options_t tls;
        if (type == sipcore::TransportType::TLS && !tlsOptions(k, &tls, error))
            return false;
        int id = p.addTransport(type, ip, port, type == sipcore::TransportType::TLS ? &tls : nullptr);
        if (id <= 0) {
            *error = "cannot listen on " + iface + " (likely a port is already in use)";
            return false;
        }
        if (int rcv = cfg.getConfigInt(k + "RcvBufLen", 0); rcv > 0)
            p.stack().setReceiveBuffer(id, rcv);
        std::string r = cfg.getConfigData(k + "RecordRouteUri", "");
        if (strcasecmp(r.c_str(), "auto") == 0) {
            std::string host = ip == "0.0.0.0" || ip == "::" ? sipcore::guess_local_ip(ip == "::" ? AF_INET6 : AF_INET) : ip;
            if (host.find(':') != std::string::npos)
                host = "[" + host + "]";
            std::string tn = sipcore::transport_name(type);
            for (auto& c : tn)
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            r = "sip:" + host + ":" + std::to_string(p.transportPort(id)) + ";transport=" + tn + ";lr";
        }
        if (rr.empty() && !r.empty())
            rr = r;
    }
    if (!rr.empty())
        p.setRecordRouteUri(rr);
    if (!p.config().record_route_uri.empty()) {
        sipcore::Uri u = sipcore::Uri::parse(p.config().record_route_uri);
        if (!u) {
            *error = "Invalid uri provided in RecordRouteUri: " + p.config().record_route_uri;
            return false;
        }
        if (!u.hasParam("lr")) {
            u.setParam("lr", "");
            p.setRecordRouteUri(u.toString());
        }
    }
    return true;
}

void ProxyRunner::setTlsFiles(const std::string& cert, const std::string& key, const std::string& ca)
{
    tls_cert = cert;
    tls_key = key;
    tls_ca = ca;
}

bool ProxyRunner::tlsOptions(const std::string& k, sipcore::tls_options_t* tls, std::string* error)
{
    if (tls_cert.empty() || tls_key.empty()) {
        *error = "no certificate and key for the secure transport " + k;
        return false;
    }
    tls->cert_file = tls_cert;
    tls->key_file = tls_key;
    tls->ca_file = tls_ca;
    std::string v = cfg.getConfigData(k + "TlsClientVerification", "None");
    if (strcasecmp(v.c_str(), "Optional") == 0)
        tls->client_verify = sipcore::tls_options_t::Verify::Optional;
    else if (strcasecmp(v.c_str(), "Mandatory") == 0)
        tls->client_verify = sipcore::tls_options_t::Verify::Mandatory;
    else if (strcasecmp(v.c_str(), "None") != 0)
        LOG(LOGF_GENERAL, LOG_WARNING, "proxy: unknown TLS client verification mode in %sTlsClientVerification: %s",
            k.c_str(), v.c_str());
    tls->verify_server = !tls_ca.empty();
    return true;
}

void ProxyRunner::addDomains(Proxy& p)
{
    for (const auto& d : split_list(cfg.getConfigData("Domains", "")))
        p.addDomain(d);
    for (const auto& d : split_list(cfg.getConfigData("DomainSuffixes", "")))
        p.addDomain(d);
    for (const auto& [d, tls] : store.config.getDomains())
        p.addDomain(d);
}

void ProxyRunner::createRegistrar(Proxy& p)
{
    registrar_config_t rc;
    rc.challenge = !cfg.getConfigBool("DisableAuth", false);
    rc.static_realm = cfg.getConfigData("StaticRealm", "");
    registrar = std::make_unique<Registrar>(p, db, &store.users, &store.acls, rc);
    for (auto* h : registrar_handlers)
        registrar->addRegistrarHandler(h);
    p.setRequestHandler(registrar.get());
}

void ProxyRunner::addProcessor(ProcessorChain& chain, std::unique_ptr<Processor> processor)
{
    chain.add(std::move(processor));
}

void ProxyRunner::makeRequestProcessorChain(ProcessorChain& chain)
{
    addProcessor(chain, std::make_unique<StrictRouteFixup>());
    addProcessor(chain, std::make_unique<IsTrustedNode>(store.acls));
    if (!cfg.getConfigBool("DisableAuth", false))
        addProcessor(chain, std::make_unique<DigestAuthenticator>(store.users, cfg.getConfigData("StaticRealm", ""),
                                                                  !cfg.getConfigBool("DisableAuthInt", false)));
    addProcessor(chain, std::make_unique<AmIResponsible>(cfg.getConfigBool("AlwaysAllowRelaying", false)));
    addProcessor(chain, std::make_unique<StaticRoute>(store.routes));
    addProcessor(chain, std::make_unique<LocationServer>(db));
}

void ProxyRunner::makeResponseProcessorChain(ProcessorChain&) {}

void ProxyRunner::makeTargetProcessorChain(ProcessorChain& chain)
{
    addProcessor(chain, std::make_unique<SimpleTargetHandler>());
}

}  // namespace sipproxy
