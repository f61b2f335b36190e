// Tones, caller ID and the ANI digit train: the tone table and the messages
// built for the tone generator, the caller-ID generator and the tone engine.
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "channel_media_fixture.h"
#include "msp/function_codes.h"
#include "msp/channel_playback.h"
#include "msp/channel_tones.h"
#include "msp/msp_protocol.h"
#include "platform/paths.h"

namespace {

uint16_t w(const MspMessage& m, size_t offset) { return msp_get_u16(m.data(), offset); }

TEST(ToneTable, RowsGiveTheTonegenFields)
{
    struct Case {
        int id, direction;
        bool flag;
        uint16_t control, on, off, f1, l1, f2, l2;
    };
    const Case cases[] = {
        {0, 1, false, 0x0001, 80, 80, 941, 100, 1336, 100},
        {5, 0, false, 0x0000, 80, 80, 770, 100, 1336, 100},
        {10, 1, true, 0x0031, 80, 80, 941, 100, 1209, 100},
        {11, 2, true, 0x0030, 80, 80, 941, 100, 1477, 100},
        {12, 1, false, 0x0001, 80, 80, 697, 100, 1633, 100},
        {15, 1, false, 0x0001, 80, 80, 941, 100, 1633, 100},
        {16, 1, false, 0xFF01, 60000, 0, 425, 161, 0, 0},
        {17, 0, false, 0xFF00, 350, 350, 425, 161, 0, 0},
        {18, 1, true, 0xFF31, 1000, 3000, 425, 161, 0, 0},
        {19, 1, false, 0xFF01, 250, 250, 425, 161, 0, 0},
        {20, 1, false, 0xFF01, 1500, 8000, 425, 161, 0, 0},
        {21, 1, false, 0xFF01, 300, 10000, 425, 161, 0, 0},
        {24, 5, false, 0xFF00, 300, 300, 440, 212, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const msp_tone_t* t = msp_tone_find(c.id);
        ASSERT_NE(t, nullptr);
        uint16_t control = msp_tone_control(*t, c.direction, c.flag);
        EXPECT_EQ(control, c.control);
        MspMessage m = msp_tonegen_message(control, t->onMs, t->offMs, t->freq1, t->level1, t->freq2, t->level2);
        ASSERT_EQ(m.size(), 40);
        EXPECT_EQ(m.data()[0], 40);
        EXPECT_EQ(m.data()[2], MSP_CLASS_COMMAND);
        EXPECT_EQ(m.data()[3], MSP_TYPE_CHANNEL);
        EXPECT_EQ(msp_message_fc(m.data()), 0x8009);
        std::vector<uint16_t> got = {w(m, 8), w(m, 32), w(m, 34), w(m, 24), w(m, 26), w(m, 28), w(m, 30)};
        std::vector<uint16_t> want = {c.control, c.on, c.off, c.f1, c.l1, c.f2, c.l2};
        EXPECT_EQ(got, want);
        for (size_t o = 10; o < 24; ++o)
            EXPECT_EQ(m.data()[o], 0) << "byte " << o;
        for (size_t o = 36; o < 40; ++o)
            EXPECT_EQ(m.data()[o], 0) << "byte " << o;
    }
    for (int id : {-1, 22, 23, 25, 26, 255})
        EXPECT_EQ(msp_tone_find(id), nullptr) << id;
}

TEST(ToneTable, ToneOff)
{
    MspMessage m = msp_toneoff_message(1);
    EXPECT_EQ(m.size(), 12);
    EXPECT_EQ(m.data()[0], 12);
    EXPECT_EQ(msp_message_fc(m.data()), 0x8014);
    EXPECT_EQ(w(m, 8), 1);
}

TEST(CallerIdMessages, ParametersAreFixed)
{
    MspMessage m = msp_cndsetp_message();
    ASSERT_EQ(m.size(), 20);
    EXPECT_EQ(m.data()[0], 18);
    EXPECT_EQ(msp_message_fc(m.data()), 0x803A);
    std::vector<uint16_t> got = {w(m, 8), w(m, 10), w(m, 12), w(m, 14), w(m, 16), w(m, 18)};
    EXPECT_EQ(got, (std::vector<uint16_t>{0x0801, 0x00B6, 0x0100, 0x002C, 0xB400, 0}));
}

// The parameters of a CNDONGEN message as (type, value) pairs.
std::vector<std::pair<int, std::string>> cid_fields(const MspMessage& m)
{
    std::vector<std::pair<int, std::string>> out;
    size_t end = m.data()[0];
    for (size_t p = 10; p + 2 <= end && m.data()[p] != 0;) {
        size_t n = m.data()[p + 1];
        out.emplace_back(m.data()[p], std::string(reinterpret_cast<const char*>(m.data() + p + 2), n));
        p += 2 + n;
    }
    return out;
}

TEST(CallerIdMessages, NumberAndName)
{
    using F = std::vector<std::pair<int, std::string>>;
    struct Case {
        std::string name, number;
        F fields;
        int lengthByte;
    };
    const std::string n25 = "1234567890123456789012345";
    const std::string name25 = "ABCDEFGHIJKLMNOPQRSTUVWXY";
    const Case cases[] = {
        {"Alice", "101", {{2, "101"}, {7, "Alice"}}, 22},
        {"\"Bob Smith\"", "2000", {{2, "2000"}, {7, "Bob Smith"}}, 28},
        {"\"", "7", {{2, "7"}, {7, "\""}}, 16},
        {"\"\"", "7", {{2, "7"}}, 14},
        {"", "55", {{2, "55"}}, 14},
        {"\"Open", "1", {{2, "1"}, {7, "\"Open"}}, 20},
        {name25, n25, {{2, n25.substr(0, 20)}, {7, name25.substr(0, 20)}}, 54},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + "/" + c.number);
        MspMessage m = msp_cndongen_message(c.name, c.number);
        EXPECT_EQ(msp_message_fc(m.data()), 0x8039);
        EXPECT_EQ(w(m, 8), 0x8000);
        EXPECT_EQ(m.data()[0], c.lengthByte);
        EXPECT_EQ(m.data()[0] % 2, 0);
        EXPECT_EQ(m.size() % 4, 0);
        EXPECT_EQ(static_cast<size_t>(m.size()), msp_round4(c.lengthByte));
        EXPECT_EQ(cid_fields(m), c.fields);
    }
}

TEST(AniDigits, CodesInSendingOrder)
{
    using A = std::array<uint8_t, 8>;
    struct Case {
        std::string number, category;
        A codes;
    };
    const Case cases[] = {
        {"123", "3", A{12, 3, 2, 1, 12, 10, 12, 10}},
        {"123", "12", A{1, 3, 2, 1, 12, 10, 12, 10}},
        {"123", "", A{1, 3, 2, 1, 12, 10, 12, 10}},
        {"123", "x", A{1, 3, 2, 1, 12, 10, 12, 10}},
        {"5552345", "7", A{7, 5, 4, 3, 2, 5, 12, 5}},
        {"8495551234", "4", A{12, 4, 3, 2, 1, 5, 12, 5}},   // last seven digits
        {"12a4567", "0", A{10, 7, 6, 5, 4, 10, 2, 1}},      // any other character is 10
        {"", "9", A{9, 10, 12, 10, 12, 10, 12, 10}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number + "/" + c.category);
        EXPECT_EQ(aon_tone_codes(c.number, c.category), c.codes);
    }
}

TEST(AniDigits, CadenceAndToneEngine)
{
    std::array<uint8_t, 8> codes{12, 3, 2, 1, 12, 10, 12, 10};
    MspMessage c = aon_cadence_message(codes);
    ASSERT_EQ(c.size(), 68);
    EXPECT_EQ(c.data()[0], 66);
    EXPECT_EQ(msp_message_fc(c.data()), 0x806F);
    EXPECT_EQ(w(c, 8), 0x1003);
    std::vector<uint16_t> triplets;
    for (size_t at = 10; at < 64; at += 2)
        triplets.push_back(w(c, at));
    std::vector<uint16_t> want = {11, 40, 0};
    for (uint8_t code : codes)
        want.insert(want.end(), {code, 40, 0});
    EXPECT_EQ(triplets, want);
    EXPECT_EQ(w(c, 64), 0x2000);

    MspMessage t = aon_tone_engine_message();
    ASSERT_EQ(t.size(), 228);
    EXPECT_EQ(t.data()[0], 226);
    EXPECT_EQ(msp_message_fc(t.data()), 0x806E);
    EXPECT_EQ(w(t, 8), 12);
    const uint16_t pairs[12][2] = {{700, 900},   {700, 1100},  {900, 1100},  {700, 1300},
                                   {900, 1300},  {1100, 1300}, {700, 1500},  {900, 1500},
                                   {1100, 1500}, {1300, 1500}, {1100, 1700}, {1300, 1700}};
    for (size_t i = 0; i < 12; ++i) {
        size_t at = 10 + 18 * i;
        EXPECT_EQ(w(t, at), pairs[i][0]) << i;
        EXPECT_EQ(w(t, at + 2), 135) << i;
        EXPECT_EQ(w(t, at + 4), pairs[i][1]) << i;
        EXPECT_EQ(w(t, at + 6), 135) << i;
        for (size_t o = at + 8; o < at + 18; ++o)
            EXPECT_EQ(t.data()[o], 0) << i;
    }
}

TEST(PlayBlock, OffsetHalvesAndData)
{
    uint8_t data[160];
    for (size_t i = 0; i < sizeof data; ++i)
        data[i] = static_cast<uint8_t>(i * 3);
    struct Case {
        uint32_t offset;
        size_t n;
    };
    for (Case c : {Case{0, 160}, Case{400, 80}, Case{0x12345678, 1}, Case{0xFFFFFF60, 160}}) {
        MspMessage m = msp_play_block_message(c.offset, data, c.n);
        EXPECT_EQ(msp_message_fc(m.data()), 0x9403);
        EXPECT_EQ(m.data()[0], c.n + 20);
        EXPECT_EQ(static_cast<size_t>(m.size()), msp_round4(c.n + 20));
        EXPECT_EQ(w(m, 12), c.offset & 0xFFFF);
        EXPECT_EQ(w(m, 14), c.offset >> 16);
        EXPECT_EQ(w(m, 16), 1);
        EXPECT_EQ(w(m, 18), c.n);
        EXPECT_EQ(std::vector<uint8_t>(m.data() + 20, m.data() + 20 + c.n), std::vector<uint8_t>(data, data + c.n));
    }
}

class ChannelTones : public testing::Test, public ChannelMediaFixture {
protected:
    void SetUp() override
    {
        channel = std::make_unique<MediaTestChannel>(9);
        channel->plant(2);
    }
    std::vector<uint16_t> fcs() const { return fcs_of(channel->channelId); }

    std::unique_ptr<MediaTestChannel> channel;
};

TEST_F(ChannelTones, RingbackOncePerConnectionOtherTonesAlways)
{
    EXPECT_EQ(channel->startTone(1, MspToneId(18), false), 0);
    EXPECT_EQ(channel->startTone(1, MspToneId(18), false), 0);
    EXPECT_TRUE(channel->tonePlaying);
    EXPECT_EQ(channel->startTone(0, MspToneId(17), true), 0);   // other tones leave the mark alone
    EXPECT_TRUE(channel->tonePlaying);
    EXPECT_EQ(channel->stopTone(0), 0);
    EXPECT_FALSE(channel->tonePlaying);
    EXPECT_EQ(channel->startTone(1, MspToneId(18), false), 0);
    EXPECT_EQ(fcs(), (std::vector<uint16_t>{FC_TONEGEN, FC_TONEGEN, FC_TONEOFF, FC_TONEGEN}));

    auto log = commands_of(channel->channelId);
    EXPECT_EQ(word(log[0], 8), 0xFF01);
    EXPECT_EQ(word(log[1], 8), 0xFF30);
    EXPECT_EQ(word(log[1], 32), 350);
    EXPECT_EQ(word(log[2], 8), 0);
    MspSimChannel state;
    ASSERT_TRUE(sim->channel(static_cast<uint16_t>(channel->channelId), state));
    EXPECT_TRUE(state.tone_playing);
    EXPECT_EQ(state.tone.on_ms, 1000);
    EXPECT_EQ(state.tone.off_ms, 3000);
}

TEST_F(ChannelTones, FailuresAreLoggedAndReturned)
{
    EXPECT_EQ(channel->startTone(1, MspToneId(22), false), -1);
    EXPECT_TRUE(logs.contains("ts 9: startTone(): unknown toneId 22"));
    EXPECT_TRUE(fcs().empty());

    sim->add_fault({MspSimFault::Status, FC_TONEGEN, -1, 0x0050, 0, 0, -1, 1});
    EXPECT_EQ(channel->startTone(1, MspToneId(16), false), -0x50);
    EXPECT_TRUE(logs.contains("ts 9: send_TONEGEN() failed (result=-80)"));
    sim->add_fault({MspSimFault::Status, FC_TONEOFF, -1, 0x0050, 0, 0, -1, 1});
    EXPECT_EQ(channel->stopTone(1), -0x50);
    EXPECT_TRUE(logs.contains("ts 9: stopTone() failed (result=-80)"));

    MediaTestChannel idle(10);
    EXPECT_EQ(idle.startTone(1, MspToneId(3), false), -1);
    EXPECT_TRUE(logs.contains("ts 10: PassThru(): invalid channelId (-1)"));
}

TEST_F(ChannelTones, ToneStopsAPlaybackFirst)
{
    platform_set_root(MSP_TEST_DATA);
    ASSERT_EQ(channel->playFile("/usr/share/linegw/sounds/count400.raw", 2, true), 0);
    ASSERT_TRUE(pump([&] { return sim->count(0x9403) > 2; }));
    EXPECT_EQ(channel->startTone(1, MspToneId(5), false), 0);
    platform_set_root("");
    EXPECT_FALSE(channel->playing);
    pump_for(50);
    // Every block went before the stop, the tone comes last.
    auto got = fcs();
    auto stop = std::find(got.begin(), got.end(), FC_SET_AS_STOP);
    ASSERT_NE(stop, got.end());
    EXPECT_EQ(std::find(stop, got.end(), 0x9403), got.end());
    EXPECT_EQ(got.back(), FC_TONEGEN);
}

TEST_F(ChannelTones, CallerIdGoesOutAsSetupStopAndMessage)
{
    EXPECT_EQ(channel->sendCallerId("\"Alice\"", "101"), 0);
    EXPECT_TRUE(channel->callerIdPending);
    EXPECT_EQ(fcs(), (std::vector<uint16_t>{FC_CNDSETP, FC_CNDSTOP, FC_CNDONGEN}));
    MspSimChannel state;
    ASSERT_TRUE(sim->channel(static_cast<uint16_t>(channel->channelId), state));
    EXPECT_EQ(state.cid_number, "101");
    EXPECT_EQ(state.cid_name, "Alice");
    // The processor reports the message sent; the channel's handling clears the mark.
    ASSERT_TRUE(pump([&] {
        for (auto& e : drain())
            if (e->code == EV_CALLER_ID_SENT && e->channel == 9)
                return true;
        return false;
    }));

    // Nothing at all without a number.
    channel->callerIdPending = false;
    sim->clear_commands();
    EXPECT_EQ(channel->sendCallerId("Bob", ""), 0);
    EXPECT_TRUE(fcs().empty());
    EXPECT_FALSE(channel->callerIdPending);

    // A refused set-up sends no message and leaves nothing pending.
    sim->add_fault({MspSimFault::Status, FC_CNDSETP, -1, 0x0050, 0, 0, -1, 1});
    EXPECT_EQ(channel->sendCallerId("Bob", "202"), -0x50);
    EXPECT_TRUE(logs.contains("ts 9: CND_SET_PARAMS failed (result=-80)"));
    EXPECT_EQ(fcs(), (std::vector<uint16_t>{FC_CNDSETP}));
    EXPECT_FALSE(channel->callerIdPending);

    sim->add_fault({MspSimFault::Status, FC_CNDONGEN, -1, 0x0050, 0, 0, -1, 1});
    EXPECT_EQ(channel->sendCallerId("Bob", "202"), -0x50);
    EXPECT_TRUE(logs.contains("ts 9: CND_ONHOOK_GEN failed (result=-80)"));
}

TEST_F(ChannelTones, StopCallerIdLeavesThePendingMark)
{
    channel->callerIdPending = true;
    EXPECT_EQ(channel->stopCallerId(), 0);
    EXPECT_TRUE(channel->callerIdPending);
    EXPECT_EQ(fcs(), (std::vector<uint16_t>{FC_CNDSTOP}));
}

TEST_F(ChannelTones, AniProgramsTheToneEngineOnItsOwnConnection)
{
    TestChannel trunk(12);
    EXPECT_EQ(trunk.sendAON("123", "3"), 0);
    EXPECT_EQ(trunk.connectionType, MSP_CONN_TONE_ENGINE);
    MspSimChannel state;
    ASSERT_TRUE(sim->channel(static_cast<uint16_t>(trunk.channelId), state));
    EXPECT_EQ(state.type, MSP_CONN_TONE_ENGINE);
    auto got = fcs_of(trunk.channelId);
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(std::vector<uint16_t>(got.end() - 2, got.end()),
              (std::vector<uint16_t>{FC_PROGRAM_CADENCE_ENGINE, FC_PROGRAM_TONE_ENGINE}));
    auto log = commands_of(trunk.channelId);
    const auto& cadence = log[log.size() - 2];
    std::vector<uint16_t> codes;
    for (size_t at = 10; at < 64; at += 6)
        codes.push_back(word(cadence, at));
    EXPECT_EQ(codes, (std::vector<uint16_t>{11, 12, 3, 2, 1, 12, 10, 12, 10}));

    // The cadence's result is not looked at; the tone engine's is returned.
    sim->add_fault({MspSimFault::Status, FC_PROGRAM_CADENCE_ENGINE, -1, 0x0050, 0, 0, -1, 1});
    sim->add_fault({MspSimFault::Status, FC_PROGRAM_TONE_ENGINE, -1, 0x0051, 0, 0, -1, 1});
    EXPECT_EQ(trunk.sendAON("5", "1"), -0x51);
    EXPECT_TRUE(logs.contains("ts 12: FC_VOIP_PROGRAM_TONE_ENGINE failed (result=-81)"));

    // Without its connection nothing is programmed.
    TestChannel failing(13);
    sim->clear_commands();
    sim->add_fault({MspSimFault::Status, 0x0010, -1, 0x0050, 0, 0, -1, 1});
    EXPECT_EQ(failing.sendAON("5", "1"), -1);
    EXPECT_TRUE(logs.contains("ts 13: createConnection() failed (result=-1)"));
    EXPECT_EQ(sim->count(FC_PROGRAM_CADENCE_ENGINE) + sim->count(FC_PROGRAM_TONE_ENGINE), 0u);
}

}  // namespace
