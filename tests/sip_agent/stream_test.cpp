// The layer over TCP and TLS: calls and registrations between two layers,
// Via and Contact naming the transport, and transport errors reported as
// failures instead of being dropped.
#include "agent_fixture.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sip/core/digest.h"
#include "sip/core/tcp_transport.h"
#include "support/tls_cert.h"

using namespace agenttest;
using namespace sipcore;

namespace {

const tls_options_t* tls_for(TransportType type)
{
    static testsupport::TlsCert cert;
    static tls_options_t tls = [] {
        tls_options_t t;
        t.cert_file = cert.cert;
        t.key_file = cert.key;
        t.ca_file = cert.cert;
        return t;
    }();
    return type == TransportType::TLS ? &tls : nullptr;
}

const char* lower_name(TransportType type)
{
    return type == TransportType::TLS ? "tls" : "tcp";
}

class Stream : public TwoSides, public ::testing::WithParamInterface<TransportType> {
protected:
    Stream() : TwoSides(GetParam(), tls_for(GetParam())) {}
};

// A TCP port nobody listens on.
int closed_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sock_addr_t a = make_addr("127.0.0.1", 0);
    bind(fd, a.sa(), a.len);
    a.len = sizeof a.ss;
    getsockname(fd, a.sa(), &a.len);
    close(fd);
    return a.port();
}

}  // namespace

TEST_P(Stream, CallSetUpAndHungUpByCallee)
{
    up_t u = connect();
    ASSERT_GT(u.b_cid, 0);
    {
        std::lock_guard<std::mutex> g(b.agent->mutex());
        EXPECT_EQ(b.agent->callTerminate(u.b_cid, 0, "Q.850;cause=16"), 0);
    }
    // the callee's BYE goes to the caller's Contact, which names the transport
    auto bye = a.next(EventType::CallMessageNew);
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->request.method(), "BYE");
    EXPECT_EQ(bye->request.via().protocol, transport_name(GetParam()));
    EXPECT_EQ(bye->request.header("Reason"), "Q.850;cause=16");
    ASSERT_TRUE(a.next(EventType::CallClosed));
    ASSERT_TRUE(a.next(EventType::CallReleased));
    ASSERT_TRUE(b.next(EventType::CallReleased));
    a.drain(100);
    b.drain(100);
    bool last = false;
    EXPECT_EQ(a.releases(u.a_cid, &last), 1);
    EXPECT_TRUE(last);
    EXPECT_EQ(b.releases(u.b_cid, &last), 1);
    EXPECT_TRUE(last);
}

TEST_P(Stream, ViaAndContactNameTheTransport)
{
    std::string t = lower_name(GetParam());
    std::string b_contact = "<sip:bob@127.0.0.1:" + std::to_string(b.port()) + ";transport=" + t + ">";
    dial();
    auto inv = b.next(EventType::CallInvite);
    ASSERT_TRUE(inv);
    EXPECT_EQ(inv->request.via().protocol, transport_name(GetParam()));
    EXPECT_EQ(inv->request.header("Contact"),
              "<sip:alice@127.0.0.1:" + std::to_string(a.port()) + ";transport=" + t + ">");
    {
        std::lock_guard<std::mutex> g(b.agent->mutex());
        Message ringing;
        ASSERT_EQ(b.agent->callBuildAnswer(inv->tid, 180, &ringing), 0);
        EXPECT_EQ(ringing.header("Contact"), b_contact);
        ASSERT_EQ(b.agent->callSendAnswer(inv->tid, 180, std::move(ringing)), 0);
        EXPECT_EQ(b.agent->callTerminate(inv->cid, 0), 0);
    }
    ASSERT_TRUE(a.next(EventType::CallGlobalFailure));
    ASSERT_TRUE(a.next(EventType::CallReleased));
    ASSERT_TRUE(b.next(EventType::CallReleased));
}

// b plays the registrar: it sees the REGISTERs as out-of-dialog requests.
TEST_P(Stream, RegistrationWithDigestRefreshAndRemoval)
{
    auto answer_register = [&](const event_t& ev, int code, const std::string& extra_name = "",
                               const std::string& extra_value = "") {
        std::lock_guard<std::mutex> g(b.agent->mutex());
        Message r;
        ASSERT_EQ(b.agent->messageBuildAnswer(ev.tid, code, &r), 0);
        if (!extra_name.empty())
            r.addHeader(extra_name, extra_value);
        ASSERT_EQ(b.agent->messageSendAnswer(ev.tid, code, std::move(r)), 0);
    };
    int rid;
    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        a.agent->addAuthenticationInfo("100", "100", "secret", "", "gw");
        Message msg;
        std::string registrar = b.uri("x").replace(4, 2, "");  // no user part
        rid = a.agent->registerBuildInitial("<sip:100@example.com>", registrar, "<" + a.uri("100") + ">", 60, &msg);
        ASSERT_GT(rid, 0);
        ASSERT_EQ(a.agent->registerSend(rid, std::move(msg)), 0);
    }
    auto first = b.next(EventType::MessageNew);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->request.method(), "REGISTER");
    EXPECT_EQ(first->request.via().protocol, transport_name(GetParam()));
    answer_register(*first, 401, "WWW-Authenticate", challenge_header_value(challenge_of("gw", "n1")));
    auto challenged = a.next(EventType::RegistrationFailure);
    ASSERT_TRUE(challenged);
    EXPECT_TRUE(challenged->will_retry);

    auto second = b.next(EventType::MessageNew);
    ASSERT_TRUE(second);
    digest_response_t dr;
    ASSERT_EQ(digest_parse_response(second->request.header("Authorization"), &dr), 0);
    EXPECT_TRUE(digest_verify(dr, "REGISTER", digest_ha1("100", "gw", "secret")));
    answer_register(*second, 200, "Expires", "60");
    auto ok = a.next(EventType::RegistrationSuccess);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->rid, rid);

    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        clock.ms += 54000;
        a.agent->automaticAction();
    }
    auto refresh = b.next(EventType::MessageNew);
    ASSERT_TRUE(refresh) << "no refresh over the stream";
    EXPECT_EQ(refresh->request.callId(), first->request.callId());
    answer_register(*refresh, 200, "Expires", "60");
    ASSERT_TRUE(a.next(EventType::RegistrationSuccess));

    {
        std::lock_guard<std::mutex> g(a.agent->mutex());
        EXPECT_EQ(a.agent->registerRemove(rid), 0);
    }
    auto removal = b.next(EventType::MessageNew);
    ASSERT_TRUE(removal);
    EXPECT_EQ(removal->request.header("Expires"), "0");
    answer_register(*removal, 200);
    ASSERT_TRUE(a.next(EventType::RegistrationSuccess));
}

INSTANTIATE_TEST_SUITE_P(Transports, Stream, ::testing::Values(TransportType::TCP, TransportType::TLS),
                         [](const ::testing::TestParamInfo<TransportType>& info) {
                             return std::string(transport_name(info.param));
                         });

// Requests that cannot leave: a refused connection, a target family we have
// no socket for. Calls end with NOANSWER then their release; registrations
// fail and are tried again later.
TEST(TransportErrors, CallsAndRegistrationsAreToldWhenNothingCanBeSent)
{
    FakeClock clock;
    Side side(clock, 200, TransportType::TCP);
    struct case_t {
        const char* what;
        std::string target;
    };
    int port = closed_port();
    for (const case_t& c : {case_t{"connection refused", "sip:x@127.0.0.1:" + std::to_string(port) + ";transport=tcp"},
                            case_t{"no IPv6 socket", "sip:x@[::1]:5060;transport=tcp"}}) {
        SCOPED_TRACE(c.what);
        int cid;
        {
            std::lock_guard<std::mutex> g(side.agent->mutex());
            Message inv;
            ASSERT_EQ(side.agent->callBuildInitialInvite(&inv, "<" + c.target + ">", "<sip:me@127.0.0.1>"), 0);
            cid = side.agent->callSendInitialInvite(std::move(inv));
            ASSERT_GT(cid, 0);
        }
        auto na = side.next(EventType::CallNoAnswer);
        ASSERT_TRUE(na);
        EXPECT_EQ(na->cid, cid);
        ASSERT_TRUE(side.next(EventType::CallReleased));
        side.drain(50);
        bool last = false;
        EXPECT_EQ(side.releases(cid, &last), 1);
        EXPECT_TRUE(last);

        int rid;
        {
            std::lock_guard<std::mutex> g(side.agent->mutex());
            Message reg;
            rid = side.agent->registerBuildInitial("<sip:me@example.com>", c.target, "<sip:me@127.0.0.1>", 60, &reg);
            ASSERT_GT(rid, 0);
            ASSERT_EQ(side.agent->registerSend(rid, std::move(reg)), 0);
        }
        auto failed = side.next(EventType::RegistrationFailure);
        ASSERT_TRUE(failed);
        EXPECT_EQ(failed->rid, rid);
        EXPECT_FALSE(failed->will_retry);
        {
            std::lock_guard<std::mutex> g(side.agent->mutex());
            clock.ms += 120000;
            side.agent->automaticAction();
        }
        auto again = side.next(EventType::RegistrationFailure);
        ASSERT_TRUE(again) << "the registration was not tried again";
        EXPECT_EQ(again->rid, rid);
        {
            std::lock_guard<std::mutex> g(side.agent->mutex());
            EXPECT_EQ(side.agent->registerRemove(rid), 0);
        }
        auto removal = side.next(EventType::RegistrationFailure);
        ASSERT_TRUE(removal);
        EXPECT_EQ(removal->rid, rid);
        std::lock_guard<std::mutex> g(side.agent->mutex());
        Message msg;
        EXPECT_EQ(side.agent->registerBuild(rid, 60, &msg), -6) << "a removed registration stays";
    }
}

// Listening: on UDP and TCP at once each request names the transport it
// leaves on, with that transport's port; a port in use or TLS without a
// certificate is refused; the local-address override shows in our Contact.
TEST(Listening, TransportsPortsAndRefusals)
{
    FakeClock clock;
    Side udp_peer(clock, 200);
    Side tcp_peer(clock, 200, TransportType::TCP);
    agent_config_t c;
    c.clock_ms = clock.fn();
    Agent both(c);
    ASSERT_EQ(both.listen(TransportType::UDP, "127.0.0.1", 0), 0);
    ASSERT_EQ(both.listen(TransportType::TCP, "127.0.0.1", 0), 0);
    EXPECT_LT(both.listen(TransportType::TCP, "127.0.0.1", tcp_peer.port()), 0) << "a port in use";
    EXPECT_LT(both.listen(TransportType::TLS, "127.0.0.1", 0), 0) << "TLS without a certificate";
    int udp_port, tcp_port;
    {
        std::lock_guard<std::mutex> g(both.mutex());
        udp_port = both.localPort(TransportType::UDP);
        tcp_port = both.localPort(TransportType::TCP);
        EXPECT_EQ(both.localPort(TransportType::TLS), 0);
        for (Side* to : {&udp_peer, &tcp_peer}) {
            Message inv;
            ASSERT_EQ(both.callBuildInitialInvite(&inv, "<" + to->uri("bob") + ">", "<sip:alice@127.0.0.1>"), 0);
            ASSERT_GT(both.callSendInitialInvite(std::move(inv)), 0);
        }
    }
    auto over_udp = udp_peer.next(EventType::CallInvite);
    ASSERT_TRUE(over_udp);
    EXPECT_EQ(over_udp->request.via().protocol, "UDP");
    EXPECT_EQ(over_udp->request.via().port, udp_port);
    EXPECT_EQ(over_udp->request.header("Contact"), "<sip:alice@127.0.0.1:" + std::to_string(udp_port) + ">");
    auto over_tcp = tcp_peer.next(EventType::CallInvite);
    ASSERT_TRUE(over_tcp);
    EXPECT_EQ(over_tcp->request.via().protocol, "TCP");
    EXPECT_EQ(over_tcp->request.via().port, tcp_port);
    EXPECT_EQ(over_tcp->request.header("Contact"),
              "<sip:alice@127.0.0.1:" + std::to_string(tcp_port) + ";transport=tcp>");
    both.quit();

    // bound to every address: Via and Contact take the guess, which a test may set
    Agent::setLocalIpOverride("192.0.2.7");
    EXPECT_EQ(Agent::guessLocalIp(AF_INET), "192.0.2.7");
    Agent any(c);
    ASSERT_EQ(any.listen(TransportType::UDP, "0.0.0.0", 0), 0);
    {
        std::lock_guard<std::mutex> g(any.mutex());
        EXPECT_EQ(any.localHost(), "192.0.2.7");
        Message inv;
        ASSERT_EQ(any.callBuildInitialInvite(&inv, "<sip:bob@127.0.0.1:5>", "<sip:alice@x>"), 0);
        EXPECT_EQ(inv.header("Contact").rfind("<sip:alice@192.0.2.7:", 0), 0u) << inv.header("Contact");
    }
    Agent::setLocalIpOverride("");
    EXPECT_NE(Agent::guessLocalIp(AF_INET), "192.0.2.7");
    any.quit();
}
