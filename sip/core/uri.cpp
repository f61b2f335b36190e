#include "sip/core/uri.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <osipparser2/osip_parser.h>
#include <osipparser2/osip_port.h>

#include "sip/core/block_cache.h"

namespace sipcore {

namespace {

std::string str(const char* s) { return s ? s : ""; }

}  // namespace

void parser_ready()
{
    // osip's parser tables are built once per process; its blocks come from
    // the per-thread cache from the start.
    static const int done = (block_cache_install(), parser_init());
    (void)done;
}

const char* transport_name(TransportType t)
{
    switch (t) {
    case TransportType::UDP: return "UDP";
    case TransportType::TCP: return "TCP";
    case TransportType::TLS: return "TLS";
    }
    return "UDP";
}

bool transport_from_name(const std::string& name, TransportType* out)
{
    static const struct {
        const char* name;
        TransportType t;
    } names[] = {{"udp", TransportType::UDP}, {"tcp", TransportType::TCP}, {"tls", TransportType::TLS}};
    for (const auto& n : names)
        if (strcasecmp(name.c_str(), n.name) == 0) {
            *out = n.t;
            return true;
        }
    return false;
}

int transport_default_port(TransportType t) { return t == TransportType::TLS ? 5061 : 5060; }

int port_number(const char* text)
{
    if (!text || !*text)
        return -1;
    int n = 0;
    for (; *text; ++text) {
        if (!isdigit(static_cast<unsigned char>(*text)))
            return -1;
        n = n * 10 + (*text - '0');
        if (n > 65535)
            return -1;
    }
    return n > 0 ? n : -1;
}

Uri::~Uri()
{
    if (u)
        osip_uri_free(u);
}

Uri::Uri(const Uri& o)
{
    if (o.u)
        osip_uri_clone(o.u, &u);
}

Uri& Uri::operator=(const Uri& o)
{
    if (this != &o) {
        Uri copy(o);
        std::swap(u, copy.u);
    }
    return *this;
}

Uri& Uri::operator=(Uri&& o) noexcept
{
    if (this != &o) {
        if (u)
            osip_uri_free(u);
        u = std::exchange(o.u, nullptr);
    }
    return *this;
}

Uri Uri::parse(const std::string& text)
{
    parser_ready();
    osip_uri_t* p = nullptr;
    if (osip_uri_init(&p) != 0)
        return {};
    // osip takes any text after the colon as the port ("5x", "-1", "70000")
    if (text.empty() || !uri_escapes_sound(text.data(), text.size()) || osip_uri_parse(p, text.c_str()) != 0 ||
        (p->port && port_number(p->port) < 0)) {
        osip_uri_free(p);
        return {};
    }
    return Uri(p);
}

std::string Uri::toString() const
{
    if (!u)
        return {};
    char* s = nullptr;
    if (osip_uri_to_str(u, &s) != 0 || !s)
        return {};
    std::string r = s;
    osip_free(s);
    return r;
}

std::string Uri::scheme() const { return u ? str(u->scheme) : ""; }
std::string Uri::user() const { return u ? str(u->username) : ""; }
std::string Uri::host() const { return u ? str(u->host) : ""; }
int Uri::port() const { return u && u->port ? port_number(u->port) : 0; }
bool Uri::isSecure() const { return u && u->scheme && strcasecmp(u->scheme, "sips") == 0; }

void Uri::setUser(const std::string& user)
{
    if (!u)
        return;
    osip_free(u->username);
    u->username = user.empty() ? nullptr : osip_strdup(user.c_str());
}

void Uri::setHost(const std::string& host)
{
    if (!u)
        return;
    osip_free(u->host);
    u->host = osip_strdup(host.c_str());
}

void Uri::setPort(int port)
{
    if (!u)
        return;
    osip_free(u->port);
    u->port = port > 0 ? osip_strdup(std::to_string(port).c_str()) : nullptr;
}

bool Uri::hasParam(const std::string& name) const
{
    osip_uri_param_t* p = nullptr;
    return u && osip_uri_param_get_byname(&u->url_params, const_cast<char*>(name.c_str()), &p) == 0 && p;
}

std::string Uri::param(const std::string& name) const
{
    osip_uri_param_t* p = nullptr;
    if (!u || osip_uri_param_get_byname(&u->url_params, const_cast<char*>(name.c_str()), &p) != 0 || !p)
        return {};
    return str(p->gvalue);
}

void Uri::removeParam(const std::string& name)
{
    if (!u)
        return;
    for (int i = 0; i < osip_list_size(&u->url_params);) {
        auto* p = static_cast<osip_uri_param_t*>(osip_list_get(&u->url_params, i));
        if (p->gname && strcasecmp(p->gname, name.c_str()) == 0) {
            osip_list_remove(&u->url_params, i);
            osip_uri_param_free(p);
        } else {
            ++i;
        }
    }
}

void Uri::setParam(const std::string& name, const std::string& value)
{
    if (!u)
        return;
    removeParam(name);
    osip_uri_param_add(&u->url_params, osip_strdup(name.c_str()), value.empty() ? nullptr : osip_strdup(value.c_str()));
}

TransportType Uri::transport() const
{
    TransportType t = isSecure() ? TransportType::TLS : TransportType::UDP;
    std::string p = param("transport");
    if (!p.empty() && !isSecure())
        transport_from_name(p, &t);
    return t;
}

std::vector<std::pair<std::string, std::string>> Uri::embeddedHeaders() const
{
    std::vector<std::pair<std::string, std::string>> r;
    if (!u)
        return r;
    for (int i = 0; i < osip_list_size(&u->url_headers); ++i) {
        auto* h = static_cast<osip_uri_header_t*>(osip_list_get(&u->url_headers, i));
        r.emplace_back(str(h->gname), str(h->gvalue));
    }
    return r;
}

void Uri::addEmbeddedHeader(const std::string& name, const std::string& value)
{
    if (u)
        osip_uri_uheader_add(u, osip_strdup(name.c_str()), osip_strdup(value.c_str()));
}

void Uri::clearEmbeddedHeaders()
{
    if (u)
        osip_uri_header_freelist(&u->url_headers);
}

std::string Uri::aorAsUri(TransportType t) const
{
    if (!u)
        return {};
    std::string r = scheme().empty() ? "sip" : scheme();
    r += ':';
    if (u->username)
        r += user() + "@";
    std::string h = host();
    if (h.find(':') != std::string::npos && h.front() != '[')
        h = "[" + h + "]";
    r += h;
    int p = port();
    int def = isSecure() ? 5061 : transport_default_port(t);
    if (p > 0 && p != def) {
        r += ':';
        r += std::to_string(p);
    }
    return r;
}

std::string Uri::aorNoPort() const
{
    if (!u)
        return {};
    return u->username ? user() + "@" + host() : host();
}

std::string uri_escape_header_value(const std::string& value)
{
    // hnv-unreserved and unreserved characters stay as they are.
    static const char* keep = "-_.!~*'()[]/?:+$";
    std::string r;
    for (unsigned char c : value) {
        if (isalnum(c) || (c && strchr(keep, c))) {
            r += static_cast<char>(c);
        } else {
            char buf[4];
            snprintf(buf, sizeof buf, "%%%02X", c);
            r += buf;
        }
    }
    return r;
}

bool uri_escapes_sound(const char* text, size_t len, bool skip_quoted)
{
    auto hex = [](char c) { return isxdigit(static_cast<unsigned char>(c)) != 0; };
    for (size_t i = 0; i < len; ++i) {
        if (skip_quoted && text[i] == '"') {
            for (++i; i < len && text[i] != '"'; ++i)
                if (text[i] == '\\')
                    ++i;
        } else if (text[i] == '%') {
            if (i + 2 >= len || !hex(text[i + 1]) || !hex(text[i + 2]) || (text[i + 1] == '0' && text[i + 2] == '0'))
                return false;
            i += 2;
        }
    }
    return true;
}

std::string uri_unescape(const std::string& value)
{
    std::string r;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size() && isxdigit(static_cast<unsigned char>(value[i + 1])) &&
            isxdigit(static_cast<unsigned char>(value[i + 2]))) {
            r += static_cast<char>(strtol(value.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            r += value[i];
        }
    }
    return r;
}

}  // namespace sipcore
