// The stack over UDP: server and client transactions, retransmissions and
// time-outs with a short T1, received/rport, CANCEL, 2xx/ACK, bad input.
#include <gtest/gtest.h>

#include <set>

#include "sip/core/response.h"
#include "sip_peer.h"

using namespace sipcore;
using namespace siptest;

namespace {

class StackUdp : public ::testing::Test {
protected:
    void SetUp() override
    {
        rec.stack = &stack;
        stack.setT1(20);
        tp = stack.addTransport(TransportType::UDP, "127.0.0.1", 0);
        ASSERT_GT(tp, 0);
        addr = stack.localAddress(tp);
        stack.start();
    }
    Recorder rec;
    Stack stack{&rec};
    int tp = 0;
    sock_addr_t addr;
    UdpPeer peer;
};

}  // namespace

TEST_F(StackUdp, AnswersOptionsAndAbsorbsRetransmissions)
{
    rec.answer([](Stack& s, int tid, const Message& req) {
        s.sendResponse(tid, make_response(req, 200, {.reason = "", .to_tag = "", .server = "core-test", .copy_record_route = false}));
    });
    std::string req = options_text(peer.port(), "z9hG4bKo1");
    peer.send(req, addr);
    std::string r1 = peer.recv();
    ASSERT_EQ(status_of(r1), 200) << r1;
    EXPECT_NE(r1.find("Server: core-test"), std::string::npos);
    peer.send(req, addr);
    std::string r2 = peer.recv();
    EXPECT_EQ(status_of(r2), 200) << "the retransmission gets the last response again";
    report_t r;
    ASSERT_TRUE(rec.next("request", &r));
    EXPECT_EQ(r.msg.method(), "OPTIONS");
    EXPECT_EQ(r.from.addr.port(), peer.port());
    EXPECT_FALSE(rec.next("request", &r, 200)) << "retransmission reached the user";
}

TEST_F(StackUdp, ResponseFollowsReceivedAndRport)
{
    rec.answer([](Stack& s, int tid, const Message& req) { s.sendResponse(tid, make_response(req, 200)); });
    // sent-by names an address nobody listens on; received/rport bring it back
    peer.send(options_text(5999, "z9hG4bKrp", "192.0.2.55"), addr);
    std::string resp = peer.recv();
    ASSERT_EQ(status_of(resp), 200) << resp;
    Message m = Message::parse(resp);
    via_t v = m.via();
    EXPECT_EQ(v.received, "127.0.0.1");
    EXPECT_EQ(v.rport, peer.port());
}

TEST_F(StackUdp, InviteServerTrying2xxRetransmittedUntilAck)
{
    rec.answer([](Stack& s, int tid, const Message& req) {
        if (req.method() == "INVITE")
            s.sendResponse(tid, make_response(req, 200, {.reason = "", .to_tag = "uas1", .server = "", .copy_record_route = false}), true);
    });
    std::string invite = options_text(peer.port(), "z9hG4bKinv", "127.0.0.1", "UDP", "INVITE");
    peer.send(invite, addr);
    EXPECT_EQ(status_of(peer.recv()), 100);
    int oks = 0;
    for (int i = 0; i < 3; ++i)
        oks += status_of(peer.recv()) == 200;
    EXPECT_EQ(oks, 3) << "2xx is re-sent while no ACK comes";
    std::string ack = options_text(peer.port(), "z9hG4bKack", "127.0.0.1", "UDP", "ACK");
    ack.replace(ack.find("To: <sip:stack@127.0.0.1>"), 25, "To: <sip:stack@127.0.0.1>;tag=uas1");
    ack.replace(ack.find("Call-ID: z9hG4bKack@peer"), 24, "Call-ID: z9hG4bKinv@peer");
    peer.send(ack, addr);
    report_t r;
    ASSERT_TRUE(rec.next("ack", &r));
    EXPECT_EQ(r.msg.method(), "ACK");
    // drain what was in flight, then silence
    while (!peer.recv(200).empty()) {
    }
    EXPECT_EQ(peer.recv(300), "") << "2xx still re-sent after the ACK";
    EXPECT_EQ(rec.count("ack-timeout"), 0u);
}

TEST_F(StackUdp, LostAckGivesUp)
{
    rec.answer([](Stack& s, int tid, const Message& req) {
        s.sendResponse(tid, make_response(req, 200), true);
    });
    peer.send(options_text(peer.port(), "z9hG4bKnoack", "127.0.0.1", "UDP", "INVITE"), addr);
    report_t r;
    ASSERT_TRUE(rec.next("ack-timeout", &r, 5000)) << "64*T1 with T1 20 ms";
    EXPECT_EQ(r.code, 200);
}

TEST_F(StackUdp, CancelMatchesItsInviteElse481)
{
    peer.send(options_text(peer.port(), "z9hG4bKc1", "127.0.0.1", "UDP", "INVITE"), addr);
    report_t inv;
    ASSERT_TRUE(rec.next("request", &inv));
    EXPECT_EQ(status_of(peer.recv()), 100);
    peer.send(options_text(peer.port(), "z9hG4bKc1", "127.0.0.1", "UDP", "CANCEL"), addr);
    report_t cancel;
    ASSERT_TRUE(rec.next("request", &cancel));
    EXPECT_EQ(cancel.msg.method(), "CANCEL");
    EXPECT_EQ(cancel.code, inv.tid);
    EXPECT_EQ(stack.sendResponse(cancel.tid, make_response(cancel.msg, 200)), 0);
    EXPECT_EQ(status_of(peer.recv()), 200);
    EXPECT_EQ(stack.sendResponse(inv.tid, make_response(inv.msg, 487)), 0);
    EXPECT_EQ(status_of(peer.recv()), 487);
    EXPECT_EQ(stack.sendResponse(inv.tid, make_response(inv.msg, 200)), -3) << "second final answer";
    EXPECT_EQ(stack.sendResponse(99999, make_response(inv.msg, 200)), -6);

    peer.send(options_text(peer.port(), "z9hG4bKnomatch", "127.0.0.1", "UDP", "CANCEL"), addr);
    int got = 0;
    for (int i = 0; i < 20 && got != 481; ++i)
        got = status_of(peer.recv());  // 487 is re-sent meanwhile: no ACK here
    EXPECT_EQ(got, 481);
    // an unmatched CANCEL whose 481 cannot go (its Via names TCP, which this
    // stack lacks) is not reported: the user never had its id
    peer.send(options_text(peer.port(), "z9hG4bKnomatch2", "127.0.0.1", "TCP", "CANCEL"), addr);
    report_t r;
    EXPECT_FALSE(rec.next("error", &r, 300)) << r.tid;
    while (rec.next("terminated", &r, 100))
        EXPECT_TRUE(r.tid == inv.tid || r.tid == cancel.tid) << r.tid;
    EXPECT_FALSE(rec.next("request", &r, 0));
}

TEST_F(StackUdp, ClientNonInviteRetransmitsThenTimesOut)
{
    Message req = Message::parse(options_text(peer.port(), "unused"));
    req.popVia();
    req.setRequestUri(Uri::parse("sip:peer@127.0.0.1:" + std::to_string(peer.port())));
    int tid = stack.sendRequest(std::move(req));
    ASSERT_GT(tid, 0);
    std::string first = peer.recv();
    ASSERT_FALSE(first.empty());
    Message m = Message::parse(first);
    EXPECT_EQ(m.via().protocol, "UDP");
    EXPECT_EQ(m.via().port, addr.port());
    EXPECT_EQ(m.via().branch.rfind("z9hG4bK", 0), 0u);
    EXPECT_TRUE(m.via().has_rport);
    int copies = 0;
    while (!peer.recv(300).empty())
        ++copies;
    EXPECT_GE(copies, 3) << "Timer E re-sends";
    report_t r;
    ASSERT_TRUE(rec.next("timeout", &r, 5000));
    EXPECT_EQ(r.tid, tid);
    ASSERT_TRUE(rec.next("terminated", &r, 3000));
    EXPECT_EQ(r.tid, tid);
}

TEST_F(StackUdp, ClientInviteFinalAckAndStray2xx)
{
    stack.setT1(2000);  // no Timer A copies while the peer answers
    auto invite_to_peer = [&](const char* call) {
        Message req = Message::parse(options_text(peer.port(), call, "127.0.0.1", "UDP", "INVITE"));
        req.popVia();
        req.setRequestUri(Uri::parse("sip:peer@127.0.0.1:" + std::to_string(peer.port())));
        return stack.sendRequest(std::move(req));
    };
    // 486: osip acknowledges it itself, the user sees the response
    int tid = invite_to_peer("call-busy");
    ASSERT_GT(tid, 0);
    Message inv = Message::parse(peer.recv());
    ASSERT_TRUE(inv);
    std::string busy = make_response(inv, 486).toString();
    peer.send(busy, addr);
    Message ack = Message::parse(peer.recv());
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack.method(), "ACK");
    EXPECT_EQ(ack.topBranch(), inv.topBranch());
    report_t r;
    ASSERT_TRUE(rec.next("response", &r));
    EXPECT_EQ(r.code, 486);
    EXPECT_EQ(r.tid, tid);
    peer.send(busy, addr);  // retransmitted final: ACK again, user not told
    EXPECT_EQ(Message::parse(peer.recv()).method(), "ACK");
    EXPECT_FALSE(rec.next("response", &r, 200));

    // 200: the user gets it; a retransmission arrives as a stray response
    int tid2 = invite_to_peer("call-ok");
    Message inv2 = Message::parse(peer.recv());
    ASSERT_TRUE(inv2);
    std::string ok = make_response(inv2, 200).toString();
    peer.send(ok, addr);
    ASSERT_TRUE(rec.next("response", &r));
    EXPECT_EQ(r.tid, tid2);
    EXPECT_EQ(r.code, 200);
    ASSERT_TRUE(rec.next("terminated", &r));
    peer.send(ok, addr);
    ASSERT_TRUE(rec.next("stray", &r));
    EXPECT_EQ(r.code, 200);
    // the user's ACK goes out statelessly
    Message ack2 = Message::parse(options_text(peer.port(), "x", "127.0.0.1", "UDP", "ACK"));
    ack2.popVia();
    ack2.setRequestUri(Uri::parse("sip:peer@127.0.0.1:" + std::to_string(peer.port())));
    EXPECT_EQ(stack.sendStateless(std::move(ack2)), 0);
    EXPECT_EQ(Message::parse(peer.recv()).method(), "ACK");
}

namespace {

// An OPTIONS with one piece of text replaced.
std::string with(int port, const std::string& branch, const std::string& from, const std::string& to)
{
    std::string text = options_text(port, branch);
    return text.replace(text.find(from), from.size(), to);
}

}  // namespace

TEST_F(StackUdp, MalformedInputDroppedOrRefused)
{
    struct {
        const char* name;
        std::string text;
        int expect;  // status answered, 0 = dropped
    } cases[] = {
        {"garbage", "\x01\x02 hello\r\n\r\n", 0},
        {"truncated", "OPTIONS sip:a@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1", 0},
        {"body shorter than Content-Length",
         options_text(peer.port(), "z9hG4bKcl").replace(options_text(peer.port(), "z9hG4bKcl").find("Content-Length: 0"), 17,
                                                       "Content-Length: 50"),
         400},
        {"CSeq method differs",
         options_text(peer.port(), "z9hG4bKcs").replace(options_text(peer.port(), "z9hG4bKcs").find("CSeq: 1 OPTIONS"), 15,
                                                       "CSeq: 1 INVITE"),
         400},
        {"no Call-ID",
         options_text(peer.port(), "z9hG4bKci").erase(options_text(peer.port(), "z9hG4bKci").find("Call-ID"), 27), 0},
        {"stray response with bad length", "SIP/2.0 200 OK\r\nContent-Length: 99\r\n\r\nx", 0},
        // osip reads %00, or a % without two hex digits, as a NUL that cuts
        // the user short: alice%00x would pass for alice
        {"%00 in the Request-URI", with(peer.port(), "z9hG4bKe1", "sip:stack@", "sip:stack%00x@"), 400},
        {"%00 in From", with(peer.port(), "z9hG4bKe2", "From: <sip:peer", "From: <sip:peer%00x"), 400},
        {"bare % in To", with(peer.port(), "z9hG4bKe3", "To: <sip:stack", "To: <sip:st%ck"), 400},
        {"% at the end of a compact Contact",
         with(peer.port(), "z9hG4bKe4", "Content-Length", "m: <sip:peer@127.0.0.1;x=%4>\r\nContent-Length"), 400},
        {"%00 on a folded Route line",
         with(peer.port(), "z9hG4bKe5", "Content-Length", "Route: <sip:a@h;lr>,\r\n <sip:b%00@h;lr>\r\nContent-Length"),
         400},
        // ports are numbers 1..65535, not whatever atoi makes of them
        {"Request-URI port past 65535", with(peer.port(), "z9hG4bKp1", "sip:stack@127.0.0.1", "sip:stack@127.0.0.1:70000"),
         400},
        {"Request-URI port 5x", with(peer.port(), "z9hG4bKp2", "sip:stack@127.0.0.1", "sip:stack@127.0.0.1:5x"), 400},
        {"rport past 65535",
         with(peer.port(), "z9hG4bKp3", "Content-Length", "Via: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bKx;rport=70000\r\nContent-Length"),
         400},
        // osip trims "h: " to an empty port and prints "h:", which nobody
        // reads back: echoed or kept for the dialog, it spoils what we send
        {"blank port in From", with(peer.port(), "z9hG4bKb1", "From: <sip:peer@127.0.0.1>", "From: <sip:peer@127.0.0.1: >"),
         400},
        {"blank port in To", with(peer.port(), "z9hG4bKb2", "To: <sip:stack@127.0.0.1>", "To: <sip:stack@127.0.0.1:\t>"),
         400},
        {"blank port in Contact",
         with(peer.port(), "z9hG4bKb3", "Content-Length", "Contact: <sip:peer@127.0.0.1: >\r\nContent-Length"), 400},
        {"blank host in Contact",
         with(peer.port(), "z9hG4bKb4", "Content-Length", "Contact: <sip:peer@ :5060>\r\nContent-Length"), 400},
        {"blank port in Record-Route",
         with(peer.port(), "z9hG4bKb5", "Content-Length", "Record-Route: <sip:p@10.0.0.1: ;lr>\r\nContent-Length"), 400},
        {"blank Contact parameter",
         with(peer.port(), "z9hG4bKb6", "Content-Length", "Contact: <sip:peer@127.0.0.1>;expires= ;q=1\r\nContent-Length"),
         400},
        {"blank port in a Via",
         with(peer.port(), "z9hG4bKb7", "Content-Length", "Via: SIP/2.0/UDP 10.0.0.1: ;branch=z9hG4bKx\r\nContent-Length"),
         400},
        {"blank Via parameter",
         with(peer.port(), "z9hG4bKb8", "Content-Length",
              "Via: SIP/2.0/UDP 10.0.0.1;received= ;branch=z9hG4bKx\r\nContent-Length"),
         400},
        // a 400 would echo it as it is
        {"blank Via host", with(peer.port(), "z9hG4bKb9", "Content-Length", "Via: SIP/2.0/UDP  ;branch=z9hG4bKx\r\nContent-Length"),
         0},
    };
    for (const auto& c : cases) {
        peer.send(c.text, addr);
        std::string got = peer.recv(c.expect ? 2000 : 150);
        EXPECT_EQ(got.empty() ? 0 : status_of(got), c.expect) << c.name << "\n" << got;
    }
    // still serving afterwards
    rec.answer([](Stack& s, int tid, const Message& req) { s.sendResponse(tid, make_response(req, 200)); });
    peer.send(options_text(peer.port(), "z9hG4bKafter"), addr);
    EXPECT_EQ(status_of(peer.recv()), 200);
    // sound escapes, and a % in a display name or a header that holds no URI, pass
    std::string fine = with(peer.port(), "z9hG4bKfine", "From: <sip:peer", "From: \"100% \\\"%\" <sip:p%65er");
    fine.replace(fine.find("Content-Length"), 0, "Subject: 100% sure\r\n");
    peer.send(fine, addr);
    EXPECT_EQ(status_of(peer.recv()), 200) << fine;
}

TEST_F(StackUdp, SendErrorsReachTheTransaction)
{
    // no IPv6 transport: the transaction learns it cannot be sent
    Message req = Message::parse(options_text(peer.port(), "x"));
    req.popVia();
    req.setRequestUri(Uri::parse("sip:peer@[::1]:5099"));
    int tid = stack.sendRequest(std::move(req));
    ASSERT_GT(tid, 0);
    report_t r;
    ASSERT_TRUE(rec.next("error", &r));
    EXPECT_EQ(r.tid, tid);
    ASSERT_TRUE(rec.next("terminated", &r));
    EXPECT_EQ(r.tid, tid);
    // a Route port past 65535 is no port: atoi and a 16-bit cut made it this peer's
    req = Message::parse(options_text(peer.port(), "x"));
    req.popVia();
    req.addHeader("Route", "<sip:127.0.0.1:" + std::to_string(peer.port() + 65536) + ";lr>");
    tid = stack.sendRequest(std::move(req));
    ASSERT_GT(tid, 0);
    ASSERT_TRUE(rec.next("error", &r));
    EXPECT_EQ(r.tid, tid);
    EXPECT_EQ(peer.recv(150), "");
    EXPECT_EQ(stack.sendRequest(Message()), -2);
    EXPECT_LT(stack.addTransport(TransportType::UDP, "127.0.0.1", addr.port()), 0) << "port in use";
    EXPECT_LT(stack.addTransport(TransportType::UDP, "not-an-ip", 5060), 0);
    EXPECT_EQ(stack.setReceiveBuffer(tp, 256 * 1024), 0);
    EXPECT_EQ(stack.setReceiveBuffer(tp, -1), -EINVAL);
    EXPECT_EQ(stack.setReceiveBuffer(999, 65536), -6);
}

TEST_F(StackUdp, InviteServerErrorResentUntilAckThenAbsorbed)
{
    rec.answer([](Stack& s, int tid, const Message& req) {
        if (req.method() == "INVITE")
            s.sendResponse(tid, make_response(req, 486));
    });
    std::string invite = options_text(peer.port(), "z9hG4bKbusy", "127.0.0.1", "UDP", "INVITE");
    peer.send(invite, addr);
    EXPECT_EQ(status_of(peer.recv()), 100);
    std::string busy = peer.recv();
    ASSERT_EQ(status_of(busy), 486);
    EXPECT_EQ(status_of(peer.recv()), 486) << "Timer G re-sends the final response";
    // the ACK of a non-2xx shares the INVITE's branch and ends it inside the transaction
    std::string ack = options_text(peer.port(), "z9hG4bKbusy", "127.0.0.1", "UDP", "ACK");
    ack.replace(ack.find("To: <sip:stack@127.0.0.1>"), 25, "To: " + Message::parse(busy).header("To"));
    ack.replace(ack.find("Call-ID: z9hG4bKbusy@peer"), 25, "Call-ID: z9hG4bKbusy@peer");
    peer.send(ack, addr);
    while (!peer.recv(150).empty()) {
    }
    EXPECT_EQ(peer.recv(300), "");
    report_t r;
    EXPECT_FALSE(rec.next("ack", &r, 100)) << "that ACK is not the user's";
}

TEST_F(StackUdp, ClientInviteTimerB)
{
    Message req = Message::parse(options_text(peer.port(), "tb", "127.0.0.1", "UDP", "INVITE"));
    req.popVia();
    req.setRequestUri(Uri::parse("sip:peer@127.0.0.1:" + std::to_string(peer.port())));
    int tid = stack.sendRequest(std::move(req));
    ASSERT_GT(tid, 0);
    int copies = 0;
    while (!peer.recv(400).empty())
        ++copies;
    EXPECT_GE(copies, 5) << "Timer A re-sends, doubling";
    report_t r;
    ASSERT_TRUE(rec.next("timeout", &r, 5000));
    EXPECT_EQ(r.tid, tid);
}

TEST_F(StackUdp, CompletedNonInviteEndsAtOnceAndItsResponseAnswersRetransmissions)
{
    rec.answer([](Stack& s, int tid, const Message& req) { s.sendResponse(tid, make_response(req, 200)); });
    std::string req = options_text(peer.port(), "z9hG4bKdone");
    peer.send(req, addr);
    std::string first = peer.recv();
    ASSERT_EQ(status_of(first), 200);
    report_t r;
    ASSERT_TRUE(rec.next("request", &r));
    ASSERT_TRUE(rec.next("terminated", &r, 300)) << "the transaction is not kept until Timer J";
    peer.send(req, addr);
    EXPECT_EQ(peer.recv(), first) << "the retransmission gets the same response";
    EXPECT_FALSE(rec.next("request", &r, 100));
    // Timer J (64*T1 = 1.28 s) later the same request is new again.
    usleep(1500 * 1000);
    peer.send(req, addr);
    EXPECT_EQ(status_of(peer.recv()), 200);
    EXPECT_TRUE(rec.next("request", &r));
}

TEST_F(StackUdp, CompletedClientNonInviteEndsAtOnceAndAbsorbsItsResponse)
{
    Message req = Message::parse(options_text(peer.port(), "unused"));
    req.popVia();
    req.setRequestUri(Uri::parse("sip:peer@127.0.0.1:" + std::to_string(peer.port())));
    int tid = stack.sendRequest(std::move(req));
    ASSERT_GT(tid, 0);
    Message sent = Message::parse(peer.recv());
    ASSERT_TRUE(sent);
    std::string ok = make_response(sent, 200).toString();
    peer.send(ok, addr);
    report_t r;
    ASSERT_TRUE(rec.next("response", &r));
    EXPECT_EQ(r.tid, tid);
    // Ended well before Timer K (5 s), yet a retransmitted answer is still
    // this transaction's, not a stray one.
    ASSERT_TRUE(rec.next("terminated", &r, 500));
    EXPECT_EQ(r.tid, tid);
    peer.send(ok, addr);
    EXPECT_FALSE(rec.next("stray", &r, 200));
    EXPECT_FALSE(rec.next("response", &r, 10));
}

TEST(StackLinger, CompletedServerTransactionAnswersRetransmissionsForTheLingerOnly)
{
    Recorder rec;
    stack_config_t cfg;
    cfg.completed_linger_ms = 300;
    Stack stack(&rec, cfg);
    rec.stack = &stack;
    int tp = stack.addTransport(TransportType::UDP, "127.0.0.1", 0);
    ASSERT_GT(tp, 0);
    sock_addr_t addr = stack.localAddress(tp);
    stack.start();
    UdpPeer peer;
    rec.answer([](Stack& s, int tid, const Message& req) { s.sendResponse(tid, make_response(req, 200)); });
    std::string req = options_text(peer.port(), "z9hG4bKlinger");
    peer.send(req, addr);
    std::string first = peer.recv();
    ASSERT_EQ(status_of(first), 200);
    report_t r;
    ASSERT_TRUE(rec.next("request", &r));
    peer.send(req, addr);
    EXPECT_EQ(peer.recv(), first) << "within the linger: the same response, the user not asked";
    EXPECT_FALSE(rec.next("request", &r, 50));
    usleep(600 * 1000);  // past the linger, well before Timer J (32 s)
    peer.send(req, addr);
    EXPECT_EQ(status_of(peer.recv()), 200);
    EXPECT_TRUE(rec.next("request", &r)) << "after the linger the request is new again";
}

// Branches without the magic cookie: matched by Request-URI, Call-ID, CSeq,
// From tag and top Via, for retransmissions, CANCEL and the ACK of an error.
TEST_F(StackUdp, OldStyleBranchesMatchTheirTransaction)
{
    rec.answer([](Stack& s, int tid, const Message& req) {
        if (req.method() != "INVITE")
            s.sendResponse(tid, make_response(req, 200));
    });
    for (std::string branch : {"old1", ""}) {
        SCOPED_TRACE("branch \"" + branch + "\"");
        std::string options = options_text(peer.port(), branch + "o");
        if (branch.empty())
            options.replace(options.find(";branch=o"), 9, "");
        peer.send(options, addr);
        EXPECT_EQ(status_of(peer.recv()), 200);
        peer.send(options, addr);
        EXPECT_EQ(status_of(peer.recv()), 200);
        report_t r;
        ASSERT_TRUE(rec.next("request", &r));
        EXPECT_FALSE(rec.next("request", &r, 100)) << "the retransmission reached the user";

        std::string invite = options_text(peer.port(), branch + "i", "127.0.0.1", "UDP", "INVITE");
        std::string cancel = options_text(peer.port(), branch + "i", "127.0.0.1", "UDP", "CANCEL");
        if (branch.empty()) {
            invite.replace(invite.find(";branch=i"), 9, "");
            cancel.replace(cancel.find(";branch=i"), 9, "");
        }
        peer.send(invite, addr);
        report_t inv;
        ASSERT_TRUE(rec.next("request", &inv));
        EXPECT_EQ(status_of(peer.recv()), 100);
        peer.send(invite, addr);
        EXPECT_EQ(status_of(peer.recv()), 100) << "the retransmitted INVITE gets the last response";
        peer.send(cancel, addr);
        report_t c;
        ASSERT_TRUE(rec.next("request", &c));
        EXPECT_EQ(c.msg.method(), "CANCEL");
        EXPECT_EQ(c.code, inv.tid) << "the CANCEL found its INVITE";
        EXPECT_EQ(status_of(peer.recv()), 200);
        ASSERT_EQ(stack.sendResponse(inv.tid, make_response(inv.msg, 487)), 0);
        std::string final = peer.recv();
        ASSERT_EQ(status_of(final), 487);
        std::string ack = options_text(peer.port(), branch + "i", "127.0.0.1", "UDP", "ACK");
        if (branch.empty())
            ack.replace(ack.find(";branch=i"), 9, "");
        ack.replace(ack.find("To: <sip:stack@127.0.0.1>"), 25, "To: " + Message::parse(final).header("To"));
        peer.send(ack, addr);
        while (!peer.recv(150).empty()) {
        }
        EXPECT_FALSE(rec.next("ack", &r, 100)) << "the ACK of the 487 is the transaction's";
    }
}

namespace {

// Answers REGISTER without a transaction; the rest as Recorder does.
class StatelessRegistrar : public Recorder {
public:
    int taken = 0;
    bool onStatelessRequest(Message& request, const request_info_t& info) override
    {
        if (request.method() != "REGISTER")
            return false;
        ++taken;
        Message r = make_response(request, 200);
        r.addHeader("Contact", request.header("Contact") + ";expires=60");
        EXPECT_EQ(stack->sendStatelessResponse(std::move(r), info.from), 0);
        return true;
    }
};

}  // namespace

TEST(StackStateless, RequestTakenByTheUserMakesNoTransaction)
{
    StatelessRegistrar user;
    Stack stack(&user);
    user.stack = &stack;
    int tp = stack.addTransport(TransportType::UDP, "127.0.0.1", 0);
    ASSERT_GT(tp, 0);
    sock_addr_t addr = stack.localAddress(tp);
    UdpPeer peer;
    std::string reg = options_text(peer.port(), "z9hG4bKreg", "127.0.0.1", "UDP", "REGISTER");
    reg.insert(reg.find("Content-Length"), "Contact: <sip:peer@127.0.0.1>\r\n");
    for (int i = 0; i < 2; ++i) {
        peer.send(reg, addr);
        for (int n = 0; n < 50 && user.taken == i; ++n)
            stack.runOnce(20);
        std::string resp = peer.recv();
        ASSERT_EQ(status_of(resp), 200) << resp;
        Message m = Message::parse(resp);
        EXPECT_EQ(m.via().rport, peer.port());
        EXPECT_NE(m.header("Contact").find("expires=60"), std::string::npos);
    }
    EXPECT_EQ(user.taken, 2) << "a retransmission is the user's again";
    EXPECT_EQ(user.count("request") + user.count("terminated"), 0u) << "no transaction";
    EXPECT_EQ(stack.sendStatelessResponse(Message::parse(reg), {}), -2) << "a request is no answer";
}

// Datagrams that waited past the limit in the socket: new requests get 503
// with Retry-After; retransmissions of accepted ones and requests within a
// dialog still go through.
TEST(StackUdpBatch, EveryDatagramOfABatchGetsItsOwnAnswer)
{
    Recorder user;
    Stack stack(&user);
    user.stack = &stack;
    user.answer([](Stack& s, int tid, const Message& req) { s.sendResponse(tid, make_response(req, 200)); });
    int tp = stack.addTransport(TransportType::UDP, "127.0.0.1", 0);
    ASSERT_GT(tp, 0);
    UdpPeer peer;
    // Long branches first, then short ones: the second batch's answers reuse
    // the first one's buffers.
    for (const std::string pad : {"longer-branch-to-fill-the-buffer", ""}) {
        std::set<std::string> sent, answered;
        for (int i = 0; i < 40; ++i) {
            std::string branch = "z9hG4bKbatch" + pad + std::to_string(i);
            peer.send(options_text(peer.port(), branch), stack.localAddress(tp));
            sent.insert(branch);
        }
        stack.runOnce(0);
        for (std::string r; !(r = peer.recv(300)).empty();) {
            EXPECT_EQ(status_of(r), 200) << r;
            EXPECT_TRUE(answered.insert(Message::parse(r).via().branch).second) << "answered twice: " << r;
        }
        EXPECT_EQ(answered, sent);
    }
}

TEST(StackOverload, ShedsNewRequestsOnly)
{
    Recorder user;
    stack_config_t cfg;
    cfg.overload_delay_ms = 100;
    cfg.retry_after_s = 7;
    int64_t now = 1000;
    cfg.clock_ms = [&now] { return now; };
    Stack stack(&user, cfg);
    user.stack = &stack;
    user.answer([](Stack& s, int tid, const Message& req) { s.sendResponse(tid, make_response(req, 200)); });
    int tp = stack.addTransport(TransportType::UDP, "127.0.0.1", 0);
    ASSERT_GT(tp, 0);
    UdpPeer peer;
    peer_t from;
    from.addr = peer.addr;
    from.transport_id = tp;
    int fresh = 0;
    auto feed = [&](const std::string& text, int64_t waited, int64_t after_ms = 10) {
        now += after_ms;
        stack.queueDelay(waited);
        stack.received(text.data(), text.size(), from);
        stack.runOnce(0);
        return peer.recv(500);
    };
    auto feed_new = [&](int64_t waited, int64_t after_ms = 10) {
        return feed(options_text(peer.port(), "z9hG4bKnew" + std::to_string(++fresh)), waited, after_ms);
    };
    std::string accepted = options_text(peer.port(), "z9hG4bKacc");
    EXPECT_EQ(status_of(feed(accepted, 5)), 200);

    EXPECT_EQ(status_of(feed_new(400)), 200) << "a single late batch is still accepted";
    EXPECT_EQ(status_of(feed_new(400, 60)), 200) << "late for 60 ms only";
    std::string refused = feed_new(400, 50);
    ASSERT_EQ(status_of(refused), 503) << "late for 110 ms: " << refused;
    EXPECT_EQ(Message::parse(refused).header("Retry-After"), "7");
    EXPECT_EQ(status_of(feed(accepted, 400)), 200) << "a retransmission of an accepted request";
    std::string bye = options_text(peer.port(), "z9hG4bKbye", "127.0.0.1", "UDP", "BYE");
    bye.replace(bye.find("To: <sip:stack@127.0.0.1>"), 25, "To: <sip:stack@127.0.0.1>;tag=d1");
    EXPECT_EQ(status_of(feed(bye, 400)), 200) << "a request within a dialog";

    EXPECT_EQ(status_of(feed_new(5)), 200) << "recovered at the first batch on time";
    EXPECT_EQ(status_of(feed_new(400)), 200) << "a new late stretch starts";
    EXPECT_EQ(status_of(feed_new(400, 200)), 200) << "late again only after a quiet spell";
    EXPECT_EQ(status_of(feed_new(400, 100)), 503);
    EXPECT_EQ(user.count("request"), 7u);
}
