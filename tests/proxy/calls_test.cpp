// Calls through the running proxy between a caller and two phones on
// loopback: the ringing calls it tracks for pickup, the call records and
// the bell relay (in the FPGA simulator).
#include <gtest/gtest.h>

#include <atomic>

#include "core/global_flags.h"
#include "core/scheduler.h"
#include "mgmt/fpga.h"
#include "proxy/my_accounting.h"
#include "sim/fpga/fpga_simulator.h"
#include "sip/core/response.h"
#include "tests/proxy/repro_fixture.h"

namespace {

using sipcore::Message;
using siptest::UdpPeer;

std::atomic<int64_t> clock_ms{1000000};

int test_clock(struct timespec* ts)
{
    ts->tv_sec = clock_ms / 1000;
    ts->tv_nsec = (clock_ms % 1000) * 1000000;
    return 0;
}

// Phones 202 and 203 (intercept group g1) registered; 204 in g2.
class CallsTest : public proxytest::ReproTest {
protected:
    void SetUp() override
    {
        ReproTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        sched_set_clock(test_clock);
        ASSERT_EQ(sched_create(&main_scheduler, "main scheduler"), 0);
        sim = std::make_unique<FpgaSimulator>();
        spi_set_opener(sim->opener());
        fpgaSpi.close();
        {
            MutexLock g(varStore.mutex);
            varStore.values.clear();
        }
        config("Transport1Interface = 0.0.0.0:5060\nTransport1RecordRouteUri = auto\nDisableAuth = true\n"
               "SessionAccountingEnabled = true\n");
        ASSERT_TRUE(repro_start());
        repro_add_domain("127.0.0.1");
        caller = std::make_unique<UdpPeer>();
        for (int i = 0; i < 2; ++i)
            phones.push_back(std::make_unique<UdpPeer>());
        repro_add_user("202", "127.0.0.1", "x", "g1", 0);
        repro_add_user("203", "127.0.0.1", "x", "g1", 0);
        repro_add_user("204", "127.0.0.1", "x", "g2", 0);
        ASSERT_EQ(registerPhone("202", *phones[0]), 200);
        ASSERT_EQ(registerPhone("203", *phones[1]), 200);
    }

    void TearDown() override
    {
        ReproTest::TearDown();
        globalFlags = 0;
        {
            MutexLock g(accountingMutex);
            accountingSessions.clear();
        }
        fpgaSpi.close();
        spi_set_opener(nullptr);
        sim.reset();
        if (main_scheduler)
            sched_destroy(&main_scheduler);
        sched_set_clock(nullptr);
    }

    static sipcore::sock_addr_t proxyAddr() { return sipcore::make_addr("127.0.0.1", 5060); }

    int registerPhone(const std::string& user, UdpPeer& phone)
    {
        std::string port = std::to_string(phone.port());
        phone.send("REGISTER sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + port + ";branch=z9hG4bKreg" +
                       user + "\r\nFrom: <sip:" + user + "@127.0.0.1>;tag=r\r\nTo: <sip:" + user +
                       "@127.0.0.1>\r\nCall-ID: reg" + user + "\r\nCSeq: 1 REGISTER\r\nContact: <sip:" + user +
                       "@127.0.0.1:" + port + ">\r\nUser-Agent: Phone\r\nExpires: 300\r\nMax-Forwards: 70\r\n"
                       "Content-Length: 0\r\n\r\n",
                   proxyAddr());
        Message r = Message::parse(phone.recv(3000));
        return r ? r.statusCode() : 0;
    }

    // The caller (201) invites callee; the INVITE as the phone received it.
    // contact: the caller's Contact, by default its own socket.
    Message invite(const std::string& callee, UdpPeer& phone, const std::string& call_id,
                   const std::string& contact = "", const std::string& extra = "")
    {
        std::string port = std::to_string(caller->port());
        caller->send("INVITE sip:" + callee + "@127.0.0.1 SIP/2.0\r\n" + callerHeaders(call_id, "INVITE") +
                         "To: <sip:" + callee + "@127.0.0.1>\r\nContact: <" +
                         (contact.empty() ? "sip:201@127.0.0.1:" + port : contact) + ">\r\n" + extra +
                         "Content-Length: 0\r\n\r\n",
                     proxyAddr());
        return nextRequest(phone, "INVITE", call_id);
    }
    std::string callerHeaders(const std::string& call_id, const std::string& method, int cseq = 1)
    {
        return "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(caller->port()) + ";branch=z9hG4bK" + call_id +
               (method == "BYE" ? "bye" : "") + ";rport\r\nFrom: \"Anna\" <sip:201@127.0.0.1>;tag=a-" + call_id +
               "\r\nCall-ID: " + call_id + "\r\nCSeq: " + std::to_string(cseq) + " " + method +
               "\r\nMax-Forwards: 70\r\n";
    }
    // The caller cancels its INVITE (same branch) and gets the CANCEL's answer.
    int cancel(const std::string& callee, const std::string& call_id)
    {
        caller->send("CANCEL sip:" + callee + "@127.0.0.1 SIP/2.0\r\n" + callerHeaders(call_id, "CANCEL") +
                         "To: <sip:" + callee + "@127.0.0.1>\r\nContent-Length: 0\r\n\r\n",
                     proxyAddr());
        return finalAnswer("CANCEL");
    }
    // The caller hangs up the answered call along its record-route.
    int bye(const Message& answered, UdpPeer& phone)
    {
        std::string routes;
        for (const auto& rr : answered.headers("Record-Route"))
            routes += "Route: " + rr + "\r\n";
        caller->send("BYE sip:" + answered.to().uri().user() + "@127.0.0.1:" + std::to_string(phone.port()) +
                         " SIP/2.0\r\n" + callerHeaders(answered.callId(), "BYE", 2) + "To: " +
                         answered.header("To") + "\r\n" + routes + "Content-Length: 0\r\n\r\n",
                     proxyAddr());
        Message b = nextRequest(phone, "BYE", answered.callId());
        if (!b)
            return 0;
        phone.send(sipcore::make_response(b, 200).toString(), proxyAddr());
        return finalAnswer("BYE");
    }
    int finalAnswer(const std::string& method)
    {
        for (;;) {
            Message m = Message::parse(caller->recv(3000));
            if (!m)
                return 0;
            if (m.isResponse() && m.method() == method && m.statusCode() >= 200)
                return m.statusCode();
        }
    }

    // Skips what else reaches the phone, such as retransmissions of earlier calls' INVITEs.
    static Message nextRequest(UdpPeer& phone, const std::string& method, const std::string& call_id)
    {
        for (;;) {
            Message m = Message::parse(phone.recv(3000));
            if (!m || (m.isRequest() && m.method() == method && m.callId() == call_id))
                return m;
        }
    }

    // The phone answers; the caller's copy of the answer (once it arrived,
    // the proxy has run its chains on it).
    Message answer(UdpPeer& phone, const Message& request, int code, const std::string& to_tag,
                   const std::string& to_uri = "")
    {
        sipcore::response_options_t o;
        o.to_tag = to_tag;
        o.copy_record_route = true;
        Message r = sipcore::make_response(request, code, o);
        if (!to_uri.empty() || to_tag.empty())   // make_response would add a tag
            r.setHeader("To", "<" + (to_uri.empty() ? request.to().uri().toString() : to_uri) + ">" +
                                  (to_tag.empty() ? "" : ";tag=" + to_tag));
        if (code >= 200 && code < 300)
            r.addHeader("Contact", "<sip:" + request.requestUri().user() + "@127.0.0.1:" +
                                       std::to_string(phone.port()) + ">");
        phone.send(r.toString(), proxyAddr());
        for (;;) {
            Message m = Message::parse(caller->recv(3000));
            if (!m || (m.isResponse() && m.statusCode() == code))
                return m;
        }
    }

    static std::map<DialogTable::key_t, TrackedDialog> dialogs()
    {
        MutexLock g(proxyMutex);
        MutexLock t(reproRunner->dialogTable().mutex);
        return reproRunner->dialogTable().dialogs;
    }
    static const TrackedDialog* dialog(const std::map<DialogTable::key_t, TrackedDialog>& all,
                                       const std::string& call_id)
    {
        for (const auto& [key, d] : all)
            if (key.first == call_id)
                return &d;
        return nullptr;
    }

    // The bell relay's register values, in order of writing.
    std::vector<int> relay()
    {
        std::vector<int> out;
        for (const auto& a : sim->writes())
            if (a.reg == BELL_RELAY_REGISTER)
                out.push_back(a.data.back());
        return out;
    }
    // The scheduler's clock moves on and its due timers run, as on the main thread.
    static void later(int ms)
    {
        clock_ms += ms;
        sched_run(main_scheduler);
    }
    static std::vector<JsonValue> records()
    {
        std::vector<JsonValue> out;
        MutexLock g(varStore.mutex);
        for (const auto& [id, v] : varStore.values) {
            if (id.rfind(".10.", 0) != 0 || id.size() < 6 || id.compare(id.size() - 4, 4, ".1.0") != 0)
                continue;
            MemDataSource src(v.text.c_str());
            out.emplace_back();
            EXPECT_TRUE(out.back().parse(src)) << v.text;
        }
        return out;
    }

    std::unique_ptr<FpgaSimulator> sim;
    std::unique_ptr<UdpPeer> caller;
    std::vector<std::unique_ptr<UdpPeer>> phones;
};

TEST_F(CallsTest, RingingCallsAreTrackedWithTheTagOfTheirEarlyDialog)
{
    Message inv = invite("202", *phones[0], "c1");
    ASSERT_TRUE(inv);
    auto all = dialogs();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all.begin()->first, (DialogTable::key_t{"c1", "z9hG4bKc1"}));
    const TrackedDialog& d = all.begin()->second;
    EXPECT_EQ(d.callee, "202@127.0.0.1");
    EXPECT_EQ(d.from, "sip:201@127.0.0.1");
    EXPECT_EQ(d.to, "sip:202@127.0.0.1");
    EXPECT_EQ(d.fromTag, "a-c1");
    EXPECT_EQ(d.toTag, "");

    ASSERT_TRUE(answer(*phones[0], inv, 180, ""));
    EXPECT_EQ(dialog(dialogs(), "c1")->toTag, "");
    ASSERT_TRUE(answer(*phones[0], inv, 183, "t1"));
    EXPECT_EQ(dialog(dialogs(), "c1")->toTag, "t1");
    ASSERT_TRUE(answer(*phones[0], inv, 180, "t2"));   // another fork
    EXPECT_EQ(dialog(dialogs(), "c1")->toTag, "t2");
    // a To rewritten downstream is not this dialog's
    ASSERT_TRUE(answer(*phones[0], inv, 180, "t3", "sip:999@127.0.0.1"));
    EXPECT_EQ(dialog(dialogs(), "c1")->toTag, "t2");

    ASSERT_TRUE(answer(*phones[0], inv, 486, "t2"));
    EXPECT_TRUE(dialogs().empty());

    // a call whose end never passed the proxy is dropped once it is an hour old
    ASSERT_TRUE(invite("202", *phones[0], "c2"));
    {
        MutexLock g(proxyMutex);
        DialogTable& t = reproRunner->dialogTable();
        MutexLock l(t.mutex);
        t.dialogs.begin()->second.time -= DialogTracker::stale_after_sec + 1;
        t.lastPrune -= 60;
    }
    ASSERT_TRUE(invite("203", *phones[1], "c3"));
    all = dialogs();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all.begin()->first.first, "c3");
}

TEST_F(CallsTest, PickupTakesTheCallRingingLongestAtAMemberOfTheGroup)
{
    std::set<std::string> members;
    EXPECT_EQ(repro_find_dialog("g1", members), "");   // nothing rings
    EXPECT_EQ(members, (std::set<std::string>{"202@127.0.0.1", "203@127.0.0.1"}));

    Message c1 = invite("202", *phones[0], "c1");
    Message c2 = invite("203", *phones[1], "c2");
    ASSERT_TRUE(c1 && c2);
    members.clear();
    EXPECT_EQ(repro_find_dialog("g1", members), "");   // no provisional answer with a tag yet
    ASSERT_TRUE(answer(*phones[0], c1, 180, "b1"));
    ASSERT_TRUE(answer(*phones[1], c2, 180, "b2"));
    {
        // c2 has been ringing longer
        MutexLock g(proxyMutex);
        MutexLock t(reproRunner->dialogTable().mutex);
        for (auto& [key, d] : reproRunner->dialogTable().dialogs)
            d.time = key.first == "c2" ? 100 : 105;
    }
    EXPECT_EQ(repro_find_dialog("g1", members),
              "sip:201@127.0.0.1?Replaces=c2%3Bto-tag%3Da-c2%3Bfrom-tag%3Db2%3Bearly-only");
    // another group's member, named by the caller, is searched too; a group nobody has adds no one
    std::set<std::string> only_204 = {"204@127.0.0.1"};
    EXPECT_EQ(repro_find_dialog("none", only_204), "");
    std::set<std::string> with_202 = {"202@127.0.0.1"};
    EXPECT_EQ(repro_find_dialog("none", with_202),
              "sip:201@127.0.0.1?Replaces=c1%3Bto-tag%3Da-c1%3Bfrom-tag%3Db1%3Bearly-only");

    // answered and refused calls are gone
    ASSERT_TRUE(answer(*phones[1], c2, 200, "b2"));
    EXPECT_EQ(repro_find_dialog("g1", members),
              "sip:201@127.0.0.1?Replaces=c1%3Bto-tag%3Da-c1%3Bfrom-tag%3Db1%3Bearly-only");
    ASSERT_TRUE(answer(*phones[0], c1, 486, "b1"));
    EXPECT_EQ(repro_find_dialog("g1", members), "");

    repro_stop();
    std::set<std::string> untouched = {"x"};
    EXPECT_EQ(repro_find_dialog("g1", untouched), "");
    EXPECT_EQ(untouched, std::set<std::string>{"x"});
}

TEST_F(CallsTest, CallEndedByByeLeavesOneRecord)
{
    // from the gateway's user agent, an FXS line
    Message inv = invite("202", *phones[0], "c1", "sip:201@127.0.0.1:6060", "X-Endpoint-Type: FXS\r\n");
    ASSERT_TRUE(inv);
    ASSERT_TRUE(answer(*phones[0], inv, 180, "b1"));
    Message ok = answer(*phones[0], inv, 200, "b1");
    ASSERT_TRUE(ok);
    EXPECT_TRUE(records().empty());
    ASSERT_EQ(bye(ok, *phones[0]), 200);
    auto r = records();
    ASSERT_EQ(r.size(), 1u);
    JsonValue& cdr = r[0];
    ASSERT_TRUE(cdr.find("answer") && cdr.find("hangup"));
    EXPECT_GT(cdr["answer"].integer, 0);
    EXPECT_EQ(cdr["duration"].integer, cdr["hangup"].integer - cdr["answer"].integer);
    cdr.members.erase("answer");
    cdr.members.erase("hangup");
    cdr.members.erase("duration");
    EXPECT_EQ(cdr.toString(0), R"({"org-host":"127.0.0.1","org-name":"Anna","org-scheme":"tel","org-type":"FXS",)"
                               R"("org-user":"201","to-host":"127.0.0.1","to-scheme":"sip","to-user":"202","type":"FXS"})");
    MutexLock g(accountingMutex);
    EXPECT_TRUE(accountingSessions.empty());
}

TEST_F(CallsTest, BellRelayFollowsRingingUntilTheLastCallStops)
{
    repro_update_user("202", "127.0.0.1", "x", "g1", 5);
    repro_update_user("203", "127.0.0.1", "x", "g1", 5);
    Message c1 = invite("202", *phones[0], "c1");
    ASSERT_TRUE(c1);
    later(4000);
    EXPECT_TRUE(relay().empty());
    later(1000);
    EXPECT_EQ(relay(), std::vector<int>{1});
    ASSERT_TRUE(answer(*phones[0], c1, 200, "b1"));
    EXPECT_EQ(relay(), (std::vector<int>{1, 0}));

    // two ringing: the relay stays on until the second one stops
    sim->clearLogs();
    Message c2 = invite("202", *phones[0], "c2");
    Message c3 = invite("203", *phones[1], "c3");
    ASSERT_TRUE(c2 && c3);
    later(5000);
    EXPECT_EQ(relay(), (std::vector<int>{1, 1}));
    EXPECT_EQ(cancel("202", "c2"), 200);
    EXPECT_EQ(relay(), (std::vector<int>{1, 1}));
    ASSERT_TRUE(answer(*phones[1], c3, 486, "b3"));
    EXPECT_EQ(relay(), (std::vector<int>{1, 1, 0}));

    // a CANCEL of another branch changes nothing; a refusal before the delay
    // leaves no timer behind
    sim->clearLogs();
    Message c4 = invite("202", *phones[0], "c4");
    ASSERT_TRUE(c4);
    std::string other_branch = callerHeaders("c4", "CANCEL");
    other_branch.replace(other_branch.find("z9hG4bKc4;"), 10, "z9hG4bKc4x;");
    caller->send("CANCEL sip:202@127.0.0.1 SIP/2.0\r\n" + other_branch +
                     "To: <sip:202@127.0.0.1>\r\nContent-Length: 0\r\n\r\n",
                 proxyAddr());
    EXPECT_EQ(finalAnswer("CANCEL"), 481);
    {
        MutexLock g(accountingMutex);
        EXPECT_EQ(accountingSessions.count("c4"), 1u);
    }
    ASSERT_TRUE(answer(*phones[0], c4, 486, "b4"));
    later(5000);
    EXPECT_TRUE(relay().empty());
}

TEST_F(CallsTest, ByeWhileTheBellRingsReleasesTheRelayAndItsTimer)
{
    repro_update_user("202", "127.0.0.1", "x", "g1", 5);
    repro_update_user("203", "127.0.0.1", "x", "g1", 5);
    Message c1 = invite("202", *phones[0], "c1");
    Message c2 = invite("203", *phones[1], "c2");
    ASSERT_TRUE(c1 && c2);
    ASSERT_TRUE(answer(*phones[0], c1, 180, "b1"));
    ASSERT_TRUE(answer(*phones[1], c2, 180, "b2"));
    later(5000);
    EXPECT_EQ(relay(), (std::vector<int>{1, 1}));
    // the caller gives up on c1 with a BYE on its early dialog: a record
    // without answer, and the relay stays on for c2 only
    Message early = Message::parse(c1.toString());
    early.setToTag("b1");
    EXPECT_GT(bye(early, *phones[0]), 0);
    auto r = records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["answer"].integer, 0);
    EXPECT_EQ(r[0]["duration"].integer, r[0]["hangup"].integer);
    EXPECT_EQ(relay(), (std::vector<int>{1, 1}));
    early = Message::parse(c2.toString());
    early.setToTag("b2");
    EXPECT_GT(bye(early, *phones[1]), 0);
    EXPECT_EQ(relay(), (std::vector<int>{1, 1, 0}));

    // a BYE before the delay: the timer does not fire afterwards
    sim->clearLogs();
    Message c3 = invite("202", *phones[0], "c3");
    ASSERT_TRUE(c3);
    early = Message::parse(c3.toString());
    early.setToTag("b3");
    EXPECT_GT(bye(early, *phones[0]), 0);
    later(5000);
    EXPECT_TRUE(relay().empty());
}

// The caller's name and number come from Remote-Party-ID, P-Asserted-Identity
// or From in the order the global flags choose.
TEST_F(CallsTest, CallerIdentityFollowsTheGlobalFlags)
{
    struct {
        uint32_t flags;
        const char* name;
        const char* user;
    } cases[] = {{0x000, "Rpid", "301"}, {0x100, "Pai", "302"}, {0x200, "Rpid", "301"}, {0x300, "Pai", "302"},
                 {0x400, "Anna", "201"}, {0x500, "", ""},        {0x700, "", ""}};
    const std::string ids = "Remote-Party-ID: \"Rpid\" <sip:301@127.0.0.1>;party=calling\r\n"
                            "P-Asserted-Identity: \"Pai\" <sip:302@127.0.0.1>\r\n";
    int n = 0;
    for (const auto& c : cases) {
        globalFlags = c.flags;
        std::string id = "id" + std::to_string(++n);
        ASSERT_TRUE(invite("202", *phones[0], id, "", ids));
        {
            MutexLock g(accountingMutex);
            ASSERT_EQ(accountingSessions.count(id), 1u);
            EXPECT_EQ(accountingSessions[id].fromName, c.name) << std::hex << c.flags;
            EXPECT_EQ(accountingSessions[id].fromUser, c.user) << std::hex << c.flags;
            EXPECT_EQ(accountingSessions[id].fromHost, "127.0.0.1");
        }
        EXPECT_EQ(cancel("202", id), 200);
    }
    // without Remote-Party-ID, flags 0 fall back to P-Asserted-Identity
    globalFlags = 0;
    ASSERT_TRUE(invite("202", *phones[0], "id-pai", "", "P-Asserted-Identity: <sip:302@127.0.0.1>\r\n"));
    MutexLock g(accountingMutex);
    EXPECT_EQ(accountingSessions["id-pai"].fromName, "");
    EXPECT_EQ(accountingSessions["id-pai"].fromUser, "302");
}

}  // namespace
