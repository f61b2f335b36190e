// Other threads post events and add timers while the main thread runs its
// loop: every event is dispatched once, every timer fires on the main thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/channel_table.h"
#include "core/dispatch.h"
#include "core/event_queue.h"
#include "core/ip_check.h"
#include "core/main_loop.h"
#include "core/main_thread.h"
#include "core/scheduler.h"

namespace {

std::atomic<int> handled{0};
std::atomic<int> timers_fired{0};
std::atomic<int> off_main{0};

struct Counter : AbstractChannel {
    void processEvent(channel_event_t*) override
    {
        if (!on_main_thread())
            off_main++;
        handled++;
    }
};

void timer_cb(void*)
{
    if (!on_main_thread())
        off_main++;
    timers_fired++;
}

}  // namespace

TEST(MainLoopThreads, PostersAndTimersFromOtherThreads)
{
    main_thread_set();
    ip_check_set_sources([](const char*, in_addr*) { return -1; },
                         [](in6_addr*, const char*, int*) { return false; });
    ASSERT_EQ(sched_init(), 0);
    ASSERT_EQ(sched_create(&main_scheduler, "main scheduler"), 0);
    ASSERT_EQ(std_queue_create(&event_queue, 2048), 0);
    main_pollfds_init();
    Interrupt* in = nullptr;
    std_queue_get_interrupt(event_queue, &in);
    main_pollfds[POLLFD_QUEUE].fd = in->readFd();
    Counter counter;
    channel_table[3] = &counter;

    const int threads = 4, per = 500;
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; t++) {
        posters.emplace_back([] {
            for (int i = 0; i < per; i++) {
                while (postEvent(3, new channel_event_t(-1, EV_HANGUP, i)) != 0)
                    std::this_thread::yield();
                if (i % 50 == 0)
                    sched_add_timer(main_scheduler, "t", 1, timer_cb, nullptr, nullptr);
            }
        });
    }
    const int timers = threads * (per / 50);
    while (handled < threads * per || timers_fired < timers)
        ASSERT_TRUE(main_loop_pass());
    for (auto& p : posters)
        p.join();
    EXPECT_EQ(handled.load(), threads * per);
    EXPECT_EQ(timers_fired.load(), timers);
    EXPECT_EQ(off_main.load(), 0);

    channel_table[3] = nullptr;
    std_queue_destroy(&event_queue);
    sched_destroy(&main_scheduler);
    ip_check_set_sources(nullptr, nullptr);
}
