// Digest: the RFC 2617 example, client answers and server checks, nonces.
#include <gtest/gtest.h>

#include "sip/core/digest.h"
#include "sip/core/response.h"

using namespace sipcore;

TEST(SipDigest, Rfc2617Example)
{
    digest_challenge_t c;
    ASSERT_EQ(digest_parse_challenge("Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
                                     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
                                     "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
                                     &c),
              0);
    std::string v = digest_authorization(c, {"Mufasa", "Circle Of Life", ""}, "GET", "/dir/index.html", 1, "0a4f113b");
    EXPECT_NE(v.find("response=\"6629fae49393a05397450978507c4ef1\""), std::string::npos) << v;
    EXPECT_NE(v.find("nc=00000001"), std::string::npos);
    EXPECT_NE(v.find("qop=auth"), std::string::npos);
    EXPECT_NE(v.find("opaque=\"5ccc069c403ebaf9f0171e9517f40e41\""), std::string::npos);

    digest_response_t r;
    ASSERT_EQ(digest_parse_response(v, &r), 0);
    std::string ha1 = digest_ha1("Mufasa", "testrealm@host.com", "Circle Of Life");
    EXPECT_TRUE(digest_verify(r, "GET", ha1));
    EXPECT_FALSE(digest_verify(r, "POST", ha1));
    EXPECT_FALSE(digest_verify(r, "GET", digest_ha1("Mufasa", "testrealm@host.com", "wrong")));
}

TEST(SipDigest, ClientAnswersAndServerVerifies)
{
    int64_t now = 1000000;
    NonceMaker nonces("secret", 3000, [&] { return now; });
    Message req = Message::parse(std::string("REGISTER sip:example.com SIP/2.0\r\n"
                                             "Via: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bK1\r\n"
                                             "From: <sip:alice@example.com>;tag=1\r\nTo: <sip:alice@example.com>\r\n"
                                             "Call-ID: r1\r\nCSeq: 1 REGISTER\r\n\r\n"));
    ASSERT_TRUE(req);
    struct {
        int code;
        bool qop;
        const char* header;
    } cases[] = {{401, true, "Authorization"}, {407, false, "Proxy-Authorization"}};
    for (const auto& c : cases) {
        Message challenge = make_challenge(req, c.code, {"example.com", nonces.make(), "op", c.qop, false, false});
        Message retry = req.clone();
        ASSERT_EQ(digest_answer(retry, challenge, {"alice", "pw", ""}, 1, "cn1"), 0);
        digest_response_t r;
        ASSERT_EQ(digest_parse_response(retry.header(c.header), &r), 0) << retry.header(c.header);
        EXPECT_EQ(r.uri, "sip:example.com");
        EXPECT_EQ(r.opaque, "op");
        EXPECT_EQ(r.qop.empty(), !c.qop);
        EXPECT_EQ(nonces.check(r.nonce), NonceMaker::Check::Valid);
        EXPECT_TRUE(digest_verify(r, "REGISTER", digest_ha1("alice", "example.com", "pw")));
        // a stored A1 answers as well as the password
        Message retry2 = req.clone();
        ASSERT_EQ(digest_answer(retry2, challenge, {"alice", "", digest_ha1("alice", "example.com", "pw")}, 1, "cn1"),
                  0);
        EXPECT_EQ(retry2.header(c.header), retry.header(c.header));
    }
    Message not_challenge = make_response(req, 403);
    Message retry = req.clone();
    EXPECT_LT(digest_answer(retry, not_challenge, {"alice", "pw", ""}, 1, "c"), 0);
}

// The challenge goes in as osip's structure: it reads and prints as its text
// form parsed by osip would, and a client finds every value in it.
TEST(SipDigest, ChallengeReadsAsItsTextForm)
{
    Message req = Message::parse(std::string("INVITE sip:bob@example.com SIP/2.0\r\n"
                                             "Via: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bK2\r\n"
                                             "From: <sip:alice@example.com>;tag=1\r\nTo: <sip:bob@example.com>\r\n"
                                             "Call-ID: c2\r\nCSeq: 1 INVITE\r\n\r\n"));
    ASSERT_TRUE(req);
    struct {
        int code;
        challenge_t c;
        const char* qop;
    } cases[] = {
        {401, {"example.com", "1.ab", "", true, false, false}, "auth"},
        {407, {"example.com", "2.cd", "op", false, false, true}, ""},
        {401, {"gw", "3.ef", "", true, true, false}, "auth,auth-int"},
        {407, {"gw", "4.01", "x", false, true, true}, "auth-int"},
    };
    for (const auto& c : cases) {
        const char* name = c.code == 407 ? "Proxy-Authenticate" : "WWW-Authenticate";
        Message built = make_challenge(req, c.code, c.c);
        Message from_text = make_response(req, c.code);
        ASSERT_EQ(from_text.addHeader(name, challenge_header_value(c.c)), 0);
        EXPECT_EQ(built.header(name), from_text.header(name));
        Message got = Message::parse(built.toString());
        ASSERT_TRUE(got);
        digest_challenge_t d;
        ASSERT_EQ(digest_parse_challenge(got.header(name), &d), 0) << got.header(name);
        EXPECT_EQ(d.realm, c.c.realm);
        EXPECT_EQ(d.nonce, c.c.nonce);
        EXPECT_EQ(d.opaque, c.c.opaque);
        EXPECT_EQ(d.qop, c.qop);
        EXPECT_EQ(d.stale, c.c.stale);
        EXPECT_EQ(d.algorithm, "MD5");
    }
}

TEST(SipDigest, NoncesAgeAndForgery)
{
    int64_t now = 5000;
    NonceMaker nonces("k", 3000, [&] { return now; });
    std::string n = nonces.make();
    EXPECT_EQ(nonces.check(n), NonceMaker::Check::Valid);
    now += 3001;
    EXPECT_EQ(nonces.check(n), NonceMaker::Check::Stale);
    NonceMaker other("other", 3000, [&] { return now; });
    EXPECT_EQ(nonces.check(other.make()), NonceMaker::Check::Invalid);
    for (const char* bad : {"", ".", "zz.abc", "1388", "1388.", "1388.00"})
        EXPECT_EQ(nonces.check(bad), NonceMaker::Check::Invalid) << bad;
    // MACs are kept per second: a known second with a wrong MAC is still
    // forged, and nonces of more seconds than are kept all still check.
    std::string fresh = nonces.make();
    std::string forged = fresh;
    forged.back() = forged.back() == '0' ? '1' : '0';
    EXPECT_EQ(nonces.check(forged), NonceMaker::Check::Invalid);
    std::vector<std::string> made;
    for (int i = 0; i < 6; ++i, ++now)
        made.push_back(nonces.make());
    for (int round = 0; round < 2; ++round)
        for (const auto& m : made)
            EXPECT_EQ(nonces.check(m), NonceMaker::Check::Valid) << m;
}

TEST(SipDigest, ParamParserRefusesBrokenLists)
{
    std::map<std::string, std::string> p;
    EXPECT_EQ(digest_parse_params("Digest realm=\"a\\\"b\", nc=00000001", &p), 0);
    EXPECT_EQ(p["realm"], "a\"b");
    EXPECT_EQ(p["nc"], "00000001");
    for (const char* bad : {"Basic abc", "Digest realm=\"open", "Digest =x", "Digestrealm=1", ""})
        EXPECT_LT(digest_parse_params(bad, &p), 0) << bad;
    digest_response_t r;
    EXPECT_LT(digest_parse_response("Digest username=\"a\"", &r), 0);
    // Keys in any case, unknown ones skipped, the last of a repeated one kept.
    ASSERT_EQ(digest_parse_response("Digest USERNAME=\"u\", Realm=r, x-extra=\"q\", NONCE=n1, nonce=n2, "
                                    "URI=\"sip:h\", Response=\"abc\", NC=00000002, CNonce=c, QOP=auth, "
                                    "Opaque=\"o\", Algorithm=MD5",
                                    &r),
              0);
    using D = digest_response_t;
    struct {
        std::string D::*field;
        const char* value;
    } fields[] = {{&D::username, "u"}, {&D::realm, "r"}, {&D::nonce, "n2"},    {&D::uri, "sip:h"},
                  {&D::response, "abc"}, {&D::nc, "00000002"}, {&D::cnonce, "c"}, {&D::qop, "auth"},
                  {&D::opaque, "o"},    {&D::algorithm, "MD5"}};
    for (const auto& f : fields)
        EXPECT_EQ(r.*f.field, f.value) << f.value;
}

// Values from the challenge and our username go back escaped: the answer
// parses again to the same values, and a nonce cannot replace our response.
TEST(SipDigest, AnswerEscapesQuotedValuesAndRoundTrips)
{
    struct {
        const char* challenge;
        const char* user;
        const char* realm;
        const char* nonce;
        const char* opaque;
    } cases[] = {
        {"Digest realm=\"a\\\"b\", nonce=\"n1\"", "alice", "a\"b", "n1", ""},
        {"Digest realm=\"r\", nonce=\"x\\\", response=\\\"00000000000000000000000000000000\", qop=auth",
         "alice", "r", "x\", response=\"00000000000000000000000000000000", ""},
        {"Digest realm=\"back\\\\slash\", nonce=\"n\\\\\", opaque=\"o\\\"\\\\\"", "al\"ice\\", "back\\slash", "n\\",
         "o\"\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.challenge);
        digest_challenge_t ch;
        ASSERT_EQ(digest_parse_challenge(c.challenge, &ch), 0);
        EXPECT_EQ(ch.realm, c.realm);
        EXPECT_EQ(ch.nonce, c.nonce);
        std::string v = digest_authorization(ch, {c.user, "pw", ""}, "INVITE", "sip:bob@example.com", 1, "cn\"1");
        std::map<std::string, std::string> p;
        ASSERT_EQ(digest_parse_params(v, &p), 0) << v;
        digest_response_t r;
        ASSERT_EQ(digest_parse_response(v, &r), 0) << v;
        EXPECT_EQ(r.username, c.user);
        EXPECT_EQ(r.realm, c.realm);
        EXPECT_EQ(r.nonce, c.nonce);
        EXPECT_EQ(r.opaque, c.opaque);
        EXPECT_EQ(r.uri, "sip:bob@example.com");
        EXPECT_TRUE(digest_verify(r, "INVITE", digest_ha1(c.user, c.realm, "pw"))) << v;
    }
}
