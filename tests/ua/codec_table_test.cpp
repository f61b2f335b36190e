#include <gtest/gtest.h>

#include <osipparser2/osip_port.h>

#include "sdp_text.h"
#include "ua/codec_list.h"
#include "ua/codec_table.h"
#include "ua/sdp_payload.h"

TEST(CodecTable, RowsAndSuites)
{
    int rows = 0;
    for (const CodecInfo* r = codec_table; r->name; r++, rows++)
        EXPECT_EQ(std::string(r->rtpmap), std::string(r->name) + "/8000") << r->name;
    EXPECT_EQ(rows, 22);  // every listed row, the voice-band-data PCMA (98) included
    EXPECT_EQ(codec_table[rows].pt, -1);
    EXPECT_EQ(srtp_suite_find("AES_CM_128_HMAC_SHA1_80")->tag_length, 10);
    EXPECT_EQ(srtp_suite_find("AES_CM_128_HMAC_SHA1_32")->tag_length, 4);
    EXPECT_EQ(srtp_suite_find("aes_cm_128_hmac_sha1_80"), &srtp_suites[0]);
    EXPECT_EQ(srtp_suite_find("F8_128_HMAC_SHA1_80"), nullptr);
}

TEST(CodecList, Parse)
{
    struct {
        const char* text;
        std::vector<int> numbers;
    } cases[] = {
        {"8 0 4 9 18 100 96 99 97 101 13 98", {8, 0, 4, 9, 18, 100, 96, 99, 97, 101, 13, 98}},
        {"8  0", {8}},  // two separators end the list
        {"8,0;18", {8, 0, 18}},
        {"", {}},
        {" 8", {}},
        {"8 0 ", {8, 0}},
        {"99999999999999999999 8", {2147483647, 8}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(codec_list_parse(c.text), c.numbers) << c.text;
}

TEST(CodecList, PseudoCodes)
{
    auto o = codec_list_options(codec_list_parse("8 13 266 770 991 993 992"));
    EXPECT_TRUE(o.cn);
    EXPECT_TRUE(o.t38);
    EXPECT_EQ(o.ptime, 50);
    EXPECT_EQ(o.interleave, 2);
    EXPECT_TRUE(o.srtp);
    EXPECT_FALSE(o.srtp_required);  // the later SRTP code wins
    o = codec_list_options(codec_list_parse("992 993 776"));
    EXPECT_TRUE(o.srtp_required);
    EXPECT_EQ(o.interleave, -1);  // 776 is beyond the interleave codes
    EXPECT_FALSE(o.cn);
}

TEST(CodecName, FromRtpmap)
{
    auto sdp = sdp_of({"v=0", "o=- 0 0 IN IP4 192.0.2.1", "s=-", "c=IN IP4 192.0.2.1", "t=0 0",
                       "m=audio 4000 RTP/AVP 9 18 0 96 101 10 3 5", "a=rtpmap:96 G.726-32/8000",
                       "a=rtpmap:9 G722/16000", "a=rtpmap:18 G.729a/8000", "a=rtpmap:0 PCMU/8000/1",
                       "a=rtpmap:101 telephone-event/8000", "a=rtpmap:3 GSM", "a=RTPMAP:5 g729/8000/2"});
    ASSERT_TRUE(sdp);
    struct {
        int pt;
        const char* name;
    } cases[] = {
        {9, "unsupported"}, {18, "G729"},  {0, "PCMU"}, {96, "G726-32"}, {101, "telephone-event"},
        {10, ""},  // "101 ..." is no rtpmap of payload 10
        {3, "unsupported"}, {5, "unsupported"}, {8, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sdp_get_codec_name(sdp.get(), 0, c.pt), c.name) << c.pt;
}

TEST(Fmtp, ParseAndGpmd)
{
    auto sdp = sdp_of({"v=0", "o=- 0 0 IN IP4 192.0.2.1", "s=-", "c=IN IP4 192.0.2.1", "t=0 0",
                       "m=audio 4000 RTP/AVP 104 98 8 9", "a=fmtp:104 Mode-Set=0,2, 7 ; OCTET-align=1;crc;crc=1",
                       "a=fmtp:104 mode-set=5", "a=gpmd:98 vbd=yes", "a=gpmd:8 vbd", "a=gpmd:9 xyz=yes"});
    ASSERT_TRUE(sdp);
    fmtp_map_t amr = sdp_parse_fmtp(sdp.get(), 0, 104);
    EXPECT_EQ(amr, (fmtp_map_t{{"mode-set", "0,2, 7"}, {"octet-align", "1"}, {"crc", "1"}}));
    EXPECT_TRUE(sdp_parse_fmtp(sdp.get(), 0, 8).empty());
    EXPECT_EQ(sdp_get_gpmd(sdp.get(), 0, 98), "yes");
    EXPECT_EQ(sdp_get_gpmd(sdp.get(), 0, 8), "");  // no "=": no match
    EXPECT_EQ(sdp_get_gpmd(sdp.get(), 0, 9), "");
}

TEST(AddPayload, FmtpComposition)
{
    auto sdp = sdp_of({"v=0", "o=- 0 0 IN IP4 192.0.2.1", "s=-", "t=0 0", "m=audio 4000 RTP/AVP"});
    ASSERT_TRUE(sdp);
    auto row = [](int pt) {
        for (const CodecInfo* r = codec_table; r->name; r++)
            if (r->pt == pt)
                return *r;
        return codec_table[0];
    };
    fmtp_map_t interleave{{"maxinterleave", "7"}};
    fmtp_map_t amr{{"octet-align", "1"}, {"mode-set", "0,2"}, {"robust-sorting", ""}};
    ASSERT_EQ(sdp_add_payload(sdp.get(), 0, row(107), true, -1, &interleave), 0);
    ASSERT_EQ(sdp_add_payload(sdp.get(), 0, row(4), true, -1, nullptr), 0);
    ASSERT_EQ(sdp_add_payload(sdp.get(), 0, row(104), false, 96, &amr), 0);
    ASSERT_EQ(sdp_add_payload(sdp.get(), 0, row(98), true, -1, nullptr), 0);
    ASSERT_EQ(sdp_add_payload(sdp.get(), 0, row(18), false, -1, nullptr), 0);
    char* text = nullptr;
    ASSERT_EQ(sdp_message_to_str(sdp.get(), &text), 0);
    std::string s = text;
    osip_free(text);
    EXPECT_NE(s.find("m=audio 4000 RTP/AVP 107 4 96 98 18\r\n"), std::string::npos) << s;
    EXPECT_NE(s.find("a=rtpmap:107 EVRC/8000\r\na=fmtp:107 silencesupp=0; maxinterleave=7\r\n"), std::string::npos);
    EXPECT_NE(s.find("a=rtpmap:4 G723/8000\r\na=fmtp:4 annexa=no\r\n"), std::string::npos);
    EXPECT_NE(s.find("a=rtpmap:96 AMR/8000\r\na=fmtp:96 mode-change-capability=2; mode-set=0,2; octet-align=1; "
                     "robust-sorting\r\n"),
              std::string::npos);
    EXPECT_NE(s.find("a=rtpmap:98 PCMA/8000\r\na=gpmd:98 vbd=yes\r\n"), std::string::npos);
    EXPECT_NE(s.find("a=rtpmap:18 G729/8000\r\n"), std::string::npos);
    EXPECT_EQ(s.find("a=fmtp:18"), std::string::npos);
}
