#include "ua/sdp_crypto.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include "core/base64.h"
#include "core/log.h"
#include "platform/paths.h"

namespace {

bool all_digits(const std::string& s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Whole decimal text within [lo, hi].
bool parse_decimal(const std::string& s, uint64_t lo, uint64_t hi, uint64_t& out)
{
    if (!all_digits(s) || s.size() > 19)
        return false;
    uint64_t v = 0;
    for (char c : s)
        v = v * 10 + uint64_t(c - '0');
    if (v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool parse_mki(const std::string& field, int& value, int& length)
{
    size_t colon = field.find(':');
    uint64_t v, l;
    if (colon == std::string::npos || !parse_decimal(field.substr(0, colon), 0, 0x7FFFFFFF, v) ||
        !parse_decimal(field.substr(colon + 1), 1, 128, l))
        return false;
    value = int(v);
    length = int(l);
    return true;
}

}  // namespace

std::string crypto_inline_key(const std::string& key) { return "inline:" + Base64Encode(key.data(), key.size()); }

bool crypto_parse_key(const std::string& params, std::string& key, uint64_t& lifetime, int& mki_value,
                      int& mki_length)
{
    size_t colon = params.find(':');
    std::string method = params.substr(0, colon);
    if (strcasecmp(method.c_str(), "inline") != 0) {
        LOG(LOGF_GENERAL, 4, "crypto_parse_key(): unsupported method: %s", method.c_str());
        return false;
    }
    if (colon == std::string::npos || colon + 1 == params.size()) {
        LOG(LOGF_GENERAL, 4, "crypto_parse_key(): no key material");
        return false;
    }
    std::string info = params.substr(colon + 1);
    std::string fields[3];
    int count = 0;
    for (bool more = true; more;) {
        if (count == 3)
            return false;  // more than three fields: not a key we understand
        size_t bar = info.find('|');
        fields[count++] = info.substr(0, bar);
        more = bar != std::string::npos;
        if (more)
            info = info.substr(bar + 1);
    }

    unsigned char* buffer = nullptr;
    int decoded_length = 0;
    if (Base64Decode(fields[0], &buffer, &decoded_length) != 0)
        return false;
    std::string decoded(reinterpret_cast<char*>(buffer), size_t(decoded_length));
    free(buffer);
    if (decoded.size() != SRTP_KEY_LENGTH) {
        LOG(LOGF_GENERAL, 3, "unexpected key length %d (expected 30)", int(decoded.size()));
        return false;
    }

    uint64_t new_lifetime = 0;
    bool has_lifetime = false;
    int value = 0, length = 0;
    bool has_mki = false;
    const std::string& second = fields[1];
    if (second.find(':') != std::string::npos) {
        if (!parse_mki(second, value, length))
            return false;
        has_mki = true;
    } else if (count >= 2) {
        {
            uint64_t n;
            if (second.compare(0, 2, "2^") == 0) {
                if (!parse_decimal(second.substr(2), 1, 48, n))
                    return false;
                new_lifetime = uint64_t(1) << n;
            } else if (!parse_decimal(second, 1, SRTP_DEFAULT_LIFETIME, new_lifetime))
                return false;
            has_lifetime = true;
        }
        if (count == 3) {
            if (!parse_mki(fields[2], value, length))
                return false;
            has_mki = true;
        }
    }

    key = decoded;
    if (has_lifetime)
        lifetime = new_lifetime;
    if (has_mki) {
        mki_value = value;
        mki_length = length;
    }
    return true;
}

bool crypto_split(const char* value, std::string& tag, std::string& suite, std::string& params)
{
    std::string pieces[3];
    int n = 0;
    const char* p = value ? value : "";
    while (*p && n < 3) {
        while (*p == ' ')
            p++;
        if (!*p)
            break;
        const char* start = p;
        // the key parameters run to the end (session parameters may follow)
        while (*p && *p != ' ')
            p++;
        pieces[n++].assign(start, p);
    }
    if (n < 3)
        return false;
    tag = pieces[0];
    suite = pieces[1];
    params = pieces[2];
    return true;
}

bool sdp_random_urandom(uint8_t* buf, size_t len)
{
    int fd = open(platform_path("/dev/urandom").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        LOG(LOGF_GENERAL, 3, "cannot open /dev/urandom: %s", strerror(errno));
        return false;
    }
    ssize_t n = read(fd, buf, len);
    int err = errno;
    close(fd);
    if (n < 0) {
        LOG(LOGF_GENERAL, 3, "cannot read /dev/urandom: %s", strerror(err));
        return false;
    }
    if (size_t(n) != len) {
        LOG(LOGF_GENERAL, 3, "cannot read /dev/urandom: short read (%d)", int(n));
        return false;
    }
    return true;
}
