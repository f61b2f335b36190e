// Sound-file playback against the simulated media processor with its paced
// answers: blocks, offsets, loops, lists, the drain and EV_PLAY_FINISHED,
// errors, the connection a playback needs, and a channel deleted mid-play.
#include <gtest/gtest.h>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "channel_media_fixture.h"
#include "msp/function_codes.h"
#include "platform/paths.h"

namespace {

const char* const COUNT400 = "/usr/share/linegw/sounds/count400.raw";
const char* const SHORT200 = "/usr/share/linegw/sounds/short200.raw";
const char* const EMPTY = "/usr/share/linegw/sounds/empty.raw";

std::vector<uint8_t> file_bytes(const char* path)
{
    std::ifstream in(platform_path(path), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct Block {
    uint32_t offset;
    std::vector<uint8_t> data;
    bool operator==(const Block&) const = default;
};

int open_descriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

class Playback : public testing::Test, public ChannelMediaFixture {
protected:
    void SetUp() override
    {
        platform_set_root(MSP_TEST_DATA);
        channel = std::make_unique<MediaTestChannel>(4);
        channel->plant(2);
    }
    void TearDown() override
    {
        channel.reset();
        platform_set_root("");
    }

    std::vector<Block> blocks(int channelId = -1) const
    {
        std::vector<Block> out;
        for (auto& c : commands_of(channelId < 0 ? channel->channelId : channelId))
            if (c.fc == FC_SYNCEOF) {
                size_t n = word(c, 18);
                EXPECT_EQ(c.bytes[0], n + 20);
                EXPECT_EQ(word(c, 16), 1);
                out.push_back({word(c, 12) | static_cast<uint32_t>(word(c, 14)) << 16,
                               std::vector<uint8_t>(c.bytes.begin() + 20, c.bytes.begin() + 20 + n)});
            }
        return out;
    }
    size_t count(uint16_t fc) const
    {
        size_t n = 0;
        for (auto f : fcs_of(channel->channelId))
            n += f == fc;
        return n;
    }
    // Serves the socket until the channel's EV_PLAY_FINISHED comes, then
    // handles it as the channel would.
    bool finish()
    {
        bool finished = false;
        pump([&] {
            for (auto& e : drain())
                finished |= e->code == EV_PLAY_FINISHED && e->channel == channel->timeslot;
            return finished;
        }, 5000);
        if (finished)
            channel->stopPlaybackIfActive();
        return finished;
    }

    std::unique_ptr<MediaTestChannel> channel;
};

TEST_F(Playback, FileGoesOutInBlocksThenDrainsAndStops)
{
    auto file = file_bytes(COUNT400);
    ASSERT_EQ(file.size(), 400u);
    ASSERT_EQ(channel->playFile(COUNT400, 1, false), 0);
    EXPECT_TRUE(channel->playing);
    ASSERT_TRUE(finish());

    std::vector<Block> want = {{0, {file.begin(), file.begin() + 160}},
                               {160, {file.begin() + 160, file.begin() + 320}},
                               {320, {file.begin() + 320, file.end()}}};
    EXPECT_EQ(blocks(), want);
    // Hold music (mode 1) asks first whether the connection carries SRTP.
    std::vector<uint16_t> order = {FC_SRTP_OPT, FC_SET_CHANNEL_MODE, FC_SYNCEOF,     FC_SYNCEOF,
                                   FC_SYNCEOF,  FC_SET_AS_DRAIN,     FC_SET_AS_STOP, FC_SET_CHANNEL_MODE};
    EXPECT_EQ(fcs_of(channel->channelId), order);
    auto log = commands_of(channel->channelId);
    EXPECT_EQ(log[0].cls, MSP_CLASS_QUERY);
    EXPECT_EQ(word(log[1], 8), 0x0502);   // play mode, sub-mode 1
    EXPECT_EQ(word(log[1], 10), 0x0510);
    EXPECT_EQ(word(log.back(), 8), 0x0500);    // back to normal
    EXPECT_EQ(word(log.back(), 10), 0x0500);
    EXPECT_FALSE(channel->playing);
    EXPECT_EQ(channel->playFd, -1);
    EXPECT_FALSE(channel->playRecordMode);

    // The offset is never reset: the next playback goes on from 400.
    sim->clear_commands();
    ASSERT_EQ(channel->playFile(SHORT200, 1, false), 0);
    ASSERT_TRUE(finish());
    auto next = blocks();
    ASSERT_EQ(next.size(), 2u);
    EXPECT_EQ(next[0].offset, 400u);
    EXPECT_EQ(next[1].offset, 560u);
    EXPECT_EQ(next[1].data.size(), 40u);
}

TEST_F(Playback, LoopStartsAgainAtTheRunningOffsetUntilStopped)
{
    auto file = file_bytes(COUNT400);
    ASSERT_EQ(channel->playFile(COUNT400, 1, true), 0);
    ASSERT_TRUE(pump([&] { return blocks().size() >= 6; }, 5000));
    auto got = blocks();
    EXPECT_EQ(got[3], (Block{400, {file.begin(), file.begin() + 160}}));
    EXPECT_EQ(got[5].offset, 720u);
    EXPECT_EQ(got[5].data.size(), 80u);

    channel->stopPlayback();
    size_t sent = blocks().size();
    pump_for(150);
    // At most the block that was in flight when it stopped; no drain on a stop.
    EXPECT_EQ(blocks().size(), sent);
    EXPECT_EQ(count(FC_SET_AS_DRAIN), 0u);
    EXPECT_EQ(count(FC_SET_AS_STOP), 1u);
}

TEST_F(Playback, LoopFollowsThePacedAnswersWithoutSpinning)
{
    ASSERT_EQ(channel->playFile(COUNT400, 1, true), 0);
    auto start = std::chrono::steady_clock::now();
    pump_for(600);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    channel->stopPlayback();
    // 8 bytes are 1 ms of sound; the processor buffers a few blocks ahead.
    size_t bytes = 0;
    for (auto& b : blocks())
        bytes += b.data.size();
    EXPECT_GE(bytes, 800u);
    EXPECT_LE(bytes, static_cast<size_t>((ms + 100) * 8));
}

TEST_F(Playback, ListPlaysFilesInTurnWithOneRunningOffset)
{
    auto first = file_bytes(COUNT400), second = file_bytes(SHORT200);
    const char* const list[] = {COUNT400, SHORT200, nullptr};
    ASSERT_EQ(channel->playFileList(list, 1, false), 0);
    ASSERT_TRUE(finish());
    std::vector<Block> want = {{0, {first.begin(), first.begin() + 160}},
                               {160, {first.begin() + 160, first.begin() + 320}},
                               {320, {first.begin() + 320, first.end()}},
                               {400, {second.begin(), second.begin() + 160}},
                               {560, {second.begin() + 160, second.end()}}};
    EXPECT_EQ(blocks(), want);
    EXPECT_EQ(count(FC_SET_AS_DRAIN), 1u);
}

TEST_F(Playback, EndsWithTheDrainAfterFileProblems)
{
    struct Case {
        std::vector<const char*> list;
        bool loop;
        size_t blocks;
        const char* message;
    };
    const Case cases[] = {
        {{COUNT400, EMPTY}, false, 3, "ts 4: cannot read sound file: zero length file?"},
        {{EMPTY}, true, 0, "ts 4: cannot read sound file: zero length file?"},
        {{COUNT400, "/usr/share/linegw/sounds/missing.raw"}, false, 3,
         "ts 4: cannot open /usr/share/linegw/sounds/missing.raw: No such file or directory"},
        {{EMPTY}, false, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list.back());
        sim->clear_commands();
        logs.clear();
        auto list = c.list;
        list.push_back(nullptr);
        ASSERT_EQ(channel->playFileList(list.data(), 1, c.loop), 0);
        ASSERT_TRUE(finish());
        EXPECT_EQ(blocks().size(), c.blocks);
        EXPECT_EQ(count(FC_SET_AS_DRAIN), 1u);
        if (c.message) {
            EXPECT_TRUE(logs.contains(c.message));
        }
        EXPECT_EQ(channel->playFd, -1);
    }
}

TEST_F(Playback, RefusedStartsSendNothing)
{
    const char* const emptyFirst[] = {"", COUNT400, nullptr};
    EXPECT_EQ(channel->playFileList(nullptr, 1, false), -1);
    EXPECT_EQ(channel->playFileList(emptyFirst, 1, false), -1);
    EXPECT_EQ(channel->playFile("/usr/share/linegw/sounds/missing.raw", 1, false), -1);
    EXPECT_TRUE(logs.contains("ts 4: cannot open /usr/share/linegw/sounds/missing.raw: No such file or directory"));
    EXPECT_TRUE(commands_of(channel->channelId).empty());

    // A refused play mode is returned and leaves no file open.
    int fds = open_descriptors();
    sim->add_fault({MspSimFault::Status, FC_SET_CHANNEL_MODE, -1, 0x0050, 0, 0, -1, 1});
    EXPECT_EQ(channel->playFile(COUNT400, 1, false), -0x50);
    EXPECT_FALSE(channel->playing);
    EXPECT_EQ(open_descriptors(), fds);
    EXPECT_EQ(blocks().size(), 0u);
}

TEST_F(Playback, RefusedOrBrokenAnswerStopsThePlayback)
{
    struct Case {
        MspSimFault fault;
        const char* logged;   // null: nothing about the answer
    };
    const Case cases[] = {
        // The processor's quiet way of saying the play buffer is gone.
        {{MspSimFault::Status, FC_SYNCEOF, -1, 0x0171, 0, 0, -1, 1}, nullptr},
        {{MspSimFault::Status, FC_SYNCEOF, -1, 0x0050, 0, 0, -1, 1}, "ts 4: playFileCallback(): error 0x0050"},
        // No status word at all: nothing stale is read in its place.
        {{MspSimFault::Truncate, FC_SYNCEOF, -1, 0, 0, 8, -1, 1}, "ts 4: playFileCallback(): invalid response"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged ? c.logged : "quiet");
        sim->clear_commands();
        sim->clear_faults();
        logs.clear();
        sim->add_fault(c.fault);
        ASSERT_EQ(channel->playFile(COUNT400, 1, true), 0);
        ASSERT_TRUE(pump([&] { return !channel->playing; }));
        pump_for(60);
        EXPECT_EQ(blocks().size(), 1u);
        EXPECT_EQ(count(FC_SET_AS_STOP), 1u);
        EXPECT_EQ(count(FC_SET_AS_DRAIN), 0u);
        EXPECT_EQ(logs.count("playFileCallback()"), c.logged ? 1u : 0u);
        if (c.logged) {
            EXPECT_TRUE(logs.contains(c.logged));
        }
    }
}

TEST_F(Playback, AnswerOfAStoppedPlaybackDoesNotDoubleTheNewOne)
{
    // The first playback's block is answered late, after a second playback
    // started; the second one's block is never answered.
    sim->add_fault({MspSimFault::Delay, FC_SYNCEOF, -1, 0, 100, 0, -1, 1});
    sim->add_fault({MspSimFault::Drop, FC_SYNCEOF, -1, 0, 0, 0, -1, -1});
    ASSERT_EQ(channel->playFile(COUNT400, 1, true), 0);
    ASSERT_EQ(channel->playFile(SHORT200, 1, true), 0);
    pump_for(250);
    // The late answer must not start a second block pump.
    auto got = blocks();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].offset, 160u);
    auto second = file_bytes(SHORT200);
    EXPECT_EQ(got[1].data, std::vector<uint8_t>(second.begin(), second.begin() + 160));
}

TEST_F(Playback, OffsetWrapsAsItsTwoHalves)
{
    channel->playOffset = 0xFFFFFF60u;
    ASSERT_EQ(channel->playFile(COUNT400, 1, false), 0);
    ASSERT_TRUE(finish());
    auto got = blocks();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].offset, 0xFFFFFF60u);
    EXPECT_EQ(got[1].offset, 0u);
    EXPECT_EQ(got[2].offset, 160u);
    EXPECT_EQ(channel->playOffset, 400u - 0xA0u);
}

TEST_F(Playback, ConnectionIsMadeFitForPlaying)
{
    struct Case {
        const char* what;
        int timeslot;
        int planted;        // connection type, 0: none
        bool srtp;
        int mode;
        bool recreated;
        int result;
    };
    const Case cases[] = {
        {"no connection", 5, 0, false, 1, true, 0},
        {"tone engine", 5, 17, false, 1, true, 0},
        {"plain voice", 5, 2, false, 1, false, 0},
        {"SRTP hold music", 5, 2, true, 1, true, 0},
        {"SRTP, mode 2", 5, 2, true, 2, false, 0},
        {"virtual without connection", 1003, 0, false, 1, false, -1},
        {"virtual tone engine", 1003, 17, false, 1, false, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MediaTestChannel ch(c.timeslot);
        if (c.planted)
            ch.plant(c.planted);
        if (c.srtp) {
            MspMessage on(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_SRTP_OPT, 2);
            on.u16(8, 0xA002);
            uint8_t r[256];
            int n = 256;
            ASSERT_EQ(ch.PassThru(on.data(), on.size(), r, &n), 0);
        }
        ch.rtp.srtp_local_key = "key";
        sim->clear_commands();
        EXPECT_EQ(ch.playFile(COUNT400, c.mode, false), c.result);
        EXPECT_EQ(ch.created, c.recreated ? std::vector<int>{2} : std::vector<int>{});
        EXPECT_EQ(ch.rtp.srtp_local_key.empty(), c.recreated);
        EXPECT_EQ(ch.playing, c.result == 0);
        bool queried = false;
        for (auto& cmd : commands_of())
            queried |= cmd.fc == FC_SRTP_OPT && cmd.cls == MSP_CLASS_QUERY;
        EXPECT_EQ(queried, c.planted == 2 && c.mode == 1);
        ch.stopPlaybackIfActive();
    }
}

TEST_F(Playback, FreshChannelGetsAVoiceConnectionAndStopsOnItsEvent)
{
    TestChannel fresh(6);
    ASSERT_EQ(fresh.playFile(COUNT400, 1, false), 0);
    EXPECT_EQ(fresh.connectionType, MSP_CONN_VOICE);
    ASSERT_GE(fresh.channelId, 0);
    EXPECT_EQ(sim->channel_of_timeslot(6), fresh.channelId);
    EXPECT_TRUE(pump([&] {
        for (auto& e : drain())
            if (e->code == EV_PLAY_FINISHED && e->channel == 6) {
                fresh.processEvent(e.get());
                return true;
            }
        return false;
    }, 5000));
    EXPECT_FALSE(fresh.playing);
    EXPECT_EQ(fresh.playFd, -1);
    EXPECT_EQ(blocks(fresh.channelId).size(), 3u);
    MspSimChannel state;
    ASSERT_TRUE(sim->channel(static_cast<uint16_t>(fresh.channelId), state));
    EXPECT_EQ(state.play_bytes, 400u);
    EXPECT_EQ(state.as_stops, 1);
    EXPECT_EQ(state.channel_mode, 0x0500);
}

TEST_F(Playback, ChannelDeletedMidPlaybackLeavesNothingBehind)
{
    int fds = open_descriptors();
    sim->add_fault({MspSimFault::Delay, FC_SYNCEOF, -1, 0, 50});
    ASSERT_EQ(channel->playFile(COUNT400, 1, true), 0);
    ASSERT_TRUE(pump([&] { return blocks().size() >= 2; }));
    EXPECT_EQ(open_descriptors(), fds + 1);
    channel.reset();
    EXPECT_EQ(open_descriptors(), fds);
    EXPECT_EQ(msp_pending_transactions(), 0u);
    // The answer to the block in flight finds no transaction.
    ASSERT_TRUE(pump([&] { return logs.contains("not found"); }));
}

}  // namespace
