// A UDP peer's messages into a fresh user-agent layer that holds, per input:
// a REGISTER and an INVITE of ours waiting for answers, a call of ours and a
// call of the peer's, both confirmed. The harness drives the layer's stack
// itself (no stack thread) and plays the application: it answers new calls,
// re-INVITEs and requests, and acknowledges 2xx. The input is messages split
// by "~~~"; placeholders become the live values so that mutated messages
// still match:
//   $P $S              the peer's and the layer's port
//   $RB $RC $RN $RF    our REGISTER: branch, Call-ID, CSeq number, From tag
//   $IB $IC $IN $IF    our pending INVITE: the same
//   $OB $OC $ON $OF    our confirmed call (the peer answered with To tag po1)
//   $DC $DF $DT $DN    the peer's confirmed call: Call-ID, its From tag, our
//                      To tag, its CSeq number
// The first byte picks how new calls are answered, how far the clock moves
// between messages, and whether the peer answers what comes after hang-up
// (else it stays silent and everything ends by time-outs). Then every call is
// hung up, the registration removed, and the clock run on until nothing is
// left.
// Oracles: no sanitizer report; every message the layer sends parses (a 400
// may echo the peer's malformed Via); every call is released exactly once and
// nothing of it is reported after; after release and quit the layer holds no
// calls, dialogs, transactions, registrations, timers or challenges.
//
// One fake clock serves the layer, the stack and osip's transaction timers
// (osip_gettimeofday is replaced below), so time-outs run without waiting.
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <sys/time.h>
#include <vector>

#include "fuzz_netns.h"
#include "sip/agent/agent.h"
#include "sip/core/response.h"

using namespace sipagent;
using namespace sipcore;
using fuzz::check;

namespace {

int64_t fake_ms = 1000000000;
bool trace = getenv("AGENT_FUZZ_TRACE") != nullptr;  // what a seed reaches

std::string sdp(int version)
{
    return "v=0\r\no=- 1 " + std::to_string(version) +
           " IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
           "m=audio 4000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
}

struct Peer {
    int fd = -1;
    int port = 0;
    std::vector<Message> got;

    Peer() { fd = fuzz::loopback_socket(SOCK_DGRAM, &port); }
    ~Peer() { close(fd); }
    void drain()
    {
        char buf[65536];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
            std::string text(buf, static_cast<size_t>(n));
            Message m = Message::parse(text);
            check(m && (m.wellFormed() || m.statusCode() == 400), "the layer sent a message that does not parse",
                  text);
            if (trace)
                fprintf(stderr, "  peer got: %s\n", text.substr(0, text.find('\r')).c_str());
            got.push_back(std::move(m));
        }
    }
    void send(const std::string& text, int to_port)
    {
        sock_addr_t to = make_addr("127.0.0.1", to_port);
        (void)!sendto(fd, text.data(), text.size(), 0, to.sa(), to.len);
    }
    // After hang-up: 200 to every request, 486 to an INVITE, and 487 to the
    // INVITE a CANCEL names.
    void answerAll(size_t* done, int to_port)
    {
        for (; *done < got.size(); ++*done) {
            const Message& m = got[*done];
            if (!m.isRequest() || m.method() == "ACK")
                continue;
            response_options_t o{.reason = "", .to_tag = "ph1", .server = "", .copy_record_route = false};
            send(make_response(m, m.method() == "INVITE" ? 486 : 200, o).toString(), to_port);
            if (m.method() != "CANCEL")
                continue;
            for (const Message& inv : got)
                if (inv.isRequest() && inv.method() == "INVITE" && inv.topBranch() == m.topBranch())
                    send(make_response(inv, 487, o).toString(), to_port);
        }
    }
    // The last request of that method received, or an empty message.
    Message take(const std::string& method)
    {
        for (auto it = got.rbegin(); it != got.rend(); ++it)
            if (it->isRequest() && it->method() == method)
                return it->clone();
        return {};
    }
};

// The application on top of the layer.
struct App {
    App(Agent& a, Peer& p) : agent(a), peer(p) {}
    Agent& agent;
    Peer& peer;
    int answer_policy = 0;  // new calls: 0 ring only, 1 answer, 2 busy, 3 ring then answer
    std::map<int, int> releases;   // cid -> CallReleased seen
    std::set<int> cids;            // every call seen
    std::vector<std::unique_ptr<event_t>> log;

    void pump(int rounds = 3)
    {
        for (int i = 0; i < rounds; ++i) {
            agent.stack().runOnce(0);
            peer.drain();
            {
                std::lock_guard<std::mutex> g(agent.mutex());
                agent.automaticAction();
            }
            while (auto ev = agent.eventWait(0))
                handle(std::move(ev));
        }
    }

    void answerCall(int tid, int status)
    {
        std::lock_guard<std::mutex> g(agent.mutex());
        Message r;
        if (agent.callBuildAnswer(tid, status, &r) < 0)
            return;
        if (status >= 200 && status < 300)
            r.setBody("application/sdp", sdp(2));
        agent.callSendAnswer(tid, status, std::move(r));
    }

    void handle(std::unique_ptr<event_t> ev)
    {
        if (trace)
            fprintf(stderr, "event %s cid %d did %d tid %d rid %d\n", event_type_name(ev->type), ev->cid, ev->did, ev->tid,
                    ev->rid);
        if (ev->cid) {
            check(!releases[ev->cid], "an event on a released call", event_type_name(ev->type));
            cids.insert(ev->cid);
        }
        switch (ev->type) {
        case EventType::CallReleased:
            ++releases[ev->cid];
            break;
        case EventType::CallInvite:
            if (answer_policy == 0 || answer_policy == 3)
                answerCall(ev->tid, 180);
            if (answer_policy == 1 || answer_policy == 3)
                answerCall(ev->tid, 200);
            else if (answer_policy == 2)
                answerCall(ev->tid, 486);
            break;
        case EventType::CallReinvite:
            answerCall(ev->tid, 200);
            break;
        case EventType::CallMessageNew:
            answerCall(ev->tid, 200);
            break;
        case EventType::MessageNew:
        case EventType::InSubscriptionNew: {
            std::lock_guard<std::mutex> g(agent.mutex());
            agent.messageSendAnswer(ev->tid, 200, Message());
            break;
        }
        case EventType::CallAnswered: {
            std::lock_guard<std::mutex> g(agent.mutex());
            agent.callSendAck(ev->tid);
            break;
        }
        default:
            break;
        }
        log.push_back(std::move(ev));
    }

    // The first event of that type since `from`, or null.
    event_t* find(EventType type, size_t from = 0)
    {
        for (size_t i = from; i < log.size(); ++i)
            if (log[i]->type == type)
                return log[i].get();
        return nullptr;
    }
};

std::string counts_text(const agent_counts_t& c)
{
    return "calls " + std::to_string(c.calls) + " dialogs " + std::to_string(c.dialogs) + " transactions " +
           std::to_string(c.transactions) + " registrations " + std::to_string(c.registrations) + " timers " +
           std::to_string(c.timers) + " challenges " + std::to_string(c.challenges);
}

bool empty(const agent_counts_t& c)
{
    return !c.calls && !c.dialogs && !c.transactions && !c.registrations && !c.timers && !c.challenges;
}

}  // namespace

// osip's transaction timers run on the harness's clock.
extern "C" int osip_gettimeofday(struct timeval* tp, void*)
{
    tp->tv_sec = fake_ms / 1000;
    tp->tv_usec = (fake_ms % 1000) * 1000;
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::enter_netns("agent_fuzz");
    Agent::setLocalIpOverride("127.0.0.1");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    unsigned flags = data[0];
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);

    agent_config_t cfg;
    cfg.clock_ms = [] { return fake_ms; };
    cfg.stack.clock_ms = [] { return fake_ms; };
    cfg.stack_thread = false;
    Peer peer;
    Agent agent(cfg);
    check(agent.listen(TransportType::UDP, "127.0.0.1", 0) == 0, "listen");
    App app(agent, peer);
    app.answer_policy = 1;
    int S;
    {
        std::lock_guard<std::mutex> g(agent.mutex());
        S = agent.localPort();
    }
    std::map<std::string, std::string> live;
    live["$P"] = std::to_string(peer.port);
    live["$S"] = std::to_string(S);
    std::string peer_uri = "sip:peer@127.0.0.1:" + live["$P"];
    auto remember = [&](const std::string& p, const Message& m) {
        check(bool(m), "a request of the set-up did not reach the peer", p);
        live[p + "B"] = m.topBranch();
        live[p + "C"] = m.callId();
        live[p + "N"] = std::to_string(m.cseq());
        live[p + "F"] = m.fromTag();
    };

    // our REGISTER, unanswered
    std::vector<int> rids;
    {
        std::lock_guard<std::mutex> g(agent.mutex());
        Message reg;
        int rid = agent.registerBuildInitial("<sip:me@127.0.0.1>", "sip:127.0.0.1:" + live["$P"],
                                             "<sip:me@127.0.0.1:" + live["$S"] + ">", 3600, &reg);
        check(rid > 0 && agent.registerSend(rid, std::move(reg)) == 0, "register");
        rids.push_back(rid);
    }
    app.pump();
    remember("$R", peer.take("REGISTER"));

    auto dial = [&] {
        std::lock_guard<std::mutex> g(agent.mutex());
        Message inv;
        check(agent.callBuildInitialInvite(&inv, "<" + peer_uri + ">", "<sip:me@127.0.0.1>") == 0, "invite");
        inv.setBody("application/sdp", sdp(1));
        int cid = agent.callSendInitialInvite(std::move(inv));
        check(cid > 0, "invite sent");
        app.cids.insert(cid);
        return cid;
    };
    // our call the peer answers
    dial();
    app.pump();
    Message out = peer.take("INVITE");
    remember("$O", out);
    Message ok = make_response(out, 200, {.reason = "", .to_tag = "po1", .server = "", .copy_record_route = true});
    ok.setHeader("Contact", "<" + peer_uri + ">");
    ok.setBody("application/sdp", sdp(7));
    peer.send(ok.toString(), S);
    app.pump();
    check(app.find(EventType::CallAnswered) && bool(peer.take("ACK")), "our call was not set up");

    // the peer's call we answer
    peer.send("INVITE sip:me@127.0.0.1:" + live["$S"] + " SIP/2.0\r\n"
              "Via: SIP/2.0/UDP 127.0.0.1:" + live["$P"] + ";branch=z9hG4bKdin1;rport\r\n"
              "Max-Forwards: 70\r\nFrom: <sip:peer@127.0.0.1>;tag=pi1\r\nTo: <sip:me@127.0.0.1>\r\n"
              "Call-ID: din1@peer\r\nCSeq: 1 INVITE\r\nContact: <" + peer_uri + ">\r\n"
              "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp(3).size()) + "\r\n\r\n" +
              sdp(3), S);
    app.pump();
    Message answered;
    for (const Message& m : peer.got)
        if (!m.isRequest() && m.statusCode() == 200 && m.callId() == "din1@peer")
            answered = m.clone();
    check(bool(answered), "the peer's call was not answered");
    live["$DC"] = "din1@peer";
    live["$DF"] = "pi1";
    live["$DT"] = answered.toTag();
    live["$DN"] = "1";
    peer.send("ACK sip:me@127.0.0.1:" + live["$S"] + " SIP/2.0\r\n"
              "Via: SIP/2.0/UDP 127.0.0.1:" + live["$P"] + ";branch=z9hG4bKdack1;rport\r\n"
              "Max-Forwards: 70\r\nFrom: <sip:peer@127.0.0.1>;tag=pi1\r\nTo: <sip:me@127.0.0.1>;tag=" + live["$DT"] +
              "\r\nCall-ID: din1@peer\r\nCSeq: 1 ACK\r\nContent-Length: 0\r\n\r\n", S);
    app.pump();
    check(bool(app.find(EventType::CallAck)), "the peer's ACK was not taken");

    // our INVITE, unanswered
    dial();
    app.pump();
    remember("$I", peer.take("INVITE"));

    // the peer's messages
    if (trace)
        fprintf(stderr, "---- set up\n");
    app.answer_policy = static_cast<int>(flags & 3);
    static const int64_t steps[] = {0, 0, 50, 500, 2000, 10000, 40000, 200000};
    int64_t step = steps[(flags >> 2) & 7];
    fuzz::for_each_message(input, live, [&](const std::string& text) {
        if (!text.empty())
            peer.send(text, S);
        app.pump();
        fake_ms += step;
    });
    app.pump();

    if (trace)
        fprintf(stderr, "---- hang up\n");
    // hang everything up, then let the clock run until nothing is left
    agent_counts_t left;
    bool silent = flags & 0x20;
    size_t answered_upto = peer.got.size();
    for (int round = 0; round < 2400; ++round) {
        {
            std::lock_guard<std::mutex> g(agent.mutex());
            for (int cid : app.cids)
                if (!app.releases[cid])
                    agent.callTerminate(cid, 0);
            for (int rid : rids)
                agent.registerRemove(rid);
            rids.clear();
            left = agent.counts();
        }
        if (empty(left) && agent.eventCount() == 0)
            break;
        fake_ms += 500;
        app.pump(2);
        if (!silent)
            peer.answerAll(&answered_upto, S);
    }
    check(empty(left), "records left after every call was hung up", counts_text(left));
    agent.quit();
    while (auto ev = agent.eventWait(0))
        app.handle(std::move(ev));
    {
        std::lock_guard<std::mutex> g(agent.mutex());
        left = agent.counts();
    }
    check(empty(left), "records left after quit", counts_text(left));
    for (int cid : app.cids)
        check(app.releases[cid] == 1, "a call not released exactly once",
              std::to_string(cid) + ": " + std::to_string(app.releases[cid]));
    fake_ms += 3600000;
    return 0;
}
