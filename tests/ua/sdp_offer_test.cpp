#include <gtest/gtest.h>

#include "core/base64.h"

#include "sdp_text.h"
#include "support/log_capture.h"
#include "ua/sdp_crypto.h"
#include "ua/sdp_offer.h"

namespace {

sdp_local_t v4_only() { return local4; }

bool failing(uint8_t*, size_t) { return false; }

std::string key_at(int first)
{
    std::string k;
    for (int i = 0; i < 30; i++)
        k += char(first + i);
    return k;
}

class Offer : public ::testing::Test {
protected:
    void SetUp() override { sdp_origin_version = 0; }

    std::string offer(const char* codecs, const char* mode = nullptr, sdp_local_t local = v4_only(),
                      const std::string& suite = "", const std::string& key = "", const sdp_random_t& random = counting)
    {
        auto text = sdp_build_offer(local, 3, mode, codecs, suite, key, random);
        EXPECT_TRUE(text);
        return text.value_or("");
    }
};

}  // namespace

TEST_F(Offer, ExampleByteForByte)
{
    EXPECT_EQ(offer("18 8 101"),
              sdp_lines({"v=0", "o=gateway 0 0 IN IP4 192.0.2.10", "s=conversation", "c=IN IP4 192.0.2.10", "t=0 0",
                         "m=audio 10006 RTP/AVP 18 8 101", "a=rtpmap:18 G729/8000", "a=fmtp:18 annexb=no",
                         "a=rtpmap:8 PCMA/8000", "a=rtpmap:101 telephone-event/8000", "a=fmtp:101 0-15"}));
    // the next offer since start takes the next version
    EXPECT_TRUE(has(offer("8"), "o=gateway 0 1 IN IP4"));
}

TEST_F(Offer, SilenceParameters)
{
    std::string off = offer("4 18 105 107 13x");  // "13x": 13 ends the list, so CN is listed
    EXPECT_FALSE(has(off, "annexa=no"));
    EXPECT_TRUE(has(off, "a=rtpmap:13 CN/8000"));
    off = offer("4 18 105 107 108 109 110");
    EXPECT_TRUE(has(off, "a=fmtp:4 annexa=no\r\n"));
    EXPECT_TRUE(has(off, "a=fmtp:18 annexb=no\r\n"));
    EXPECT_TRUE(has(off, "a=fmtp:105 silencesupp=0\r\n"));
    EXPECT_TRUE(has(off, "a=fmtp:107 silencesupp=0; maxinterleave=7\r\n"));
    EXPECT_TRUE(has(off, "a=fmtp:108 silencesupp=0\r\n"));
    EXPECT_TRUE(has(off, "a=fmtp:109 silencesupp=0; maxinterleave=7\r\n"));
    EXPECT_TRUE(has(off, "a=fmtp:110 silencesupp=0\r\n"));
    off = offer("4 18 105 107 13");
    EXPECT_FALSE(has(off, "=no"));
    EXPECT_FALSE(has(off, "silencesupp"));
    EXPECT_TRUE(has(off, "a=fmtp:107 maxinterleave=7\r\n"));
}

TEST_F(Offer, PacketTimeAndInterleave)
{
    struct {
        const char* codecs;
        const char* ptime;      // a=ptime line or null
        const char* maxptime;
        const char* fmtp;
    } cases[] = {
        {"107 266", "a=ptime:50", "a=maxptime:60", "maxinterleave=7"},
        {"107 266 770", "a=ptime:50", "a=maxptime:60", "maxinterleave=2"},
        {"107 272 770", "a=ptime:80", "a=maxptime:80", "maxinterleave=2"},
        {"107 272", "a=ptime:80", "a=maxptime:80", "maxinterleave=5"},     // 500/80 - 1
        {"107 270", "a=ptime:70", "a=maxptime:70", "maxinterleave=5"},     // 70 counts as 80
        {"107 268 775", "a=ptime:60", "a=maxptime:60", "maxinterleave=7"},  // 500/60 - 1 = 7, L 7 not smaller
        {"107 340", "a=ptime:420", "a=maxptime:420", "maxinterleave=0"},    // 500/420 - 1
        {"107 352", "a=ptime:480", "a=maxptime:480", "maxinterleave=0"},
        {"107", nullptr, "a=maxptime:60", "maxinterleave=7"},
        {"8 272", "a=ptime:80", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        std::string off = offer(c.codecs);
        EXPECT_EQ(has(off, "a=ptime:"), c.ptime != nullptr) << c.codecs;
        if (c.ptime) {
            EXPECT_TRUE(has(off, std::string(c.ptime) + "\r\n")) << c.codecs << off;
        }
        EXPECT_EQ(has(off, "a=maxptime:"), c.maxptime != nullptr) << c.codecs;
        if (c.maxptime) {
            EXPECT_TRUE(has(off, std::string(c.maxptime) + "\r\n")) << c.codecs << off;
        }
        if (c.fmtp) {
            EXPECT_TRUE(has(off, std::string(c.fmtp) + "\r\n")) << c.codecs << off;
        }
    }
}

TEST_F(Offer, VbdAndDoubleSeparator)
{
    EXPECT_TRUE(has(offer("98"), "m=audio 10006 RTP/AVP 98\r\na=rtpmap:98 PCMA/8000\r\na=gpmd:98 vbd=yes\r\n"));
    EXPECT_TRUE(has(offer("8  0"), "m=audio 10006 RTP/AVP 8\r\n"));
    EXPECT_TRUE(has(offer("0 8 0 300 991"), "m=audio 10006 RTP/AVP 0 8 0\r\n"));  // twice listed, twice offered
}

TEST_F(Offer, ModeLines)
{
    sdp_local_t local = v4_only();
    local.ipv6_prefix = 64;
    std::string off = offer("8", "inactive", local);
    EXPECT_TRUE(has(off, "o=gateway 0 0 IN IP4 192.0.2.10\r\n"));
    EXPECT_TRUE(has(off, "c=IN IP4 0.0.0.0\r\n"));
    EXPECT_FALSE(has(off, "altc"));
    EXPECT_TRUE(has(off, "a=rtpmap:8 PCMA/8000\r\na=inactive\r\n"));
    off = offer("8 256 101", "sendonly");
    EXPECT_TRUE(has(off, "a=fmtp:101 0-15\r\na=sendonly\r\n"));  // ptime 0: no ptime line
}

TEST_F(Offer, AlternativeAddresses)
{
    sdp_local_t local = v4_only();
    local.ipv6_prefix = 64;
    EXPECT_TRUE(has(offer("8", nullptr, local),
                    "m=audio 10006 RTP/AVP 8\r\na=altc:1 IP4 192.0.2.10 10006\r\na=altc:2 IP6 2001:db8::10 10006\r\n"));
    local.global_ipv6 = true;
    EXPECT_TRUE(has(offer("8", nullptr, local),
                    "m=audio 10006 RTP/AVP 8\r\na=altc:1 IP6 2001:db8::10 10006\r\na=altc:2 IP4 192.0.2.10 10006\r\n"));
    // no usable IPv4: the connection is IPv6 and carries no alternatives
    local.ipv4 = "127.0.0.1";
    std::string off = offer("8", nullptr, local);
    EXPECT_TRUE(has(off, "o=gateway 0 2 IN IP6 2001:db8::10\r\n"));
    EXPECT_TRUE(has(off, "c=IN IP6 2001:db8::10\r\n"));
    EXPECT_FALSE(has(off, "altc"));
}

TEST_F(Offer, SrtpShapes)
{
    const std::string k1 = b64(key_at(0)), k2 = b64(key_at(30));
    std::string off = offer("8 992");
    EXPECT_TRUE(has(off, "m=audio 10006 RTP/SAVP 8\r\na=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + k1 +
                             "\r\na=crypto:2 AES_CM_128_HMAC_SHA1_32 inline:" + k2 +
                             "\r\na=rtpmap:8 PCMA/8000\r\nm=audio 10006 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n"))
        << off;
    off = offer("8 993");
    EXPECT_TRUE(has(off, "m=audio 10006 RTP/SAVP 8\r\n"));
    EXPECT_FALSE(has(off, "RTP/AVP"));
    EXPECT_EQ(off.find("a=crypto:2"), off.rfind("a=crypto:2"));

    // the key in use is offered again, alone, under tag 1
    off = offer("8 993", nullptr, v4_only(), "AES_CM_128_HMAC_SHA1_32", key_at(100));
    EXPECT_TRUE(has(off, "a=crypto:1 AES_CM_128_HMAC_SHA1_32 inline:" + b64(key_at(100)) + "\r\n"));
    EXPECT_FALSE(has(off, "crypto:2"));

    // no key material: plain RTP when SRTP is only offered, no offer when it is required
    off = offer("8 992", nullptr, v4_only(), "", "", failing);
    EXPECT_TRUE(has(off, "m=audio 10006 RTP/AVP 8\r\n"));
    EXPECT_FALSE(has(off, "SAVP"));
    EXPECT_FALSE(sdp_build_offer(v4_only(), 3, nullptr, "8 993", "", "", failing));
}

TEST_F(Offer, T38)
{
    sdp_local_t local = v4_only();
    local.ipv6_prefix = 0;
    EXPECT_EQ(offer("8 993 266", "T38", local),
              sdp_lines({"v=0", "o=gateway 0 0 IN IP4 192.0.2.10", "s=conversation", "c=IN IP4 192.0.2.10", "t=0 0",
                         "m=image 10006 udptl t38", "a=altc:1 IP4 192.0.2.10 10006", "a=altc:2 IP6 2001:db8::10 10006",
                         "a=T38FaxVersion:0", "a=T38MaxBitRate:14400", "a=T38FaxFillBitRemoval",
                         "a=T38FaxRateManagement:transferredTCF", "a=T38FaxMaxBuffer:8192", "a=T38FaxMaxDatagram:512",
                         "a=T38FaxUdpEC:t38UDPRedundancy"}));
}

TEST_F(Offer, SessionVersionGrowsWithinCall)
{
    sdp_session_t call;
    sdp_origin_version = 5;
    auto first = sdp_build_offer(v4_only(), 1000, nullptr, "8", "", "", counting, &call);
    ASSERT_TRUE(first);
    EXPECT_TRUE(has(*first, "o=gateway 0 5 IN IP4"));
    EXPECT_TRUE(has(*first, "m=audio 12000 RTP/AVP 8"));
    // an answer of the same call took 6 (see the answer tests); the next offer must go above it
    call.version = 9;
    sdp_origin_version = 7;
    auto second = sdp_build_offer(v4_only(), 1000, nullptr, "8", "", "", counting, &call);
    EXPECT_TRUE(has(*second, "o=gateway 0 10 IN IP4"));
    EXPECT_EQ(sdp_origin_version, 11u);
}
