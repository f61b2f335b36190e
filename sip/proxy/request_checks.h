// The checks a request passes before any processor sees it (RFC 3261 16.3).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sip/core/message.h"

namespace sipproxy {

// To, From, Call-ID, CSeq and Via present and readable; a request without
// them is dropped silently.
bool has_mandatory_headers(const sipcore::Message& request);

// Max-Forwards as a number: the header's value, default_value when absent,
// -1 when it is not a number from 0 to 255.
int max_forwards_of(const sipcore::Message& request, int default_value);

// The Proxy-Require option tags not in supported.
std::vector<std::string> unsupported_proxy_require(const sipcore::Message& request,
                                                   const std::vector<std::string>& supported);

// The part of our branch that identifies the request as we received it:
// Request-URI, Call-ID, From and To tags, CSeq number, the Via on top when
// it reached us, Proxy-Require and Proxy-Authorization. A request coming
// back unchanged gives the same value; a spiral (new Request-URI) does not.
std::string loop_hash(const sipcore::Message& request, const std::string& top_via);

// A loop: one of the Vias is ours (is_ours(host, port)) and its branch
// starts with the loop hash of this request taken against the Via below it.
bool is_loop(const sipcore::Message& request, const std::function<bool(const std::string&, int)>& is_ours);

}  // namespace sipproxy
