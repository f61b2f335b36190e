// Two user-agent layers (or one and a raw UDP peer) on loopback, a fake clock
// for the layers' own timers, and a helper that waits for events.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "sip/agent/agent.h"
#include "sip/core/response.h"
#include "sip/sip_peer.h"

namespace agenttest {

using namespace sipagent;
using sipcore::Message;

struct FakeClock {
    std::atomic<int64_t> ms{1000000};
    std::function<int64_t()> fn()
    {
        return [this] { return ms.load(); };
    }
};

// One layer with the events it reported kept for later checks.
class Side {
public:
    explicit Side(FakeClock& clock, int t1 = 20)
    {
        agent_config_t c;
        c.clock_ms = clock.fn();
        c.stack.t1_ms = t1;
        agent = std::make_unique<Agent>(c);
        agent->stack().setT1(t1);
        EXPECT_EQ(agent->listen(sipcore::TransportType::UDP, "127.0.0.1", 0), 0);
    }
    ~Side() { agent->quit(); }

    int port()
    {
        std::lock_guard<std::mutex> g(agent->mutex());
        return agent->localPort();
    }
    std::string uri(const std::string& user)
    {
        return "sip:" + user + "@127.0.0.1:" + std::to_string(port());
    }

    // The next event of that type; others before it are kept in `seen`.
    std::unique_ptr<event_t> next(EventType type, int timeout_ms = 3000)
    {
        for (auto it = pending.begin(); it != pending.end(); ++it)
            if ((*it)->type == type) {
                auto ev = std::move(*it);
                pending.erase(it);
                return ev;
            }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> g(agent->mutex());
                agent->automaticAction();
            }
            auto ev = agent->eventWait(20);
            if (!ev)
                continue;
            seen.push_back({ev->type, ev->cid});
            if (ev->type == type)
                return ev;
            pending.push_back(std::move(ev));
        }
        return nullptr;
    }
    // Drains events for a while (to see that nothing more comes).
    void drain(int ms)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> g(agent->mutex());
                agent->automaticAction();
            }
            if (auto ev = agent->eventWait(20)) {
                seen.push_back({ev->type, ev->cid});
                pending.push_back(std::move(ev));
            }
        }
    }
    // Releases of call cid seen so far, and whether the release was its last event.
    int releases(int cid, bool* last = nullptr)
    {
        int n = 0;
        bool after = false;
        for (const auto& [t, c] : seen) {
            if (c != cid)
                continue;
            if (t == EventType::CallReleased) {
                ++n;
                after = false;
            } else if (n) {
                after = true;
            }
        }
        if (last)
            *last = n > 0 && !after;
        return n;
    }

    std::unique_ptr<Agent> agent;
    std::vector<std::unique_ptr<event_t>> pending;
    std::vector<std::pair<EventType, int>> seen;
};

inline std::string sdp(const std::string& version = "1", int port = 4000)
{
    return "v=0\r\no=- 1 " + version + " IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
           "m=audio " + std::to_string(port) + " RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
}

inline sipcore::challenge_t challenge_of(const std::string& realm, const std::string& nonce,
                                        const std::string& opaque = "")
{
    sipcore::challenge_t c;
    c.realm = realm;
    c.nonce = nonce;
    c.opaque = opaque;
    return c;
}

// The value of a header line in raw text, "" when absent (case-blind name).
inline std::string header_of(const std::string& text, const std::string& name)
{
    Message m = Message::parse(text);
    return m ? m.header(name) : "";
}

// The next message of that method (requests) or CSeq method and status (responses).
inline std::string wait_for(siptest::UdpPeer& peer, const std::string& what, int timeout_ms = 3000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string t = peer.recv(100);
        if (t.empty())
            continue;
        Message m = Message::parse(t);
        if (!m)
            continue;
        std::string key = m.isRequest() ? m.method() : std::to_string(m.statusCode()) + " " + m.cseqMethod();
        if (key == what)
            return t;
    }
    return {};
}

}  // namespace agenttest
