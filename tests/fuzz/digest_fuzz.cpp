// Digest from both ends: an arbitrary challenge is parsed and answered, and
// the answer must parse back to the values taken from it and verify; the
// same bytes as an Authorization go through the server's parse, verify and
// nonce check.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/log.h"
#include "sip/core/digest.h"

using namespace sipcore;

namespace {

void quiet(int, const char*) {}

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "digest_fuzz: %s\n", what);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    log_set_sink(quiet);
    std::string in(reinterpret_cast<const char*>(data), size);
    // "challenge\0username\0uri": the last two are optional
    std::string challenge = in.substr(0, in.find('\0'));
    std::string user = "alice", uri = "sip:bob@example.com";
    if (challenge.size() < in.size()) {
        std::string rest = in.substr(challenge.size() + 1);
        user = rest.substr(0, rest.find('\0'));
        if (user.size() < rest.size())
            uri = rest.substr(user.size() + 1);
    }

    digest_challenge_t c;
    if (digest_parse_challenge(challenge, &c) == 0) {
        std::string v = digest_authorization(c, {user, "pw", ""}, "INVITE", uri, 7, "c\"n\\1");
        digest_response_t r;
        int rc = digest_parse_response(v, &r);
        // username and uri may be empty, which the server refuses
        if (!user.empty() && !uri.empty()) {
            check(rc == 0, "our answer does not parse");
            check(r.username == user && r.realm == c.realm && r.nonce == c.nonce && r.uri == uri &&
                      r.opaque == c.opaque,
                  "our answer does not carry the values back");
            check(digest_verify(r, "INVITE", digest_ha1(user, c.realm, "pw")), "our answer does not verify");
            check(!digest_verify(r, "BYE", digest_ha1(user, c.realm, "pw")), "our answer verifies another method");
        }
    }

    // the server side
    digest_response_t r;
    if (digest_parse_response(challenge, &r) == 0) {
        std::string ha1 = digest_ha1(r.username, r.realm, "pw");
        (void)digest_verify(r, "REGISTER", ha1);
        static NonceMaker nonces("fuzz", 3000, [] { return int64_t(1700000000); });
        auto state = nonces.check(r.nonce);
        // the clock stands still, so the only valid nonce is the one it makes
        check(state != NonceMaker::Check::Valid || r.nonce == nonces.make(), "a forged nonce passed");
    }
    return 0;
}
