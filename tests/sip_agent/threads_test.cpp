// The threading rules with several application threads at once: events taken
// without the lock on their own threads, calls made under the lock from
// others, time-driven work from a third, the local-address guess from
// anywhere. Run under ThreadSanitizer too. Every call still ends in exactly
// one release, its last event, and nothing is left behind.
#include "agent_fixture.h"

#include <map>
#include <thread>

using namespace agenttest;

namespace {

// One side's application: a thread that takes events and acts on them.
class App {
public:
    using Handler = std::function<void(Agent&, const event_t&)>;
    App(Agent& agent, Handler handler) : agent(agent), handler(std::move(handler))
    {
        thread = std::thread([this] { run(); });
    }
    ~App()
    {
        stop = true;
        thread.join();
    }
    int released()
    {
        std::lock_guard<std::mutex> g(m);
        return static_cast<int>(done.size());
    }
    // cid -> its events in order
    std::map<int, std::vector<EventType>> calls()
    {
        std::lock_guard<std::mutex> g(m);
        return seen;
    }

private:
    void run()
    {
        while (!stop) {
            auto ev = agent.eventWait(10);  // without the lock
            if (!ev)
                continue;
            {
                std::lock_guard<std::mutex> g(m);
                if (ev->cid) {
                    seen[ev->cid].push_back(ev->type);
                    if (ev->type == EventType::CallReleased)
                        done.push_back(ev->cid);
                }
            }
            std::lock_guard<std::mutex> g(agent.mutex());
            handler(agent, *ev);
        }
    }
    Agent& agent;
    Handler handler;
    std::mutex m;  // guards seen and done
    std::map<int, std::vector<EventType>> seen;
    std::vector<int> done;
    std::atomic<bool> stop{false};
    std::thread thread;
};

class Threads : public TwoSides {};

}  // namespace

TEST_F(Threads, ManyCallsFromSeveralThreadsEachReleasedOnceAndLast)
{
    constexpr int kCalls = 20;
    // b answers every call, rings first; a hangs up each call once it is answered.
    App callee(*b.agent, [](Agent& agent, const event_t& ev) {
        if (ev.type != EventType::CallInvite)
            return;
        Message ringing;
        if (agent.callBuildAnswer(ev.tid, 180, &ringing) == 0)
            agent.callSendAnswer(ev.tid, 180, std::move(ringing));
        Message ok;
        if (agent.callBuildAnswer(ev.tid, 200, &ok) == 0) {
            ok.setBody("application/sdp", sdp("1", 5000));
            agent.callSendAnswer(ev.tid, 200, std::move(ok));
        }
    });
    App caller(*a.agent, [](Agent& agent, const event_t& ev) {
        if (ev.type != EventType::CallAnswered)
            return;
        agent.callSendAck(ev.tid);
        agent.callTerminate(ev.cid, ev.did, "Q.850;cause=16");
    });
    std::atomic<bool> stop{false};
    std::thread ticker([&] {
        while (!stop) {
            for (Side* s : {&a, &b}) {
                std::lock_guard<std::mutex> g(s->agent->mutex());
                s->agent->automaticAction();
            }
            EXPECT_FALSE(Agent::guessLocalIp(AF_INET).empty());  // no lock needed
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    // two dialling threads
    std::vector<std::thread> dialers;
    for (int t = 0; t < 2; ++t)
        dialers.emplace_back([&] {
            for (int i = 0; i < kCalls / 2; ++i)
                EXPECT_GT(dial(), 0);
        });
    for (auto& d : dialers)
        d.join();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((caller.released() < kCalls || callee.released() < kCalls) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // anything late would show now
    stop = true;
    ticker.join();
    EXPECT_EQ(caller.released(), kCalls);
    EXPECT_EQ(callee.released(), kCalls);
    for (App* app : {&caller, &callee})
        for (const auto& [cid, types] : app->calls()) {
            SCOPED_TRACE(cid);
            EXPECT_EQ(std::count(types.begin(), types.end(), EventType::CallReleased), 1);
            EXPECT_EQ(types.back(), EventType::CallReleased);
        }
    for (Side* s : {&a, &b}) {
        std::lock_guard<std::mutex> g(s->agent->mutex());
        agent_counts_t c = s->agent->counts();
        EXPECT_EQ(c.calls, 0u);
        EXPECT_EQ(c.dialogs, 0u);
    }
}

// A thread waiting for events wakes as soon as one is queued, not at its time-out.
TEST_F(Threads, EventWaitReturnsWhenAnEventArrives)
{
    std::atomic<int64_t> waited_ms{-1};
    std::thread waiter([&] {
        auto start = std::chrono::steady_clock::now();
        auto ev = b.agent->eventWait(10000);
        if (ev && ev->type == EventType::CallInvite)
            waited_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                            .count();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    dial();
    waiter.join();
    EXPECT_GE(waited_ms.load(), 0) << "no INVITE event";
    EXPECT_LT(waited_ms.load(), 5000);
    std::lock_guard<std::mutex> g(a.agent->mutex());
    EXPECT_EQ(a.agent->counts().calls, 1u);
}
