// A stream peer's messages into a fresh stack that holds live transactions:
// our INVITE and OPTIONS waiting for answers, the peer's INVITE unanswered.
// The input is messages split by "~~~"; $IB $IC $IN $IF (our INVITE's branch,
// Call-ID, CSeq number, From tag), $OB $OC $ON $OF (the same of our OPTIONS),
// $P (the peer's port) and $S (the stack's port) become the live values, so
// mutated answers still match. The first byte cuts each message in two
// writes. Oracles: a response reaches only the transaction of its branch and
// CSeq method, a CANCEL only the INVITE it names, a transaction ends once,
// nothing is reported of one the user was never given, and everything the
// stack writes back parses.
//
// The process moves into a network namespace of its own with only lo up:
// answers follow the fuzzed Via, and nothing may leave the host.
#include <cstdint>
#include <map>
#include <netinet/tcp.h>
#include <string>
#include <vector>

#include "fuzz_netns.h"
#include "sip/core/response.h"
#include "sip/core/stack.h"
#include "sip/core/stream_framer.h"

using namespace sipcore;

using fuzz::check;

namespace {

struct tx_rec_t {
    bool client = false;
    std::string method;
    std::string branch;
    std::string sent_by;  // host:port of the request's top Via
    bool ended = false;
};

class Recorder : public StackUser {
public:
    std::map<int, tx_rec_t> txs;

    tx_rec_t& known(int tid, const char* what)
    {
        auto t = txs.find(tid);
        check(t != txs.end(), what, std::to_string(tid));
        check(!t->second.ended, "a report on an ended transaction", what);
        return t->second;
    }
    void onRequest(int tid, Message req, const request_info_t& info) override
    {
        check(!txs.count(tid), "a tid given twice");
        via_t v = req.via();
        txs[tid] = {false, req.method(), v.branch, v.host + ":" + std::to_string(v.port), false};
        if (info.cancels) {
            check(req.method() == "CANCEL", "a request other than CANCEL cancels");
            tx_rec_t& inv = known(info.cancels, "CANCEL of an unknown transaction");
            check(!inv.client && inv.method == "INVITE", "CANCEL matched no INVITE server transaction");
            check(inv.branch == v.branch && inv.sent_by == txs[tid].sent_by, "CANCEL matched another INVITE",
                  req.toString());
        }
    }
    void onResponse(int tid, Message resp) override
    {
        tx_rec_t& t = known(tid, "response to an unknown transaction");
        check(t.client, "response on a server transaction");
        check(resp.topBranch() == t.branch && resp.cseqMethod() == t.method, "response reached another transaction",
              resp.toString());
    }
    void onTimeout(int tid) override { known(tid, "timeout of an unknown transaction"); }
    void onTransportError(int tid, int) override { known(tid, "transport error of an unknown transaction"); }
    // what the stack answered itself (481 to an unmatched CANCEL) is never
    // reported: the user was not given its id
    void onTerminated(int tid) override { known(tid, "end of an unknown transaction").ended = true; }
};

// The peer's end: its listener, the connections the stack opened to it or it
// opened to the stack, and what came back on them.
struct Peer {
    int listener = -1;
    int port = 0;
    std::vector<int> conns;
    std::map<int, StreamFramer> framers;
    std::vector<Message> got;

    Peer() { listener = fuzz::loopback_socket(SOCK_STREAM, &port); }
    ~Peer()
    {
        // reset, not FIN: no TIME_WAIT piles up over millions of inputs
        linger l{1, 0};
        for (int c : conns) {
            setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            close(c);
        }
        close(listener);
    }
    void pump()
    {
        for (int c; (c = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
            // each piece goes out at once, not held back until the last is acknowledged
            int one = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            conns.push_back(c);
        }
        char buf[8192];
        for (int c : conns) {
            ssize_t n;
            while ((n = recv(c, buf, sizeof buf, 0)) > 0)
                framers[c].feed(buf, static_cast<size_t>(n));
            std::string out;
            for (StreamFramer::Result r; (r = framers[c].next(&out)) != StreamFramer::Result::NeedMore;) {
                if (r == StreamFramer::Result::Error)
                    break;
                if (r != StreamFramer::Result::Message)
                    continue;
                // a 400 echoes the peer's own malformed Via
                Message m = Message::parse(out);
                check(m && (m.wellFormed() || m.statusCode() == 400), "the stack wrote a message that does not parse",
                      out);
                got.push_back(std::move(m));
            }
        }
    }
};

void run(Stack& stack, Peer& peer, int rounds = 4)
{
    for (int i = 0; i < rounds; ++i) {
        stack.runOnce(0);
        peer.pump();
    }
}

Message request(const std::string& method, int cseq, int peer_port)
{
    std::string uri = "sip:peer@127.0.0.1:" + std::to_string(peer_port) + ";transport=tcp";
    Message m = Message::request(method, Uri::parse(uri));
    m.setHeader("From", "<sip:stack@127.0.0.1>;tag=" + new_branch().substr(7));
    m.setHeader("To", "<sip:peer@127.0.0.1>");
    m.setHeader("Call-ID", random_token(12) + "@stack");
    m.setHeader("CSeq", std::to_string(cseq) + " " + method);
    m.setHeader("Max-Forwards", "70");
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::enter_netns("tx_fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    unsigned cut_seed = data[0];
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);

    Recorder user;
    Peer peer;
    Stack stack(&user);
    int tp = stack.addTransport(TransportType::TCP, "127.0.0.1", 0);
    check(tp > 0, "stack transport");
    int stack_port = stack.localAddress(tp).port();

    // our two requests reach the peer on the connection the stack opens
    std::map<std::string, std::string> live;
    for (const char* method : {"INVITE", "OPTIONS"}) {
        Message m = request(method, method[0] == 'I' ? 1 : 2, peer.port);
        std::string p = std::string("$") + method[0];
        live[p + "C"] = m.callId();
        live[p + "N"] = std::to_string(m.cseq());
        live[p + "F"] = m.fromTag();
        int tid = stack.sendRequest(std::move(m));
        check(tid > 0, "sendRequest");
        user.txs[tid] = {true, method, "", "", false};
        run(stack, peer);
    }
    for (int i = 0; i < 100 && peer.got.size() < 2; ++i)
        run(stack, peer, 1);
    check(peer.got.size() == 2 && peer.conns.size() == 1, "our requests did not reach the peer");
    for (const Message& m : peer.got) {
        std::string p = std::string("$") + m.method()[0];
        live[p + "B"] = m.topBranch();
        for (auto& [tid, t] : user.txs)
            if (t.client && t.method == m.method())
                t.branch = m.topBranch();
    }
    live["$P"] = std::to_string(peer.port);
    live["$S"] = std::to_string(stack_port);
    int conn = peer.conns[0];

    auto send = [&](const std::string& text) {
        size_t cut = text.empty() ? 0 : cut_seed % (text.size() + 1);
        for (const std::string& piece : {text.substr(0, cut), text.substr(cut)}) {
            if (piece.empty())
                continue;
            ssize_t n = ::send(conn, piece.data(), piece.size(), MSG_NOSIGNAL);
            (void)n;  // the stack may have closed it on a framing error
            run(stack, peer, 2);
        }
    };

    // the peer's INVITE, left unanswered
    send("INVITE sip:stack@127.0.0.1:" + live["$S"] + ";transport=tcp SIP/2.0\r\n"
         "Via: SIP/2.0/TCP 127.0.0.1:" + live["$P"] + ";branch=z9hG4bKsrv1\r\n"
         "Max-Forwards: 70\r\nFrom: <sip:peer@127.0.0.1>;tag=p1\r\nTo: <sip:stack@127.0.0.1>\r\n"
         "Call-ID: srv1@peer\r\nCSeq: 1 INVITE\r\nContact: <sip:peer@127.0.0.1:" + live["$P"] + ";transport=tcp>\r\n"
         "Content-Length: 0\r\n\r\n");
    check(user.txs.size() == 3, "the peer's INVITE made no server transaction");

    fuzz::for_each_message(input, live, send);
    run(stack, peer);
    return 0;
}
