#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/scheduler.h"
#include "support/log_capture.h"

namespace {

// A hand-driven monotonic clock.
struct timespec fake_now;
int fake_clock(struct timespec* ts)
{
    *ts = fake_now;
    return 0;
}
int broken_clock(struct timespec*)
{
    errno = EINVAL;
    return -1;
}
void advance_ms(long ms)
{
    fake_now.tv_nsec += ms % 1000 * 1000000L;
    fake_now.tv_sec += ms / 1000 + fake_now.tv_nsec / 1000000000L;
    fake_now.tv_nsec %= 1000000000L;
}

std::vector<std::string> fired;
void record(void* arg) { fired.push_back(static_cast<const char*>(arg)); }

class Sched : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_now = {100, 600000000};
        sched_set_clock(&fake_clock);
        fired.clear();
        ASSERT_EQ(sched_init(), 0);
        ASSERT_EQ(sched_create(&s, "test"), 0);
    }
    void TearDown() override
    {
        if (s)
            sched_destroy(&s);
        sched_set_clock(nullptr);
    }
    uint32_t next()
    {
        uint32_t ms = 0;
        EXPECT_EQ(sched_get_time_to_next_timer(s, &ms), 0);
        return ms;
    }
    sched_t* s = nullptr;
};

}  // namespace

TEST_F(Sched, RefusedArguments)
{
    struct Case {
        sched_t* sched;
        const char* name;
        int ms;
        sched_callback_t cb;
        const char* message;
    } cases[] = {
        {nullptr, "t", 10, record, "sched is null!"},
        {s, nullptr, 10, record, "timer name is null!"},
        {s, "t", 10, nullptr, "sched callback is null!"},
        {s, "t", 0, record, "milliseconds must be bigger than 0!"},
        {s, "t", -5, record, "milliseconds must be bigger than 0!"},
    };
    for (const auto& c : cases) {
        LogCapture cap;
        uint64_t id = 99;
        EXPECT_EQ(sched_add_timer(c.sched, c.name, c.ms, c.cb, nullptr, &id), -1) << c.message;
        EXPECT_TRUE(cap.contains(c.message)) << c.message;
    }
    EXPECT_EQ(next(), 0xFFFFFFFFu);
}

TEST_F(Sched, ExpiryCarriesNanoseconds)
{
    // 1500 ms added at 100 s + 600 ms is due at 102 s + 100 ms.
    uint64_t id = 0;
    ASSERT_EQ(sched_add_timer(s, "t", 1500, record, (void*)"a", &id), 0);
    EXPECT_EQ(id, 1u);  // a new schedule's first id
    EXPECT_EQ(s->timers->expiry_sec, 102);
    EXPECT_EQ(s->timers->expiry_nsec, 100000000);
    EXPECT_EQ(next(), 1500u);
    advance_ms(1499);
    ASSERT_EQ(sched_run(s), 0);
    EXPECT_TRUE(fired.empty());
    advance_ms(1);
    ASSERT_EQ(sched_run(s), 0);
    EXPECT_EQ(fired, std::vector<std::string>{"a"});
}

TEST_F(Sched, DueTimersFireNewestFirst)
{
    sched_add_timer(s, "t", 30, record, (void*)"first", nullptr);
    sched_add_timer(s, "t", 20, record, (void*)"second", nullptr);
    sched_add_timer(s, "t", 10, record, (void*)"third", nullptr);
    EXPECT_EQ(next(), 10u);
    advance_ms(50);
    EXPECT_EQ(next(), 0u);
    ASSERT_EQ(sched_run(s), 0);
    EXPECT_EQ(fired, (std::vector<std::string>{"third", "second", "first"}));
    EXPECT_EQ(next(), 0xFFFFFFFFu);
}

TEST_F(Sched, EqualExpiryBothFireNewestCounts)
{
    uint64_t a = 0, b = 0;
    sched_add_timer(s, "t", 40, record, (void*)"a", &a);
    sched_add_timer(s, "t", 40, record, (void*)"b", &b);
    EXPECT_EQ(next(), 40u);
    advance_ms(40);
    sched_run(s);
    EXPECT_EQ(fired, (std::vector<std::string>{"b", "a"}));
}

TEST_F(Sched, Cancel)
{
    uint64_t id = 0;
    sched_add_timer(s, "t", 10, record, (void*)"x", &id);
    EXPECT_EQ(sched_cancel_timer(s, 0), 0);      // "not armed"
    EXPECT_EQ(sched_cancel_timer(s, 12345), -1); // unknown
    EXPECT_EQ(sched_cancel_timer(s, id), 0);
    EXPECT_EQ(sched_cancel_timer(s, id), -1);    // already gone
    advance_ms(20);
    sched_run(s);
    EXPECT_TRUE(fired.empty());

    sched_add_timer(s, "t", 10, record, (void*)"y", &id);
    advance_ms(20);
    sched_run(s);
    EXPECT_EQ(sched_cancel_timer(s, id), -1);    // already fired
    EXPECT_EQ(sched_cancel_timer(nullptr, id), -1);
}

namespace {
sched_t* cb_sched;
int rearms;
void rearm_self(void*)
{
    fired.push_back("rearm");
    if (++rearms < 3)
        sched_add_timer(cb_sched, "again", 100, rearm_self, nullptr, nullptr);
}
void add_one_ms(void*)
{
    fired.push_back("outer");
    // Truncation makes a 1 ms timer due as soon as any time has passed.
    sched_add_timer(cb_sched, "inner", 1, record, (void*)"inner", nullptr);
    fake_now.tv_nsec += 1;
}
}  // namespace

TEST_F(Sched, CallbacksMayAddTimers)
{
    cb_sched = s;
    sched_add_timer(s, "outer", 5, add_one_ms, nullptr, nullptr);
    advance_ms(5);
    sched_run(s);
    EXPECT_EQ(fired, (std::vector<std::string>{"outer", "inner"}));

    fired.clear();
    rearms = 0;
    sched_add_timer(s, "self", 100, rearm_self, nullptr, nullptr);
    for (int i = 0; i < 5; i++) {
        advance_ms(100);
        sched_run(s);
    }
    EXPECT_EQ(fired.size(), 3u);
}

TEST_F(Sched, IdsNeverZero)
{
    s->next_id = UINT64_MAX;
    LogCapture cap;
    uint64_t a = 0, b = 0;
    sched_add_timer(s, "t", 10, record, nullptr, &a);
    sched_add_timer(s, "t", 10, record, nullptr, &b);
    EXPECT_EQ(a, UINT64_MAX);
    EXPECT_EQ(b, 1u);
    EXPECT_TRUE(cap.contains("Timer id wrap around for sched test"));
}

TEST_F(Sched, ClockFailure)
{
    sched_add_timer(s, "t", 10, record, nullptr, nullptr);
    sched_set_clock(&broken_clock);
    LogCapture cap;
    uint64_t id = 7;
    EXPECT_EQ(sched_add_timer(s, "t", 10, record, nullptr, &id), -1);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(sched_run(s), -1);
    uint32_t ms = 0;
    EXPECT_EQ(sched_get_time_to_next_timer(s, &ms), -1);
    EXPECT_EQ(ms, 0xFFFFFFFFu);
    EXPECT_EQ(sched_get_time_ms(), 0u);
    EXPECT_TRUE(cap.contains("Failed to retrieve time of day: "));
    EXPECT_TRUE(cap.contains("Failed to get next event time: "));
    EXPECT_TRUE(cap.contains("Failed to retrieve time: "));
}

TEST_F(Sched, TimeMsWraps)
{
    fake_now = {4294967, 296000000};  // 2^32 ms
    EXPECT_EQ(sched_get_time_ms(), 0u);
    fake_now = {4294967, 295000000};
    uint32_t before = sched_get_time_ms();
    advance_ms(1001);
    EXPECT_EQ(sched_get_time_ms() - before, 1001u);  // unsigned difference survives the wrap
    EXPECT_EQ(sched_get_time_sec(), 4294968);
}

TEST_F(Sched, DestroyFreesArmedTimersWithoutCallbacks)
{
    sched_add_timer(s, "t", 10, record, nullptr, nullptr);
    LogCapture cap;
    EXPECT_EQ(sched_destroy(&s), 0);
    EXPECT_EQ(s, nullptr);
    EXPECT_TRUE(cap.contains("Destroying schedule test"));
    EXPECT_EQ(sched_destroy(&s), -1);
    EXPECT_EQ(sched_destroy(nullptr), -1);
    EXPECT_TRUE(fired.empty());
}

// Other threads add and cancel while the main thread runs the schedule on the real clock.
TEST(SchedThreads, AddAndCancelFromManyThreads)
{
    sched_set_clock(nullptr);
    ASSERT_EQ(sched_init(), 0);
    sched_t* s = nullptr;
    ASSERT_EQ(sched_create(&s, "threads"), 0);
    static std::atomic<int> count;
    count = 0;
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; i++) {
                uint64_t keep = 0, drop = 0;
                sched_add_timer(s, "keep", 1, [](void*) { count++; }, nullptr, &keep);
                sched_add_timer(s, "drop", 1000000, [](void*) { count += 1000; }, nullptr, &drop);
                EXPECT_EQ(sched_cancel_timer(s, drop), 0);
            }
        });
    }
    std::thread runner([&] {
        while (!done || count < 2000) {
            sched_run(s);
            uint32_t ms;
            sched_get_time_to_next_timer(s, &ms);
        }
    });
    for (auto& t : threads)
        t.join();
    done = true;
    runner.join();
    EXPECT_EQ(count.load(), 2000);
    sched_destroy(&s);
}
