#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "core/base64.h"

#include "sdp_text.h"
#include "support/log_capture.h"
#include "ua/sdp_answer.h"
#include "ua/sdp_offer.h"

namespace {

// Byte i of the random stream is 0x40 + i.
bool counting_from_0x40(uint8_t* buf, size_t len)
{
    for (size_t i = 0; i < len; i++)
        buf[i] = uint8_t(0x40 + i);
    return true;
}

std::string counted_key()
{
    std::string k;
    for (int i = 0; i < 30; i++)
        k += char(0x40 + i);
    return k;
}

std::string remote_key() { return std::string(30, '\x11'); }


std::string address_text(const sockaddr_storage& a)
{
    char text[64] = "";
    if (a.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
    else if (a.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, text, sizeof text);
    return text + std::string(":") + std::to_string(sdp_address_port(a));
}

// An offer from 198.51.100.7 with the given m= line and its attributes.
std::string offer_text(std::initializer_list<const char*> media)
{
    std::string s = sdp_lines({"v=0", "o=peer 1 1 IN IP4 198.51.100.7", "s=-", "c=IN IP4 198.51.100.7", "t=0 0"});
    return s + sdp_lines(media);
}

struct Answer {
    bool ok = false;
    std::string body;
    std::unique_ptr<rtp_event_t> event;
};

Answer answer(sdp_call_t& call, const std::string& offer, const sdp_local_t& local = local4)
{
    Answer a;
    auto sdp = sdp_parse(offer.c_str());
    EXPECT_TRUE(sdp) << offer;
    if (sdp)
        a.ok = sdp_complete_200ok(call, sdp.get(), local, counting_from_0x40, a.body, a.event);
    EXPECT_EQ(a.ok, a.event != nullptr);
    return a;
}

sdp_call_t call_with(const char* codecs)
{
    sdp_call_t call;
    call.ts = 3;
    call.call_id = 77;
    call.codec_list = codecs;
    return call;
}

}  // namespace

TEST(Answer, VoiceEventsAndComfortNoise)
{
    sdp_call_t call = call_with("8 0 101 13");
    auto a = answer(call, offer_text({"m=audio 4000 RTP/AVP 0 8 101 13", "a=rtpmap:101 telephone-event/8000",
                                      "a=fmtp:101 0-11"}));
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.body, sdp_lines({"v=0", "o=gateway 0 0 IN IP4 192.0.2.10", "s=conversation", "c=IN IP4 192.0.2.10",
                                 "t=0 0", "m=audio 10006 RTP/AVP 0 101 13", "a=rtpmap:0 PCMU/8000",
                                 "a=rtpmap:101 telephone-event/8000", "a=fmtp:101 0-15", "a=rtpmap:13 CN/8000"}));
    const rtp_event_t& e = *a.event;
    EXPECT_EQ(e.channel, 3);
    EXPECT_EQ(e.code, EV_RTP_PARAMETERS);
    EXPECT_EQ(e.data, 77);
    EXPECT_EQ(address_text(e.local_addr), "192.0.2.10:10006");
    EXPECT_EQ(address_text(e.remote_addr), "198.51.100.7:4000");
    EXPECT_EQ(e.codec, "PCMU");
    EXPECT_EQ(e.tx_pt, 0);
    EXPECT_EQ(e.rx_pt, 0);
    EXPECT_EQ(e.tx_event_pt, 101);
    EXPECT_EQ(e.rx_event_pt, 101);
    EXPECT_TRUE(e.vad);
    EXPECT_EQ(e.tx_vbd_pt, 0xFF);
    EXPECT_EQ(e.redundancy, 0);
    EXPECT_EQ(e.srtp_on, 0);
    EXPECT_EQ(e.srtp_tag_length, 0);
    EXPECT_EQ(e.direction, 3);
    EXPECT_EQ(e.hangover, 1);
    EXPECT_EQ(e.dtxmin, 12);
    EXPECT_EQ(e.dtxmax, 32);
    EXPECT_EQ(e.remote_ptime, -1);
    EXPECT_EQ(e.remote_maxptime, 200);
    EXPECT_EQ(e.maxinterleave, 5);
    EXPECT_EQ(e.amr_flags, 0xFFu);
    EXPECT_FALSE(call.is_t38);
}

TEST(Answer, NoTelephoneEventMeansNone)
{
    sdp_call_t call = call_with("8");
    auto a = answer(call, offer_text({"m=audio 4000 RTP/AVP 8 101", "a=ptime:30", "a=maxptime:40"}));
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.event->tx_event_pt, -1);
    EXPECT_EQ(a.event->rx_event_pt, -1);
    EXPECT_EQ(a.event->remote_ptime, 30);
    EXPECT_EQ(a.event->remote_maxptime, 40);
}

TEST(Answer, SilenceSuppression)
{
    struct {
        const char* codecs;
        const char* media;
        const char* fmtp;
        const char* payloads;
        bool vad;
    } cases[] = {
        {"18 13", "m=audio 4000 RTP/AVP 18 13", nullptr, "RTP/AVP 18\r\n", true},
        {"18", "m=audio 4000 RTP/AVP 18 13", "a=fmtp:18 annexb=no", "RTP/AVP 18\r\n", false},
        {"18 13", "m=audio 4000 RTP/AVP 18 13\r\na=fmtp:18 annexb=no", "a=fmtp:18 annexb=no", "RTP/AVP 18 13\r\n", true},
        {"18 13", "m=audio 4000 RTP/AVP 18\r\na=fmtp:18 annexb=yes", nullptr, "RTP/AVP 18\r\n", true},
        {"107 13", "m=audio 4000 RTP/AVP 107\r\na=rtpmap:107 EVRC/8000\r\na=fmtp:107 silencesupp=0",
         "a=fmtp:107 silencesupp=0; maxinterleave=7", "RTP/AVP 107\r\n", false},
    };
    for (const auto& c : cases) {
        sdp_call_t call = call_with(c.codecs);
        auto a = answer(call, offer_text({c.media}));
        ASSERT_TRUE(a.ok) << c.media;
        EXPECT_TRUE(has(a.body, c.payloads)) << c.media << "\n" << a.body;
        if (c.fmtp) {
            EXPECT_TRUE(has(a.body, std::string(c.fmtp) + "\r\n")) << c.media << "\n" << a.body;
        } else {
            EXPECT_FALSE(has(a.body, "a=fmtp:18")) << c.media;
        }
        EXPECT_EQ(a.event->vad, c.vad) << c.media;
    }
}

TEST(Answer, PayloadByName)
{
    sdp_call_t call = call_with("96");
    auto a = answer(call, offer_text({"m=audio 4000 RTP/AVP 97", "a=rtpmap:97 G726-32/8000"}));
    ASSERT_TRUE(a.ok);
    EXPECT_TRUE(has(a.body, "m=audio 10006 RTP/AVP 97\r\na=rtpmap:97 G726-32/8000\r\n"));
    EXPECT_EQ(a.event->codec, "G726-32");
    EXPECT_EQ(a.event->tx_pt, 97);
    EXPECT_EQ(a.event->rx_pt, 97);
}

TEST(Answer, VoiceBandData)
{
    sdp_call_t call = call_with("8 98");
    auto a = answer(call, offer_text({"m=audio 4000 RTP/AVP 98 8", "a=rtpmap:98 PCMA/8000", "a=gpmd:98 vbd=yes"}));
    ASSERT_TRUE(a.ok);
    EXPECT_TRUE(has(a.body, "m=audio 10006 RTP/AVP 98 8\r\na=rtpmap:98 PCMA/8000\r\na=gpmd:98 vbd=yes\r\n"));
    EXPECT_EQ(a.event->tx_vbd_pt, 98);
    EXPECT_EQ(a.event->rx_vbd_pt, 98);
    EXPECT_EQ(a.event->tx_pt, 8);

    // the voice-band-data payload alone is no voice codec
    call = call_with("8 98");
    EXPECT_FALSE(answer(call, offer_text({"m=audio 4000 RTP/AVP 98", "a=rtpmap:98 PCMA/8000", "a=gpmd:98 vbd=yes"})).ok);
}

TEST(Answer, Directions)
{
    struct {
        const char* attribute;
        const char* ours;
        int direction;
    } cases[] = {
        {"a=sendonly", "a=recvonly", 2},
        {"a=recvonly", "a=sendonly", 1},
        {"a=INACTIVE", "a=inactive", 0},
        {"a=sendrecv", nullptr, 3},
    };
    for (const auto& c : cases) {
        sdp_call_t call = call_with("8");
        auto a = answer(call, offer_text({"m=audio 4000 RTP/AVP 8", c.attribute}));
        ASSERT_TRUE(a.ok);
        EXPECT_EQ(a.event->direction, c.direction) << c.attribute;
        if (c.ours) {
            EXPECT_TRUE(has(a.body, "a=rtpmap:8 PCMA/8000\r\n" + std::string(c.ours) + "\r\n")) << a.body;
        } else {
            EXPECT_FALSE(has(a.body, "only")) << a.body;
        }
    }
}

TEST(Answer, PlainRtpPreferredOverSavpWithoutSrtp)
{
    std::string key64 = b64(remote_key());
    std::string crypto = "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + key64;
    std::string offer = offer_text({"m=audio 4000 RTP/SAVP 8", crypto.c_str(), "m=audio 4000 RTP/AVP 8"});
    sdp_call_t call = call_with("8");
    auto a = answer(call, offer);
    ASSERT_TRUE(a.ok);
    EXPECT_TRUE(has(a.body, "m=audio 0 RTP/SAVP 8\r\nm=audio 10006 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n")) << a.body;
    EXPECT_EQ(a.event->srtp_on, 0);
    EXPECT_TRUE(call.srtp_key.empty());

    // with SRTP wanted the SAVP line is answered with our key, and the AVP line refused
    call = call_with("8 992");
    a = answer(call, offer);
    ASSERT_TRUE(a.ok);
    EXPECT_TRUE(has(a.body, "m=audio 10006 RTP/SAVP 8\r\na=rtpmap:8 PCMA/8000\r\na=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" +
                                b64(counted_key()) + "\r\nm=audio 0 RTP/AVP 8\r\n"))
        << a.body;
    const rtp_event_t& e = *a.event;
    EXPECT_EQ(e.srtp_on, 1);
    EXPECT_EQ(e.srtp_tag_length, 10);
    EXPECT_EQ(e.srtp_remote_key, remote_key());
    EXPECT_EQ(e.srtp_local_key, counted_key());
    EXPECT_EQ(e.srtp_rx_lifetime, uint64_t(1) << 48);
    EXPECT_EQ(e.srtp_tx_lifetime, uint64_t(1) << 48);
    EXPECT_EQ(call.srtp_suite, "AES_CM_128_HMAC_SHA1_80");
    EXPECT_EQ(call.srtp_key, counted_key());
}

TEST(Answer, SrtpRequiredRefusesPlainMedia)
{
    std::string unknown = "a=crypto:1 F8_128_HMAC_SHA1_80 inline:" + b64(remote_key());
    std::string good = "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + b64(remote_key());
    sdp_call_t call = call_with("8 993");
    EXPECT_FALSE(answer(call, offer_text({"m=audio 4000 RTP/AVP 8"})).ok);
    EXPECT_FALSE(answer(call, offer_text({"m=audio 4000 RTP/SAVP 8", unknown.c_str()})).ok);
    auto a = answer(call, offer_text({"m=audio 4000 RTP/AVP 8", "m=audio 4002 RTP/SAVP 8", good.c_str()}));
    ASSERT_TRUE(a.ok);
    EXPECT_TRUE(has(a.body, "m=audio 0 RTP/AVP 8\r\nm=audio 10006 RTP/SAVP 8\r\n")) << a.body;
    EXPECT_EQ(a.event->srtp_on, 1);
}

TEST(Answer, SrtpKeyChoice)
{
    std::string key64 = b64(remote_key());
    std::string bad = "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + b64("short");
    std::string unknown = "a=crypto:2 F8_128_HMAC_SHA1_80 inline:" + key64;
    std::string good = "a=crypto:3  AES_CM_128_HMAC_SHA1_32 inline:" + key64 + "|2^20";
    sdp_call_t call = call_with("0 993");
    call.srtp_suite = "aes_cm_128_hmac_sha1_32";  // the suite in use keeps its key
    call.srtp_key = std::string(30, 'k');
    auto a = answer(call, offer_text({"m=audio 4000 RTP/SAVP 0", bad.c_str(), unknown.c_str(), good.c_str()}));
    ASSERT_TRUE(a.ok);
    EXPECT_TRUE(has(a.body, "a=crypto:3 AES_CM_128_HMAC_SHA1_32 inline:" + b64(std::string(30, 'k')) +
                                "\r\n"))
        << a.body;
    EXPECT_EQ(a.event->srtp_tag_length, 4);
    EXPECT_EQ(a.event->srtp_rx_lifetime, uint64_t(1) << 20);
    EXPECT_EQ(a.event->srtp_local_key, std::string(30, 'k'));
}

TEST(Answer, AmrModes)
{
    struct {
        const char* fmtp;
        uint32_t flags;
        bool warning;
    } cases[] = {
        {"a=fmtp:104 mode-set=0,2,5,7", 0xA5, false},
        {"a=fmtp:104 mode-set=9", 0xFF, true},
        {"a=fmtp:104 mode-set=0,2, 7; octet-align=1; mode-change-period=2", 0x585, false},
        {"a=fmtp:104 crc=1; mode-change-neighbor=1", 0xEFF, false},
    };
    for (const auto& c : cases) {
        LogCapture logs(4);
        sdp_call_t call = call_with("104");
        auto a = answer(call, offer_text({"m=audio 4000 RTP/AVP 104", "a=rtpmap:104 AMR/8000", c.fmtp}));
        ASSERT_TRUE(a.ok) << c.fmtp;
        EXPECT_EQ(a.event->amr_flags, c.flags) << c.fmtp;
        EXPECT_EQ(logs.contains("sdp_complete_200ok(): ignoring invalid mode-set parameter: '9'"), c.warning);
    }
    sdp_call_t call = call_with("104");
    auto a = answer(call, offer_text({"m=audio 4000 RTP/AVP 104", "a=rtpmap:104 AMR/8000",
                                      "a=fmtp:104 mode-set=0,2; octet-align=1; foo=bar; robust-sorting=0"}));
    EXPECT_TRUE(has(a.body, "a=fmtp:104 mode-change-capability=2; mode-set=0,2; octet-align=1; robust-sorting=0\r\n"))
        << a.body;
}

TEST(Answer, CodecOptionsFromFmtp)
{
    sdp_call_t call = call_with("107 770");
    auto a = answer(call, offer_text({"m=audio 4000 RTP/AVP 107", "a=rtpmap:107 EVRC/8000",
                                      "a=fmtp:107 dtxmin=5; dtxmax=99999999999; hangover=3; maxinterleave=2"}));
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.event->dtxmin, 5);
    EXPECT_EQ(a.event->dtxmax, 2147483647);
    EXPECT_EQ(a.event->hangover, 3);
    EXPECT_EQ(a.event->maxinterleave, 2);
    EXPECT_TRUE(has(a.body, "a=fmtp:107 silencesupp=0; maxinterleave=2\r\na=maxptime:60\r\n")) << a.body;
}

TEST(Answer, PacketTime)
{
    sdp_call_t call = call_with("8 272");
    auto a = answer(call, offer_text({"m=audio 4000 RTP/AVP 8"}));
    ASSERT_TRUE(a.ok);
    EXPECT_TRUE(has(a.body, "a=rtpmap:8 PCMA/8000\r\na=ptime:80\r\n"));
    EXPECT_EQ(a.event->remote_ptime, 80);  // the line gave none: ours
}

TEST(Answer, NothingAcceptable)
{
    sdp_call_t call = call_with("8 0");
    EXPECT_FALSE(answer(call, offer_text({"m=audio 4000 RTP/AVP 96", "a=rtpmap:96 opus/48000/2"})).ok);
    EXPECT_FALSE(answer(call, offer_text({"m=audio 0 RTP/AVP 8"})).ok);
    EXPECT_FALSE(answer(call, offer_text({"m=video 4000 RTP/AVP 8"})).ok);
    EXPECT_FALSE(answer(call, offer_text({"m=image 4000 udptl t38"})).ok);  // T.38 not allowed
}

TEST(Answer, OnlyTheFirstGoodLineIsAnswered)
{
    sdp_call_t call = call_with("8 0");
    auto a = answer(call, offer_text({"m=video 5000 RTP/AVP 31", "m=audio 0 RTP/AVP 8", "m=audio 4000 RTP/AVP 3 9",
                                      "m=audio 4002 RTP/AVP 0", "m=audio 4004 RTP/AVP 8"}));
    ASSERT_TRUE(a.ok);
    EXPECT_TRUE(has(a.body, "m=video 0 RTP/AVP 31\r\nm=audio 0 RTP/AVP 8\r\nm=audio 0 RTP/AVP\r\n"
                            "m=audio 10006 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\nm=audio 0 RTP/AVP 8\r\n"))
        << a.body;
    EXPECT_EQ(address_text(a.event->remote_addr), "198.51.100.7:4002");
}

TEST(Answer, T38)
{
    std::string offer = offer_text({"m=image 4000 UDPTL T38", "a=T38FaxVersion:0", "a=T38FaxMaxDatagram:400",
                                    "a=T38FaxFillBitRemoval", "a=T38FaxUdpEC:t38UDPRedundancy"});
    sdp_call_t call = call_with("8 991");
    auto a = answer(call, offer);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.body, sdp_lines({"v=0", "o=gateway 0 0 IN IP4 192.0.2.10", "s=conversation", "c=IN IP4 192.0.2.10",
                                 "t=0 0", "m=image 10006 udptl t38", "a=T38FaxVersion:0", "a=T38MaxBitRate:14400",
                                 "a=T38FaxFillBitRemoval", "a=T38FaxRateManagement:transferredTCF",
                                 "a=T38FaxMaxBuffer:8192", "a=T38FaxMaxDatagram:512",
                                 "a=T38FaxUdpEC:t38UDPRedundancy"}));
    EXPECT_EQ(a.event->codec, "T38");
    EXPECT_EQ(a.event->tx_event_pt, 400);
    EXPECT_EQ(a.event->rx_event_pt, 3);
    EXPECT_EQ(a.event->tx_pt, 0xFF);
    EXPECT_TRUE(call.is_t38);

    call = call_with("991");
    a = answer(call, offer_text({"m=image 4000 udptl t38"}));
    ASSERT_TRUE(a.ok);
    EXPECT_FALSE(has(a.body, "FillBit"));
    EXPECT_FALSE(has(a.body, "UdpEC"));
    EXPECT_EQ(a.event->tx_event_pt, 150);
    EXPECT_EQ(a.event->rx_event_pt, 0);
}

TEST(Answer, AlternativeAddresses)
{
    std::string offer = offer_text({"m=audio 4000 RTP/AVP 8", "a=altc:1 IP6 2001:db8::7 5000",
                                    "a=altc:2 IP4 203.0.113.9 5002"});
    sdp_call_t call = call_with("8");
    auto a = answer(call, offer);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(address_text(a.event->remote_addr), "203.0.113.9:5002");

    sdp_local_t v6 = local4;
    v6.global_ipv6 = true;
    v6.ipv6_prefix = 64;
    a = answer(call, offer, v6);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(address_text(a.event->remote_addr), "2001:db8::7:5000");
    EXPECT_EQ(address_text(a.event->local_addr), "2001:db8::10:10006");
    EXPECT_TRUE(has(a.body, "o=gateway 0 1 IN IP6 2001:db8::10\r\n"));  // second SDP of the call
    EXPECT_TRUE(has(a.body, "c=IN IP6 2001:db8::10\r\n"));
}

TEST(Answer, SessionVersionGrowsWithinCall)
{
    sdp_origin_version = 40;
    sdp_call_t call = call_with("8");
    auto offer = sdp_build_offer(local4, 3, nullptr, "8", "", "", counting_from_0x40, &call.session);
    ASSERT_TRUE(offer);
    EXPECT_TRUE(has(*offer, "o=gateway 0 40 "));
    // the re-INVITE of the remote side is answered with a higher version
    auto a = answer(call, offer_text({"m=audio 4000 RTP/AVP 8"}));
    EXPECT_TRUE(has(a.body, "o=gateway 0 41 "));
    a = answer(call, offer_text({"m=audio 4000 RTP/AVP 8"}));
    EXPECT_TRUE(has(a.body, "o=gateway 0 42 "));
    offer = sdp_build_offer(local4, 3, nullptr, "8", "", "", counting_from_0x40, &call.session);
    EXPECT_TRUE(has(*offer, "o=gateway 0 43 "));
    // a fresh call still answers with 0
    sdp_call_t other = call_with("8");
    EXPECT_TRUE(has(answer(other, offer_text({"m=audio 4000 RTP/AVP 8"})).body, "o=gateway 0 0 "));
}

TEST(CheckSupportedCodec, Table)
{
    std::string key64 = b64(remote_key());
    std::string crypto = "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + key64;
    struct {
        const char* codecs;
        std::string offer;
        bool ok;
    } cases[] = {
        {"8 0", offer_text({"m=audio 4000 RTP/AVP 0"}), true},
        {"8", offer_text({"m=audio 4000 RTP/AVP 0"}), false},
        {"8", offer_text({"m=audio 0 RTP/AVP 8"}), false},
        {"101 13 98", offer_text({"m=audio 4000 RTP/AVP 101 13 98", "a=rtpmap:98 PCMA/8000"}), false},
        {"18", offer_text({"m=audio 4000 RTP/AVP 96", "a=rtpmap:96 G.729a/8000"}), true},
        {"18", offer_text({"m=audio 4000 RTP/AVP 96", "a=rtpmap:96 g729/8000"}), false},
        {"104", offer_text({"m=audio 4000 RTP/AVP 96", "a=rtpmap:96 AMR/8000", "a=fmtp:96 channels=2"}), false},
        {"104", offer_text({"m=audio 4000 RTP/AVP 96", "a=rtpmap:96 AMR/8000", "a=fmtp:96 channels=1"}), true},
        {"8 991", offer_text({"m=image 4000 udptl T38"}), true},
        {"8", offer_text({"m=image 4000 udptl t38"}), false},
        {"8 993", offer_text({"m=audio 4000 RTP/AVP 8"}), false},
        {"8 993", offer_text({"m=audio 4000 RTP/SAVP 8"}), false},
        {"8 993", offer_text({"m=audio 4000 RTP/SAVP 8", crypto.c_str()}), true},
        {"8 992", offer_text({"m=audio 4000 RTP/AVP 8"}), true},
    };
    for (const auto& c : cases) {
        auto sdp = sdp_parse(c.offer.c_str());
        ASSERT_TRUE(sdp);
        EXPECT_EQ(sdp_check_supported_codec(sdp.get(), c.codecs), c.ok) << c.codecs << "\n" << c.offer;
    }
}
