// A SIP URI over osip_uri_t: parse, print, parts, parameters, embedded headers.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <osipparser2/osip_uri.h>

namespace sipcore {

enum class TransportType { UDP, TCP, TLS };

const char* transport_name(TransportType t);            // "UDP", "TCP", "TLS"
bool transport_from_name(const std::string& name, TransportType* out);  // case-insensitive
int transport_default_port(TransportType t);            // 5060, or 5061 for TLS
// A port as written in a URI or Via: digits only, 1..65535; -1 otherwise.
int port_number(const char* text);

class Uri {
public:
    Uri() = default;
    explicit Uri(osip_uri_t* owned) : u(owned) {}
    ~Uri();
    Uri(const Uri& o);
    Uri& operator=(const Uri& o);
    Uri(Uri&& o) noexcept : u(std::exchange(o.u, nullptr)) {}
    Uri& operator=(Uri&& o) noexcept;

    // Invalid Uri on a parse error.
    static Uri parse(const std::string& text);

    bool valid() const { return u != nullptr; }
    explicit operator bool() const { return valid(); }
    osip_uri_t* raw() const { return u; }
    osip_uri_t* release() { return std::exchange(u, nullptr); }

    std::string toString() const;
    std::string scheme() const;
    std::string user() const;
    std::string host() const;
    int port() const;  // 0 when absent, -1 when not a port number
    bool isSecure() const;  // sips scheme

    void setUser(const std::string& user);
    void setHost(const std::string& host);
    void setPort(int port);  // 0 removes it

    // Parameters; a parameter without value reads as "".
    bool hasParam(const std::string& name) const;
    std::string param(const std::string& name) const;
    void setParam(const std::string& name, const std::string& value);
    void removeParam(const std::string& name);

    // The transport parameter, or UDP (TLS for sips) when absent or unknown.
    TransportType transport() const;

    // Embedded headers ("?Replaces=..."), names as written, values unescaped.
    std::vector<std::pair<std::string, std::string>> embeddedHeaders() const;
    void addEmbeddedHeader(const std::string& name, const std::string& value);
    void clearEmbeddedHeaders();

    // scheme:user@host[:port] with the port dropped when it is the default
    // for the given transport; no parameters or headers.
    std::string aorAsUri(TransportType t) const;
    // user@host
    std::string aorNoPort() const;

private:
    osip_uri_t* u = nullptr;
};

// Builds osip's parser tables once; every parse entry point calls it.
void parser_ready();

// %-escaping for header values embedded in a URI (RFC 3261 hnv-unreserved).
std::string uri_escape_header_value(const std::string& value);
std::string uri_unescape(const std::string& value);

// False when a % starts no two-hex-digit escape, or escapes a NUL: osip turns
// both into a NUL that cuts the part short ("sip:alice%00x@h" reads as alice).
// With skip_quoted, % inside quoted strings (display names) is not looked at.
bool uri_escapes_sound(const char* text, size_t len, bool skip_quoted = false);

}  // namespace sipcore
