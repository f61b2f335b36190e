#include "sip/proxy/digest_authenticator.h"

#include "sip/core/response.h"
#include "sip/proxy/proxy.h"
#include "sip/proxy/user_info_message.h"

namespace sipproxy {

const sipcore::NonceMaker& proxy_challenge_nonces()
{
    static const sipcore::NonceMaker nonces(sipcore::random_token(24));
    return nonces;
}

DigestAuthenticator::DigestAuthenticator(const UserStore& users, std::string static_realm, bool qop)
    : Processor("DigestAuthenticator"), users(users), static_realm(std::move(static_realm)), qop(qop)
{
}

bool DigestAuthenticator::ourRealm(RequestContext& c, const std::string& realm) const
{
    return static_realm.empty() ? c.getProxy().isMyDomain(realm) : realm == static_realm;
}

static bool credentials_for(const sipcore::Message& req, const std::function<bool(const std::string&)>& ours,
                            sipcore::digest_response_t* out)
{
    for (const auto& h : req.headers("Proxy-Authorization"))
        if (sipcore::digest_parse_response(h, out) == 0 && ours(out->realm))
            return true;
    return false;
}

processor_action_t DigestAuthenticator::challenge(RequestContext& c, const std::string& realm, bool stale)
{
    sipcore::challenge_t ch;
    ch.realm = realm;
    ch.nonce = proxy_challenge_nonces().make();
    ch.qop_auth = qop;
    ch.qop_auth_int = qop;
    ch.stale = stale;
    sipcore::response_options_t o;
    o.server = c.getProxy().config().server_text;
    c.sendResponse(sipcore::make_challenge(c.getOriginalRequest(), 407, ch, o));
    return processor_action_t::SkipAllChains;
}

processor_action_t DigestAuthenticator::process(RequestContext& c)
{
    const sipcore::Message& req = c.getOriginalRequest();
    std::string method = req.method();
    if (method == "ACK" || method == "BYE")
        return processor_action_t::Continue;
    if (auto* answer = dynamic_cast<const UserInfoMessage*>(c.getCurrentEvent()); answer && answer->originator == this)
        return verify(c, answer->a1);
    if (c.getKey(from_trusted_node_key))
        return processor_action_t::Continue;
    auto ours = [&](const std::string& realm) { return ourRealm(c, realm); };
    sipcore::digest_response_t d;
    if (credentials_for(req, ours, &d)) {
        lookup_user(c.getProxy(), users,
                    std::make_unique<UserInfoMessage>(this, c.getTransactionId(), d.username, d.realm, d.realm));
        return processor_action_t::WaitingForEvent;
    }
    sipcore::Uri from = req.from().uri();
    if (c.getProxy().isMyDomain(from.host()))
        return challenge(c, static_realm.empty() ? from.host() : static_realm, false);
    return processor_action_t::Continue;
}

processor_action_t DigestAuthenticator::verify(RequestContext& c, const std::string& a1)
{
    const sipcore::Message& req = c.getOriginalRequest();
    auto ours = [&](const std::string& realm) { return ourRealm(c, realm); };
    sipcore::digest_response_t d;
    if (!credentials_for(req, ours, &d))
        return processor_action_t::Continue;
    switch (proxy_challenge_nonces().check(d.nonce)) {
    case sipcore::NonceMaker::Check::Valid:
        break;
    case sipcore::NonceMaker::Check::Stale:
        return challenge(c, d.realm, true);
    case sipcore::NonceMaker::Check::Invalid:
        return challenge(c, d.realm, false);
    }
    bool ok = !a1.empty() && sipcore::digest_verify(d, req.method(), a1);
    if (!ok && !a1.empty()) {
        std::string alt = users.getUserAuthInfo(d.username, d.realm, true);
        ok = !alt.empty() && sipcore::digest_verify(d, req.method(), alt);
    }
    if (!ok) {
        c.respond(403, a1.empty() ? "Authentication Failed" : "Invalid password provided");
        return processor_action_t::SkipAllChains;
    }
    // The caller must be who the credentials name.
    sipcore::Uri from = req.from().uri();
    bool identity = (from.host() == d.realm && (from.user() == d.username || from.user() == "anonymous")) ||
                    d.username == from.aorNoPort();
    if (!identity) {
        c.respond(403, "Authentication Failed");
        return processor_action_t::SkipAllChains;
    }
    c.setDigestIdentity(d.username);
    // Our realm's credentials stop here; others go on.
    sipcore::Message& fwd = c.getRequest();
    std::vector<std::string> keep;
    for (const auto& h : fwd.headers("Proxy-Authorization")) {
        sipcore::digest_response_t x;
        if (sipcore::digest_parse_response(h, &x) != 0 || !ourRealm(c, x.realm))
            keep.push_back(h);
    }
    fwd.removeHeader("Proxy-Authorization");
    for (const auto& h : keep)
        fwd.addHeader("Proxy-Authorization", h);
    return processor_action_t::Continue;
}

}  // namespace sipproxy
