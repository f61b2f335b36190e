// The media-parameter rules on their own: packet time, payload-map matching,
// voice-option words, AMR mode steps and the NTP timestamp.
#include <gtest/gtest.h>

#include "msp/media_params.h"

TEST(MediaParams, PacketTime)
{
    struct Case {
        const char* what;
        int ptime, maxptime, step, max;
        uint32_t flags;
        int want, wantMaxptime;
    } cases[] = {
        {"PCMU, default by flags index 3", -1, 200, 5, 60, 0x60, 30, 200},
        {"G729, maxptime 25 cut to 20", -1, 25, 10, 60, 0x60, 20, 20},
        {"G723 below its frame", 20, 200, 30, 90, 0, 30, 180},
        {"iLBC 60", 60, 200, 30, 240, 0, 60, 180},
        {"PCMU 45 rounded to 40", 45, 200, 5, 60, 0, 40, 200},
        {"above the codec's maximum", 120, 200, 5, 60, 0, 60, 200},
        {"default 20 without flags", -1, 200, 20, 20, 0, 20, 200},
        {"5 ms stays 5", 5, 200, 5, 60, 0x20, 5, 200},
        {"index 7: 90 capped by PCMU's 60", -1, 200, 5, 60, 0xE0, 60, 200},
        {"remote maximum below one frame", -1, 10, 20, 80, 0, 20, 0},
    };
    for (const auto& c : cases) {
        int maxptime = c.maxptime;
        EXPECT_EQ(rtp_packet_time(c.ptime, &maxptime, c.step, c.max, c.flags), c.want) << c.what;
        EXPECT_EQ(maxptime, c.wantMaxptime) << c.what;
    }
}

TEST(MediaParams, PayloadPairMatches)
{
    uint8_t tx[PAYLOAD_MAP_SIZE], rx[PAYLOAD_MAP_SIZE];
    for (int i = 0; i < PAYLOAD_MAP_SIZE; i++)
        tx[i] = rx[i] = PAYLOAD_NONE;
    tx[5] = 8;
    tx[2] = 101;
    rx[2] = 96;
    EXPECT_TRUE(payload_pair_matches(tx, rx, 5, 8, 8));     // receive override unset: rx = tx
    EXPECT_FALSE(payload_pair_matches(tx, rx, 5, 8, 9));
    EXPECT_FALSE(payload_pair_matches(tx, rx, 5, 0, 8));
    EXPECT_TRUE(payload_pair_matches(tx, rx, 2, 101, 96));  // override set
    EXPECT_FALSE(payload_pair_matches(tx, rx, 2, 101, 101));
    EXPECT_FALSE(payload_pair_matches(tx, rx, 56, 8, 8));
    EXPECT_FALSE(payload_pair_matches(tx, rx, -1, 8, 8));
}

TEST(MediaParams, VoiceOptionWords)
{
    struct Case {
        const char* what;
        voice_options_input_t in;
        uint16_t w0, w1, w4;
    };
    auto in = [](auto f) {
        voice_options_input_t v;
        f(v);
        return v;
    };
    Case cases[] = {
        {"stopped", in([](auto&) {}), 0x1428, 0xBC00, 0x4801},
        {"running 30 ms", in([](auto& v) { v.streamRunning = true; v.remotePtime = 30; }), 0x1E20, 0x3C00, 0x4801},
        {"running above 240 ms", in([](auto& v) { v.streamRunning = true; v.remotePtime = 300; }), 0x1420, 0x3C00,
         0x4801},
        {"flag bits", in([](auto& v) {
             v.streamRunning = true;
             v.remotePtime = 20;
             v.channelFlags = 0x110;
             v.vad = true;
             v.pcmCode = 1;
             v.redundancy = 2;
         }),
         0x1473, 0x3C20, 0x4801},
        {"stopped keeps the flag bits", in([](auto& v) { v.channelFlags = 0x10; }), 0x1438, 0xBC00, 0x4801},
        {"T.38 without 0xC000", in([](auto& v) { v.connectionType = 7; v.t38Options = 0xA0300; }), 0x1428, 0xBC00, 0},
        {"T.38 with 0x4000", in([](auto& v) { v.connectionType = 7; v.t38Options = 0x4000; }), 0x1428, 0xBC00,
         0x4801},
        {"AMR CRC", in([](auto& v) { v.amrFlags = 0x8FF; }), 0x1428, 0xBC00, 0x4805},
        {"T.38 AMR CRC", in([](auto& v) { v.connectionType = 7; v.amrFlags = 0x800; }), 0x1428, 0xBC00, 0x0004},
    };
    for (const auto& c : cases) {
        uint16_t w[5];
        voice_option_words(c.in, w);
        EXPECT_EQ(w[0], c.w0) << c.what;
        EXPECT_EQ(w[1], c.w1) << c.what;
        EXPECT_EQ(w[2], 0) << c.what;
        EXPECT_EQ(w[3], 0x0505) << c.what;
        EXPECT_EQ(w[4], c.w4) << c.what;
    }
}

TEST(MediaParams, AmrModeFollowsLoss)
{
    EXPECT_EQ(rtcp_loss_percent(0), 0);
    EXPECT_EQ(rtcp_loss_percent(128), 50);
    EXPECT_EQ(rtcp_loss_percent(52), 20);
    EXPECT_EQ(rtcp_loss_percent(-1), 99);      // only the low byte counts
    EXPECT_EQ(rtcp_loss_percent(0x1234500), 0);

    // 0 %, 50 %, 20 %: 7 stays at the top, falls to 0, stays at the bottom
    int mode = 7;
    mode = amr_mode_after_loss(mode, 0);
    EXPECT_EQ(mode, 7);
    mode = amr_mode_after_loss(mode, 50);
    EXPECT_EQ(mode, 0);
    mode = amr_mode_after_loss(mode, 20);
    EXPECT_EQ(mode, 0);

    struct Case {
        int mode, loss, want;
    } cases[] = {{3, 36, 0}, {3, 35, 2}, {3, 11, 2}, {3, 10, 3}, {3, 3, 3}, {3, 2, 4}, {6, 0, 7}, {0, 36, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(amr_mode_after_loss(c.mode, c.loss), c.want) << c.mode << " " << c.loss;
}

TEST(MediaParams, NtpTimestamp)
{
    uint32_t s, f;
    ntp_timestamp(timeval{0, 500000}, &s, &f);
    EXPECT_EQ(s, 2208988800u);
    EXPECT_EQ(f, 0x80000000u);
    ntp_timestamp(timeval{1700000000, 0}, &s, &f);
    EXPECT_EQ(s, static_cast<uint32_t>(1700000000ULL + 2208988800ULL));
    EXPECT_EQ(f, 0u);
}
