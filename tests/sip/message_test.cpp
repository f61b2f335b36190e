// Message model: parse/print/clone, typed and generic headers, URIs, responses.
#include <gtest/gtest.h>

#include "sip/core/address.h"
#include "sip/core/message.h"
#include "sip/core/response.h"
#include "sip/core/stream_framer.h"

using namespace sipcore;

namespace {

const char* invite =
    "INVITE sip:bob@example.com:5070;transport=tcp SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bKabc;rport\r\n"
    "Via: SIP/2.0/TCP 10.0.0.2;branch=z9hG4bKdef\r\n"
    "Max-Forwards: 70\r\n"
    "f: \"Alice\" <sip:alice@example.com>;tag=a1\r\n"
    "To: <sip:bob@example.com>\r\n"
    "i: call-1@10.0.0.1\r\n"
    "CSeq: 20 INVITE\r\n"
    "Contact: <sip:alice@10.0.0.1:5060>;expires=60, <sip:alice2@10.0.0.1>\r\n"
    "Record-Route: <sip:p1.example.com;lr>\r\n"
    "Route: <sip:p2.example.com;lr>, <sip:p3.example.com;lr>\r\n"
    "P-Asserted-Identity: \"Alice A\" <sip:+15551000@example.com;user=phone>, <tel:+15551000>\r\n"
    "Remote-Party-ID: \"Al\" <sip:100@example.com>;party=calling;privacy=off;screen=yes\r\n"
    "Path: <sip:edge.example.com;lr>, <sip:core.example.com;lr>\r\n"
    "Supported: timer\r\n"
    "Expires: 120\r\n"
    "Content-Type: application/sdp\r\n"
    "Content-Length: 4\r\n"
    "\r\n"
    "v=0\n";

}  // namespace

TEST(SipMessage, ParsesTypedAndGenericHeaders)
{
    std::string err;
    Message m = Message::parse(invite, strlen(invite), &err);
    ASSERT_TRUE(m) << err;
    EXPECT_TRUE(m.wellFormed());
    EXPECT_TRUE(m.isRequest());
    EXPECT_EQ(m.method(), "INVITE");
    EXPECT_EQ(m.requestUri().user(), "bob");
    EXPECT_EQ(m.requestUri().port(), 5070);
    EXPECT_EQ(m.requestUri().transport(), TransportType::TCP);
    EXPECT_EQ(m.from().uri().user(), "alice");
    EXPECT_EQ(m.from().displayName(), "\"Alice\"");
    EXPECT_EQ(m.fromTag(), "a1");
    EXPECT_EQ(m.toTag(), "");
    EXPECT_EQ(m.callId(), "call-1@10.0.0.1");
    EXPECT_EQ(m.cseq(), 20u);
    EXPECT_EQ(m.cseqMethod(), "INVITE");
    ASSERT_EQ(m.viaCount(), 2u);
    via_t v = m.via();
    EXPECT_EQ(v.protocol, "UDP");
    EXPECT_EQ(v.host, "10.0.0.1");
    EXPECT_EQ(v.port, 5060);
    EXPECT_EQ(v.branch, "z9hG4bKabc");
    EXPECT_TRUE(v.has_rport);
    EXPECT_EQ(m.via(1).port, 0);
    EXPECT_EQ(m.nameAddrs("Contact").size(), 2u);
    EXPECT_EQ(m.nameAddrs("Contact")[0].param("expires"), "60");
    EXPECT_EQ(m.nameAddrs("Route").size(), 2u);
    EXPECT_EQ(m.nameAddrs("Record-Route")[0].uri().host(), "p1.example.com");
    EXPECT_EQ(m.header("Supported"), "timer");
    EXPECT_EQ(m.header("k"), "timer");
    EXPECT_EQ(m.header("max-forwards"), "70");
    EXPECT_EQ(m.expires(), 120);
    EXPECT_EQ(m.body(), "v=0\n");
    EXPECT_EQ(m.contentType(), "application/sdp");
}

TEST(SipMessage, NameAddrHeadersKeptGenericByOsip)
{
    Message m = Message::parse(invite, strlen(invite));
    ASSERT_TRUE(m);
    auto pai = m.nameAddrs("P-Asserted-Identity");
    ASSERT_EQ(pai.size(), 2u);
    EXPECT_EQ(pai[0].displayName(), "\"Alice A\"");
    EXPECT_EQ(pai[0].uri().user(), "+15551000");
    EXPECT_EQ(pai[0].uri().param("user"), "phone");
    EXPECT_EQ(pai[1].uri().scheme(), "tel");
    auto rpid = m.nameAddrs("Remote-Party-ID");
    ASSERT_EQ(rpid.size(), 1u);
    EXPECT_EQ(rpid[0].param("party"), "calling");
    EXPECT_EQ(rpid[0].param("privacy"), "off");
    auto path = m.nameAddrs("Path");
    ASSERT_EQ(path.size(), 2u);
    EXPECT_EQ(path[1].uri().host(), "core.example.com");
    EXPECT_TRUE(path[1].uri().hasParam("lr"));
}

TEST(SipMessage, PrintCloneAndEditRoundTrip)
{
    Message m = Message::parse(invite, strlen(invite));
    ASSERT_TRUE(m);
    Message c = m.clone();
    c.pushVia("SIP/2.0/UDP 127.0.0.1:6060;branch=z9hG4bKnew;rport");
    c.popRoute();
    c.setHeader("Max-Forwards", "69");
    c.addHeader("X-Secure-Transport", "yes");
    c.setBody("application/sdp", "v=0\r\no=x\r\n");
    std::string text = c.toString();
    Message again = Message::parse(text);
    ASSERT_TRUE(again) << text;
    EXPECT_EQ(again.viaCount(), 3u);
    EXPECT_EQ(again.topBranch(), "z9hG4bKnew");
    EXPECT_EQ(again.nameAddrs("Route").size(), 1u);
    EXPECT_EQ(again.header("Max-Forwards"), "69");
    EXPECT_EQ(again.header("X-Secure-Transport"), "yes");
    EXPECT_EQ(again.body(), "v=0\r\no=x\r\n");
    EXPECT_EQ(again.header("Content-Length"), "10");
    // the original is untouched
    EXPECT_EQ(m.viaCount(), 2u);
    EXPECT_EQ(m.header("Max-Forwards"), "70");
    again.popVia();
    EXPECT_EQ(again.topBranch(), "z9hG4bKabc");
}

TEST(SipMessage, HeadersFoundByAnyFormOfTheirName)
{
    const char* text =
        "OPTIONS sip:bob@example.com SIP/2.0\r\n"
        "v: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bKx\r\n"
        "f: <sip:alice@example.com>;tag=a1\r\n"
        "t: <sip:bob@example.com>\r\n"
        "i: c9@10.0.0.1\r\n"
        "CSeq: 1 OPTIONS\r\n"
        "m: <sip:alice@10.0.0.1>\r\n"
        "k: path\r\n"
        "SUPPORTED: timer\r\n"
        "s: first\r\n"
        "subject: second\r\n"
        "o: presence\r\n"
        "X-Long-Header-Name-Of-Ours: 1\r\n"
        "x: 90\r\n"
        "Content-Length: 0\r\n\r\n";
    Message m = Message::parse(text);
    ASSERT_TRUE(m);
    struct {
        const char* name;
        std::vector<std::string> values;
    } cases[] = {
        {"Via", {"SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bKx"}},
        {"v", {"SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bKx"}},
        {"call-id", {"c9@10.0.0.1"}},
        {"I", {"c9@10.0.0.1"}},
        {"contact", {"<sip:alice@10.0.0.1>"}},
        {"Supported", {"path", "timer"}},
        {"K", {"path", "timer"}},
        {"Subject", {"first", "second"}},
        {"s", {"first", "second"}},
        {"Event", {"presence"}},
        {"x-long-header-name-of-ours", {"1"}},
        {"Session-Expires", {"90"}},
        {"Allow-Events", {}},
        {"", {}},
        {"1", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(m.headers(c.name), c.values) << c.name;
    m.removeHeader("subject");
    m.removeHeader("k");
    m.removeHeader("m");
    Message again = Message::parse(m.toString());
    ASSERT_TRUE(again);
    EXPECT_TRUE(again.headers("s").empty());
    EXPECT_TRUE(again.headers("Supported").empty());
    EXPECT_TRUE(again.headers("Contact").empty());
    EXPECT_EQ(again.header("o"), "presence");
}

TEST(SipMessage, SetHeaderReplacesSingleValuedHeaders)
{
    struct {
        const char* name;  // long or compact form
        const char* value;
    } cases[] = {
        {"CSeq", "21 INVITE"},
        {"From", "<sip:carol@example.com>;tag=c3"},
        {"f", "<sip:carol@example.com>;tag=c3"},
        {"To", "<sip:dave@example.com>;tag=d4"},
        {"Call-ID", "call-2@10.0.0.1"},
        {"i", "call-2@10.0.0.1"},
    };
    for (const auto& c : cases) {
        Message m = Message::parse(invite, strlen(invite));
        ASSERT_TRUE(m);
        ASSERT_EQ(m.setHeader(c.name, c.value), 0) << c.name;
        Message again = Message::parse(m.toString());
        ASSERT_TRUE(again) << c.name << "\n" << m.toString();
        EXPECT_EQ(again.header(c.name), c.value) << c.name;
        EXPECT_EQ(again.header(c.name, 1), "") << c.name << ": the old value is gone";
    }
}

TEST(SipMessage, RejectsMalformedInput)
{
    struct {
        const char* name;
        std::string text;
        bool parses;
    } cases[] = {
        {"empty", "", false},
        {"garbage", "hello world\r\n\r\n", false},
        {"truncated start line", "INVITE sip:a@b", false},
        {"no From", "OPTIONS sip:a@b SIP/2.0\r\nVia: SIP/2.0/UDP h;branch=z9hG4bK1\r\nTo: <sip:a@b>\r\n"
                    "Call-ID: 1\r\nCSeq: 1 OPTIONS\r\n\r\n", true},
        {"CSeq mismatch", "OPTIONS sip:a@b SIP/2.0\r\nVia: SIP/2.0/UDP h;branch=z9hG4bK1\r\nFrom: <sip:c@d>;tag=1\r\n"
                          "To: <sip:a@b>\r\nCall-ID: 1\r\nCSeq: 1 INVITE\r\n\r\n", true},
        {"no Via", "SIP/2.0 200 OK\r\nFrom: <sip:c@d>;tag=1\r\nTo: <sip:a@b>\r\nCall-ID: 1\r\nCSeq: 1 INVITE\r\n\r\n",
         true},
        {"CSeq not below 2^31", "OPTIONS sip:a@b SIP/2.0\r\nVia: SIP/2.0/UDP h;branch=z9hG4bK1\r\nFrom: <sip:c@d>;tag=1\r\n"
                                "To: <sip:a@b>\r\nCall-ID: 1\r\nCSeq: 2147483648 OPTIONS\r\n\r\n", true},
        {"rport past 65535", "OPTIONS sip:a@b SIP/2.0\r\nVia: SIP/2.0/UDP h;branch=z9hG4bK1;rport=65536\r\n"
                             "From: <sip:c@d>;tag=1\r\nTo: <sip:a@b>\r\nCall-ID: 1\r\nCSeq: 1 OPTIONS\r\n\r\n", true},
        {"Request-URI port 0", "OPTIONS sip:a@b:0 SIP/2.0\r\nVia: SIP/2.0/UDP h;branch=z9hG4bK1\r\n"
                               "From: <sip:c@d>;tag=1\r\nTo: <sip:a@b>\r\nCall-ID: 1\r\nCSeq: 1 OPTIONS\r\n\r\n", true},
    };
    for (const auto& c : cases) {
        Message m = Message::parse(c.text);
        if (!c.parses) {
            EXPECT_FALSE(m) << c.name;
            continue;
        }
        // parsed but missing what every message needs
        ASSERT_TRUE(m) << c.name;
        std::string why;
        EXPECT_FALSE(m.wellFormed(&why)) << c.name;
        EXPECT_FALSE(why.empty()) << c.name;
    }
}

TEST(SipMessage, FixTopViaAddsReceivedAndRport)
{
    struct {
        const char* via;
        const char* expect;
    } cases[] = {
        {"SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK1;rport", "received=192.0.2.7;rport=4444"},
        {"SIP/2.0/UDP 192.0.2.7:5060;branch=z9hG4bK1;rport", "rport=4444"},
        {"SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK1", "received=192.0.2.7"},
        {"SIP/2.0/UDP 192.0.2.7;branch=z9hG4bK1", ""},
        // received= written by the peer itself never survives
        {"SIP/2.0/UDP 192.0.2.7;branch=z9hG4bK1;received=198.51.100.9", ""},
        {"SIP/2.0/UDP 10.0.0.1;received=198.51.100.9;branch=z9hG4bK1;received=198.51.100.8", "received=192.0.2.7"},
    };
    for (const auto& c : cases) {
        Message m = Message::request("OPTIONS", Uri::parse("sip:x@y"));
        m.addHeader("Via", c.via);
        m.fixTopVia("192.0.2.7", 4444);
        std::string v = m.header("Via");
        EXPECT_EQ(v.find("received=192.0.2.7") != std::string::npos,
                  std::string(c.expect).find("received") != std::string::npos)
            << v;
        EXPECT_EQ(v.find("rport=4444") != std::string::npos, std::string(c.expect).find("rport") != std::string::npos)
            << v;
        EXPECT_EQ(v.find("198.51.100."), std::string::npos) << v;
        EXPECT_EQ(m.via().received, std::string(c.expect).find("received") != std::string::npos ? "192.0.2.7" : "")
            << v;
    }
}

TEST(SipUri, AddressOfRecordAndEmbeddedHeaders)
{
    struct {
        const char* uri;
        TransportType t;
        const char* aor;
        const char* noport;
    } cases[] = {
        {"sip:alice@example.com:5060;transport=udp", TransportType::UDP, "sip:alice@example.com", "alice@example.com"},
        {"sip:alice@example.com:5070", TransportType::UDP, "sip:alice@example.com:5070", "alice@example.com"},
        {"sips:alice@example.com:5061", TransportType::TLS, "sips:alice@example.com", "alice@example.com"},
        {"sip:alice@example.com:5061", TransportType::TLS, "sip:alice@example.com", "alice@example.com"},
        {"sip:example.com", TransportType::UDP, "sip:example.com", "example.com"},
        {"sip:bob@[::1]:5062", TransportType::UDP, "sip:bob@[::1]:5062", "bob@::1"},
    };
    for (const auto& c : cases) {
        Uri u = Uri::parse(c.uri);
        ASSERT_TRUE(u) << c.uri;
        EXPECT_EQ(u.aorAsUri(c.t), c.aor) << c.uri;
        EXPECT_EQ(u.aorNoPort(), c.noport) << c.uri;
    }

    Uri r = Uri::parse("sip:carol@example.com");
    r.addEmbeddedHeader("Replaces", "abc@h;to-tag=1;from-tag=2");
    std::string text = r.toString();
    EXPECT_NE(text.find("?Replaces=abc%40h%3Bto-tag%3D1%3Bfrom-tag%3D2"), std::string::npos) << text;
    Uri back = Uri::parse(text);
    ASSERT_EQ(back.embeddedHeaders().size(), 1u);
    EXPECT_EQ(back.embeddedHeaders()[0].first, "Replaces");
    EXPECT_EQ(uri_unescape(back.embeddedHeaders()[0].second), "abc@h;to-tag=1;from-tag=2");
    EXPECT_EQ(uri_escape_header_value("a@b;c=d"), "a%40b%3Bc%3Dd");
    EXPECT_FALSE(Uri::parse("not a uri"));
}

TEST(SipMessage, HeaderNumbersAreRangeChecked)
{
    struct {
        const char* text;
        long long max;
        long long expect;
    } cases[] = {
        {"3600", 0x7fffffff, 3600},
        {"  90;refresher=uac", 0x7fffffff, 90},
        {"776656 1 INVITE", 0x7fffffff, 776656},        // RAck
        {"120 (in a meeting)", 0x7fffffff, 120},         // Retry-After
        {"120(busy)", 0x7fffffff, 120},
        {"0", 0x7fffffff, 0},
        {"2147483647", 0x7fffffff, 2147483647},
        {"2147483648", 0x7fffffff, -1},                  // atoi made it negative
        {"4294967297", 0x7fffffff, -1},                  // atoi made it 1
        {"99999999999999999999999", 0x7fffffff, -1},    // no overflow on the way
        {"2147484", 0x7fffffff / 1000, -1},
        {"", 100, -1},
        {" ", 100, -1},
        {"-5", 100, -1},
        {"+5", 100, -1},
        {"5x", 100, -1},
        {"5.0", 100, -1},
        {"0x10", 100, -1},
        {"x5", 100, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(header_number(c.text, c.max), c.expect) << "[" << c.text << "]";

    // ports: digits only, 1..65535
    struct {
        const char* text;
        int expect;
    } ports[] = {{"5060", 5060}, {"1", 1}, {"65535", 65535}, {"65536", -1}, {"70000", -1}, {"0", -1},
                 {"5x", -1},     {"-1", -1}, {"+5", -1},       {"", -1},      {" ", -1}, {"99999999999999999999", -1}};
    for (const auto& c : ports) {
        EXPECT_EQ(port_number(c.text), c.expect) << "[" << c.text << "]";
        std::string uri = std::string("sip:b@h:") + c.text;
        EXPECT_EQ(bool(Uri::parse(uri)), c.expect > 0) << uri;
        EXPECT_EQ(bool(NameAddr::parse("<" + uri + ">;tag=1")), c.expect > 0) << uri;
        if (c.expect > 0) {
            EXPECT_EQ(Uri::parse(uri).port(), c.expect);
        }
    }
    std::string vias(invite);
    vias.replace(vias.find("Via: "), 0, "Via: SIP/2.0/UDP h:70000;rport=65541;branch=z9hG4bKv\r\n");
    Message m = Message::parse(vias);
    ASSERT_TRUE(m);
    EXPECT_EQ(m.via(0).port, 0);  // atoi and a 16-bit cut made it 4464
    EXPECT_EQ(m.via(0).rport, 0);
    std::string why;
    EXPECT_FALSE(m.wellFormed(&why));
    EXPECT_EQ(why, "bad Via port");

    // a CSeq number past 32 bits no longer wraps
    std::string text(invite);
    Message big = Message::parse(text.replace(text.find("CSeq: 20 "), 9, "CSeq: 4294967297 "));
    ASSERT_TRUE(big);
    EXPECT_EQ(big.cseq(), 0u);
}

TEST(SipUri, EscapesThatReadAsNulAreRefused)
{
    // osip would read each of these as a user cut short at a NUL
    for (const char* bad : {"sip:alice%00x@h", "sip:%[lice@h", "sip:alice@h;user=%0", "sip:alice@h?X=%"}) {
        EXPECT_FALSE(Uri::parse(bad)) << bad;
        EXPECT_FALSE(NameAddr::parse(std::string("<") + bad + ">")) << bad;
    }
    Uri u = Uri::parse("sip:al%69ce%25@h");
    ASSERT_TRUE(u);
    EXPECT_EQ(u.user(), "alice%");
    NameAddr n = NameAddr::parse("\"50% \\\" off%\" <sip:bob@h>;tag=1");
    ASSERT_TRUE(n) << "a % in a display name is no escape";
    EXPECT_EQ(n.uri().user(), "bob");

    struct {
        const char* head;
        const char* where;
    } cases[] = {
        {"INVITE sip:alice%00x@h SIP/2.0\r\nTo: <sip:alice@h>\r\n\r\n", "Request-URI"},
        {"INVITE sip:alice@h SIP/2.0\r\nSubject: 100%\r\nto : <sip:a%0g@h>\r\n\r\n", "To"},
        {"INVITE sip:alice@h SIP/2.0\r\nm: \"%\"\r\n <sip:a%00@h>\r\n\r\n", "m"},
        {"INVITE sip:alice@h SIP/2.0\r\nFrom: \"100%\" <sip:a%41@h>\r\n\r\nbody %00", ""},
        {"SIP/2.0 200 %00\r\nContact: <sip:a@h>\r\n\r\n", ""},
        {"SIP/2.0 200 OK\r\nRecord-Route: <sip:a@h;lr>,\r\n\t<sip:%@h>\r\n\r\n", "Record-Route"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(find_bad_uri_escape(c.head, strlen(c.head)), c.where) << c.head;
}

TEST(SipResponse, CopiesDialogHeadersAndAddsTagAndServer)
{
    Message req = Message::parse(invite, strlen(invite));
    ASSERT_TRUE(req);
    Message trying = make_response(req, 100);
    EXPECT_EQ(trying.toTag(), "");
    Message ok = make_response(req, 200, {.reason = "", .to_tag = "t9", .server = "test/1", .copy_record_route = true});
    EXPECT_EQ(ok.statusCode(), 200);
    EXPECT_EQ(ok.reason(), "OK");
    EXPECT_EQ(ok.toTag(), "t9");
    EXPECT_EQ(ok.header("Server"), "test/1");
    EXPECT_EQ(ok.viaCount(), 2u);
    EXPECT_EQ(ok.callId(), req.callId());
    EXPECT_EQ(ok.cseqMethod(), "INVITE");
    EXPECT_EQ(ok.headers("Record-Route").size(), 1u);
    EXPECT_EQ(ok.headers("Via"), req.headers("Via"));
    EXPECT_EQ(ok.header("From"), req.header("From"));
    EXPECT_EQ(ok.header("CSeq"), req.header("CSeq"));
    EXPECT_EQ(req.toTag(), "");  // the response's copies are its own
    EXPECT_TRUE(ok.wellFormed());
    Message busy = make_response(req, 486);
    EXPECT_FALSE(busy.toTag().empty());
    EXPECT_TRUE(busy.headers("Record-Route").empty());
    Message text = Message::parse(ok.toString());
    EXPECT_TRUE(text.wellFormed());
}

TEST(SipAddress, NumericAddressesAndLocalGuess)
{
    struct {
        const char* host;
        int port;
        const char* key;
    } cases[] = {{"127.0.0.1", 5060, "127.0.0.1:5060"}, {"[::1]", 5061, "[::1]:5061"}, {"::1", 1, "[::1]:1"},
                 {"example.com", 5060, ""},          {"127.0.0.1", 70000, ""},       {"", 5060, ""}};
    for (const auto& c : cases)
        EXPECT_EQ(make_addr(c.host, c.port).valid() ? make_addr(c.host, c.port).key() : "", c.key) << c.host;
    std::string ip = guess_local_ip(AF_INET);
    EXPECT_TRUE(make_addr(ip, 0).valid()) << ip;
    set_local_ip_override("192.0.2.44");
    EXPECT_EQ(guess_local_ip(AF_INET), "192.0.2.44");
    set_local_ip_override("");
    EXPECT_EQ(guess_local_ip(AF_INET), ip);
}

// Pings and messages come out the same whatever the segmentation: one
// KeepAlive per CRLFCRLF, stray line ends dropped.
TEST(SipStreamFramer, SameFramesAndOnePongPerPingUnderAnySegmentation)
{
    const std::string msg = "OPTIONS sip:a@b SIP/2.0\r\nContent-Length: 2\r\n\r\nhi";
    const std::string stream = "\r\n\r\n" + msg + "\r\n\r\n\r\n\r\n" + msg + "\r\n" + msg + "\r\n\r\n";
    const std::vector<std::string> expect = {"ping", msg, "ping", "ping", msg, msg, "ping"};
    auto run = [&](const std::vector<size_t>& cuts) {
        StreamFramer f;
        std::vector<std::string> got;
        size_t at = 0;
        for (size_t i = 0; i <= cuts.size(); ++i) {
            size_t end = i < cuts.size() ? cuts[i] : stream.size();
            f.feed(stream.data() + at, end - at);
            at = end;
            for (;;) {
                std::string out;
                auto r = f.next(&out);
                if (r == StreamFramer::Result::NeedMore)
                    break;
                EXPECT_NE(r, StreamFramer::Result::Error);
                if (r == StreamFramer::Result::Error)
                    return got;
                got.push_back(r == StreamFramer::Result::KeepAlive ? "ping" : out);
            }
        }
        EXPECT_EQ(f.buffered(), 0u);
        return got;
    };
    EXPECT_EQ(run({}), expect);
    std::vector<size_t> each_byte;
    for (size_t i = 1; i < stream.size(); ++i)
        each_byte.push_back(i);
    EXPECT_EQ(run(each_byte), expect);
    for (size_t a = 1; a < stream.size(); ++a)
        for (size_t b = a; b < stream.size(); b += 7)
            ASSERT_EQ(run({a, b}), expect) << "cut at " << a << ", " << b;
}
