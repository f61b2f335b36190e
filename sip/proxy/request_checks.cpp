#include "sip/proxy/request_checks.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <strings.h>

namespace sipproxy {

bool has_mandatory_headers(const sipcore::Message& r)
{
    return r.viaCount() > 0 && r.from().valid() && r.to().valid() && !r.callId().empty() && r.cseq() > 0 &&
           !r.cseqMethod().empty();
}

int max_forwards_of(const sipcore::Message& r, int default_value)
{
    std::string v = r.header("Max-Forwards");
    if (v.empty())
        return r.hasHeader("Max-Forwards") ? -1 : default_value;
    size_t a = 0, b = v.size();
    while (a < b && isspace(static_cast<unsigned char>(v[a])))
        ++a;
    while (b > a && isspace(static_cast<unsigned char>(v[b - 1])))
        --b;
    if (a == b || b - a > 3)
        return -1;
    int n = 0;
    for (size_t i = a; i < b; ++i) {
        if (!isdigit(static_cast<unsigned char>(v[i])))
            return -1;
        n = n * 10 + (v[i] - '0');
    }
    return n > 255 ? -1 : n;
}

static std::string trim(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::vector<std::string> unsupported_proxy_require(const sipcore::Message& r,
                                                   const std::vector<std::string>& supported)
{
    std::vector<std::string> out;
    for (const auto& value : r.headers("Proxy-Require")) {
        size_t start = 0;
        while (start <= value.size()) {
            size_t comma = value.find(',', start);
            std::string tag = trim(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
            if (!tag.empty()) {
                bool ok = false;
                for (const auto& s : supported)
                    if (strcasecmp(s.c_str(), tag.c_str()) == 0)
                        ok = true;
                if (!ok)
                    out.push_back(tag);
            }
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    }
    return out;
}

std::string loop_hash(const sipcore::Message& r, const std::string& top_via)
{
    // FNV-1a 64: cheap, and only ever compared with our own values.
    uint64_t h = 1469598103934665603ULL;
    auto mix = [&h](const std::string& s) {
        for (unsigned char c : s) {
            h ^= c;
            h *= 1099511628211ULL;
        }
        h ^= 0xff;
        h *= 1099511628211ULL;
    };
    mix(r.requestUri().toString());
    mix(r.callId());
    mix(r.fromTag());
    mix(r.toTag());
    mix(std::to_string(r.cseq()));
    mix(top_via);
    for (const auto& v : r.headers("Proxy-Require"))
        mix(v);
    for (const auto& v : r.headers("Proxy-Authorization"))
        mix(v);
    char buf[17];
    snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

bool is_loop(const sipcore::Message& r, const std::function<bool(const std::string&, int)>& is_ours)
{
    if (r.viaCount() < 2)
        return false;  // straight from its sender: nothing of ours in it
    std::vector<std::string> vias = r.headers("Via");
    for (size_t i = 0; i + 1 < vias.size(); ++i) {
        sipcore::via_t v = r.via(i);
        if (v.branch.rfind("z9hG4bK", 0) != 0 || !is_ours(v.host, v.port))
            continue;
        std::string expect = "z9hG4bK" + loop_hash(r, vias[i + 1]) + ".";
        if (v.branch.rfind(expect, 0) == 0)
            return true;
    }
    return false;
}

}  // namespace sipproxy
