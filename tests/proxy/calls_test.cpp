// Calls through the running proxy between two phones on loopback: the
// ringing calls it tracks for pickup.
#include <gtest/gtest.h>

#include "sip/core/response.h"
#include "tests/proxy/repro_fixture.h"

namespace {

using sipcore::Message;
using siptest::UdpPeer;

// Phones 202 and 203 (intercept group g1) registered; 204 in g2.
class CallsTest : public proxytest::ReproTest {
protected:
    void SetUp() override
    {
        ReproTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        config("Transport1Interface = 127.0.0.1:5060\nTransport1RecordRouteUri = auto\nDisableAuth = true\n"
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
    Message invite(const std::string& callee, UdpPeer& phone, const std::string& call_id)
    {
        std::string port = std::to_string(caller->port());
        caller->send("INVITE sip:" + callee + "@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + port +
                         ";branch=z9hG4bK" + call_id + ";rport\r\nFrom: \"Anna\" <sip:201@127.0.0.1>;tag=a-" +
                         call_id + "\r\nTo: <sip:" + callee + "@127.0.0.1>\r\nCall-ID: " + call_id +
                         "\r\nCSeq: 1 INVITE\r\nContact: <sip:201@127.0.0.1:" + port +
                         ">\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n",
                     proxyAddr());
        return nextRequest(phone, "INVITE");
    }

    static Message nextRequest(UdpPeer& phone, const std::string& method)
    {
        for (;;) {
            Message m = Message::parse(phone.recv(3000));
            if (!m || (m.isRequest() && m.method() == method))
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

}  // namespace
