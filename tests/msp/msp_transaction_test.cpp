// Commands and answers against the simulated media processor: results,
// error logging, waits and resends on and off the main thread, late and
// duplicate answers, index exhaustion, asynchronous completions.
#include <atomic>
#include <memory>
#include <stdexcept>
#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

#include "core/channel_table.h"
#include "core/main_loop.h"
#include "msp/comcerto_channel.h"
#include "support/test_channel.h"
#include "msp/msp_protocol.h"
#include "msp/msp_transaction.h"
#include "support/log_capture.h"
#include "support/msp_sim_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t elapsed_ms(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

std::string id_text(uint32_t id)
{
    char t[16];
    snprintf(t, sizeof t, "0x%06x", id);
    return t;
}

struct Result {
    int rc;
    uint8_t response[256];
    int length;
};

Result send(uint16_t channelId, MspMessage m, int capacity = 256)
{
    Result r{};
    r.length = capacity;
    r.rc = DEV_PassThru(channelId, m.data(), m.size(), r.response, &r.length);
    return r;
}

MspMessage device_command(uint16_t fc, uint16_t w8 = 0)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, fc, 2);
    m.u16(8, w8);
    return m;
}

MspMessage device_query(uint16_t fc, size_t bytes = 0) { return MspMessage(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, fc, bytes); }

// A channel the simulator created for timeslot ts.
int create_channel(int ts)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, 0x0010, 4);
    m.u16(8, 2).u16(10, static_cast<uint16_t>(ts));
    Result r = send(MSP_DEVICE_CHANNEL_ID, m);
    return r.rc == 0 ? msp_get_u16(r.response, 10) : -1;
}

class MspTransactionTest : public ::testing::Test, public MspSimFixture {
protected:
    LogCapture logs;
};

TEST_F(MspTransactionTest, AnswersCarryTheirDataByClass)
{
    int id = create_channel(7);
    ASSERT_GE(id, 0);

    MspMessage q = device_query(0x0010, 2);
    q.u16(8, 7);
    Result byTimeslot = send(MSP_DEVICE_CHANNEL_ID, q);
    EXPECT_EQ(byTimeslot.rc, 0);
    EXPECT_EQ(byTimeslot.response[2], MSP_CLASS_QUERY_RESPONSE);
    EXPECT_EQ(msp_get_u16(byTimeslot.response, 8), id);

    Result type = send(MSP_DEVICE_CHANNEL_ID, device_query(0x0031));
    EXPECT_EQ(type.rc, 0);
    EXPECT_EQ(msp_get_u16(type.response, 8), 1);

    MspMessage irm(MSP_CLASS_IRM, MSP_TYPE_IRM, 0x0001, 2);
    irm.u16(8, 1);
    Result available = send(MSP_DEVICE_CHANNEL_ID, irm);
    EXPECT_EQ(available.rc, 0);
    ASSERT_GE(available.length, 24);
    EXPECT_EQ(msp_get_u32(available.response, 20), 64u);

    // A second channel on the same timeslot is refused with the MSP's status.
    MspMessage again(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, 0x0010, 4);
    again.u16(8, 2).u16(10, 7);
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, again).rc, -0xFFBD);
    EXPECT_TRUE(logs.contains("error ERR_TDMDRV_INVTS (0xffbd):"));

    // The channelId travels in the address, big-endian.
    auto log = sim->commands();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().channelId, MSP_DEVICE_CHANNEL_ID);
    EXPECT_EQ(msp_pending_transactions(), 0u);
}

TEST_F(MspTransactionTest, MalformedCommandsAreRefusedBeforeSending)
{
    uint8_t unaligned[12] = {10, 0, 0, 6, 0x13, 0};
    uint8_t wrongLength[12] = {6, 0, 0, 6, 0x13, 0};
    uint8_t response[256];
    int length = 256;
    struct {
        uint8_t* message;
        int length;
        const char* text;
    } cases[] = {
        {nullptr, 12, "DEV_PassThru(): pucBuffer is NULL"},
        {unaligned, 10, "DEV_PassThru(): message is not 32-bits-aligned"},
        {wrongLength, 12, "DEV_PassThru(): invalid command length value (len=6, fifo=12)"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(DEV_PassThru(MSP_DEVICE_CHANNEL_ID, c.message, c.length, response, &length), -1) << c.text;
        EXPECT_TRUE(logs.contains(c.text)) << c.text;
    }
    EXPECT_EQ(msp_passthru_async(MSP_DEVICE_CHANNEL_ID, unaligned, 10, nullptr, nullptr), -1);
    pump_for(30);
    EXPECT_TRUE(sim->commands().empty());
}

TEST_F(MspTransactionTest, RefusalLogsNameAndDescription)
{
    sim->add_fault({MspSimFault::Status, 0x0425, -1, 0x004F});
    sim->add_fault({MspSimFault::Status, 0x80AB, -1, 0x1234});
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_command(0x0425, 1)).rc, -0x4F);
    EXPECT_TRUE(logs.contains(
        "!!!!! function SUPVSR_SET_PCM_LAW (0x0425): error CNF_ERR_TSDRIVE_CHAN_ALREADY_CREATED (0x004f):"));
    EXPECT_TRUE(logs.contains("Can not change because channel was already created."));

    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_command(0x80AB)).rc, -0x1234);
    EXPECT_TRUE(logs.contains("!!!!! function 0x80ab (0x80ab): error UNKNOWN_ERROR_CODE (0x1234):"));
    EXPECT_TRUE(logs.contains(": Unknown error"));
}

TEST_F(MspTransactionTest, IndexCounterIsSharedByAllCodes)
{
    send(MSP_DEVICE_CHANNEL_ID, device_command(0x0013, 4));
    send(MSP_DEVICE_CHANNEL_ID, device_command(0x0013, 4));
    send(MSP_DEVICE_CHANNEL_ID, device_query(0x0031));
    auto log = sim->commands();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1].index, log[0].index + 1);
    EXPECT_EQ(log[2].index, log[1].index + 1);
}

TEST_F(MspTransactionTest, ShortAndOversizedAnswers)
{
    // cut to the capacity; the copied length reports it
    Result cut = send(MSP_DEVICE_CHANNEL_ID, device_query(0x0021), 12);
    EXPECT_EQ(cut.rc, 0);
    EXPECT_EQ(cut.length, 12);

    // a caller buffer too small for the class byte and FC
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_command(0x0013), 5).rc, -1);
    EXPECT_TRUE(logs.contains("DEV_PassThru(): response is too short (5 bytes)"));

    // class 0x02 needs its status word
    sim->add_fault({MspSimFault::Truncate, 0x0013, -1, 0, 0, 8, -1, 1});
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_command(0x0013)).rc, -1);
    EXPECT_TRUE(logs.contains("DEV_PassThru(): response is too short (8 bytes)"));

    // a datagram under the header size is dropped by the reader
    sim->add_fault({MspSimFault::Truncate, 0x0013, -1, 0, 0, 4, -1, 1});
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_command(0x0013)).rc, -1);
    EXPECT_TRUE(logs.contains("comcerto_process_socket(): message too short: 4 bytes"));
}

TEST_F(MspTransactionTest, UnknownClassIsLoggedAndIndicationsGoToTheirHandler)
{
    static std::vector<std::pair<uint16_t, uint16_t>> seen;   // fc, channelId
    seen.clear();
    msp_set_indication_handler(
        [](const uint8_t* m, int, uint16_t channelId) { seen.emplace_back(msp_message_fc(m), channelId); });

    sim->send_indication(5, 0x800D, {3, 0, 0, 0, 0, 0});
    sim->send_indication(MSP_DEVICE_CHANNEL_ID, 0, {1, 0, 0, 5, 0, 0}, MSP_CLASS_DIAGNOSTIC, MSP_TYPE_DIAGNOSTIC);
    sim->send_raw(5, {8, 0, 0x09, 0x02, 0, 0, 0, 0});
    ASSERT_TRUE(pump([] { return seen.size() == 2; }));
    pump_for(20);
    EXPECT_EQ(seen[0], std::make_pair(uint16_t{0x800D}, uint16_t{5}));
    EXPECT_EQ(seen[1], std::make_pair(uint16_t{0}, MSP_DEVICE_CHANNEL_ID));
    EXPECT_TRUE(logs.contains("comcerto_process_socket(): unknown message type 0x09"));
}

TEST_F(MspTransactionTest, SilentMspOnTheMainThreadCostsOneWindow)
{
    msp_set_answer_window(100);
    sim->add_fault({MspSimFault::Drop, 0x0013});
    auto start = Clock::now();
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_command(0x0013)).rc, -1);
    EXPECT_LT(elapsed_ms(start), 2 * msp_answer_window());
    EXPECT_EQ(sim->count(0x0013), 1u);
    auto log = sim->commands();
    EXPECT_TRUE(logs.contains("DEV_PassThru(): timeout in transaction " +
                              id_text(msp_transaction_id(log[0].index, 0x0013))));
    EXPECT_EQ(msp_pending_transactions(), 0u);
}

// A channel descriptor that stays readable keeps the main thread busy, so the
// window runs out with activity and the command is resent.
class BusyChannel : public AbstractChannel {
public:
    explicit BusyChannel(int ts) : ts(ts)
    {
        EXPECT_EQ(pipe(fds), 0);
        EXPECT_EQ(write(fds[1], "x", 1), 1);
        main_pollfds[ts].fd = fds[0];
        channel_table[ts] = this;
    }
    ~BusyChannel() override
    {
        channel_table[ts] = nullptr;
        main_pollfds[ts].fd = -1;
        close(fds[0]);
        close(fds[1]);
    }
    void processEvent(channel_event_t*) override {}
    void processFd() override
    {
        ++calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    int calls = 0;

private:
    int ts;
    int fds[2];
};

TEST_F(MspTransactionTest, BusyMainThreadResendsUpToFourTimes)
{
    msp_set_answer_window(30);
    BusyChannel busy(17);
    sim->add_fault({MspSimFault::Drop, 0x0013});
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_command(0x0013)).rc, -1);
    auto log = sim->commands();
    ASSERT_EQ(log.size(), 5u);
    for (const auto& c : log)
        EXPECT_EQ(c.index, log[0].index);   // resent with the same id

    // the third send is answered; a window wide enough for a loaded machine
    msp_set_answer_window(150);
    sim->clear_faults();
    sim->clear_commands();
    sim->add_fault({MspSimFault::Drop, 0x0013, -1, 0, 0, 0, -1, 2});
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_command(0x0013)).rc, 0);
    EXPECT_GE(sim->count(0x0013), 3u);
    EXPECT_GT(busy.calls, 0);
}

// A channel whose processFd throws while the main thread waits: the wait
// logs it and goes on, so its transaction never outlives the call.
class ThrowingChannel : public BusyChannel {
public:
    using BusyChannel::BusyChannel;
    void processFd() override
    {
        BusyChannel::processFd();
        throw std::runtime_error("broken line");
    }
};

TEST_F(MspTransactionTest, ChannelExceptionInsideTheWaitIsContained)
{
    ThrowingChannel broken(18);
    sim->add_fault({MspSimFault::Delay, 0x0013, -1, 0, 20});
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_command(0x0013)).rc, 0);
    EXPECT_TRUE(logs.contains("exception caught in processFd() channel 19: broken line"));
    EXPECT_EQ(msp_pending_transactions(), 0u);
}

TEST_F(MspTransactionTest, LateAnswerAfterTimeoutIsLoggedAndDropped)
{
    msp_set_answer_window(100);
    sim->add_fault({MspSimFault::Late, 0x0013, -1, 0, 3 * msp_answer_window()});
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_command(0x0013)).rc, -1);
    ASSERT_TRUE(pump([&] { return logs.contains("not found"); }));
    uint8_t index = sim->commands()[0].index;
    char words[64];
    snprintf(words, sizeof words, " not found (%04x 0602 0013 0000 0000 0000)", index << 8 | 0x0a);
    EXPECT_TRUE(logs.contains("comcerto_process_socket(): channel 0xffff: transaction " +
                              id_text(msp_transaction_id(index, 0x0013)) + words));
}

TEST_F(MspTransactionTest, DuplicateAnswerCompletesOnce)
{
    sim->add_fault({MspSimFault::Duplicate, 0x0013});
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_command(0x0013)).rc, 0);
    ASSERT_TRUE(pump([&] { return logs.contains("not found"); }));
    EXPECT_EQ(logs.count("not found"), 1u);
}

TEST_F(MspTransactionTest, AnswerWithAnotherIndexDoesNotComplete)
{
    msp_set_answer_window(100);
    sim->add_fault({MspSimFault::Index, 0x0013, -1, 0, 0, 0, -1, 1});
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_command(0x0013)).rc, -1);
    EXPECT_TRUE(logs.contains("not found"));
    EXPECT_TRUE(logs.contains("DEV_PassThru(): timeout in transaction"));
}

TEST_F(MspTransactionTest, IndexExhaustionPerFunctionCode)
{
    sim->add_fault({MspSimFault::Drop, 0x8009});
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x8009, 32);
    uint32_t ids[256];
    for (int i = 0; i < 256; ++i) {
        int id = msp_passthru_async(1, m.data(), m.size(), [](const uint8_t*, int, void*) {}, nullptr);
        ASSERT_GE(id, 0);
        ids[id & 0xFF] = static_cast<uint32_t>(id);
    }
    pump([&] { return sim->count(0x8009) == 256; });

    // counter 256: the 255 tries reach indexes 0..254, all taken
    EXPECT_EQ(msp_passthru_async(1, m.data(), m.size(), [](const uint8_t*, int, void*) {}, nullptr), -1);
    EXPECT_TRUE(logs.contains("DEV_PassThru(): transaction ID not found"));
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_command(0x0013)).rc, 0);   // other codes still work

    // counter 512: one index free, and the tries from 0 reach it
    comcerto_cancel_transaction(ids[100]);
    int reused = msp_passthru_async(1, m.data(), m.size(), [](const uint8_t*, int, void*) {}, nullptr);
    ASSERT_GE(reused, 0);
    EXPECT_EQ(reused & 0xFF, 100);

    // counter 613: the tries cover 101..255 and 0..99, never 100
    comcerto_cancel_transaction(static_cast<uint32_t>(reused));
    EXPECT_EQ(msp_passthru_async(1, m.data(), m.size(), [](const uint8_t*, int, void*) {}, nullptr), -1);
    EXPECT_EQ(msp_pending_transactions(), 255u);
}

struct Completion {
    int calls = 0;
    int length = 0;
    uint16_t status = 0xFFFF;
};

void on_completion(const uint8_t* response, int length, void* user)
{
    auto* c = static_cast<Completion*>(user);
    ++c->calls;
    c->length = length;
    c->status = length >= 10 ? msp_get_u16(response, 8) : 0xFFFF;
}

TEST_F(MspTransactionTest, AsyncCompletionRunsFromTheReader)
{
    Completion done;
    MspMessage m = device_command(0x0013, 4);
    int id = msp_passthru_async(MSP_DEVICE_CHANNEL_ID, m.data(), m.size(), on_completion, &done);
    ASSERT_GE(id, 0);
    EXPECT_EQ(id >> 8, 0x0013);
    ASSERT_TRUE(pump([&] { return done.calls == 1; }));
    EXPECT_EQ(done.status, 0);
    EXPECT_EQ(done.length, 12);

    // nested: the completion arrives while the main thread waits for another command
    Completion nested;
    sim->add_fault({MspSimFault::Delay, 0x0031, -1, 0, 20});
    MspMessage first = device_command(0x0013, 4);
    ASSERT_GE(msp_passthru_async(MSP_DEVICE_CHANNEL_ID, first.data(), first.size(), on_completion, &nested), 0);
    EXPECT_EQ(send(MSP_DEVICE_CHANNEL_ID, device_query(0x0031)).rc, 0);
    EXPECT_EQ(nested.calls, 1);
}

TEST_F(MspTransactionTest, CancelledAsyncCallbackNeverRuns)
{
    Completion done;
    sim->add_fault({MspSimFault::Delay, 0x0013, -1, 0, 20});
    MspMessage m = device_command(0x0013, 4);
    int id = msp_passthru_async(MSP_DEVICE_CHANNEL_ID, m.data(), m.size(), on_completion, &done);
    ASSERT_GE(id, 0);
    comcerto_cancel_transaction(static_cast<uint32_t>(id));
    ASSERT_TRUE(pump([&] { return logs.contains("not found"); }));
    EXPECT_EQ(done.calls, 0);
}

TEST(ComcertoChannelTest, PassThruNeedsAChannelAndStopsCallerIdFirst)
{
    MspSimFixture f;
    LogCapture logs;
    TestChannel channel(5);
    MspMessage tone(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x8014, 4);
    uint8_t response[256];
    int length = 256;
    EXPECT_EQ(channel.PassThru(tone.data(), tone.size(), response, &length), -1);
    EXPECT_TRUE(logs.contains("ts 5: PassThru(): invalid channelId (-1)"));
    EXPECT_EQ(channel.PassThruAsync(tone.data(), tone.size(), on_completion, nullptr), -1);

    channel.channelId = create_channel(5);
    ASSERT_GE(channel.channelId, 0);
    channel.callerIdPending = true;
    f.sim->add_fault({MspSimFault::Status, 0x803C, -1, 0x0171});   // a failed stop does not stop the command
    EXPECT_EQ(channel.PassThru(tone.data(), tone.size(), response, &length), 0);
    EXPECT_TRUE(logs.contains("ts 5: CND_STOP failed (result=-369)"));
    auto log = f.sim->commands();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 2].fc, 0x803C);
    EXPECT_EQ(log.back().fc, 0x8014);
    EXPECT_EQ(log.back().channelId, channel.channelId);
    EXPECT_TRUE(channel.callerIdPending);
}

}  // namespace

namespace {

// A channel deleted while its playback block is in flight: the answer finds
// no transaction and nothing touches the freed channel.
class PlayingChannel : public TestChannel {
public:
    using TestChannel::TestChannel;
    static void answered(const uint8_t*, int, void* user) { static_cast<PlayingChannel*>(user)->blocks++; }
    int blocks = 0;
};

TEST(ComcertoChannelTest, DeletedChannelCancelsItsCommands)
{
    MspSimFixture f;
    LogCapture logs;
    auto keep = std::make_unique<PlayingChannel>(6);
    auto gone = std::make_unique<PlayingChannel>(7);
    keep->channelId = create_channel(6);
    gone->channelId = create_channel(7);
    f.sim->add_fault({MspSimFault::Delay, 0x9403, -1, 0, 30});
    MspMessage block(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x9403, 12 + 16);
    block.u16(16, 1).u16(18, 16);
    ASSERT_GE(keep->PassThruAsync(block.data(), block.size(), PlayingChannel::answered, keep.get()), 0);
    ASSERT_GE(gone->PassThruAsync(block.data(), block.size(), PlayingChannel::answered, gone.get()), 0);
    ASSERT_GE(gone->PassThruAsync(block.data(), block.size(), PlayingChannel::answered, gone.get()), 0);
    gone.reset();
    EXPECT_EQ(msp_pending_transactions(), 1u);
    ASSERT_TRUE(f.pump([&] { return keep->blocks == 1 && logs.count("not found") == 2; }));
    EXPECT_EQ(keep->blocks, 1);
}

}  // namespace
