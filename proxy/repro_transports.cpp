// The proxy's transports from the indexed "TransportN..." keys: the secure
// ones take their certificate and key from /tmp/ssl, with the proxy's own
// address as TLS domain, and each transport may carry its own record-route.
#include <arpa/inet.h>
#include <cstdio>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>

#include "core/log.h"
#include "core/netif.h"
#include "core/rtnetlink.h"
#include "platform/paths.h"
#include "proxy/repro_runner.h"
#include "sip/core/name_addr.h"

namespace {

bool file_exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool is_v6(const std::string& ip)
{
    in6_addr a;
    return inet_pton(AF_INET6, ip.c_str(), &a) == 1;
}

// The gateway's current address of the family of ip, as a URI host.
std::string current_host(const std::string& ip)
{
    char text[INET6_ADDRSTRLEN];
    if (is_v6(ip)) {
        in6_addr dst{}, src{};
        inet_pton(AF_INET6, "2a01:101:101:101:101:101:101:101", &dst);
        char ifname[32] = "";
        if (get_local_ipv6(&dst, &src, ifname) != 0 || !inet_ntop(AF_INET6, &src, text, sizeof text))
            return "[::1]";
        return std::string("[") + text + "]";
    }
    in_addr a{};
    if (get_if_addr("eth0", &a) != 0 && get_if_addr("ppp0", &a) != 0)
        return "127.0.0.1";
    return inet_ntop(AF_INET, &a, text, sizeof text) ? text : "127.0.0.1";
}

// A record-route URI that peers loose-route through: lr is added when missing.
std::string loose(sipcore::Uri uri)
{
    if (!uri.hasParam("lr"))
        uri.setParam("lr", "");
    return uri.toString();
}

sipcore::tls_options_t::Verify client_verification(const std::string& key, const std::string& mode)
{
    if (strcasecmp(mode.c_str(), "Optional") == 0)
        return sipcore::tls_options_t::Verify::Optional;
    if (strcasecmp(mode.c_str(), "Mandatory") == 0)
        return sipcore::tls_options_t::Verify::Mandatory;
    if (strcasecmp(mode.c_str(), "None") != 0)
        LOG(LOGF_GENERAL, LOG_CRIT, "Unknown TLS client verification mode found in %sTlsClientVerification setting: %s",
            key.c_str(), mode.c_str());
    return sipcore::tls_options_t::Verify::None;
}

}  // namespace

bool MyReproRunner::addTransports(sipproxy::Proxy& p, std::string* error)
{
    all_record_route = false;
    record_routes.clear();
    const sipproxy::ConfigParse& cfg = config();
    std::string global_rr = p.config().record_route_uri;
    if (!global_rr.empty()) {
        sipcore::Uri u = sipcore::Uri::parse(global_rr);
        if (!u) {
            *error = "Invalid uri provided in RecordRouteUri setting: " + global_rr;
            return false;
        }
        p.setRecordRouteUri(loose(u));
    }

    std::vector<std::string> keys = cfg.getConfigIndexKeys("Transport");
    LOG(LOGF_GENERAL, LOG_DEBUG, "Found %zu interface(s) defined in the advanced format", keys.size());
    if (keys.empty())
        return true;
    all_record_route = true;
    auto fail = [&](const std::string& why) {
        fprintf(stderr, "Likely a port is already in use\n");
        LOG(LOGF_GENERAL, LOG_ERR, "----> addTransports(): exception: %s", why.c_str());
        *error = why;
        return false;
    };
    for (const std::string& k : keys) {
        LOG(LOGF_GENERAL, LOG_DEBUG, "checking values for transport: %s", k.c_str());
        std::string iface = cfg.getConfigData(k + "Interface", "");
        size_t colon = iface.rfind(':');
        if (colon == std::string::npos) {
            *error = "no port in " + k + "Interface setting: \"" + iface + "\"";
            LOG(LOGF_GENERAL, LOG_ERR, "----> addTransports(): exception: %s", error->c_str());
            return false;
        }
        if (colon + 1 == iface.size()) {
            *error = "Port not specified in " + k + "Interface setting: expected format is <IPAddress>:<Port>";
            LOG(LOGF_GENERAL, LOG_CRIT, "%s", error->c_str());
            return false;
        }
        std::string ip = iface.substr(0, colon);
        if (ip.size() > 2 && ip.front() == '[' && ip.back() == ']')
            ip = ip.substr(1, ip.size() - 2);
        in_addr a4;
        if (!is_v6(ip) && inet_pton(AF_INET, ip.c_str(), &a4) != 1)
            LOG(LOGF_GENERAL, LOG_CRIT, "Malformed IP-address found in %sInterface setting: %s", k.c_str(),
                ip.c_str());
        int port = atoi(iface.c_str() + colon + 1);
        if (port == 0)
            LOG(LOGF_GENERAL, LOG_CRIT, "Invalid port found in %sInterface setting: 0", k.c_str());
        std::string type_name = cfg.getConfigData(k + "Type", "UDP");
        sipcore::TransportType type;
        if (!sipcore::transport_from_name(type_name, &type)) {
            LOG(LOGF_GENERAL, LOG_CRIT, "Unknown transport type found in %sType setting: %s", k.c_str(),
                type_name.c_str());
            *error = "unknown transport type \"" + type_name + "\" in " + k + "Type";
            LOG(LOGF_GENERAL, LOG_ERR, "----> addTransports(): exception: %s", error->c_str());
            return false;
        }
        sipcore::tls_options_t tls;
        tls.client_verify = client_verification(k, cfg.getConfigData(k + "TlsClientVerification", "NONE"));
        bool secure = type == sipcore::TransportType::TLS;
        if (secure) {
            tls.cert_file = platform_path("/tmp/ssl/sslcert");
            tls.key_file = platform_path("/tmp/ssl/sslkey");
            const char* skip = proxyLocalAddress.empty()            ? "no IP address"
                               : !file_exists(tls.cert_file) ? "no cert file"
                               : !file_exists(tls.key_file)  ? "no key file"
                                                             : nullptr;
            if (skip) {
                LOG(LOGF_GENERAL, LOG_INFO, "--> skipping secure transport: %s", skip);
                continue;
            }
        }
        int id = p.addTransport(type, ip, port, secure ? &tls : nullptr);
        if (id <= 0)
            return fail("cannot open " + type_name + " transport on " + iface);
        if (int rcv = cfg.getConfigInt(k + "RcvBufLen", 0); rcv > 0)
            p.stack().setReceiveBuffer(id, rcv);

        std::string rr = cfg.getConfigData(k + "RecordRouteUri", "");
        if (rr.empty()) {
            all_record_route = false;
            continue;
        }
        std::string uri;
        if (strcasecmp(rr.c_str(), "auto") == 0) {
            std::string tn = sipcore::transport_name(type);
            for (auto& c : tn)
                c = char(tolower(static_cast<unsigned char>(c)));
            uri = "sip:" + current_host(ip) + ":" + std::to_string(p.transportPort(id)) + ";transport=" + tn + ";lr";
            LOG(LOGF_GENERAL, LOG_INFO, "Transport specific record-route enabled (generated): <%s>", uri.c_str());
        } else {
            sipcore::NameAddr na = sipcore::NameAddr::parse(rr);
            sipcore::Uri u = na ? na.uri() : sipcore::Uri();
            if (!u) {
                LOG(LOGF_GENERAL, LOG_ERR, "Invalid uri provided in %sRecordRouteUri setting (ignoring): %s",
                    k.c_str(), rr.c_str());
                all_record_route = false;
                continue;
            }
            uri = loose(u);
            LOG(LOGF_GENERAL, LOG_INFO, "Transport specific record-route enabled: <%s>", uri.c_str());
        }
        record_routes[id] = uri;
        p.addTransportRecordRoute(id, uri);
    }
    return true;
}
