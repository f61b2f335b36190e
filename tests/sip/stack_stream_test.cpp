// The stack over TCP and TLS: framing, the connection table, idle clean-up,
// connection errors, verified TLS peers; and IPv6.
#include <gtest/gtest.h>

#include "sip/core/resolver.h"
#include "sip/core/response.h"
#include "sip/core/tcp_transport.h"
#include "sip_peer.h"
#include "support/tls_cert.h"

using namespace sipcore;
using namespace siptest;

namespace {

void answer_200(Recorder& rec)
{
    rec.answer([](Stack& s, int tid, const Message& req) { s.sendResponse(tid, make_response(req, 200)); });
}

Message request_to(const std::string& uri, const char* method = "OPTIONS")
{
    Message req = Message::parse(options_text(1, "x", "127.0.0.1", "UDP", method));
    req.popVia();
    req.setRequestUri(Uri::parse(uri));
    return req;
}

}  // namespace

TEST(StackTcp, FramesStreamAndAnswersOnTheSameConnection)
{
    Recorder rec;
    Stack stack(&rec);
    rec.stack = &stack;
    answer_200(rec);
    int tp = stack.addTransport(TransportType::TCP, "127.0.0.1", 0);
    ASSERT_GT(tp, 0);
    stack.start();
    TcpPeer peer(stack.localAddress(tp));
    ASSERT_TRUE(peer.ok);
    // two messages in one write, a third split across writes, keep-alives between
    std::string a = options_text(5999, "z9hG4bKt1", "192.0.2.1", "TCP");
    std::string b = options_text(5999, "z9hG4bKt2", "192.0.2.1", "TCP");
    std::string c = options_text(5999, "z9hG4bKt3", "192.0.2.1", "TCP");
    peer.send(a + b + "\r\n\r\n" + c.substr(0, 40));
    usleep(20000);
    peer.send(c.substr(40));
    std::set<std::string> branches;
    for (int i = 0; i < 3; ++i) {
        Message r = Message::parse(peer.recv());
        ASSERT_TRUE(r) << i;
        EXPECT_EQ(r.statusCode(), 200);
        branches.insert(r.topBranch());
    }
    EXPECT_EQ(branches.size(), 3u);
    EXPECT_EQ(stack.connectionCount(tp), 1u);

    // garbage with no Content-Length cannot be framed: the connection goes
    TcpPeer bad(stack.localAddress(tp));
    bad.send("OPTIONS sip:x SIP/2.0\r\nVia: SIP/2.0/TCP 1.2.3.4\r\n\r\n");
    EXPECT_TRUE(bad.closedByPeer());
    TcpPeer huge(stack.localAddress(tp));
    huge.send(std::string(300 * 1024, 'A'));
    EXPECT_TRUE(huge.closedByPeer());
    // the first connection still works
    peer.send(options_text(5999, "z9hG4bKt4", "192.0.2.1", "TCP"));
    EXPECT_EQ(status_of(peer.recv()), 200);
}

TEST(StackTcp, ReusesConnectionsForLaterRequests)
{
    Recorder rec;
    Stack stack(&rec);
    rec.stack = &stack;
    int tp = stack.addTransport(TransportType::TCP, "127.0.0.1", 0);
    ASSERT_GT(tp, 0);
    stack.start();
    sock_addr_t la = make_addr("127.0.0.1", 0);
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(lfd, la.sa(), la.len), 0);
    listen(lfd, 4);
    sock_addr_t srv;
    srv.len = sizeof srv.ss;
    getsockname(lfd, srv.sa(), &srv.len);
    std::string uri = "sip:peer@127.0.0.1:" + std::to_string(srv.port()) + ";transport=tcp";

    int tid = stack.sendRequest(request_to(uri));
    ASSERT_GT(tid, 0);
    TcpPeer conn(accept(lfd, nullptr, nullptr));
    Message req = Message::parse(conn.recv());
    ASSERT_TRUE(req);
    EXPECT_EQ(req.via().protocol, "TCP");
    conn.send(make_response(req, 200).toString());
    report_t r;
    ASSERT_TRUE(rec.next("response", &r));
    EXPECT_EQ(r.tid, tid);

    int tid2 = stack.sendRequest(request_to(uri));
    Message req2 = Message::parse(conn.recv());
    ASSERT_TRUE(req2) << "second request on the same connection";
    conn.send(make_response(req2, 404).toString());
    ASSERT_TRUE(rec.next("response", &r));
    EXPECT_EQ(r.tid, tid2);
    EXPECT_EQ(r.code, 404);
    pollfd p{lfd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 100), 0) << "no second connection";
    EXPECT_EQ(stack.connectionCount(tp), 1u);

    // the peer goes away: a request to a closed port is a transport error
    close(lfd);
    int tid3 = stack.sendRequest(request_to("sip:peer@127.0.0.1:1;transport=tcp"));
    ASSERT_TRUE(rec.next("error", &r));
    EXPECT_EQ(r.tid, tid3);
    ASSERT_TRUE(rec.next("terminated", &r));
}

TEST(StackTcp, IdleConnectionsAreClosed)
{
    std::atomic<int64_t> now{1000};
    Recorder rec;
    stack_config_t cfg;
    cfg.clock_ms = [&] { return now.load(); };
    cfg.idle_connection_ms = 30000;
    Stack stack(&rec, cfg);
    rec.stack = &stack;
    answer_200(rec);
    int tp = stack.addTransport(TransportType::TCP, "127.0.0.1", 0);
    // driven by hand: no thread, the clock moves when the test says
    TcpPeer peer(stack.localAddress(tp));
    peer.send(options_text(5999, "z9hG4bKidle", "127.0.0.1", "TCP"));
    for (int i = 0; i < 5; ++i)
        stack.runOnce(20);
    EXPECT_EQ(status_of(peer.recv(100)), 200);
    EXPECT_EQ(stack.connectionCount(tp), 1u);
    now += 20000;
    stack.runOnce(0);
    EXPECT_EQ(stack.connectionCount(tp), 1u);
    now += 11000;
    stack.runOnce(0);
    EXPECT_EQ(stack.connectionCount(tp), 0u);
    EXPECT_TRUE(peer.closedByPeer(100));
}

TEST(StackIpv6, UdpAndTcpOnLoopback)
{
    Recorder rec;
    Stack stack(&rec);
    rec.stack = &stack;
    answer_200(rec);
    int udp = stack.addTransport(TransportType::UDP, "::1", 0);
    if (udp < 0)
        GTEST_SKIP() << "no IPv6 loopback here";
    int tcp = stack.addTransport(TransportType::TCP, "::1", 0);
    ASSERT_GT(tcp, 0);
    stack.start();
    UdpPeer peer("::1");
    peer.send(options_text(peer.port(), "z9hG4bK6u", "[::1]"), stack.localAddress(udp));
    std::string r = peer.recv();
    EXPECT_EQ(status_of(r), 200) << r;
    TcpPeer tpeer(stack.localAddress(tcp));
    tpeer.send(options_text(5060, "z9hG4bK6t", "[::1]", "TCP"));
    EXPECT_EQ(status_of(tpeer.recv()), 200);
}

TEST(SipResolver, NumericAndHostsFile)
{
    Recorder rec;
    Stack stack(&rec);
    std::vector<sock_addr_t> got;
    int err = 1;
    stack.resolver().resolve("192.0.2.9", 5061, [&](int e, std::vector<sock_addr_t> a) {
        err = e;
        got = std::move(a);
    });
    ASSERT_EQ(err, 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].key(), "192.0.2.9:5061");
    stack.resolver().resolve("[2001:db8::1]", 5060, [&](int e, std::vector<sock_addr_t> a) { got = std::move(a); });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].key(), "[2001:db8::1]:5060");
    // "localhost" comes from the hosts file, no DNS traffic
    err = 1;
    got.clear();
    stack.resolver().resolve("localhost", 5060, [&](int e, std::vector<sock_addr_t> a) {
        err = e;
        got = std::move(a);
    });
    for (int i = 0; i < 100 && err == 1; ++i)
        stack.runOnce(10);
    ASSERT_EQ(err, 0);
    ASSERT_FALSE(got.empty());
    EXPECT_TRUE(got[0].ip() == "127.0.0.1" || got[0].ip() == "::1") << got[0].ip();
    EXPECT_EQ(got[0].port(), 5060);
}

TEST(StackTls, RequestAndResponseWithVerifiedPeers)
{
    testsupport::TlsCert certs;
    tls_options_t tls;
    tls.cert_file = certs.cert;
    tls.key_file = certs.key;
    tls.ca_file = certs.cert;
    tls.client_verify = tls_options_t::Verify::Optional;
    tls.verify_server = true;

    Recorder server_rec, client_rec;
    Stack server(&server_rec), client(&client_rec);
    server_rec.stack = &server;
    client_rec.stack = &client;
    answer_200(server_rec);
    int stp = server.addTransport(TransportType::TLS, "127.0.0.1", 0, &tls);
    ASSERT_GT(stp, 0);
    ASSERT_GT(client.addTransport(TransportType::TLS, "127.0.0.1", 0, &tls), 0);
    server.start();
    client.start();
    int port = server.localAddress(stp).port();
    int tid = client.sendRequest(request_to("sip:srv@127.0.0.1:" + std::to_string(port) + ";transport=tls"));
    ASSERT_GT(tid, 0);
    report_t r;
    ASSERT_TRUE(client_rec.next("response", &r, 5000));
    EXPECT_EQ(r.code, 200);
    ASSERT_TRUE(server_rec.next("request", &r));
    EXPECT_EQ(r.from.transport, TransportType::TLS);
    EXPECT_TRUE(r.from.tls_verified);
    EXPECT_NE(r.from.tls_subject.find("localhost"), std::string::npos) << r.from.tls_subject;

    // a plain TCP client speaking to the TLS port fails the handshake and is dropped
    TcpPeer plain(server.localAddress(stp));
    plain.send(options_text(5061, "z9hG4bKplain", "127.0.0.1", "TLS"));
    EXPECT_TRUE(plain.closedByPeer(3000));

    // bad certificate files are refused at listen time
    tls_options_t broken = tls;
    broken.cert_file = "/nonexistent/cert.pem";
    EXPECT_LT(server.addTransport(TransportType::TLS, "127.0.0.1", 0, &broken), 0);
    EXPECT_LT(server.addTransport(TransportType::TLS, "127.0.0.1", 0, nullptr), 0);
}

TEST(StackTls, MandatoryClientCertificate)
{
    testsupport::TlsCert certs;
    tls_options_t srv_tls;
    srv_tls.cert_file = certs.cert;
    srv_tls.key_file = certs.key;
    srv_tls.ca_file = certs.cert;
    srv_tls.client_verify = tls_options_t::Verify::Mandatory;
    tls_options_t anon;  // a client with no certificate of its own
    Recorder server_rec, client_rec;
    Stack server(&server_rec), client(&client_rec);
    server_rec.stack = &server;
    answer_200(server_rec);
    int stp = server.addTransport(TransportType::TLS, "127.0.0.1", 0, &srv_tls);
    ASSERT_GT(client.addTransport(TransportType::TLS, "127.0.0.1", 0, &anon), 0);
    server.start();
    client.start();
    int port = server.localAddress(stp).port();
    int tid = client.sendRequest(request_to("sip:srv@127.0.0.1:" + std::to_string(port) + ";transport=tls"));
    report_t r;
    ASSERT_TRUE(client_rec.next("error", &r, 5000));
    EXPECT_EQ(r.tid, tid);
    EXPECT_FALSE(server_rec.next("request", &r, 200));
}
