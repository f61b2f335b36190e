#include "sip/agent/credentials.h"

#include "sip/core/digest.h"

namespace sipagent {

namespace {

std::string unquote(std::string s)
{
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        s = s.substr(1, s.size() - 2);
    return s;
}

}  // namespace

void CredentialStore::add(const credential_t& c)
{
    for (auto& e : list)
        if (e.username == c.username && unquote(e.realm) == unquote(c.realm)) {
            e = c;
            return;
        }
    list.push_back(c);
}

int CredentialStore::remove(const std::string& username, const std::string& realm)
{
    for (auto it = list.begin(); it != list.end(); ++it)
        if (it->username == username && unquote(it->realm) == unquote(realm)) {
            list.erase(it);
            return 0;
        }
    return -6;
}

const credential_t* CredentialStore::find(const std::string& from_user, const std::string& realm) const
{
    std::string r = unquote(realm);
    for (const auto& e : list)
        if (e.username == from_user && unquote(e.realm) == r)
            return &e;
    for (const auto& e : list)
        if (!r.empty() && unquote(e.realm) == r)
            return &e;
    for (const auto& e : list)
        if (e.realm.empty())
            return &e;
    return nullptr;
}

int credentials_answer(const CredentialStore& store, sipcore::Message& request, const sipcore::Message& challenge,
                       unsigned nc, const std::string& cnonce)
{
    int code = challenge.statusCode();
    std::string value = challenge.header(code == 407 ? "Proxy-Authenticate" : "WWW-Authenticate");
    sipcore::digest_challenge_t ch;
    if (value.empty() || sipcore::digest_parse_challenge(value, &ch) < 0)
        return -2;
    const credential_t* c = store.find(request.from().uri().user(), ch.realm);
    if (!c)
        return -6;
    sipcore::digest_credentials_t cred{c->userid.empty() ? c->username : c->userid, c->password, c->ha1};
    return sipcore::digest_answer(request, challenge, cred, nc, cnonce.empty() ? sipcore::random_token(16) : cnonce);
}

bool credentials_stale(const sipcore::Message& challenge)
{
    std::string value = challenge.header(challenge.statusCode() == 407 ? "Proxy-Authenticate" : "WWW-Authenticate");
    sipcore::digest_challenge_t ch;
    return !value.empty() && sipcore::digest_parse_challenge(value, &ch) == 0 && ch.stale;
}

}  // namespace sipagent
