#include <gtest/gtest.h>

#include "core/base64.h"

#include "sdp_text.h"
#include "support/log_capture.h"
#include "ua/sdp_crypto.h"

namespace {

std::string key30()
{
    std::string k;
    for (int i = 0; i < 30; i++)
        k += char(i * 7 + 1);
    return k;
}

}  // namespace

TEST(CryptoParseKey, AcceptAndReject)
{
    const std::string key64 = b64(key30());
    const std::string b64_16 = b64(std::string(16, 'x'));
    struct {
        std::string params;
        bool ok;
        uint64_t lifetime;  // expected lifetime out (sentinel 7 = untouched)
        int mki, mki_len;   // expected MKI outs (-1 = untouched)
        const char* log;
    } cases[] = {
        {"inline:" + key64 + "|2^20|1:4", true, 1u << 20, 1, 4, nullptr},
        {"INLINE:" + key64, true, 7, -1, -1, nullptr},
        {"inline:" + key64 + "|1000", true, 1000, -1, -1, nullptr},
        {"inline:" + key64 + "|281474976710656", true, uint64_t(1) << 48, -1, -1, nullptr},
        {"inline:" + key64 + "|2^48", true, uint64_t(1) << 48, -1, -1, nullptr},
        {"inline:" + key64 + "|5:128", true, 7, 5, 128, nullptr},
        {"inline:" + key64 + "|5:128|garbage", true, 7, 5, 128, nullptr},
        {"inline:" + key64 + "|0", false, 7, -1, -1, nullptr},
        {"inline:" + key64 + "|2^49", false, 7, -1, -1, nullptr},
        {"inline:" + key64 + "|2^0", false, 7, -1, -1, nullptr},
        {"inline:" + key64 + "|281474976710657", false, 7, -1, -1, nullptr},
        {"inline:" + key64 + "|", false, 7, -1, -1, nullptr},
        {"inline:" + key64 + "||1:4", false, 7, -1, -1, nullptr},
        {"inline:" + key64 + "|2^20|1:129", false, 7, -1, -1, nullptr},
        {"inline:" + key64 + "|2^20|1:0", false, 7, -1, -1, nullptr},
        {"inline:" + key64 + "|2^20|x:4", false, 7, -1, -1, nullptr},
        {"inline:" + key64 + "|2^20|1:4x", false, 7, -1, -1, nullptr},
        {"inline:" + key64 + "|2^20|1:4|9", false, 7, -1, -1, nullptr},
        {"inline:" + b64_16, false, 7, -1, -1, "unexpected key length 16 (expected 30)"},
        {"inline:" + key64.substr(1), false, 7, -1, -1, nullptr},
        {"uri:" + key64, false, 7, -1, -1, "crypto_parse_key(): unsupported method: uri"},
        {"inline:", false, 7, -1, -1, "crypto_parse_key(): no key material"},
        {"inline", false, 7, -1, -1, "crypto_parse_key(): no key material"},
        {"", false, 7, -1, -1, "crypto_parse_key(): unsupported method: "},
    };
    for (const auto& c : cases) {
        LogCapture logs;
        std::string key;
        uint64_t lifetime = 7;
        int mki = -1, mki_len = -1;
        EXPECT_EQ(crypto_parse_key(c.params, key, lifetime, mki, mki_len), c.ok) << c.params;
        if (c.ok) {
            EXPECT_EQ(key, key30()) << c.params;
            EXPECT_EQ(lifetime, c.lifetime) << c.params;
            EXPECT_EQ(mki, c.mki) << c.params;
            EXPECT_EQ(mki_len, c.mki_len) << c.params;
        } else
            EXPECT_TRUE(key.empty()) << c.params;
        if (c.log) {
            EXPECT_TRUE(logs.contains(c.log)) << c.params;
        }
    }
}

TEST(CryptoSplit, Pieces)
{
    std::string tag, suite, params;
    ASSERT_TRUE(crypto_split("1  AES_CM_128_HMAC_SHA1_80 inline:abc", tag, suite, params));
    EXPECT_EQ(tag, "1");
    EXPECT_EQ(suite, "AES_CM_128_HMAC_SHA1_80");
    EXPECT_EQ(params, "inline:abc");
    EXPECT_FALSE(crypto_split("1 AES_CM_128_HMAC_SHA1_80", tag, suite, params));
    EXPECT_FALSE(crypto_split(nullptr, tag, suite, params));
}
