// A name-addr or addr-spec with header parameters: From, To, Contact, Route,
// Record-Route, and the ones osip keeps as generic headers (P-Asserted-Identity,
// Remote-Party-ID, P-Preferred-Identity, Path, Refer-To).
#pragma once

#include <string>
#include <utility>

#include <osipparser2/osip_message.h>

#include "sip/core/uri.h"

namespace sipcore {

class NameAddr {
public:
    NameAddr() = default;
    explicit NameAddr(osip_from_t* owned) : f(owned) {}
    ~NameAddr();
    NameAddr(const NameAddr& o);
    NameAddr& operator=(const NameAddr& o);
    NameAddr(NameAddr&& o) noexcept : f(std::exchange(o.f, nullptr)) {}
    NameAddr& operator=(NameAddr&& o) noexcept;

    // Invalid NameAddr on a parse error.
    static NameAddr parse(const std::string& text);
    // From an osip header of the from/to/contact/route family (cloned).
    static NameAddr copyOf(const osip_from_t* h);

    bool valid() const { return f != nullptr; }
    explicit operator bool() const { return valid(); }
    osip_from_t* raw() const { return f; }
    osip_from_t* release() { return std::exchange(f, nullptr); }

    std::string toString() const;
    std::string displayName() const;  // as written, quotes kept
    void setDisplayName(const std::string& name);
    Uri uri() const;  // a copy
    void setUri(const Uri& uri);

    bool hasParam(const std::string& name) const;
    std::string param(const std::string& name) const;
    void setParam(const std::string& name, const std::string& value);
    void removeParam(const std::string& name);
    std::string tag() const { return param("tag"); }

private:
    osip_from_t* f = nullptr;
};

}  // namespace sipcore
