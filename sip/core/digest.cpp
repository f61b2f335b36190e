#include "sip/core/digest.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <strings.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "core/log.h"

namespace sipcore {

namespace {

std::string hex(const unsigned char* d, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string r;
    for (size_t i = 0; i < n; ++i) {
        r += digits[d[i] >> 4];
        r += digits[d[i] & 15];
    }
    return r;
}

bool consttime_equal(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(tolower(a[i]) ^ tolower(b[i]));
    return diff == 0;
}

// The first token of a comma list, for qop="auth,auth-int".
bool list_has(const std::string& list, const std::string& token)
{
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        std::string t = list.substr(start, end - start);
        size_t b = t.find_first_not_of(" \t"), e = t.find_last_not_of(" \t");
        if (b != std::string::npos && strcasecmp(t.substr(b, e - b + 1).c_str(), token.c_str()) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// A quoted-string: `"` and `\` escaped so values taken from a challenge
// cannot end the string early or add parameters of their own.
std::string quoted(const std::string& s)
{
    std::string r = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            r += '\\';
        r += c;
    }
    r += '"';
    return r;
}

// Fetched once: EVP_md5() makes every digest look the algorithm up again.
const EVP_MD* md5_algorithm()
{
    static EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return md ? md : EVP_md5();
}

}  // namespace

std::string md5_hex(const std::string& data)
{
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(data.data(), data.size(), d, &n, md5_algorithm(), nullptr) != 1) {
        LOG(LOGF_GENERAL, 3, "MD5 digest failed");
        return {};
    }
    return hex(d, n);
}

std::string digest_ha1(const std::string& user, const std::string& realm, const std::string& password)
{
    return md5_hex(user + ":" + realm + ":" + password);
}

namespace {

// Calls fn(key, value) for each parameter of a "Digest k=v, k=\"v\", ..."
// list, keys in lower case and values unquoted; <0 when it does not parse.
template <typename F>
int for_each_digest_param(const std::string& v, F&& fn)
{
    size_t i = v.find_first_not_of(" \t");
    if (i == std::string::npos || v.size() - i < 6 || strncasecmp(v.c_str() + i, "Digest", 6) != 0)
        return -1;
    i += 6;
    if (i < v.size() && v[i] != ' ' && v[i] != '\t')
        return -1;
    std::string key, value;
    while (i < v.size()) {
        while (i < v.size() && (v[i] == ' ' || v[i] == '\t' || v[i] == ',' || v[i] == '\r' || v[i] == '\n'))
            ++i;
        if (i >= v.size())
            break;
        size_t k = i;
        while (i < v.size() && v[i] != '=' && v[i] != ',' && v[i] != ' ' && v[i] != '\t')
            ++i;
        key.assign(v, k, i - k);
        for (auto& c : key)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        while (i < v.size() && (v[i] == ' ' || v[i] == '\t'))
            ++i;
        if (key.empty() || i >= v.size() || v[i] != '=')
            return -1;
        ++i;
        while (i < v.size() && (v[i] == ' ' || v[i] == '\t'))
            ++i;
        value.clear();
        if (i < v.size() && v[i] == '"') {
            ++i;
            bool closed = false;
            while (i < v.size()) {
                if (v[i] == '\\' && i + 1 < v.size()) {
                    value += v[i + 1];
                    i += 2;
                } else if (v[i] == '"') {
                    ++i;
                    closed = true;
                    break;
                } else {
                    value += v[i++];
                }
            }
            if (!closed)
                return -1;
        } else {
            size_t s = i;
            while (i < v.size() && v[i] != ',' && v[i] != ' ' && v[i] != '\t')
                ++i;
            value.assign(v, s, i - s);
        }
        fn(key, value);
    }
    return 0;
}

}  // namespace

int digest_parse_params(const std::string& v, std::map<std::string, std::string>* out)
{
    out->clear();
    return for_each_digest_param(v, [out](const std::string& k, const std::string& value) { (*out)[k] = value; });
}

int digest_parse_challenge(const std::string& header_value, digest_challenge_t* out)
{
    std::map<std::string, std::string> p;
    if (digest_parse_params(header_value, &p) != 0 || p["nonce"].empty())
        return -1;
    out->realm = p["realm"];
    out->nonce = p["nonce"];
    out->opaque = p["opaque"];
    out->algorithm = p["algorithm"];
    out->qop = p["qop"];
    out->stale = strcasecmp(p["stale"].c_str(), "true") == 0;
    if (!out->algorithm.empty() && strcasecmp(out->algorithm.c_str(), "MD5") != 0)
        return -2;
    return 0;
}

std::string digest_authorization(const digest_challenge_t& c, const digest_credentials_t& cred,
                                 const std::string& method, const std::string& uri, unsigned nc,
                                 const std::string& cnonce)
{
    std::string ha1 = cred.ha1.empty() ? digest_ha1(cred.username, c.realm, cred.password) : cred.ha1;
    std::string ha2 = md5_hex(method + ":" + uri);
    bool auth = list_has(c.qop, "auth");
    char ncs[16];
    snprintf(ncs, sizeof ncs, "%08x", nc);
    std::string response = auth ? md5_hex(ha1 + ":" + c.nonce + ":" + ncs + ":" + cnonce + ":auth:" + ha2)
                                : md5_hex(ha1 + ":" + c.nonce + ":" + ha2);
    std::string v = "Digest username=" + quoted(cred.username) + ", realm=" + quoted(c.realm) +
                    ", nonce=" + quoted(c.nonce) + ", uri=" + quoted(uri) + ", response=\"" + response +
                    "\", algorithm=MD5";
    if (auth)
        v += ", cnonce=" + quoted(cnonce) + ", nc=" + ncs + ", qop=auth";
    if (!c.opaque.empty())
        v += ", opaque=" + quoted(c.opaque);
    return v;
}

int digest_answer(Message& request, const Message& challenge_response, const digest_credentials_t& credentials,
                  unsigned nc, const std::string& cnonce)
{
    int code = challenge_response.statusCode();
    if (code != 401 && code != 407)
        return -1;
    const char* in = code == 401 ? "WWW-Authenticate" : "Proxy-Authenticate";
    const char* outname = code == 401 ? "Authorization" : "Proxy-Authorization";
    for (const auto& v : challenge_response.headers(in)) {
        digest_challenge_t c;
        if (digest_parse_challenge(v, &c) != 0)
            continue;
        std::string value = digest_authorization(c, credentials, request.method(),
                                                 request.requestUri().toString(), nc, cnonce);
        request.removeHeader(outname);
        return request.addHeader(outname, value) == 0 ? 0 : -2;
    }
    return -1;
}

int digest_parse_response(const std::string& header_value, digest_response_t* out)
{
    *out = digest_response_t();
    // Straight into the fields: an answer is parsed for every authenticated request.
    int rc = for_each_digest_param(header_value, [out](const std::string& k, const std::string& value) {
        std::string* field = nullptr;
        switch (k[0]) {
        case 'a': field = k == "algorithm" ? &out->algorithm : nullptr; break;
        case 'c': field = k == "cnonce" ? &out->cnonce : nullptr; break;
        case 'n': field = k == "nonce" ? &out->nonce : k == "nc" ? &out->nc : nullptr; break;
        case 'o': field = k == "opaque" ? &out->opaque : nullptr; break;
        case 'q': field = k == "qop" ? &out->qop : nullptr; break;
        case 'r': field = k == "realm" ? &out->realm : k == "response" ? &out->response : nullptr; break;
        case 'u': field = k == "username" ? &out->username : k == "uri" ? &out->uri : nullptr; break;
        default: break;
        }
        if (field)
            *field = value;
    });
    if (rc != 0 || out->username.empty() || out->nonce.empty() || out->uri.empty() || out->response.empty())
        return -1;
    return 0;
}

bool digest_verify(const digest_response_t& r, const std::string& method, const std::string& ha1)
{
    if (!r.algorithm.empty() && strcasecmp(r.algorithm.c_str(), "MD5") != 0)
        return false;
    std::string ha2 = md5_hex(method + ":" + r.uri);
    std::string expected;
    if (r.qop.empty())
        expected = md5_hex(ha1 + ":" + r.nonce + ":" + ha2);
    else if (strcasecmp(r.qop.c_str(), "auth") == 0 && !r.cnonce.empty() && !r.nc.empty())
        expected = md5_hex(ha1 + ":" + r.nonce + ":" + r.nc + ":" + r.cnonce + ":auth:" + ha2);
    else
        return false;
    return consttime_equal(expected, r.response);
}

NonceMaker::NonceMaker(const std::string& secret_in, int lifetime_s, clock_t_ clock)
    : secret(secret_in), lifetime(lifetime_s), now(std::move(clock))
{
    if (secret.empty()) {
        unsigned char key[32];
        if (RAND_bytes(key, sizeof key) != 1)
            LOG(LOGF_GENERAL, 3, "RAND_bytes failed; nonce key is weak");
        secret = hex(key, sizeof key);
    }
    if (!now)
        now = [] {
            return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                            std::chrono::system_clock::now().time_since_epoch())
                                            .count());
        };
}

std::string NonceMaker::keyed(const std::string& stamp) const
{
    std::lock_guard<std::mutex> g(macs_lock);
    for (const auto& m : macs)
        if (!m.mac.empty() && m.stamp == stamp)
            return m.mac;
    unsigned char out[EVP_MAX_MD_SIZE];
    size_t n = 0;
    if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, secret.data(), secret.size(),
                   reinterpret_cast<const unsigned char*>(stamp.data()), stamp.size(), out, sizeof out, &n))
        return {};
    mac_t& slot = macs[macs_next++ % std::size(macs)];
    slot.stamp = stamp;
    slot.mac = hex(out, n);
    return slot.mac;
}

std::string NonceMaker::make() const
{
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%llx", static_cast<unsigned long long>(now()));
    return std::string(stamp) + "." + keyed(stamp);
}

NonceMaker::Check NonceMaker::check(const std::string& nonce) const
{
    size_t dot = nonce.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 16)
        return Check::Invalid;
    std::string stamp = nonce.substr(0, dot);
    if (stamp.find_first_not_of("0123456789abcdef") != std::string::npos)
        return Check::Invalid;
    std::string mac = keyed(stamp);
    if (mac.empty() || !consttime_equal(mac, nonce.substr(dot + 1)))
        return Check::Invalid;
    int64_t t = static_cast<int64_t>(strtoull(stamp.c_str(), nullptr, 16));
    int64_t age = now() - t;
    if (age < 0 || age > lifetime)
        return Check::Stale;
    return Check::Valid;
}

}  // namespace sipcore
