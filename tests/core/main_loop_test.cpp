#include <gtest/gtest.h>

#include <csignal>
#include <stdexcept>
#include <unistd.h>

#include "core/channel_table.h"
#include "core/event_queue.h"
#include "core/ip_check.h"
#include "core/main_loop.h"
#include "core/scheduler.h"
#include "support/log_capture.h"

namespace {

struct timespec fake_now;
int fake_clock(struct timespec* ts)
{
    *ts = fake_now;
    return 0;
}

// A channel with a descriptor of its own in main_pollfds.
struct FdChannel : AbstractChannel {
    int fd;
    int calls = 0;
    bool throws = false;
    explicit FdChannel(int f) : fd(f) {}
    void processEvent(channel_event_t*) override {}
    void processFd() override
    {
        calls++;
        char buf[16];
        (void)!read(fd, buf, sizeof buf);
        if (throws)
            throw std::runtime_error("bad frame");
    }
};

int deleted;
struct CountedEvent : channel_event_t {
    CountedEvent() : channel_event_t(-1, EV_CAS) {}
    ~CountedEvent() override { deleted++; }
};

class MainLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_now = {50, 0};
        sched_set_clock(&fake_clock);
        ASSERT_EQ(sched_init(), 0);
        ASSERT_EQ(sched_create(&main_scheduler, "main scheduler"), 0);
        ASSERT_EQ(std_queue_create(&event_queue, 2048), 0);
        main_pollfds_init();
        Interrupt* in = nullptr;
        std_queue_get_interrupt(event_queue, &in);
        main_pollfds[POLLFD_QUEUE].fd = in->readFd();
        last_ip_check_ms = sched_get_time_ms();
        shutdown_requested = 0;
        // Never the host's interfaces (nor its firewall) from a unit test.
        ip_check_set_sources([](const char*, in_addr*) { return -1; },
                             [](in6_addr*, const char*, int*) { return false; });
    }
    void TearDown() override
    {
        std_queue_destroy(&event_queue);
        sched_destroy(&main_scheduler);
        sched_set_clock(nullptr);
        ip_check_set_sources(nullptr, nullptr);
        for (auto& ch : channel_table)
            ch = nullptr;
    }
};

void noop(void*) {}
void throwing(void*) { throw std::runtime_error("timer went wrong"); }

}  // namespace

TEST_F(MainLoop, PollTimeoutFollowsNextTimerCappedAt300)
{
    EXPECT_EQ(main_loop_timeout(), 300);  // no timer at all
    sched_add_timer(main_scheduler, "far", 5000, noop, nullptr, nullptr);
    EXPECT_EQ(main_loop_timeout(), 300);
    sched_add_timer(main_scheduler, "near", 40, noop, nullptr, nullptr);
    EXPECT_EQ(main_loop_timeout(), 40);
}

TEST_F(MainLoop, ChannelFdExceptionCostsOnlyThatCall)
{
    int a[2], b[2];
    ASSERT_EQ(pipe(a), 0);
    ASSERT_EQ(pipe(b), 0);
    FdChannel bad(a[0]), good(b[0]);
    bad.throws = true;
    channel_table[3] = &bad;
    channel_table[7] = &good;
    main_pollfds[3].fd = a[0];
    main_pollfds[7].fd = b[0];
    ASSERT_EQ(write(a[1], "x", 1), 1);
    ASSERT_EQ(write(b[1], "x", 1), 1);
    LogCapture cap;
    EXPECT_TRUE(main_loop_pass());
    EXPECT_EQ(bad.calls, 1);
    EXPECT_EQ(good.calls, 1);
    EXPECT_TRUE(cap.contains("exception caught in processFd() channel 4: bad frame"));
    for (int fd : {a[0], a[1], b[0], b[1]})
        close(fd);
}

TEST_F(MainLoop, TimerExceptionEndsTheDaemon)
{
    sched_add_timer(main_scheduler, "boom", 10, throwing, nullptr, nullptr);
    fake_now.tv_nsec += 20000000;
    LogCapture cap;
    EXPECT_FALSE(main_loop_pass());
    EXPECT_TRUE(cap.contains("exception caught: timer went wrong"));
}

TEST_F(MainLoop, QueuedEventsAreDispatchedAndDeletedOldestFirst)
{
    deleted = 0;
    for (int i = 0; i < 5; i++)
        std_queue_enqueue(event_queue, new CountedEvent);
    EXPECT_TRUE(main_loop_pass());
    EXPECT_EQ(deleted, 5);
    EXPECT_EQ(std_queue_count(event_queue), 0);
}

TEST_F(MainLoop, SignalIsLoggedFromTheLoopNotTheHandler)
{
    LogCapture cap;
    shutdown_signal_handler(SIGTERM);  // records it, logs nothing
    EXPECT_TRUE(cap.all().empty());
    EXPECT_EQ(shutdown_requested.load(), 1);
    main_loop_run();  // sees the flag at once
    auto lines = cap.all();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(": got signal 15"), std::string::npos);
    EXPECT_NE(lines[1].find(": shutting down..."), std::string::npos);
}
