#include <gtest/gtest.h>

#include <atomic>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/event_queue.h"
#include "support/log_capture.h"

namespace {

int pending_bytes(Interrupt* in)
{
    char buf[512];
    pollfd p{in->readFd(), POLLIN, 0};
    if (poll(&p, 1, 0) <= 0)
        return 0;
    return int(read(in->readFd(), buf, sizeof buf));
}

}  // namespace

TEST(EventQueue, CreateRefusals)
{
    LogCapture cap;
    std_queue_t* q = reinterpret_cast<std_queue_t*>(1);
    EXPECT_EQ(std_queue_create(nullptr, 4), -1);
    EXPECT_EQ(std_queue_create(&q, 0), -1);
    EXPECT_TRUE(cap.contains("Queue double pointer is null\n"));
    EXPECT_TRUE(cap.contains("Queue capacity is not bigger than 0\n"));
    EXPECT_EQ(std_queue_enqueue(nullptr, nullptr), -1);
    EXPECT_EQ(std_queue_dequeue(nullptr), nullptr);
    EXPECT_EQ(std_queue_count(nullptr), -1);
    EXPECT_EQ(std_queue_destroy(nullptr), -1);
    Interrupt* in = nullptr;
    EXPECT_EQ(std_queue_get_interrupt(nullptr, &in), -1);
    EXPECT_EQ(cap.count("Queue is null!"), 5u);
}

TEST(EventQueue, FullQueueRefusesUntilDequeued)
{
    std_queue_t* q = nullptr;
    ASSERT_EQ(std_queue_create(&q, 2), 0);
    channel_event_t a, b, c;
    EXPECT_EQ(std_queue_dequeue(q), nullptr);  // empty: null at once
    EXPECT_EQ(std_queue_enqueue(q, &a), 0);
    EXPECT_EQ(std_queue_enqueue(q, &b), 0);
    {
        LogCapture cap;
        EXPECT_EQ(std_queue_enqueue(q, &c), -1);
        EXPECT_TRUE(cap.contains("no more room! windex == rindex == 0!\n"));
    }
    EXPECT_EQ(std_queue_count(q), 2);
    EXPECT_EQ(std_queue_dequeue(q), &a);
    EXPECT_EQ(std_queue_enqueue(q, &c), 0);
    EXPECT_EQ(std_queue_dequeue(q), &b);
    EXPECT_EQ(std_queue_dequeue(q), &c);
    EXPECT_EQ(std_queue_dequeue(q), nullptr);
    EXPECT_EQ(std_queue_destroy(&q), 0);
    EXPECT_EQ(q, nullptr);
}

TEST(EventQueue, FifoAroundTheRing)
{
    std_queue_t* q = nullptr;
    ASSERT_EQ(std_queue_create(&q, 2048), 0);
    std::vector<channel_event_t> evs(3000);
    size_t in = 0, out = 0;
    // Uneven batches so the indexes wrap at different points.
    while (out < evs.size()) {
        for (int k = 0; k < 700 && in < evs.size(); k++)
            if (std_queue_enqueue(q, &evs[in]) == 0)
                in++;
        for (int k = 0; k < 500 && out < in; k++)
            ASSERT_EQ(std_queue_dequeue(q), &evs[out++]);
    }
    EXPECT_EQ(std_queue_count(q), 0);
    std_queue_destroy(&q);
}

TEST(EventQueue, ManyEnqueuesLeaveOneWakeupByte)
{
    std_queue_t* q = nullptr;
    ASSERT_EQ(std_queue_create(&q, 2048), 0);
    Interrupt* in = nullptr;
    ASSERT_EQ(std_queue_get_interrupt(q, &in), 0);
    std::vector<channel_event_t> evs(100);
    for (auto& e : evs)
        std_queue_enqueue(q, &e);
    EXPECT_EQ(pending_bytes(in), 1);
    EXPECT_EQ(pending_bytes(in), 0);
    std_queue_destroy(&q);
}

TEST(EventQueue, DestroyKeepsQueuedEventsForTheirOwner)
{
    std_queue_t* q = nullptr;
    ASSERT_EQ(std_queue_create(&q, 4), 0);
    auto* e = new channel_event_t(-1, EV_CAS);
    std_queue_enqueue(q, e);
    EXPECT_EQ(std_queue_destroy(&q), 0);
    delete e;  // still valid: destroy neither delivers nor deletes
}

TEST(Interrupt, WaitResults)
{
    int extra[2];
    ASSERT_EQ(pipe(extra), 0);
    Interrupt in(extra[0]);
    EXPECT_EQ(in.wait(10), 1);  // nothing happens: timeout
    EXPECT_EQ(in.signal(), 0);
    EXPECT_EQ(in.signal(), 0);  // already pending: no second byte
    EXPECT_EQ(in.wait(10), 0);
    EXPECT_EQ(in.wait(0), 1);   // drained
    ASSERT_EQ(write(extra[1], "xy", 2), 2);
    EXPECT_EQ(in.wait(10), 2);
    EXPECT_EQ(in.wait(10), 2);  // the extra fd's data is not consumed
    char buf[4];
    EXPECT_EQ(read(extra[0], buf, sizeof buf), 2);
    close(extra[0]);
    close(extra[1]);
}

// Producers on several threads, the consumer waiting on the Interrupt as the main loop does.
TEST(EventQueueThreads, ProducersAndOneConsumer)
{
    LogCapture quiet(0);  // the full-queue refusals are expected here
    std_queue_t* q = nullptr;
    ASSERT_EQ(std_queue_create(&q, 64), 0);
    Interrupt* in = nullptr;
    std_queue_get_interrupt(q, &in);
    const int producers = 4, per = 2000;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; p++) {
        threads.emplace_back([q, p] {
            for (int i = 0; i < per; i++) {
                auto* e = new channel_event_t(p, EV_CAS, i);
                while (std_queue_enqueue(q, e) != 0)
                    std::this_thread::yield();
            }
        });
    }
    std::vector<int> last(producers, -1);
    int received = 0;
    while (received < producers * per) {
        in->wait(100);
        while (channel_event_t* e = std_queue_dequeue(q)) {
            EXPECT_EQ(e->data, last[e->channel] + 1);  // per-producer order kept
            last[e->channel] = e->data;
            received++;
            delete e;
        }
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(std_queue_count(q), 0);
    std_queue_destroy(&q);
}
