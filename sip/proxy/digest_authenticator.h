// Proxy authentication: credentials for one of our realms are checked
// against the user store (looked up in two steps); a caller from our own
// domain without them is challenged with 407. ACK and BYE, and trusted
// peers, pass.
#pragma once

#include <string>

#include "sip/core/digest.h"
#include "sip/proxy/processor.h"
#include "sip/proxy/user_store.h"

namespace sipproxy {

// The nonces of every proxy challenge, whichever processor sends it, so that
// the answer to any of them verifies here.
const sipcore::NonceMaker& proxy_challenge_nonces();

class DigestAuthenticator : public Processor {
public:
    // static_realm: the challenge realm for every caller ("" = From host).
    DigestAuthenticator(const UserStore& users, std::string static_realm = "", bool qop = true);
    processor_action_t process(RequestContext& context) override;

private:
    processor_action_t verify(RequestContext& c, const std::string& a1);
    processor_action_t challenge(RequestContext& c, const std::string& realm, bool stale);
    bool ourRealm(RequestContext& c, const std::string& realm) const;

    const UserStore& users;
    std::string static_realm;
    bool qop;
};

}  // namespace sipproxy
