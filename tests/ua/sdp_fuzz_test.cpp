// Seeded random mutation of offers and answers, fed to every SDP reader of
// the user agent. Bounded, so that it runs in every build; under
// AddressSanitizer it catches reads past the text.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/log.h"
#include "sdp_fuzz_checks.h"

namespace {

const char* const seeds[] = {
    "v=0\r\no=a 1 1 IN IP4 198.51.100.7\r\ns=-\r\nc=IN IP4 198.51.100.7\r\nt=0 0\r\n"
    "m=audio 4000 RTP/AVP 0 8 18 101 13 98\r\na=rtpmap:18 G729/8000\r\na=fmtp:18 annexb=no\r\n"
    "a=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-15\r\na=rtpmap:98 PCMA/8000\r\na=gpmd:98 vbd=yes\r\n"
    "a=ptime:20\r\na=sendonly\r\n",
    "v=0\r\no=a 1 1 IN IP4 198.51.100.7\r\ns=-\r\nt=0 0\r\n"
    "m=audio 4000 RTP/SAVP 0 104\r\nc=IN IP4 198.51.100.7\r\n"
    "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd|2^20|1:4\r\n"
    "a=crypto:2 AES_CM_128_HMAC_SHA1_32 inline:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd\r\n"
    "a=rtpmap:104 AMR/8000\r\na=fmtp:104 mode-set=0,2, 7; octet-align=1; crc=1; channels=1\r\n"
    "m=audio 4002 RTP/AVP 0\r\nc=IN IP4 198.51.100.7\r\n",
    "v=0\r\no=a 1 1 IN IP6 2001:db8::7\r\ns=-\r\nc=IN IP6 2001:db8::7\r\nt=0 0\r\n"
    "m=audio 4000 RTP/AVP 107 109 8\r\na=altc:1 IP6 2001:db8::7 4000\r\na=altc:2 IP4 198.51.100.7 4000\r\n"
    "a=rtpmap:107 EVRC/8000\r\na=fmtp:107 silencesupp=0; maxinterleave=3; dtxmin=1\r\n"
    "a=rtpmap:109 EVRCB/8000\r\na=maxptime:80\r\n",
    "v=0\r\no=a 1 1 IN IP4 198.51.100.7\r\ns=-\r\nc=IN IP4 198.51.100.7\r\nt=0 0\r\n"
    "m=image 4000 udptl t38\r\na=T38FaxVersion:0\r\na=T38FaxMaxDatagram:400\r\na=T38FaxFillBitRemoval\r\n"
    "a=T38FaxUdpEC:t38UDPRedundancy\r\nm=audio 4002 RTP/AVP 8\r\n",
};

// SDP pieces a mutation may put in: the attributes the readers look at,
// with values at their limits.
const char* const pieces[] = {
    "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd|2^48\r\n",
    "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:||:\r\n",
    "a=crypto:\r\n",
    "a=altc:1 IP4 1.2.3.4 65536\r\n",
    "a=altc:99999999999999999999 IP6 :: 1\r\n",
    "a=altc:1 IP6 fe80::1%lo 5\r\n",
    "a=rtpmap:127 G.729ab/8000/1\r\n",
    "a=rtpmap:96\r\n",
    "a=fmtp:104 mode-set=,,,\r\n",
    "a=fmtp:107 maxinterleave=-99999999999\r\n",
    "a=gpmd:8 vbd=yes\r\n",
    "a=gpmd:8\r\n",
    "a=ptime:-1\r\n",
    "a=maxptime:99999999999999\r\n",
    "m=audio 99999 RTP/AVP 300 -1 x\r\n",
    "m=audio 0 RTP/SAVP\r\n",
    "m=image 1 UDPTL T38 t38\r\n",
    "c=IN IP4 0.0.0.0\r\n",
    "c=IN IP6 ::ffff:1.2.3.4\r\n",
    "c=IN XX\r\n",
    "a=inactive\r\n",
    "a=recvonly\r\n",
};

std::string mutate(std::string s, std::mt19937& rng)
{
    auto pick = [&](size_t n) { return n ? size_t(rng() % n) : 0; };
    int steps = 1 + int(rng() % 4);
    for (int i = 0; i < steps; i++) {
        switch (rng() % 7) {
        case 0:
            if (!s.empty())
                s[pick(s.size())] ^= char(1u << (rng() % 8));
            break;
        case 1: {  // a piece at a line start
            size_t at = s.find("\r\n", pick(s.size()));
            at = at == std::string::npos ? s.size() : at + 2;
            s.insert(at, pieces[pick(std::size(pieces))]);
            break;
        }
        case 2: {  // drop a line
            size_t from = s.find("\r\n", pick(s.size()));
            if (from != std::string::npos) {
                size_t to = s.find("\r\n", from + 2);
                s.erase(from, to == std::string::npos ? std::string::npos : to - from);
            }
            break;
        }
        case 3:
            s.resize(pick(s.size() + 1));
            break;
        case 4:  // a number grows
            if (!s.empty()) {
                size_t at = s.find_first_of("0123456789", pick(s.size()));
                if (at != std::string::npos)
                    s.insert(at, std::string(1 + pick(12), char('0' + pick(10))));
            }
            break;
        case 5:
            s.insert(pick(s.size() + 1), 1, char(rng()));
            break;
        default: {  // repeat a slice
            if (s.empty())
                break;
            size_t from = pick(s.size()), len = 1 + pick(std::min<size_t>(40, s.size() - from));
            s.insert(pick(s.size() + 1), s.substr(from, len));
            break;
        }
        }
    }
    return s;
}

}  // namespace

// Found by the fuzz target: osip reads past an SDP whose last line is an m=
// line without formats ended by a lone LF.
TEST(SdpFuzz, MediaLineWithoutFormatsAtTheEnd)
{
    for (const char* text : {"v=0\no=a 1 1 IN IP4 1.2.3.4\ns=-\nt=0 0\nm=audio 4 RTP/AVP\n",
                             "v=0\ro=a 1 1 I 4 u\nt=0 n\nm=m 4 n\n"}) {
        std::string exact(text);  // a heap block of exactly the text
        auto sdp = sdp_parse(exact.c_str());
        ASSERT_TRUE(sdp);
        EXPECT_EQ(sdp_fuzz::check_all(exact), nullptr);
    }
}

TEST(SdpFuzz, SeededMutations)
{
    // every refusal is formatted, none kept
    int saved = log_level;
    log_set_sink([](int, const char*) {});
    log_level = 7;
    std::mt19937 rng(20261210);
    for (const char* seed : seeds)
        ASSERT_EQ(sdp_fuzz::check_all(seed), nullptr) << seed;
    for (int i = 0; i < 3000; i++) {
        std::string input = mutate(seeds[rng() % std::size(seeds)], rng);
        const char* failed = sdp_fuzz::check_all(input);
        ASSERT_EQ(failed, nullptr) << failed << "\n" << input;
    }
    log_set_sink(nullptr);
    log_level = saved;
}
