// The registrar, the location database, proxy authentication and the runner.
#include <atomic>
#include <ctime>

#include <gtest/gtest.h>

#include "sip/core/digest.h"
#include "sip/core/response.h"
#include "sip/proxy/runner.h"
#include "sip_proxy/proxy_fixture.h"
#include "support/tls_cert.h"

namespace proxytest {
namespace {

struct Calls : RegistrarHandler {
    std::string log;
    bool onAdd(const Message&, const std::string& aor) override { return note("add " + aor); }
    bool onRefresh(const Message&, const std::string& aor) override { return note("refresh " + aor); }
    bool onRemove(const Message&, const std::string& aor) override { return note("remove " + aor); }
    bool onRemoveAll(const Message&, const std::string& aor) override { return note("removeall " + aor); }
    bool onQuery(const Message&, const std::string& aor) override { return note("query " + aor); }
    bool note(const std::string& s)
    {
        log += (log.empty() ? "" : ", ") + s;
        return true;
    }
};

struct Changes : LocationHandler {
    std::vector<std::string> seen;
    void onContactChanged(const std::string& aor, const contact_record_t& c, bool removed, bool sync) override
    {
        seen.push_back(aor + (removed ? " -" : " +") + c.contact.uri().toString() + (sync ? " sync" : ""));
    }
};

class RegistrarTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        stores.users.addUser("201", "127.0.0.1", "127.0.0.1", "secret", true, "", "");
        stores.users.addUser("202", "127.0.0.1", "127.0.0.1", "other", true, "", "");
        int fixed;  // a port of our own, so that a restart finds it again
        {
            UdpPeer probe;
            fixed = probe.port();
        }
        config.parseText("Transport1Interface = 127.0.0.1:" + std::to_string(fixed) + "\nTimerT1 = 100\nServerText = test-proxy\n"
                         "Domains = 127.0.0.1\n",
                         "test");
        runner = std::make_unique<ProxyRunner>(stores);
        // The wall clock unless a test sets its own time (each reading then
        // advances it by tick seconds).
        runner->getLocationDb().setClock([this] {
            int64_t t = clock_s.fetch_add(tick_s.load());
            return t ? t : static_cast<int64_t>(time(nullptr));
        });
        runner->addRegistrarHandler(&calls);
        std::string err;
        ASSERT_TRUE(runner->run(config, &err)) << err;
        port = runner->getProxy()->transportPort(1);
        addr = sipcore::make_addr("127.0.0.1", port);
    }

    // A REGISTER from ua for user with the given Contact lines; answers the
    // 401 with password when one is given. The final response.
    Message reg(const std::string& user, const std::string& contacts, const std::string& password = "secret",
                const std::string& extra = "", const std::string& auth_user = "")
    {
        std::string call = "reg" + std::to_string(++seq);
        auto text = [&](int cseq, const std::string& auth) {
            return "REGISTER sip:127.0.0.1:" + std::to_string(port) + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" +
                   std::to_string(ua.port()) + ";branch=z9hG4bK" + call + "x" + std::to_string(cseq) +
                   ";rport\r\nFrom: <sip:" + user + "@127.0.0.1>;tag=f" + call + "\r\nTo: <sip:" + user +
                   "@127.0.0.1>\r\nCall-ID: " + call + "\r\nCSeq: " + std::to_string(cseq) + " REGISTER\r\n" +
                   contacts + extra + auth + "User-Agent: test-phone\r\nContent-Length: 0\r\n\r\n";
        };
        ua.send(text(1, ""), addr);
        Message r = Message::parse(ua.recv(5000));
        if (!r || r.statusCode() != 401 || password.empty())
            return r;
        Message again = Message::parse(text(2, ""));
        sipcore::digest_credentials_t cr{auth_user.empty() ? user : auth_user, password, ""};
        EXPECT_EQ(sipcore::digest_answer(again, r, cr, 1, "cn"), 0);
        ua.send(again.toString(), addr);
        return Message::parse(ua.recv(5000));
    }

    // An INVITE from 201 to user, answered to its 407 with 201's credentials.
    void callWithCredentials(const std::string& user, const std::string& call)
    {
        auto invite = [&](int cseq, const std::string& auth) {
            return "INVITE sip:" + user + "@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" +
                   std::to_string(ua.port()) + ";branch=z9hG4bK" + call + std::to_string(cseq) +
                   ";rport\r\nFrom: <sip:201@127.0.0.1>;tag=c1\r\nTo: <sip:" + user + "@127.0.0.1>\r\nCall-ID: " + call +
                   "\r\nCSeq: " + std::to_string(cseq) + " INVITE\r\nMax-Forwards: 70\r\n" + auth +
                   "Content-Length: 0\r\n\r\n";
        };
        ua.send(invite(1, ""), addr);
        std::string r;
        while (code_of(r = ua.recv(5000)) == 100) {
        }
        Message challenge = Message::parse(r);
        ASSERT_EQ(challenge.statusCode(), 407);
        ua.send(ack_of(invite(1, ""), r), addr);
        Message again = Message::parse(invite(2, ""));
        sipcore::digest_credentials_t cr{"201", "secret", ""};
        ASSERT_EQ(sipcore::digest_answer(again, challenge, cr, 1, "cn"), 0);
        ua.send(again.toString(), addr);
    }

    std::vector<std::string> contactsOf(const Message& m)
    {
        std::vector<std::string> out;
        for (const auto& c : m.nameAddrs("Contact"))
            out.push_back(c.uri().toString() + ";expires=" + c.param("expires"));
        return out;
    }

    std::atomic<int64_t> clock_s{0};
    std::atomic<int> tick_s{0};
    proxy_stores_t stores;
    ConfigParse config;
    Calls calls;
    std::unique_ptr<ProxyRunner> runner;
    int port = 0;
    int seq = 0;
    sipcore::sock_addr_t addr;
    UdpPeer ua, phone1, phone2;
};

TEST_F(RegistrarTest, RegisterQueryRemove)
{
    clock_s = 1'800'000'000;  // no second passes: the remaining expiries stay as granted
    Message r = reg("201", "Contact: <sip:201@127.0.0.1:5999>;expires=120\r\n", "");
    ASSERT_EQ(r.statusCode(), 401);
    EXPECT_NE(r.header("WWW-Authenticate").find("realm=\"127.0.0.1\""), std::string::npos);

    r = reg("201", "Contact: <sip:201@127.0.0.1:5999>;expires=120\r\nContact: <sip:201@127.0.0.1:5998>\r\n",
            "secret", "Expires: 60\r\n");
    ASSERT_EQ(r.statusCode(), 200);
    EXPECT_EQ(contactsOf(r), (std::vector<std::string>{"sip:201@127.0.0.1:5999;expires=120",
                                                       "sip:201@127.0.0.1:5998;expires=60"}));
    r = reg("201", "");  // query
    EXPECT_EQ(contactsOf(r).size(), 2u);
    r = reg("201", "Contact: <sip:201@127.0.0.1:5998>;expires=0\r\n");
    EXPECT_EQ(contactsOf(r), (std::vector<std::string>{"sip:201@127.0.0.1:5999;expires=120"}));
    r = reg("201", "Contact: <sip:201@127.0.0.1:5999>;expires=300\r\n");  // refresh
    EXPECT_EQ(contactsOf(r), (std::vector<std::string>{"sip:201@127.0.0.1:5999;expires=300"}));
    EXPECT_EQ(reg("201", "Contact: *\r\n", "secret", "Expires: 30\r\n").statusCode(), 400);
    EXPECT_EQ(reg("201", "Contact: *\r\nContact: <sip:x@127.0.0.1>\r\n", "secret", "Expires: 0\r\n").statusCode(), 400);
    r = reg("201", "Contact: *\r\n", "secret", "Expires: 0\r\n");
    EXPECT_EQ(r.statusCode(), 200);
    EXPECT_TRUE(contactsOf(r).empty());
    EXPECT_EQ(calls.log, "add sip:201@127.0.0.1, query sip:201@127.0.0.1, remove sip:201@127.0.0.1, "
                         "refresh sip:201@127.0.0.1, removeall sip:201@127.0.0.1");
}

// The 200 tells the expiry granted even when the clock moves on while the
// REGISTER is handled.
TEST_F(RegistrarTest, AnswerTellsTheExpiryGranted)
{
    clock_s = 1'800'000'000;
    tick_s = 1;
    Message r = reg("201", "Contact: <sip:201@127.0.0.1:5999>;expires=120\r\nContact: <sip:201@127.0.0.1:5998>\r\n",
                    "secret", "Expires: 60\r\n");
    ASSERT_EQ(r.statusCode(), 200);
    EXPECT_EQ(contactsOf(r), (std::vector<std::string>{"sip:201@127.0.0.1:5999;expires=120",
                                                       "sip:201@127.0.0.1:5998;expires=60"}));
}

TEST_F(RegistrarTest, RefusedCredentials)
{
    struct case_t {
        const char* label;
        std::string user, password, auth_user;
        int code;
    } cases[] = {
        {"wrong password", "201", "nope", "", 403},
        {"unknown user", "999", "secret", "", 404},
        {"another user's AOR", "201", "other", "202", 403},
    };
    for (const auto& c : cases)
        EXPECT_EQ(reg(c.user, "Contact: <sip:x@127.0.0.1:5999>\r\n", c.password, "", c.auth_user).statusCode(), c.code)
            << c.label;
    EXPECT_TRUE(runner->getLocationDb().getAors().empty());
}

TEST_F(RegistrarTest, InstanceAndRegIdMatchContactsAcrossAddresses)
{
    std::string inst = ";+sip.instance=\"<urn:uuid:1>\";reg-id=1";
    ASSERT_EQ(reg("201", "Contact: <sip:201@127.0.0.1:5001>" + inst + "\r\n").statusCode(), 200);
    // The same device from a new address replaces its old contact.
    Message r = reg("201", "Contact: <sip:201@127.0.0.1:5002>" + inst + "\r\n");
    EXPECT_EQ(contactsOf(r), (std::vector<std::string>{"sip:201@127.0.0.1:5002;expires=3600"}));
    // Another flow of the same device is a contact of its own.
    r = reg("201", "Contact: <sip:201@127.0.0.1:5003>;+sip.instance=\"<urn:uuid:1>\";reg-id=2\r\n");
    EXPECT_EQ(contactsOf(r).size(), 2u);
    // 2^32+1 cut to 32 bits was reg-id 1 and took that flow's place
    for (const char* bad : {"4294967297", "2147483648", "0", "x", ""}) {
        r = reg("201", std::string("Contact: <sip:201@127.0.0.1:5004>;+sip.instance=\"<urn:uuid:1>\";reg-id=") + bad +
                           "\r\n");
        EXPECT_EQ(r.statusCode(), 400) << bad;
    }
    EXPECT_EQ(contactsOf(reg("201", "")).size(), 2u);
}

TEST_F(RegistrarTest, ChangeHandlersKnowWhatCameFromSync)
{
    Changes changes;
    LocationDb& db = runner->getLocationDb();
    db.addHandler(&changes);
    ASSERT_EQ(reg("201", "Contact: <sip:201@127.0.0.1:5001>\r\n").statusCode(), 200);
    contact_record_t synced;
    synced.contact = sipcore::NameAddr::parse("<sip:202@10.9.9.9>");
    synced.reg_expires = db.now() + 100;
    synced.sync_contact = true;
    EXPECT_EQ(db.updateContact("sip:202@127.0.0.1", synced), LocationDb::Update::Created);
    EXPECT_EQ(db.updateContact("sip:202@127.0.0.1", synced), LocationDb::Update::Updated);
    db.removeContact("sip:202@127.0.0.1", synced);
    db.removeHandler(&changes);
    EXPECT_EQ(changes.seen, (std::vector<std::string>{"sip:201@127.0.0.1 +sip:201@127.0.0.1:5001",
                                                      "sip:202@127.0.0.1 +sip:202@10.9.9.9 sync",
                                                      "sip:202@127.0.0.1 +sip:202@10.9.9.9 sync",
                                                      "sip:202@127.0.0.1 -sip:202@10.9.9.9 sync"}));
}

// A call to a registered user: 407 first, then with credentials it reaches
// the contact without them; a restart keeps the registration.
TEST_F(RegistrarTest, CallsReachRegisteredContactsAcrossRestart)
{
    ASSERT_EQ(reg("202", "Contact: <" + uri_of(phone1, "202") + ">\r\n", "other").statusCode(), 200);
    ASSERT_TRUE(runner->restart());
    ASSERT_EQ(runner->getProxy()->transportPort(1), port) << "the restart took another port";
    runner->setT1(200);
    EXPECT_EQ(runner->getProxy()->stack().t1(), 200);

    callWithCredentials("202", "call1");
    Message fwd = Message::parse(phone1.recv());
    ASSERT_TRUE(fwd.valid());
    EXPECT_EQ(fwd.requestUri().toString(), uri_of(phone1, "202"));
    EXPECT_FALSE(fwd.hasHeader("Proxy-Authorization"));
}

// The flows of one instance (instance and reg-id) make one target: only the
// most recent flow is called; a contact without reg-id is called as well.
TEST_F(RegistrarTest, OneInstanceIsCalledOnItsNewestFlow)
{
    LocationDb& db = runner->getLocationDb();
    UdpPeer phone3;
    auto contact = [&](UdpPeer& p, uint32_t reg_id, int64_t updated) {
        contact_record_t c;
        c.contact = sipcore::NameAddr::parse("<" + uri_of(p, "202") + ">");
        c.reg_expires = db.now() + 3600;
        c.last_updated = updated;
        c.instance = reg_id ? "<urn:uuid:7>" : "";
        c.reg_id = reg_id;
        return c;
    };
    db.updateContact("sip:202@127.0.0.1", contact(phone1, 1, 100));
    db.updateContact("sip:202@127.0.0.1", contact(phone2, 2, 200));
    db.updateContact("sip:202@127.0.0.1", contact(phone3, 0, 50));
    callWithCredentials("202", "call2");
    EXPECT_TRUE(Message::parse(phone2.recv()).valid()) << "the newest flow";
    EXPECT_TRUE(Message::parse(phone3.recv()).valid()) << "the contact without reg-id";
    EXPECT_EQ(phone1.recv(300), "") << "an older flow of the same instance";
}

// A runner with a processor of the test in front of its request chain.
class FrontRunner : public ProxyRunner {
public:
    using ProxyRunner::ProxyRunner;
    LambdaProcessor::fn_t front;

protected:
    void makeRequestProcessorChain(ProcessorChain& chain) override
    {
        ProxyRunner::makeRequestProcessorChain(chain);
        chain.insertBefore("StrictRouteFixup", step("Front", front));
    }
};

// A secure transport from the configuration: a verified client certificate
// reaches the context key, and targets with transport=tls are reached over
// TLS. Without certificate files the runner refuses the transport.
TEST_F(RegistrarTest, SecureTransports)
{
    runner->shutdown();
    testsupport::TlsCert certs;
    sipcore::tls_options_t tls;
    tls.cert_file = certs.cert;
    tls.key_file = certs.key;
    tls.ca_file = certs.cert;
    tls.verify_server = true;
    siptest::Recorder rec;
    sipcore::Stack peer(&rec);
    rec.stack = &peer;
    rec.answer([](sipcore::Stack& st, int tid, const Message& req) { st.sendResponse(tid, sipcore::make_response(req, 200)); });
    int ptp = peer.addTransport(sipcore::TransportType::TLS, "127.0.0.1", 0, &tls);
    ASSERT_GT(ptp, 0);
    peer.start();
    ConfigParse c;
    c.parseText("Transport1Interface = 127.0.0.1:" + std::to_string(port) + "\nTransport2Interface = 127.0.0.1:0"
                    "\nTransport2Type = TLS\nTransport2TlsClientVerification = optional\n"
                    "TimerT1 = 100\nDomains = 127.0.0.1\n",
                "tls");
    FrontRunner tr(stores);
    std::string err;
    EXPECT_FALSE(tr.run(c, &err));
    EXPECT_NE(err.find("secure transport"), std::string::npos) << err;

    std::atomic<int> verified{-1};
    std::string tls_target = "sip:x@127.0.0.1:" + std::to_string(peer.localAddress(ptp).port()) + ";transport=tls";
    tr.front = [&](RequestContext& ctx) {
        const std::string user = ctx.getOriginalRequest().requestUri().user();
        if (user == "in")
            verified = ctx.getKey(certificate_verified_key);
        ctx.getResponseContext().addTarget(
            std::make_unique<Target>(sipcore::Uri::parse(user == "in" ? uri_of(phone1, "x") : tls_target)));
        return processor_action_t::SkipThisChain;
    };
    tr.setTlsFiles(certs.cert, certs.key, certs.cert);
    ASSERT_TRUE(tr.run(c, &err)) << err;
    int tls_port = tr.getProxy()->transportPort(2);

    Message in = Message::parse(request_text("OPTIONS", "sip:in@127.0.0.1:" + std::to_string(tls_port), ua, "t1"));
    in.popVia();
    in.setRequestUri(sipcore::Uri::parse("sip:in@127.0.0.1:" + std::to_string(tls_port) + ";transport=tls"));
    ASSERT_GT(peer.sendRequest(std::move(in)), 0);
    Message fwd = Message::parse(phone1.recv(5000));
    ASSERT_TRUE(fwd.valid()) << "nothing forwarded from the secure transport";
    EXPECT_EQ(verified.load(), 1);
    phone1.send(answer_text(fwd.toString(), 200, "OK"), addr);

    ua.send(request_text("OPTIONS", "sip:out@127.0.0.1:" + std::to_string(port), ua, "t2"), addr);
    siptest::report_t r;
    while (rec.next("request", &r, 5000) && r.msg.requestUri().user() != "x") {
    }
    EXPECT_EQ(r.from.transport, sipcore::TransportType::TLS);
    std::string answer;
    while (code_of(answer = ua.recv(5000)) == 100) {
    }
    EXPECT_EQ(code_of(answer), 200);
    tr.shutdown();
    peer.stop();
}

// The stores belong to the process, not to a run.
TEST_F(RegistrarTest, StoresOutliveTheRunner)
{
    runner->shutdown();
    runner.reset();
    stores.routes.addRoute("", "", "^sip:7", "", "sip:x@example.com", 0);
    ProxyRunner second(stores);
    ASSERT_TRUE(second.run(config));
    EXPECT_EQ(stores.users.size(), 2u);
    EXPECT_NE(stores.routes.getFirstKey(), "");
}

}  // namespace
}  // namespace proxytest
