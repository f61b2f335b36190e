// Removing an object from the epoll loop while the loop's thread delivers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <unistd.h>

#include "core/epoller.h"

namespace {

using namespace std::chrono;

// Takes its time over each delivery, and may ask for quiescence from inside it.
struct SlowReader : EPoller {
    int pipeFd = -1;
    bool quiesceInside = false;
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    void onEvents(uint32_t) override
    {
        entered = true;
        char c;
        (void)!read(pipeFd, &c, 1);
        if (quiesceInside)
            epoller_quiesce();
        std::this_thread::sleep_for(milliseconds(100));
        finished = true;
    }
};

class EPollerQuiesce : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(epoller_init());
        ASSERT_EQ(pipe(fds), 0);
    }
    void TearDown() override
    {
        stop = true;
        if (loop.joinable())
            loop.join();
        epoller_done();
        close(fds[0]);
        close(fds[1]);
    }
    void runLoop()
    {
        loop = std::thread([this] {
            while (!stop)
                epoller_poll(200);
        });
    }

    int fds[2] = {-1, -1};
    std::atomic<bool> stop{false};
    std::thread loop;
};

TEST_F(EPollerQuiesce, WaitsForADeliveryInProgress)
{
    SlowReader r;
    r.pipeFd = fds[0];
    r.setEvents(fds[0], EPOLLIN);
    runLoop();
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    while (!r.entered)
        std::this_thread::sleep_for(milliseconds(1));
    r.setEvents(fds[0], 0);
    epoller_quiesce();
    EXPECT_TRUE(r.finished);
}

TEST_F(EPollerQuiesce, ReturnsAtOnceOutsideALoopPassAndInsideADelivery)
{
    auto t0 = steady_clock::now();
    epoller_quiesce();   // no loop runs
    EXPECT_LT(steady_clock::now() - t0, milliseconds(50));

    SlowReader r;
    r.pipeFd = fds[0];
    r.quiesceInside = true;
    r.setEvents(fds[0], EPOLLIN);
    runLoop();
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    auto end = steady_clock::now() + seconds(5);
    while (!r.finished && steady_clock::now() < end)
        std::this_thread::sleep_for(milliseconds(1));
    EXPECT_TRUE(r.finished);
    r.setEvents(fds[0], 0);
    epoller_quiesce();
}

}  // namespace
