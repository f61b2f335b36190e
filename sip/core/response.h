// Responses built from a request, and digest challenges.
#pragma once

#include <string>

#include "sip/core/message.h"

namespace sipcore {

// Copies Via, From, To, Call-ID and CSeq (and Record-Route for 101-299 on
// dialog-creating requests when asked). A To tag is added to responses above
// 100 when the request's To has none: to_tag, or a fresh one when empty.
// A non-empty server adds a Server header.
struct response_options_t {
    std::string reason;  // "" = standard phrase
    std::string to_tag;
    std::string server;
    bool copy_record_route = false;
};
Message make_response(const Message& request, int code, const response_options_t& options = {});

// 401 (WWW-Authenticate) or 407 (Proxy-Authenticate) with
// Digest realm, nonce, algorithm=MD5[, qop="auth"][, opaque][, stale=true].
struct challenge_t {
    std::string realm;
    std::string nonce;
    std::string opaque;
    bool qop_auth = true;
    bool qop_auth_int = false;  // advertised only; verification supports auth
    bool stale = false;
};
Message make_challenge(const Message& request, int code, const challenge_t& challenge,
                       const response_options_t& options = {});
std::string challenge_header_value(const challenge_t& challenge);

}  // namespace sipcore
