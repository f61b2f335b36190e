// Commands from threads other than the main thread: resends, time-outs and
// the hand-over of answers that arrive as the waiter gives up.
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "msp/msp_protocol.h"
#include "msp/msp_transaction.h"
#include "support/log_capture.h"
#include "support/msp_sim_fixture.h"

namespace {

MspMessage worker_command(uint16_t fc)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, fc, 2);
    m.u16(8, 4);
    return m;
}

int run_on_worker(MspSimFixture& f, uint16_t fc)
{
    std::atomic<bool> finished{false};
    int rc = 0;
    std::thread worker([&] {
        MspMessage m = worker_command(fc);
        uint8_t response[256];
        int length = 256;
        rc = DEV_PassThru(MSP_DEVICE_CHANNEL_ID, m.data(), m.size(), response, &length);
        finished = true;
    });
    f.pump([&] { return finished.load(); }, 10000);
    worker.join();
    return rc;
}

TEST(MspThreadsTest, SilentMspCostsFiveSendsOffTheMainThread)
{
    MspSimFixture f(40);
    LogCapture logs;
    f.sim->add_fault({MspSimFault::Drop, 0x0013});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_on_worker(f, 0x0013), -1);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 5 * 40 - 5);
    auto log = f.sim->commands();
    ASSERT_EQ(log.size(), 5u);
    for (const auto& c : log)
        EXPECT_EQ(c.index, log[0].index);
    EXPECT_TRUE(logs.contains("DEV_PassThru(): timeout in transaction"));
    EXPECT_EQ(msp_pending_transactions(), 0u);
}

TEST(MspThreadsTest, AnswerAfterSecondResendCompletes)
{
    MspSimFixture f(150);
    f.sim->add_fault({MspSimFault::Drop, 0x0013, -1, 0, 0, 0, -1, 3});
    EXPECT_EQ(run_on_worker(f, 0x0013), 0);
    EXPECT_GE(f.sim->count(0x0013), 4u);
}

// Answers timed to land as waiters give up; nothing may touch a freed record.
TEST(MspThreadsTest, AnswersRacingTheTimeout)
{
    MspSimFixture f(20);
    LogCapture logs;
    f.sim->add_fault({MspSimFault::Late, 0x0013, -1, 0, 20 * 5});
    f.sim->add_fault({MspSimFault::Delay, 0x0022, -1, 0, 19});
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < 8; ++i) {
                MspMessage m = worker_command(t % 2 ? 0x0013 : 0x0022);
                uint8_t response[256];
                int length = 256;
                int rc = DEV_PassThru(MSP_DEVICE_CHANNEL_ID, m.data(), m.size(), response, &length);
                EXPECT_TRUE(rc == 0 || rc == -1);
            }
            ++finished;
        });
    f.pump([&] { return finished.load() == 4; }, 20000);
    for (auto& w : workers)
        w.join();
    f.pump_for(150);
    EXPECT_EQ(msp_pending_transactions(), 0u);
}

}  // namespace
