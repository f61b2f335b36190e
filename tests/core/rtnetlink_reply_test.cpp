// Replies the kernel would never send, to show that no length is trusted.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <vector>

#include "core/rtnetlink.h"
#include "support/inet_text.h"
#include "support/log_capture.h"

namespace {

constexpr uint32_t seq = 7;

// A netlink message: header, a body of body_len zero bytes, then attributes.
class Msg {
public:
    Msg(uint16_t type, size_t body_len, uint16_t flags = 0) : bytes(NLMSG_LENGTH(body_len))
    {
        set_header(type, flags);
    }
    Msg& attr(uint16_t type, const void* data, size_t len)
    {
        size_t at = bytes.size();
        bytes.resize(at + RTA_SPACE(len));
        rtattr a{uint16_t(RTA_LENGTH(len)), type};
        memcpy(&bytes[at], &a, sizeof a);
        memcpy(&bytes[at + RTA_LENGTH(0)], data, len);
        return set_len(uint32_t(bytes.size()));
    }
    Msg& raw(std::vector<uint8_t> tail)
    {
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return set_len(uint32_t(bytes.size()));
    }
    Msg& set_len(uint32_t len)
    {
        memcpy(&bytes[0], &len, 4);
        return *this;
    }
    Msg& set_seq(uint32_t s)
    {
        memcpy(&bytes[8], &s, 4);
        return *this;
    }
    Msg& set_family(uint8_t family)
    {
        bytes[NLMSG_HDRLEN] = family;
        return *this;
    }
    std::vector<uint8_t> bytes;

private:
    void set_header(uint16_t type, uint16_t flags)
    {
        nlmsghdr h{uint32_t(bytes.size()), type, flags, seq, 0};
        memcpy(&bytes[0], &h, sizeof h);
    }
};

Msg route4() { return Msg(RTM_NEWROUTE, sizeof(rtmsg)); }

}   // namespace

TEST(RtnlRouteReply, ReadsInterfaceGatewayAndSource)
{
    int oif = 3;
    in6_addr gw = v6("fe80::1"), src = v6("2001:db8::5");
    Msg m(RTM_NEWROUTE, sizeof(rtmsg));
    m.attr(RTA_TABLE, "\xfe\0\0\0", 4).attr(RTA_OIF, &oif, 4).attr(RTA_GATEWAY, &gw, 16).attr(RTA_PREFSRC, &src, 16);
    rtnl_route_t r;
    ASSERT_EQ(rtnl_parse_route_reply(m.bytes.data(), ssize_t(m.bytes.size()), seq, AF_INET6, &r), 0);
    EXPECT_EQ(r.oif, 3);
    EXPECT_TRUE(r.has_gateway);
    EXPECT_EQ(memcmp(r.gateway, &gw, 16), 0);
    EXPECT_TRUE(r.has_prefsrc);
    EXPECT_EQ(memcmp(r.prefsrc, &src, 16), 0);

    // no attributes at all: directly reachable, nothing known
    Msg bare = route4();
    ASSERT_EQ(rtnl_parse_route_reply(bare.bytes.data(), ssize_t(bare.bytes.size()), seq, AF_INET, &r), 0);
    EXPECT_EQ(r.oif, 0);
    EXPECT_FALSE(r.has_gateway);
}

TEST(RtnlRouteReply, RefusesMalformedAnswers)
{
    int oif = 2;
    uint32_t gw4 = htonl(0x0a010102);
    int err = -113;
    Msg error(NLMSG_ERROR, sizeof(nlmsgerr));
    memcpy(&error.bytes[NLMSG_HDRLEN], &err, 4);

    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        ssize_t received;   // -1: all the bytes
        int family;
        const char* log;
    } cases[] = {
        {"shorter than a header", route4().bytes, 12, AF_INET, "invalid netlink message data"},
        {"length below a header", route4().set_len(12).bytes, -1, AF_INET, "invalid netlink message data"},
        {"length beyond what arrived", route4().attr(RTA_OIF, &oif, 4).bytes, 30, AF_INET, "invalid netlink message data"},
        {"no room for the body", Msg(RTM_NEWROUTE, 4).bytes, -1, AF_INET, "invalid netlink message data"},
        // the buffer holds 36 bytes but the message says it ends after its header
        {"body outside the message", route4().attr(RTA_OIF, &oif, 4).set_len(16).bytes, -1, AF_INET,
         "invalid netlink message data"},
        {"another sequence number", route4().set_seq(8).bytes, -1, AF_INET, "unexpected sequence number"},
        {"kernel error", error.bytes, -1, AF_INET, "kernel returned error -113 (No route to host)"},
        {"other message type", Msg(RTM_NEWLINK, sizeof(rtmsg)).bytes, -1, AF_INET, "unexpected message type 16"},
        {"attribute shorter than its header", route4().raw({2, 0, 4, 0}).bytes, -1, AF_INET, "RTA_OK is 0"},
        {"attribute beyond the message", route4().raw({12, 0, 4, 0, 1, 2, 3, 4}).bytes, -1, AF_INET, "RTA_OK is 0"},
        {"three bytes left over", route4().attr(RTA_OIF, &oif, 4).raw({0, 0, 0}).bytes, -1, AF_INET, "RTA_OK is 0"},
        {"interface index of 2 bytes", route4().attr(RTA_OIF, &oif, 2).bytes, -1, AF_INET,
         "RTA_OIF: invalid attribute size 6"},
        {"IPv4 gateway in an IPv6 answer", route4().attr(RTA_GATEWAY, &gw4, 4).bytes, -1, AF_INET6,
         "RTA_GATEWAY: invalid attribute size 8"},
        {"IPv6 source in an IPv4 answer", route4().attr(RTA_PREFSRC, "0123456789abcdef", 16).bytes, -1, AF_INET,
         "RTA_PREFSRC: invalid attribute size 20"},
    };
    for (const auto& c : cases) {
        LogCapture cap;
        rtnl_route_t r;
        ssize_t n = c.received < 0 ? ssize_t(c.bytes.size()) : c.received;
        EXPECT_EQ(rtnl_parse_route_reply(c.bytes.data(), n, seq, c.family, &r), -1) << c.name;
        EXPECT_TRUE(cap.contains(c.log)) << c.name;
    }
}

TEST(RtnlNeighbourDump, FindsTheFirstEntryWithAMac)
{
    in6_addr want = v6("2001:db8::2"), other = v6("2001:db8::3");
    const uint8_t zero[6] = {}, mac[6] = {2, 0, 0, 0, 0, 2};
    auto entry = [&](const in6_addr& a, const uint8_t* lladdr) {
        Msg m(RTM_NEWNEIGH, sizeof(ndmsg), NLM_F_MULTI);
        m.attr(NDA_DST, &a, 16);
        if (lladdr)
            m.attr(NDA_LLADDR, lladdr, 6);
        return m.bytes;
    };
    auto join = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> all;
        for (const auto& p : parts)
            all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    std::vector<uint8_t> done = Msg(NLMSG_DONE, 4, NLM_F_MULTI).bytes;

    // entries being resolved (no or a zero MAC) and other addresses come first
    std::vector<uint8_t> part = join({entry(other, mac), entry(want, nullptr), entry(want, zero), entry(want, mac), done});
    uint8_t out[6] = {};
    EXPECT_EQ(rtnl_parse_neigh_part(part.data(), ssize_t(part.size()), seq, &want, out), 1);
    EXPECT_EQ(memcmp(out, mac, 6), 0);

    // not in this part: the dump goes on, or it has ended
    std::vector<uint8_t> first = join({entry(other, mac)});
    EXPECT_EQ(rtnl_parse_neigh_part(first.data(), ssize_t(first.size()), seq, &want, out), 0);
    std::vector<uint8_t> last = join({entry(other, mac), done});
    EXPECT_EQ(rtnl_parse_neigh_part(last.data(), ssize_t(last.size()), seq, &want, out), 2);

    // a MAC of the wrong size is passed over with a warning
    LogCapture cap;
    Msg odd(RTM_NEWNEIGH, sizeof(ndmsg), NLM_F_MULTI);
    odd.attr(NDA_DST, &want, 16).attr(NDA_LLADDR, "\1\2\3\4", 4);
    std::vector<uint8_t> skipped = join({odd.bytes, done});
    EXPECT_EQ(rtnl_parse_neigh_part(skipped.data(), ssize_t(skipped.size()), seq, &want, out), 2);
    EXPECT_TRUE(cap.contains("RTA_SRC: invalid attribute size 8"));
}

TEST(RtnlNeighbourDump, RefusesMalformedParts)
{
    in6_addr want = v6("2001:db8::2");
    const uint8_t mac[6] = {2, 0, 0, 0, 0, 2};
    Msg good(RTM_NEWNEIGH, sizeof(ndmsg), NLM_F_MULTI);
    good.attr(NDA_DST, &want, 16).attr(NDA_LLADDR, mac, 6);
    std::vector<uint8_t> cut = good.bytes;
    cut.resize(cut.size() - 4);
    Msg late = good;
    late.set_seq(9);
    std::vector<uint8_t> crossed = Msg(RTM_NEWNEIGH, sizeof(ndmsg), NLM_F_MULTI).bytes;
    crossed.insert(crossed.end(), late.bytes.begin(), late.bytes.end());

    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* log;
    } cases[] = {
        {"entry cut short", cut, "invalid netlink message data"},
        {"no room for the body", Msg(RTM_NEWNEIGH, 8, NLM_F_MULTI).bytes, "invalid netlink message data"},
        {"a later message of another request", crossed, "unexpected sequence number"},
        {"other message type", Msg(RTM_NEWROUTE, sizeof(rtmsg), NLM_F_MULTI).bytes, "unexpected message type 24"},
        {"attribute beyond the message", Msg(RTM_NEWNEIGH, sizeof(ndmsg)).raw({40, 0, 1, 0}).bytes, "RTA_OK is 0"},
    };
    for (const auto& c : cases) {
        LogCapture cap;
        uint8_t out[6] = {9, 9, 9, 9, 9, 9};
        EXPECT_EQ(rtnl_parse_neigh_part(c.bytes.data(), ssize_t(c.bytes.size()), seq, &want, out), -1) << c.name;
        EXPECT_TRUE(cap.contains(c.log)) << c.name;
        EXPECT_EQ(out[0], 9) << c.name;
    }
}
