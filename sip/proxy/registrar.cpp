#include "sip/proxy/registrar.h"

#include <algorithm>
#include <cstdlib>

#include "sip/core/response.h"

using sipcore::Message;

namespace sipproxy {

Registrar::Registrar(Proxy& proxy, LocationDb& db, const UserStore* users, const AclStore* acls,
                     registrar_config_t config)
    : proxy(proxy), db(db), users(users), acls(acls), cfg(std::move(config)), nonces(sipcore::random_token(24))
{
}

void Registrar::reply(const responder_t& send, const Message& request, int code, const std::string& reason)
{
    sipcore::response_options_t o;
    o.reason = reason;
    o.server = proxy.config().server_text;
    send(sipcore::make_response(request, code, o));
}

bool Registrar::tell(const Message& reg, const std::string& aor,
                     bool (RegistrarHandler::*fn)(const Message&, const std::string&))
{
    for (auto* h : handlers)
        if (!(h->*fn)(reg, aor))
            return false;
    return true;
}

int Registrar::authorise(const Message& req, const sipcore::request_info_t& info, const responder_t& send)
{
    if (!users || !cfg.challenge)
        return 0;
    if (acls && acls->isTrusted(info.from.addr, info.from.transport))
        return 0;
    sipcore::Uri to = req.to().uri();
    std::string realm = cfg.static_realm.empty() ? to.host() : cfg.static_realm;
    auto challenge = [&](bool stale) {
        sipcore::challenge_t c;
        c.realm = realm;
        c.nonce = nonces.make();
        c.stale = stale;
        sipcore::response_options_t o;
        o.server = proxy.config().server_text;
        send(sipcore::make_challenge(req, 401, c, o));
        return 401;
    };
    sipcore::digest_response_t d;
    bool found = false;
    for (const auto& h : req.headers("Authorization"))
        if (sipcore::digest_parse_response(h, &d) == 0 && d.realm == realm) {
            found = true;
            break;
        }
    if (!found)
        return challenge(false);
    switch (nonces.check(d.nonce)) {
    case sipcore::NonceMaker::Check::Valid:
        break;
    case sipcore::NonceMaker::Check::Stale:
        return challenge(true);
    case sipcore::NonceMaker::Check::Invalid:
        return challenge(false);
    }
    std::string a1 = users->getUserAuthInfo(d.username, realm);
    if (a1.empty()) {
        reply(send, req, 404, "User unknown.");
        return 404;
    }
    if (!sipcore::digest_verify(d, "REGISTER", a1)) {
        std::string alt = users->getUserAuthInfo(d.username, realm, true);
        if (alt.empty() || !sipcore::digest_verify(d, "REGISTER", alt)) {
            reply(send, req, 403, "Invalid password provided");
            return 403;
        }
    }
    // Credentials for one user do not register another one's AOR.
    if (d.username != to.user() && d.username != to.aorNoPort()) {
        reply(send, req, 403, "Authentication Failed");
        return 403;
    }
    return 0;
}

static std::string trim_blanks(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

bool Registrar::handle(Message& req, const sipcore::request_info_t& info, const responder_t& send)
{
    if (req.method() != "REGISTER")
        return false;
    sipcore::Uri ruri = req.requestUri();
    if (!proxy.isMyUri(ruri))
        return false;
    if (authorise(req, info, send) != 0)
        return true;
    sipcore::Uri to = req.to().uri();
    std::string scheme = to.scheme();
    if (scheme != "sip" && scheme != "sips") {
        reply(send, req, 400, "Bad AOR scheme");
        return true;
    }
    std::string aor = to.aorAsUri(info.from.transport);
    int default_expires = req.expires();
    if (default_expires < 0)
        default_expires = cfg.default_expires;

    std::vector<std::string> values = req.headers("Contact");
    bool star = false;
    std::vector<sipcore::NameAddr> contacts;
    for (const auto& v : values) {
        if (trim_blanks(v) == "*") {
            star = true;
            continue;
        }
        sipcore::NameAddr c = sipcore::NameAddr::parse(v);
        if (!c || !c.uri()) {
            reply(send, req, 400, "Malformed Contact");
            return true;
        }
        // reg-id is 1..2^31-1; a number cut to 32 bits would take another flow's place
        if (c.hasParam("reg-id") && sipcore::header_number(c.param("reg-id"), 0x7fffffff) < 1) {
            reply(send, req, 400, "Bad reg-id");
            return true;
        }
        contacts.push_back(std::move(c));
    }
    if (star && (values.size() != 1 || req.expires() != 0)) {
        reply(send, req, 400, "Invalid use of 'Contact: *'");
        return true;
    }

    RecordLock hold(db, aor);
    // One clock reading for the request: the 200 tells each new contact the
    // expiry it was given, whatever second the answer is built in.
    int64_t now = db.now();
    if (star) {
        if (!tell(req, aor, &RegistrarHandler::onRemoveAll)) {
            reply(send, req, 403);
            return true;
        }
        db.removeAor(aor);
    } else if (!contacts.empty()) {
        std::vector<contact_record_t> current = db.getContacts(aor);
        std::vector<std::pair<contact_record_t, bool>> changes;  // record, remove
        bool added = false, removed = false;
        for (auto& c : contacts) {
            int e = default_expires;
            if (c.hasParam("expires")) {
                char* end = nullptr;
                std::string p = c.param("expires");
                long v = strtol(p.c_str(), &end, 10);
                if (end != p.c_str() && *end == '\0' && v >= 0)
                    e = v > 0x7fffffff ? 0x7fffffff : static_cast<int>(v);
            }
            contact_record_t r;
            r.instance = c.param("+sip.instance");
            r.reg_id = static_cast<uint32_t>(std::max(sipcore::header_number(c.param("reg-id"), 0x7fffffff), 0LL));
            c.removeParam("expires");
            r.contact = c;
            r.reg_expires = now + e;
            r.last_updated = now;
            r.received_from = std::string(sipcore::transport_name(info.from.transport)) + ":" + info.from.addr.key();
            r.public_address = proxy.stack().localAddress(info.from.transport_id).key();
            r.sip_path = req.headers("Path");
            r.user_agent = req.header("User-Agent");
            bool known = false;
            for (const auto& k : current)
                if (LocationDb::sameContact(k, r))
                    known = true;
            if (e == 0)
                removed = removed || known;
            else
                added = added || !known;
            changes.emplace_back(std::move(r), e == 0);
        }
        bool ok = removed ? tell(req, aor, &RegistrarHandler::onRemove) : true;
        if (ok)
            ok = added ? tell(req, aor, &RegistrarHandler::onAdd) : (removed || tell(req, aor, &RegistrarHandler::onRefresh));
        if (!ok) {
            reply(send, req, 403);
            return true;
        }
        for (const auto& [r, remove] : changes) {
            if (remove)
                db.removeContact(aor, r);
            else
                db.updateContact(aor, r);
        }
    } else if (!tell(req, aor, &RegistrarHandler::onQuery)) {
        reply(send, req, 403);
        return true;
    }

    sipcore::response_options_t o;
    o.server = proxy.config().server_text;
    Message ok = sipcore::make_response(req, 200, o);
    for (const auto& c : db.getContacts(aor)) {
        sipcore::NameAddr n = c.contact;
        n.setParam("expires", std::to_string(c.reg_expires - now));
        ok.addHeader("Contact", n.toString());
    }
    for (const auto& p : req.headers("Path"))
        ok.addHeader("Path", p);
    send(std::move(ok));
    return true;
}

}  // namespace sipproxy
