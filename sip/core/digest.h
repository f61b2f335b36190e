// HTTP digest authentication with MD5 (RFC 2617/7616), with and without
// qop=auth: the client's answer to a challenge and the server's nonces and checks.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "sip/core/message.h"

namespace sipcore {

std::string md5_hex(const std::string& data);
// HA1 = MD5(user:realm:password)
std::string digest_ha1(const std::string& user, const std::string& realm, const std::string& password);

// "Digest k=v, k="v", ..." split into lower-case keys and unquoted values.
// Returns <0 when the scheme is not Digest or the list does not parse.
int digest_parse_params(const std::string& header_value, std::map<std::string, std::string>* out);

struct digest_challenge_t {
    std::string realm, nonce, opaque, algorithm, qop;  // qop: the offered list
    bool stale = false;
};
int digest_parse_challenge(const std::string& header_value, digest_challenge_t* out);

struct digest_credentials_t {
    std::string username;
    std::string password;
    std::string ha1;  // used instead of the password when set
};

// The Authorization value answering the challenge. qop=auth is used when
// offered (cnonce and nc then go in), otherwise the RFC 2069 form.
std::string digest_authorization(const digest_challenge_t& challenge, const digest_credentials_t& credentials,
                                 const std::string& method, const std::string& uri, unsigned nc,
                                 const std::string& cnonce);

// Adds Authorization (for a 401) or Proxy-Authorization (for a 407) to the
// request, answering the first challenge of the response. <0 when the response
// has no usable digest challenge.
int digest_answer(Message& request, const Message& challenge_response, const digest_credentials_t& credentials,
                  unsigned nc, const std::string& cnonce);

struct digest_response_t {
    std::string username, realm, nonce, uri, response, algorithm, cnonce, nc, qop, opaque;
};
int digest_parse_response(const std::string& header_value, digest_response_t* out);
// True when the response matches ha1 for this method (MD5, qop none or auth).
bool digest_verify(const digest_response_t& response, const std::string& method, const std::string& ha1);

// Server nonces: "<seconds hex>.<HMAC-SHA256(secret, seconds) hex>", valid for
// lifetime seconds; older ones are stale, forged ones invalid.
class NonceMaker {
public:
    using clock_t_ = std::function<int64_t()>;  // seconds
    explicit NonceMaker(const std::string& secret = "", int lifetime_s = 3000, clock_t_ clock = {});
    std::string make() const;
    enum class Check { Valid, Stale, Invalid };
    Check check(const std::string& nonce) const;

private:
    std::string keyed(const std::string& stamp) const;
    std::string secret;
    int lifetime;
    clock_t_ now;
    // Every nonce of one second has the same MAC: the last seconds' MACs are
    // kept, so a challenge and its answer cost no HMAC of their own.
    struct mac_t {
        std::string stamp, mac;
    };
    mutable std::mutex macs_lock;  // guards macs and macs_next
    mutable mac_t macs[4];
    mutable size_t macs_next = 0;
};

}  // namespace sipcore
