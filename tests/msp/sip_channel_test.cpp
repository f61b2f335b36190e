// The SIP channel base: account keys, registration, status and identity.
#include <gtest/gtest.h>

#include "core/channel_event.h"
#include "mgmt/var_store.h"
#include "sip_channel_fixture.h"
#include "support/json_text.h"
#include "support/log_capture.h"

namespace {

// The account keys getSettings wrote, as compact JSON in key order.
std::string account_of(const SIPChannel& c)
{
    static const char* const keys[] = {"uri", "transport", "authname", "password", "realm", "registrar",
                                       "expires", "realname", "to-domain", "proxy", "sipflags", "codecs",
                                       "conn-limit", "rtp-timeout", "se", "cid-replace"};
    JsonValue out;
    out.kind = JSON_HASH;
    c.getSettings(out);
    JsonValue picked;
    picked.kind = JSON_HASH;
    for (const char* k : keys)
        if (const JsonValue* v = out.find(k))
            picked[k] = *v;
    return picked.toString();
}

std::string compact(const char* json) { return json_of(json).toString(); }

using Calls = std::vector<std::string>;

// Each row goes to the same channel in turn: a row also shows what the row
// before it set falls back to its default when absent.
TEST(SipChannelSettingsTest, AccountKeysDefaultsWriteBackAndReregistration)
{
    RecordingUa ua;
    RecordingSipChannel c(3);
    struct Row {
        const char* settings;
        const char* account;  // written back
        Calls calls;          // to the user agent
    } rows[] = {
        {R"({"uri":"100@10.0.0.1","transport":1,"authname":"al","password":"pw","realm":"r1","registrar":"10.0.0.2",
             "expires":60,"realname":"Al","to-domain":"d.org","proxy":"10.0.0.3","sipflags":4,"codecs":"8 0 991",
             "conn-limit":2,"rtp-timeout":10000,"se":90,"cid-replace":"/^0/+49"})",
         R"({"uri":"100@10.0.0.1","transport":1,"authname":"al","password":"pw","realm":"r1","registrar":"10.0.0.2",
             "expires":60,"realname":"Al","to-domain":"d.org","proxy":"10.0.0.3","sipflags":4,"codecs":"8 0 991",
             "conn-limit":2,"rtp-timeout":7200,"se":90,"cid-replace":"/^0/+49"})",
         {"reg 100@10.0.0.1"}},
        // Absent: "uri" stays, the rest take their defaults; the old
        // registration goes first.
        {R"({})",
         R"({"uri":"100@10.0.0.1","transport":0,"authname":"","password":"","registrar":"","expires":3600,
             "realname":"","to-domain":"","proxy":""})",
         {"unreg 1  ", "reg 100@10.0.0.1"}},
        // Keys that do not re-register.
        {R"({"realname":"Bob","to-domain":"x","codecs":"98,8","sipflags":8,"conn-limit":1,"se":30,
             "rtp-timeout":-5,"cid-replace":"^0"})",
         R"({"uri":"100@10.0.0.1","transport":0,"authname":"","password":"","registrar":"","expires":3600,
             "realname":"Bob","to-domain":"x","proxy":"","sipflags":8,"codecs":"98,8","conn-limit":1,
             "rtp-timeout":-5,"se":30,"cid-replace":"^0"})",
         {}},
        // Values of the wrong kind count as absent.
        {R"({"uri":5,"transport":"1","expires":"60","authname":7,"realname":false})",
         R"({"uri":"100@10.0.0.1","transport":0,"authname":"","password":"","registrar":"","expires":3600,
             "realname":"","to-domain":"","proxy":""})",
         {}},
        // Each re-registering key on its own.
        {R"({"proxy":"p"})", nullptr, {"unreg 2  ", "reg 100@10.0.0.1"}},
        {R"({"realm":"x"})", nullptr, {"unreg 3  x", "reg 100@10.0.0.1"}},
        {R"({"uri":"200@h"})", nullptr, {"unreg 4  ", "reg 200@h"}},
        {R"({"uri":"200@h","expires":3599})", nullptr, {"unreg 5  ", "reg 200@h"}},
        {R"({"uri":"200@h","registrar":"g"})", nullptr, {"unreg 6  ", "reg 200@h"}},
        {R"({"uri":"200@h","password":"s"})", nullptr, {"unreg 7  ", "reg 200@h"}},
        {R"({"uri":"200@h","authname":"u"})", nullptr, {"unreg 8 u ", "reg 200@h"}},
        {R"({"uri":"200@h","authname":"u","transport":2})", nullptr, {"unreg 9 u ", "reg 200@h"}},
    };
    for (const Row& row : rows) {
        c.setSettings(json_of(row.settings));
        if (row.account) {
            EXPECT_EQ(account_of(c), compact(row.account)) << row.settings;
        }
        EXPECT_EQ(ua.take(), row.calls) << row.settings;
    }
    EXPECT_EQ(c.uriHost, "h");
    EXPECT_EQ(c.transport, 2);
    EXPECT_EQ(c.registrationId, 10);
}

TEST(SipChannelSettingsTest, NewChannelReportsItsConstructorDefaults)
{
    RecordingUa ua;
    RecordingSipChannel c(0);
    EXPECT_EQ(account_of(c), compact(R"({"uri":"","transport":0,"authname":"","password":"","registrar":"",
                                         "expires":600,"realname":"","to-domain":"","proxy":""})"));
    EXPECT_EQ(c.registrationId, -1);
    // Settings without any account key still register: 3600 is not 600.
    c.setSettings(json_of("{}"));
    EXPECT_EQ(ua.take(), Calls{"reg "});
    c.setSettings(json_of("{}"));
    EXPECT_TRUE(ua.take().empty());
}

TEST(SipChannelSettingsTest, FailedRegistrationIsTriedAgainAtTheNextChange)
{
    RecordingUa ua;
    ua.registerFails = true;
    RecordingSipChannel c(0);
    c.setSettings(json_of(R"({"uri":"1@h"})"));
    EXPECT_EQ(c.registrationId, -1);
    ua.registerFails = false;
    c.setSettings(json_of(R"({"uri":"2@h"})"));
    EXPECT_EQ(ua.take(), (Calls{"reg 1@h", "reg 2@h"}));   // nothing to undo for a failed one
    EXPECT_EQ(c.registrationId, 1);
}

TEST(SipChannelSettingsTest, CodecsListSetsTheChangeOverFlags)
{
    struct {
        const char* codecs;
        bool vbd, t38;
    } cases[] = {
        {"8 0 991", false, true}, {"98,8 991", true, false},  {"8  98", true, false}, {" 991  98 ", true, true},
        {"x 98", false, false},   {"", false, false},         {"9980 99", false, false}, {"98 -991", true, false},
    };
    for (const auto& k : cases) {
        bool vbd = true, t38 = true;
        sip_codecs_flags(k.codecs, &vbd, &t38);
        EXPECT_EQ(vbd, k.vbd) << k.codecs;
        EXPECT_EQ(t38, k.t38) << k.codecs;
    }
    RecordingUa ua;
    RecordingSipChannel c(0);
    c.setSettings(json_of(R"({"codecs":"8 991"})"));
    EXPECT_TRUE(c.t38Allowed);
    EXPECT_FALSE(c.vbdAllowed);
    c.setSettings(json_of("{}"));   // the default list holds 98
    EXPECT_FALSE(c.t38Allowed);
    EXPECT_TRUE(c.vbdAllowed);
}

TEST(SipChannelSettingsTest, CidReplaceSplitsIntoPatternAndReplacement)
{
    struct {
        const char* text;
        const char* pattern;
        const char* replacement;
    } cases[] = {
        {"/^00/+/", "^00", "+/"},   // the closing slash belongs to the replacement
        {"/^8\\/9/7", "^8\\/9", "7"},
        {"^0", "^0", ""},
        {"/^0", "/^0", ""},         // no second slash: all of it is the pattern
        {"/", "/", ""},
        {"//x", "", "x"},
        {"/a\\/", "/a\\/", ""},
        {"", "", ""},
    };
    for (const auto& k : cases) {
        std::string p = "?", r = "?";
        sip_split_cid_replace(k.text, &p, &r);
        EXPECT_EQ(p, k.pattern) << k.text;
        EXPECT_EQ(r, k.replacement) << k.text;
    }

    RecordingUa ua;
    LogCapture logs;
    RecordingSipChannel c(4);
    c.setSettings(json_of(R"({"cid-replace":"/(^0/+49"})"));
    EXPECT_FALSE(c.cidPattern.ok());
    EXPECT_TRUE(logs.contains("cid-replace pattern \"(^0\" does not compile"));
    c.setSettings(json_of(R"({"cid-replace":"/^0/+49"})"));
    EXPECT_TRUE(c.cidPattern.ok());
    EXPECT_EQ(c.cidPattern.pattern(), "^0");
    EXPECT_EQ(c.cidReplacement, "+49");
}

TEST(SipChannelIdentityTest, LocalIdentityQuotesTheDisplayName)
{
    RecordingSipChannel c(0);
    c.uri = "100@10.0.0.1";
    EXPECT_EQ(c.getLocalIdentity(), "<sip:100@10.0.0.1>");
    c.realName = "Al";
    EXPECT_EQ(c.getLocalIdentity(), "\"Al\" <sip:100@10.0.0.1>");
    c.realName = "a\"b\\c";
    EXPECT_EQ(c.getLocalIdentity(), "\"a\\\"b\\\\c\" <sip:100@10.0.0.1>");

    EXPECT_EQ(SIPChannel::formatNameAddr("", "100"), "100");
    EXPECT_EQ(SIPChannel::formatNameAddr("N", "a@h"), "N <a@h>");
}

TEST(SipChannelStatusTest, StatusKeysAndCallerForms)
{
    RecordingSipChannel c(6);
    auto status = [&] {
        JsonValue out;
        out.kind = JSON_HASH;
        c.getStatus(out);
        return out.toString();
    };
    EXPECT_EQ(status(),
              compact(R"({"secure":false,"state":"idle","codec":"","reged":false,"caller":"","callee":""})"));
    c.state = nullptr;
    c.secure.set(true);
    c.codecStatus.set("PCMA");
    c.activeCall.callerName.set("N");
    c.activeCall.callerAddress.set("a@h");
    c.activeCall.callerNumber.set("D");
    c.activeCall.calleeName.set("M");
    c.activeCall.calleeNumber.set("200");
    EXPECT_EQ(status(), compact(R"({"secure":true,"state":"","codec":"PCMA","reged":false,"caller":"N <a@h>",
                                    "callee":"M <200>"})"));
    c.activeCall.callerName.set("");
    EXPECT_EQ(json_of(status().c_str())["caller"].text, "a@h");
    c.activeCall.callerAddress.set("");
    EXPECT_EQ(json_of(status().c_str())["caller"].text, "D");
}

TEST(SipChannelRegistrationTest, RegistrationEventsAndRegisteringAnew)
{
    RecordingUa ua;
    standaloneMode = false;
    varStore.reset();
    RecordingSipChannel c(6);
    c.setSettings(json_of(R"({"uri":"100@h","transport":1,"authname":"u","realm":"r"})"));
    ua.take();

    channel_event_t registered(6, EV_ENDPOINT_REGISTERED, 1);
    c.processEvent(&registered);
    EXPECT_TRUE(c.reged.get());
    EXPECT_EQ(varStore.values.count(".10.7.3.0"), 1u);   // republished
    channel_event_t failed(6, EV_REGISTRATION_FAILED, 1);
    c.processEvent(&failed);
    EXPECT_FALSE(c.reged.get());
    c.processEvent(&registered);

    // Transport ready, offered unbound: registers again on its own transport
    // only, without unregistering; never claimed.
    channel_event_t udp(-1, EV_SIP_TRANSPORT_READY, 0);
    udp.flags = EVF_PASS1;
    c.processEvent(&udp);
    channel_event_t tcp(-1, EV_SIP_TRANSPORT_READY, 1);
    tcp.flags = EVF_PASS1;
    c.processEvent(&tcp);
    EXPECT_EQ(tcp.channel, -1);
    EXPECT_EQ(ua.take(), Calls{"reg 100@h"});
    EXPECT_EQ(c.registrationId, 2);
    EXPECT_TRUE(c.reged.get());

    // An address change unregisters, clears "reged" and registers, whatever its data.
    channel_event_t ip(-1, EV_IP_ADDRESS_CHANGED, 0);
    ip.flags = EVF_PASS1;
    c.processEvent(&ip);
    EXPECT_EQ(ip.channel, -1);
    EXPECT_EQ(ua.take(), (Calls{"unreg 2 u r", "reg 100@h"}));
    EXPECT_FALSE(c.reged.get());
    // Only the first pass counts.
    ip.flags = EVF_PASS2;
    c.processEvent(&ip);
    EXPECT_TRUE(ua.take().empty());
    varStore.reset();
}

TEST(SipChannelRegistrationTest, DeletedChannelUnregistersAndHangsUpItsCalls)
{
    RecordingUa ua;
    auto* c = new RecordingSipChannel(2);
    c->setSettings(json_of(R"({"uri":"100@h","authname":"u","realm":"r"})"));
    c->activeCall.callId = 5;
    c->heldCall.callId = 6;
    ua.take();
    delete c;
    EXPECT_EQ(ua.take(), (Calls{"hangup 5", "hangup 6", "unreg 1 u r"}));

    // Never registered: nothing to undo.
    delete new RecordingSipChannel(2);
    EXPECT_TRUE(ua.take().empty());
}

}  // namespace
