#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "core/base64.h"
#include "sdp_text.h"
#include "support/log_capture.h"
#include "ua/sdp_answered_media.h"
#include "ua/sdp_offer.h"

namespace {

std::string bytes_from(int first)
{
    std::string k;
    for (int i = 0; i < 30; i++)
        k += char(first + i);
    return k;
}

std::string answer_text(std::initializer_list<const char*> media)
{
    std::string s = sdp_lines({"v=0", "o=peer 1 1 IN IP4 198.51.100.7", "s=-", "c=IN IP4 198.51.100.7", "t=0 0"});
    return s + sdp_lines(media);
}

struct Result {
    sdp_answered_t result = SDP_MEDIA_REFUSED;
    std::unique_ptr<rtp_event_t> event;
};

// The gateway offered with mode and codecs, the remote side answered with answer.
Result media(sdp_call_t& call, const char* mode, const std::string& answer)
{
    Result r;
    auto offer = sdp_build_offer(local4, call.ts, mode, call.codec_list, "", "", counting);
    EXPECT_TRUE(offer);
    auto ours = sdp_parse(offer.value_or("").c_str());
    auto theirs = sdp_parse(answer.c_str());
    EXPECT_TRUE(ours && theirs) << answer;
    if (ours && theirs)
        r.result = sdp_answered_media(call, ours.get(), theirs.get(), local4, r.event);
    EXPECT_EQ(r.result == SDP_MEDIA_ACCEPTED, r.event != nullptr);
    return r;
}

sdp_call_t offering_call(const char* codecs)
{
    sdp_call_t call;
    call.ts = 1001;
    call.call_id = 5;
    call.codec_list = codecs;
    return call;
}

int port_of(const sockaddr_storage& a) { return sdp_address_port(a); }

}  // namespace

TEST(AnsweredMedia, PayloadSelection)
{
    struct {
        const char* codecs;
        std::vector<const char*> answer;
        const char* codec;
        int tx_pt, rx_pt, tx_event, rx_event;
        bool vad;
    } cases[] = {
        {"8 0 101", {"m=audio 4000 RTP/AVP 0"}, "PCMU", 0, 0, 101, 101, false},
        {"18 8", {"m=audio 4000 RTP/AVP 96", "a=rtpmap:96 G729/8000"}, "G729", 96, 18, 101, 101, true},
        {"8 101", {"m=audio 4000 RTP/AVP 8 100", "a=rtpmap:100 telephone-event/8000"}, "PCMA", 8, 8, 100, 101, false},
        {"18", {"m=audio 4000 RTP/AVP 18", "a=fmtp:18 annexb=no"}, "G729", 18, 18, 101, 101, false},
        {"8 13", {"m=audio 4000 RTP/AVP 8 13"}, "PCMA", 8, 8, 101, 101, true},
        {"8 0", {"m=audio 4000 RTP/AVP 3 0 8"}, "PCMU", 0, 0, 101, 101, false},  // 3 was never offered
        {"96 97", {"m=audio 4000 RTP/AVP 120", "a=rtpmap:120 G.726-16/8000"}, "G726-16", 120, 97, 101, 101, false},
    };
    for (const auto& c : cases) {
        sdp_call_t call = offering_call(c.codecs);
        std::string answer = answer_text({});
        for (const char* line : c.answer)
            answer += std::string(line) + "\r\n";
        Result r = media(call, nullptr, answer);
        ASSERT_EQ(r.result, SDP_MEDIA_ACCEPTED) << c.codecs;
        const rtp_event_t& e = *r.event;
        EXPECT_EQ(e.codec, c.codec) << c.codecs;
        EXPECT_EQ(e.tx_pt, c.tx_pt) << c.codecs;
        EXPECT_EQ(e.rx_pt, c.rx_pt) << c.codecs;
        EXPECT_EQ(e.tx_event_pt, c.tx_event) << c.codecs;
        EXPECT_EQ(e.rx_event_pt, c.rx_event) << c.codecs;
        EXPECT_EQ(e.vad, c.vad) << c.codecs;
    }
}

TEST(AnsweredMedia, EventFields)
{
    sdp_call_t call = offering_call("8 266 101");
    call.srtp_suite = "AES_CM_128_HMAC_SHA1_80";  // left over from an earlier SRTP offer
    call.is_t38 = true;
    Result r = media(call, nullptr, answer_text({"m=audio 4000 RTP/AVP 8", "a=fmtp:8 dtxmin=3; dtxmax=40; hangover=2"}));
    ASSERT_EQ(r.result, SDP_MEDIA_ACCEPTED);
    const rtp_event_t& e = *r.event;
    EXPECT_EQ(e.channel, 1001);
    EXPECT_EQ(e.code, EV_RTP_PARAMETERS);
    EXPECT_EQ(e.data, 5);
    EXPECT_EQ(e.local_addr.ss_family, AF_INET);
    EXPECT_EQ(port_of(e.local_addr), 12002);
    EXPECT_EQ(port_of(e.remote_addr), 4000);
    EXPECT_EQ(reinterpret_cast<const sockaddr_in&>(e.remote_addr).sin_addr.s_addr, inet_addr("198.51.100.7"));
    EXPECT_EQ(e.tx_vbd_pt, 0xFF);
    EXPECT_EQ(e.rx_vbd_pt, 0xFF);
    EXPECT_EQ(e.redundancy, 0);
    EXPECT_EQ(e.srtp_on, 0);
    EXPECT_EQ(e.srtp_tag_length, 0);
    EXPECT_TRUE(e.srtp_local_key.empty());
    EXPECT_EQ(e.direction, 3);
    EXPECT_EQ(e.dtxmin, 3);
    EXPECT_EQ(e.dtxmax, 40);
    EXPECT_EQ(e.hangover, 2);
    EXPECT_EQ(e.remote_ptime, 50);  // the answer names none: our offer's
    EXPECT_EQ(e.remote_maxptime, 200);
    EXPECT_EQ(e.maxinterleave, 5);
    EXPECT_EQ(e.amr_flags, 0xFFu);
    EXPECT_TRUE(call.srtp_suite.empty());
    EXPECT_FALSE(call.is_t38);

    r = media(call, nullptr, answer_text({"m=audio 4000 RTP/AVP 8", "a=ptime:20", "a=maxptime:30"}));
    EXPECT_EQ(r.event->remote_ptime, 20);
    EXPECT_EQ(r.event->remote_maxptime, 30);
}

TEST(AnsweredMedia, VoiceBandData)
{
    sdp_call_t call = offering_call("8 98");
    Result r = media(call, nullptr,
                     answer_text({"m=audio 4000 RTP/AVP 8 100 99", "a=rtpmap:100 PCMA/8000", "a=gpmd:100 vbd=yes",
                                  "a=rtpmap:99 PCMA/8000", "a=gpmd:99 vbd=yes"}));
    ASSERT_EQ(r.result, SDP_MEDIA_ACCEPTED);
    EXPECT_EQ(r.event->tx_vbd_pt, 100);  // the first one counts
    EXPECT_EQ(r.event->rx_vbd_pt, 98);
    EXPECT_EQ(r.event->tx_pt, 8);
}

TEST(AnsweredMedia, AmrModes)
{
    struct {
        const char* fmtp;
        uint32_t flags;
        bool warning;
    } cases[] = {
        {"a=fmtp:104 mode-set=0,2, 7", 0x85, false},
        {"a=fmtp:104 mode-set=9", 0xFF, true},
        {"a=fmtp:104 mode-set=1; octet-align=1; crc=1", 0xC02, false},
    };
    for (const auto& c : cases) {
        LogCapture logs(4);
        sdp_call_t call = offering_call("104");
        Result r = media(call, nullptr, answer_text({"m=audio 4000 RTP/AVP 104", "a=rtpmap:104 AMR/8000", c.fmtp}));
        ASSERT_EQ(r.result, SDP_MEDIA_ACCEPTED);
        EXPECT_EQ(r.event->amr_flags, c.flags) << c.fmtp;
        EXPECT_EQ(logs.contains(": ignoring invalid mode-set parameter: '9'"), c.warning) << c.fmtp;
        EXPECT_FALSE(logs.contains("sdp_complete_200ok"));
    }
}

TEST(AnsweredMedia, LinesSkipped)
{
    sdp_call_t call = offering_call("8");
    Result r = media(call, nullptr,
                     answer_text({"m=audio 0 RTP/AVP 8", "m=video 4002 RTP/AVP 31", "m=audio 4004 RTP/AVP 0",
                                  "m=audio 4006 RTP/AVP 8"}));
    ASSERT_EQ(r.result, SDP_MEDIA_ACCEPTED);
    EXPECT_EQ(port_of(r.event->remote_addr), 4006);
    EXPECT_EQ(media(call, nullptr, answer_text({"m=audio 4000 RTP/AVP 0"})).result, SDP_MEDIA_REFUSED);
}

TEST(AnsweredMedia, Srtp)
{
    const std::string remote = bytes_from(100);
    struct {
        const char* codecs;
        std::string crypto;
        sdp_answered_t result;
        int srtp_on, tag_length;
        std::string local_key;
        uint64_t lifetime;
    } cases[] = {
        // our offer's tag 2 is the _32 suite with random bytes 30-59
        {"8 992", "a=crypto:2 aes_cm_128_hmac_sha1_32 inline:" + b64(remote) + "|2^30", SDP_MEDIA_ACCEPTED, 1, 4,
         bytes_from(30), uint64_t(1) << 30},
        {"8 993", "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + b64(remote), SDP_MEDIA_ACCEPTED, 1, 10, bytes_from(0),
         uint64_t(1) << 48},
        // tag 1 is not the _32 suite in our offer: no SRTP
        {"8 992", "a=crypto:1 AES_CM_128_HMAC_SHA1_32 inline:" + b64(remote), SDP_MEDIA_ACCEPTED, 0, 0, "", 0},
        {"8 993", "a=crypto:1 AES_CM_128_HMAC_SHA1_32 inline:" + b64(remote), SDP_MEDIA_REFUSED, 0, 0, "", 0},
        {"8 993", "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + b64("short"), SDP_MEDIA_REFUSED, 0, 0, "", 0},
        {"8 992", "a=crypto:1 F8_128_HMAC_SHA1_80 inline:" + b64(remote), SDP_MEDIA_ACCEPTED, 0, 0, "", 0},
    };
    for (const auto& c : cases) {
        sdp_call_t call = offering_call(c.codecs);
        Result r = media(call, nullptr, answer_text({"m=audio 4000 RTP/SAVP 8", c.crypto.c_str()}));
        ASSERT_EQ(r.result, c.result) << c.codecs << " " << c.crypto;
        if (!r.event)
            continue;
        const rtp_event_t& e = *r.event;
        EXPECT_EQ(e.srtp_on, c.srtp_on) << c.crypto;
        EXPECT_EQ(e.srtp_tag_length, c.tag_length) << c.crypto;
        EXPECT_EQ(e.srtp_local_key, c.local_key) << c.crypto;
        EXPECT_EQ(e.srtp_remote_key, c.srtp_on ? remote : "") << c.crypto;
        EXPECT_EQ(e.srtp_rx_lifetime, c.lifetime) << c.crypto;
        EXPECT_EQ(e.srtp_tx_lifetime, c.lifetime) << c.crypto;
        EXPECT_EQ(call.srtp_key, c.local_key);
        EXPECT_EQ(call.srtp_suite.empty(), c.srtp_on == 0);
    }
}

TEST(AnsweredMedia, SrtpAgainstRebuiltOffer)
{
    // our offer as built (crypto written as one field), not as parsed back
    sdp_call_t call = offering_call("0 993");
    auto offer = sdp_build_offer(local4, 7, nullptr, call.codec_list, "AES_CM_128_HMAC_SHA1_32", bytes_from(60),
                                 counting);
    ASSERT_TRUE(offer);
    auto ours = sdp_parse(offer->c_str());
    auto theirs = sdp_parse(
        answer_text({"m=audio 4000 RTP/SAVP 0", ("a=crypto:1 AES_CM_128_HMAC_SHA1_32 inline:" + b64(bytes_from(9))).c_str()})
            .c_str());
    std::unique_ptr<rtp_event_t> event;
    ASSERT_EQ(sdp_answered_media(call, ours.get(), theirs.get(), local4, event), SDP_MEDIA_ACCEPTED);
    EXPECT_EQ(event->srtp_local_key, bytes_from(60));
    EXPECT_EQ(call.srtp_suite, "AES_CM_128_HMAC_SHA1_32");
}

TEST(AnsweredMedia, T38)
{
    std::string answer = answer_text({"m=image 4000 udptl t38", "a=T38FaxMaxDatagram:400"});
    sdp_call_t call = offering_call("8");
    EXPECT_EQ(media(call, "t38", answer).result, SDP_MEDIA_REFUSED);
    call = offering_call("8 991");
    EXPECT_EQ(media(call, nullptr, answer).result, SDP_MEDIA_REFUSED);  // we offered no image line
    Result r = media(call, "t38", answer);
    ASSERT_EQ(r.result, SDP_MEDIA_ACCEPTED);
    EXPECT_EQ(r.event->codec, "T38");
    EXPECT_EQ(r.event->tx_event_pt, 400);
    EXPECT_EQ(r.event->rx_event_pt, 0);
    EXPECT_EQ(r.event->tx_pt, 0xFF);
    EXPECT_EQ(r.event->rx_pt, 0xFF);
    EXPECT_EQ(r.event->tx_vbd_pt, 0xFF);
    EXPECT_EQ(r.event->remote_ptime, -1);
    EXPECT_EQ(r.event->remote_maxptime, 200);
    EXPECT_TRUE(call.is_t38);

    r = media(call, "t38", answer_text({"m=image 4000 UDPTL T38", "a=T38FaxFillBitRemoval", "a=T38FaxUdpEC:t38UDPRedundancy"}));
    ASSERT_EQ(r.result, SDP_MEDIA_ACCEPTED);
    EXPECT_EQ(r.event->tx_event_pt, 150);
    EXPECT_EQ(r.event->rx_event_pt, 3);
}
