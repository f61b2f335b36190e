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
    explicit Side(FakeClock& clock, int t1 = 20, sipcore::TransportType type = sipcore::TransportType::UDP,
                  const sipcore::tls_options_t* tls = nullptr)
        : transport(type)
    {
        agent_config_t c;
        c.clock_ms = clock.fn();
        c.stack.t1_ms = t1;
        agent = std::make_unique<Agent>(c);
        agent->stack().setT1(t1);
        EXPECT_EQ(agent->listen(type, "127.0.0.1", 0, tls), 0);
        std::lock_guard<std::mutex> g(agent->mutex());
        listen_port = agent->localPort();
    }
    ~Side() { agent->quit(); }

    // Kept from start-up, so it may be asked with the lock held.
    int port() const { return listen_port; }
    std::string uri(const std::string& user)
    {
        std::string u = "sip:" + user + "@127.0.0.1:" + std::to_string(port());
        if (transport == sipcore::TransportType::TCP)
            u += ";transport=tcp";
        else if (transport == sipcore::TransportType::TLS)
            u += ";transport=tls";
        return u;
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
    // Answers the request tid with code, the body (SDP) and headers added.
    int answer(int tid, int code, const std::string& body = "",
               const std::vector<std::pair<std::string, std::string>>& headers = {})
    {
        std::lock_guard<std::mutex> g(agent->mutex());
        Message r;
        int rc = agent->callBuildAnswer(tid, code, &r);
        if (rc < 0)
            return rc;
        for (const auto& [name, value] : headers)
            r.addHeader(name, value);
        if (!body.empty())
            r.setBody("application/sdp", body);
        return agent->callSendAnswer(tid, code, std::move(r));
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

    sipcore::TransportType transport;
    int listen_port = 0;
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

// Two layers, a calling b.
class TwoSides : public ::testing::Test {
protected:
    explicit TwoSides(sipcore::TransportType type = sipcore::TransportType::UDP,
                      const sipcore::tls_options_t* tls = nullptr)
        : a{clock, 200, type, tls}, b{clock, 200, type, tls}
    {
    }
    int dial(const std::string& body = sdp(), const std::vector<std::pair<std::string, std::string>>& headers = {})
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        Message inv;
        EXPECT_EQ(a.agent->callBuildInitialInvite(&inv, "<" + b.uri("bob") + ">", "<sip:alice@127.0.0.1>"), 0);
        for (const auto& [name, value] : headers)
            inv.addHeader(name, value);
        if (!body.empty())
            inv.setBody("application/sdp", body);
        return a.agent->callSendInitialInvite(std::move(inv));
    }
    int answer(Side& s, int tid, int code, const std::string& body = "",
               const std::vector<std::pair<std::string, std::string>>& headers = {})
    {
        return s.answer(tid, code, body, headers);
    }
    // A call from a to b, answered and acknowledged: the events' ids.
    struct up_t {
        int a_cid, a_did, a_tid, b_cid, b_did;
    };
    up_t connect(const std::vector<std::pair<std::string, std::string>>& headers = {},
                 const std::vector<std::pair<std::string, std::string>>& answer_headers = {})
    {
        up_t u{};
        u.a_cid = dial(sdp(), headers);
        auto inv = b.next(EventType::CallInvite);
        EXPECT_TRUE(inv);
        if (!inv)
            return u;
        u.b_cid = inv->cid;
        u.b_did = inv->did;
        EXPECT_EQ(answer(b, inv->tid, 180), 0);
        EXPECT_TRUE(a.next(EventType::CallRinging));
        EXPECT_EQ(answer(b, inv->tid, 200, sdp("5", 5000), answer_headers), 0);
        auto ans = a.next(EventType::CallAnswered);
        EXPECT_TRUE(ans);
        if (!ans)
            return u;
        u.a_did = ans->did;
        u.a_tid = ans->tid;
        EXPECT_EQ(ans->cid, u.a_cid);
        {
            std::lock_guard<std::mutex> g(a.agent->mutex());
            EXPECT_EQ(a.agent->callSendAck(ans->tid), 0);
        }
        auto ack = b.next(EventType::CallAck);
        EXPECT_TRUE(ack);
        return u;
    }
    FakeClock clock;
    // Sends a request built in dialog did of side s; its tid.
    int request(Side& s, int did, const std::string& method, const std::string& body = "")
    {
        std::lock_guard<std::mutex> g(s.agent->mutex());
        Message m;
        int rc = s.agent->callBuildRequest(did, method, &m);
        if (rc < 0)
            return rc;
        if (!body.empty())
            m.setBody("application/sdp", body);
        return s.agent->callSendRequest(did, std::move(m));
    }
    // a T1 that keeps Timer B out of the way on a loaded machine
    Side a;
    Side b;
};

// One layer against a raw UDP peer.
class PeerSide : public ::testing::Test {
protected:
    explicit PeerSide(int t1) : side{clock, t1} {}
    sipcore::sock_addr_t agentAddr() { return sipcore::make_addr("127.0.0.1", side.port()); }
    std::string peerContact() { return "<sip:peer@127.0.0.1:" + std::to_string(peer.port()) + ">"; }
    // The peer answers a request it got, with the headers added.
    void reply(const std::string& request_text, int code, const std::string& to_tag = "peer1",
               const std::vector<std::pair<std::string, std::string>>& headers = {})
    {
        Message req = Message::parse(request_text);
        Message r = sipcore::make_response(
            req, code, {.reason = "", .to_tag = to_tag, .server = "", .copy_record_route = false});
        for (const auto& [name, value] : headers)
            r.addHeader(name, value);
        peer.send(r.toString(), agentAddr());
    }
    // Our call to the peer, with that SDP body when not empty: its cid.
    int callPeer(const std::string& body = "")
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        Message inv;
        int rc = side.agent->callBuildInitialInvite(&inv, peerContact(), "<sip:me@127.0.0.1>");
        EXPECT_EQ(rc, 0);
        if (rc < 0)
            return rc;
        if (!body.empty())
            inv.setBody("application/sdp", body);
        return side.agent->callSendInitialInvite(std::move(inv));
    }
    // Moves the fake clock on and lets the layer's timers fire.
    void advance(int64_t ms)
    {
        std::lock_guard<std::mutex> g(side.agent->mutex());
        clock.ms += ms;
        side.agent->automaticAction();
    }
    FakeClock clock;
    Side side;
    siptest::UdpPeer peer;
};

}  // namespace agenttest
