#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "sdp_text.h"
#include "support/log_capture.h"
#include "ua/sdp_media_address.h"

namespace {

std::string text_of(const sockaddr_storage& a, bool with_port = true)
{
    char text[64] = "";
    if (a.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
    else if (a.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, text, sizeof text);
    return with_port ? text + std::string(" ") + std::to_string(sdp_address_port(a)) : text;
}

const sdp_local_t v4{"192.0.2.10", false, "2001:db8::10", -1};
const sdp_local_t v4_device_v6{"192.0.2.10", false, "2001:db8::10", 64};
const sdp_local_t global_v6{"192.0.2.10", true, "2001:db8::10", 64};
const sdp_local_t v6_only{"127.0.0.1", true, "2001:db8::10", 64};

}  // namespace

TEST(MediaAddress, Choice)
{
    struct {
        const char* name;
        sdp_local_t local;
        const char* session_c;           // null: no session c=
        std::vector<const char*> media;  // m= line first
        bool ok;
        const char* remote;
        const char* local_text;
        const char* type;
        const char* log;
    } cases[] = {
        {"c= of the session", v4, "c=IN IP4 198.51.100.7", {"m=audio 4000 RTP/AVP 8"}, true, "198.51.100.7 4000",
         "192.0.2.10", "IP4", nullptr},
        {"c= of the line first", v4, "c=IN IP4 198.51.100.7", {"m=audio 4000 RTP/AVP 8", "c=IN IP4 203.0.113.1"}, true,
         "203.0.113.1 4000", "192.0.2.10", "IP4", nullptr},
        {"altc: IPv4 without global IPv6", v4, "c=IN IP4 198.51.100.7",
         {"m=audio 4000 RTP/AVP 8", "a=altc:1 IP6 2001:db8::7 5000", "a=altc:2 IP4 203.0.113.9 5002"}, true,
         "203.0.113.9 5002", "192.0.2.10", "IP4", nullptr},
        {"altc: IPv6 first", global_v6, "c=IN IP4 198.51.100.7",
         {"m=audio 4000 RTP/AVP 8", "a=altc:2 IP4 203.0.113.9 5002", "a=ALTC:1 IP6 2001:db8::7 5000"}, true,
         "2001:db8::7 5000", "2001:db8::10", "IP6", nullptr},
        {"altc: same preference, the later wins", v4, "c=IN IP4 198.51.100.7",
         {"m=audio 4000 RTP/AVP 8", "a=altc:1 IP4 203.0.113.9 5002", "a=altc:1 IP4 203.0.113.8 5004"}, true,
         "203.0.113.8 5004", "192.0.2.10", "IP4", nullptr},
        {"altc: preference 0 ignored", v4, "c=IN IP4 198.51.100.7",
         {"m=audio 4000 RTP/AVP 8", "a=altc:0 IP4 203.0.113.9 5002"}, true, "198.51.100.7 4000", "192.0.2.10", "IP4",
         nullptr},
        {"altc: no address", v4, "c=IN IP4 198.51.100.7", {"m=audio 4000 RTP/AVP 8", "a=altc:1 IP4"}, true,
         "198.51.100.7 4000", "192.0.2.10", "IP4", "altc:1 IP4: no address"},
        {"altc: no port", v4, "c=IN IP4 198.51.100.7", {"m=audio 4000 RTP/AVP 8", "a=altc:1 IP4 203.0.113.9"}, true,
         "198.51.100.7 4000", "192.0.2.10", "IP4", "altc:1 IP4 203.0.113.9: no port"},
        {"altc: bad port", v4, "c=IN IP4 198.51.100.7", {"m=audio 4000 RTP/AVP 8", "a=altc:1 IP4 203.0.113.9 70000"},
         true, "198.51.100.7 4000", "192.0.2.10", "IP4", "altc: invalid port: '70000'"},
        {"altc: bad type", v4, "c=IN IP4 198.51.100.7", {"m=audio 4000 RTP/AVP 8", "a=altc:1 IPX 203.0.113.9 5"}, true,
         "198.51.100.7 4000", "192.0.2.10", "IP4", "altc: unsupported address type 'IPX'"},
        {"altc: not numeric", v4, "c=IN IP4 198.51.100.7", {"m=audio 4000 RTP/AVP 8", "a=altc:1 IP4 example.com 5"},
         true, "198.51.100.7 4000", "192.0.2.10", "IP4", "altc: getaddrinfo(example.com): "},
        {"altc: family differs", v4, "c=IN IP4 198.51.100.7", {"m=audio 4000 RTP/AVP 8", "a=altc:1 IP4 2001:db8::7 5"},
         true, "198.51.100.7 4000", "192.0.2.10", "IP4", nullptr},
        {"IPv6 c=", v4_device_v6, "c=IN IP6 2001:db8::7", {"m=audio 4000 RTP/AVP 8"}, true, "2001:db8::7 4000",
         "2001:db8::10", "IP6", nullptr},
        {"IPv6 c= without a device address", v4, "c=IN IP6 2001:db8::7", {"m=audio 4000 RTP/AVP 8"}, false, nullptr,
         nullptr, nullptr, nullptr},
        {"IPv4 c= without usable IPv4", v6_only, "c=IN IP4 198.51.100.7", {"m=audio 4000 RTP/AVP 8"}, false, nullptr,
         nullptr, nullptr, nullptr},
        {"no c= at all", v4, nullptr, {"m=audio 4000 RTP/AVP 8"}, false, nullptr, nullptr, nullptr,
         "no connection attribute"},
        {"unknown type", v4, "c=IN XY 198.51.100.7", {"m=audio 4000 RTP/AVP 8"}, false, nullptr, nullptr, nullptr,
         "unsupported address type 'XY'"},
        {"type and address differ", v4, "c=IN IP4 2001:db8::7", {"m=audio 4000 RTP/AVP 8"}, false, nullptr, nullptr,
         nullptr, "getaddrinfo(2001:db8::7): invalid address (probably doesn't correcpond declared address type)"},
        {"name instead of address", v4, "c=IN IP4 example.com", {"m=audio 4000 RTP/AVP 8"}, false, nullptr, nullptr,
         nullptr, "getaddrinfo(example.com): "},
        {"port out of range", v4, "c=IN IP4 198.51.100.7", {"m=audio 70000 RTP/AVP 8"}, false, nullptr, nullptr,
         nullptr, nullptr},
    };
    for (const auto& c : cases) {
        std::string text = sdp_lines({"v=0", "o=peer 1 1 IN IP4 198.51.100.7", "s=-"});
        if (c.session_c)
            text += std::string(c.session_c) + "\r\n";
        text += "t=0 0\r\n";
        for (const char* l : c.media)
            text += std::string(l) + "\r\n";
        auto sdp = sdp_parse(text.c_str());
        ASSERT_TRUE(sdp) << c.name;
        LogCapture logs;
        sdp_media_address_t out;
        ASSERT_EQ(sdp_get_media_address(sdp.get(), 0, c.local, out), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(text_of(out.remote), c.remote) << c.name;
            EXPECT_EQ(text_of(out.local, false), c.local_text) << c.name;
            EXPECT_EQ(out.local_text, c.local_text) << c.name;
            EXPECT_EQ(out.type, c.type) << c.name;
            EXPECT_EQ(out.length, out.type == "IP4" ? sizeof(sockaddr_in) : sizeof(sockaddr_in6)) << c.name;
        }
        if (c.log) {
            EXPECT_TRUE(logs.contains(c.log)) << c.name;
        }
    }
}
