// The header readers: Reason parsing, the unsupported Require tag, the
// identity headers and the Contact fix-up.
#include <gtest/gtest.h>

#include "sip/core/message.h"
#include "ua/user_agent.h"

namespace {

sipcore::Message parse(const std::string& first_line, const std::string& headers)
{
    std::string text = first_line + "\r\nVia: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK1\r\n"
                       "From: <sip:a@127.0.0.1>;tag=1\r\nTo: <sip:b@127.0.0.1>\r\nCall-ID: x\r\nCSeq: 1 BYE\r\n" +
                       headers + "Content-Length: 0\r\n\r\n";
    sipcore::Message m = sipcore::Message::parse(text);
    EXPECT_TRUE(m) << text;
    return m;
}

TEST(UaHeaders, ReasonHeadersFillTheDisconnect)
{
    const struct {
        const char* first_line;
        const char* headers;
        int cause, location, status;
        const char* reason;
    } rows[] = {
        {"BYE sip:b@127.0.0.1 SIP/2.0",
         "Reason: SIP;cause=486\r\nReason: Q.850;cause=17;location=LOC-12\r\n", 17, 12, 486, ""},
        {"BYE sip:b@127.0.0.1 SIP/2.0", "Reason: q.850;cause=21;location=rpn\r\n", 21, 5, 0, ""},
        {"BYE sip:b@127.0.0.1 SIP/2.0", "Reason: Q.850;cause=16;location=BI\r\nReason: Q.850;location=nowhere\r\n",
         16, 10, 0, ""},
        {"BYE sip:b@127.0.0.1 SIP/2.0", "Reason: SIP;cause=200\r\nReason: SIP;cause=487\r\n", 0, -1, 487, ""},
        {"BYE sip:b@127.0.0.1 SIP/2.0", "Reason: SIP;text=\"no cause\"\r\n", 0, -1, 0, ""},
        {"SIP/2.0 486 Busy Here", "Reason: Q.850;cause=17;location=U\r\n", 17, 0, 486, "Busy Here"},
        {"SIP/2.0 503 Service Unavailable", "", 0, -1, 503, "Service Unavailable"},
    };
    for (const auto& row : rows) {
        sipcore::Message m = parse(row.first_line, row.headers);
        disconnect_event_t d(-1, 1);
        ua_parse_reason(&m, &d);
        EXPECT_EQ(d.q850_cause, row.cause) << row.headers;
        EXPECT_EQ(d.location, row.location) << row.headers;
        EXPECT_EQ(d.sip_status, row.status) << row.headers;
        EXPECT_EQ(d.reason, row.reason) << row.headers;
    }
    disconnect_event_t untouched(-1, 1);
    ua_parse_reason(nullptr, &untouched);
    EXPECT_EQ(untouched.location, -1);
}

TEST(UaHeaders, FirstUnsupportedRequireTag)
{
    const struct {
        const char* headers;
        const char* tag;
    } rows[] = {
        {"", ""},
        {"Require: 100rel\r\nRequire: TIMER\r\nRequire: Replaces\r\n", ""},
        {"Require: timer, foo\r\n", "foo"},
        {"Require: bar\r\nRequire: foo\r\n", "bar"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ua_unsupported_require(parse("OPTIONS sip:b@127.0.0.1 SIP/2.0", row.headers)), row.tag)
            << row.headers;
}

TEST(UaHeaders, IdentityHeaders)
{
    std::string name = "kept", number = "kept";
    sipcore::Message none = parse("INVITE sip:b@127.0.0.1 SIP/2.0", "");
    EXPECT_EQ(ua_get_pai(none, name, number), 0);
    EXPECT_EQ(name, "kept");
    sipcore::Message bad = parse("INVITE sip:b@127.0.0.1 SIP/2.0", "P-Asserted-Identity: <<<\r\n");
    EXPECT_EQ(ua_get_pai(bad, name, number), 1);
    EXPECT_EQ(number, "kept");
    sipcore::Message rpid =
        parse("INVITE sip:b@127.0.0.1 SIP/2.0", "Remote-Party-ID: \"Carol\" <sip:300@h>;party=calling\r\n");
    EXPECT_EQ(ua_get_rpid(rpid, name, number), 1);
    EXPECT_EQ(name, "\"Carol\"");
    EXPECT_EQ(number, "300");
}

TEST(UaHeaders, ContactPointsAtTheUserAgent)
{
    sipcore::Message m = parse("SIP/2.0 200 OK", "Contact: <sip:100@10.1.1.1:5099;transport=udp>\r\n"
                                                 "Contact: <sip:other@10.1.1.1>\r\n");
    ua_fix_contact(m, true);
    std::vector<std::string> c = m.headers("Contact");
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0], "<sip:100@127.0.0.1:6060;transport=udp>;isfocus");
    EXPECT_EQ(c[1], "<sip:other@10.1.1.1>");
    sipcore::Message without = parse("SIP/2.0 200 OK", "");
    ua_fix_contact(without, false);
    EXPECT_FALSE(without.hasHeader("Contact"));
}

}  // namespace
