// Stored digest credentials, and how a challenged request is answered.
#pragma once

#include <string>
#include <vector>

#include "sip/core/message.h"

namespace sipagent {

struct credential_t {
    std::string username;  // matched against the From user
    std::string userid;    // the name that goes in the digest
    std::string password;
    std::string ha1;
    std::string realm;     // "" matches any realm
};

class CredentialStore {
public:
    // Replaces the entry with the same username and realm.
    void add(const credential_t& c);
    // <0 when there is no such entry.
    int remove(const std::string& username, const std::string& realm);
    void clear() { list.clear(); }
    // From user and realm, then any entry of that realm, then one without realm.
    const credential_t* find(const std::string& from_user, const std::string& realm) const;

private:
    std::vector<credential_t> list;
};

// Answers the 401/407 on a copy of request (CSeq and branch are the caller's
// business). <0 when there is no challenge or no credential for it. nc and
// cnonce count the requests answered with the same nonce; an empty cnonce
// gets a random one.
int credentials_answer(const CredentialStore& store, sipcore::Message& request, const sipcore::Message& challenge,
                       unsigned nc = 1, const std::string& cnonce = "");

// True when the 401/407 says stale=true: the credentials were good, only the
// nonce had expired.
bool credentials_stale(const sipcore::Message& challenge);

}  // namespace sipagent
