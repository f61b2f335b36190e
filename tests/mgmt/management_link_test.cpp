// The management link's framing, checks and check modes, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/crc.h"
#include "mgmt/management_link.h"
#include "support/log_capture.h"
#include "tests/mgmt/hex.h"

namespace {

std::vector<std::string> received;   // hex of every packet handed to the requests

void record(ManagementLink&, const uint8_t* packet, int length)
{
    received.push_back(to_hex(packet, size_t(length)));
}

struct LinkTest : ::testing::Test {
    LinkTest() { received.clear(); }

    // The controller opens with one flag, then sends frames.
    void feed(const std::string& wire)
    {
        if (!opened) {
            uint8_t flag = 0x7E;
            link.receive(&flag, 1);
            opened = true;
        }
        Bytes b = hex(wire);
        link.receive(b.data(), int(b.size()));
    }
    // Everything queued, as it leaves through the transmit FIFO.
    std::string drain()
    {
        std::string wire;
        while (link.popTx() || link.framePending()) {
            uint8_t out[4096];
            int n = link.fillTx(out, sizeof out);
            wire += (wire.empty() ? "" : " ") + to_hex(out, size_t(n));
        }
        return wire;
    }
    std::string send(const std::string& packet)
    {
        Bytes b = hex(packet);
        link.queueAnswer(std::string(b.begin(), b.end()));
        return drain();
    }
    // Puts the link into CRC-16 or CRC-32 mode with a good request.
    void enterMode(int mode)
    {
        feed(mode == ManagementLink::CRC16 ? "00 06 03 00 63 33 7E" : "00 05 03 00 B3 55 9C 33 7E");
        ASSERT_EQ(link.checkMode(), mode);
        received.clear();
    }

    LogCapture log;
    ManagementLink link{record};
    bool opened = false;
};

Bytes with_crc32(Bytes b)
{
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t x : b)
        crc = crc32_update(crc, x);
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(uint8_t(crc >> s));
    return b;
}

uint8_t xor_of(const Bytes& b)
{
    uint8_t x = 0;
    for (uint8_t v : b)
        x ^= v;
    return x;
}

TEST_F(LinkTest, ReceivedFramesInXor8Mode)
{
    struct Case {
        const char* what;
        const char* wire;
        std::vector<std::string> packets;
        const char* logged;   // substring, or null for no warning at all
        int mode;
    } cases[] = {
        {"three empty frames", "7E 7E 7E", {}, nullptr, ManagementLink::XOR8},
        {"short frame", "00 01 01 7E", {}, "SHORT packet received: 00 01 01", ManagementLink::XOR8},
        {"4 bytes, good XOR: 3-byte packet", "00 01 01 00 7E", {"00 01 01"}, nullptr, ManagementLink::XOR8},
        {"Get .1.0 .2.0", "00 01 01 00 02 00 02 7E", {"00 01 01 00 02 00"}, nullptr, ManagementLink::XOR8},
        {"wrong XOR", "00 01 01 00 02 00 03 7E", {}, nullptr, ManagementLink::XOR8},
        {"escaped id 7D", "03 7D 5D 01 7F 7E", {"03 7D 01"}, nullptr, ManagementLink::XOR8},
        {"escaped id 7E", "00 7D 5E 01 00 7F 7E", {"00 7E 01 00"}, nullptr, ManagementLink::XOR8},
        {"an answer is ignored", "81 02 0D 00 00 8E 7E", {}, nullptr, ManagementLink::XOR8},
        {"flag after escape abandons, the next frame counts", "00 01 7D 7E 00 01 01 00 02 00 02 7E",
         {"00 01 01 00 02 00"}, "Unexpected flag byte received", ManagementLink::XOR8},
        {"double escape hunts for the next flag", "00 7D 7D 00 01 01 00 02 00 02 7E 00 01 01 00 02 00 02 7E",
         {"00 01 01 00 02 00"}, "Error: double ESC received", ManagementLink::XOR8},
        {"CRC-32 with a wrong XOR switches", "00 01 01 00 02 00 0F E8 DF 47 7E", {"00 01 01 00 02 00"},
         "switching to CRC32 mode", ManagementLink::CRC32},
        {"CRC-16 with a wrong XOR switches", "00 06 03 00 63 33 7E", {"00 06 03 00"}, "switching to CRC16 mode",
         ManagementLink::CRC16},
        {"Set .6.0", "01 10 06 00 04 0A 00 31 30 2E 39 2E 30 2E 31 0E 7E",
         {"01 10 06 00 04 0A 00 31 30 2E 39 2E 30 2E 31"}, nullptr, ManagementLink::XOR8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ManagementLink fresh{record};
        received.clear();
        log.clear();
        uint8_t flag = 0x7E;
        fresh.receive(&flag, 1);
        Bytes b = hex(c.wire);
        fresh.receive(b.data(), int(b.size()));
        EXPECT_EQ(received, c.packets);
        EXPECT_EQ(fresh.checkMode(), c.mode);
        if (c.logged)
            EXPECT_TRUE(log.contains(c.logged)) << c.logged;
        else
            EXPECT_EQ(log.count("received"), 0u);
    }
}

TEST_F(LinkTest, BytesBeforeTheFirstFlagAreIgnored)
{
    Bytes b = hex("00 01 01 00 02 00 02 7E 00 01 01 00 02 00 02 7E");
    link.receive(b.data(), int(b.size()));
    EXPECT_EQ(received, std::vector<std::string>{"00 01 01 00 02 00"});
}

TEST_F(LinkTest, AFrameMayArriveOneByteAtATime)
{
    Bytes b = hex("7E 01 10 06 00 04 0A 00 31 30 2E 39 2E 30 2E 31 0E 7E");
    for (uint8_t x : b)
        link.receive(&x, 1);
    EXPECT_EQ(received, std::vector<std::string>{"01 10 06 00 04 0A 00 31 30 2E 39 2E 30 2E 31"});
}

TEST_F(LinkTest, ACrcBodyThatIsNoIdListDoesNotSwitch)
{
    // an ID without its terminating 0
    Bytes frame = with_crc32(hex("00 01 01 00 02"));
    ASSERT_NE(xor_of(frame), 0);
    frame.push_back(0x7E);
    feed(to_hex(frame));
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(link.checkMode(), ManagementLink::XOR8);
}

TEST_F(LinkTest, FramesTooShortForTypeAndIdAreRefused)
{
    // XOR8 mode: a 4- or 5-byte frame with a good CRC-32 leaves fewer bytes
    // than the check itself; no list is read before the frame (and "" gives
    // FF FF FF FF, good by XOR: an answer, ignored)
    for (const char* packet : {"", "01"}) {
        SCOPED_TRACE(packet);
        Bytes frame = with_crc32(hex(packet));
        frame.push_back(0x7E);
        feed(to_hex(frame));
        EXPECT_TRUE(received.empty());
    }
    // CRC-32 mode: good frames of 0 and 1 packet bytes
    enterMode(ManagementLink::CRC32);
    log.clear();
    for (const char* packet : {"", "03"}) {
        SCOPED_TRACE(packet);
        Bytes frame = with_crc32(hex(packet));
        frame.push_back(0x7E);
        feed(to_hex(frame));
        EXPECT_TRUE(received.empty());
    }
    EXPECT_EQ(log.count("SHORT packet received"), 2u);
    // type and id alone make a packet
    Bytes frame = with_crc32(hex("03 01"));
    frame.push_back(0x7E);
    feed(to_hex(frame));
    EXPECT_EQ(received, std::vector<std::string>{"03 01"});
}

TEST_F(LinkTest, FramesAbove1027BytesAreDropped)
{
    // 1026 packet bytes and the XOR: the longest frame
    Bytes longest = {0x03, 0x01};
    longest.resize(1026, 0x11);
    longest.push_back(xor_of(longest));
    Bytes tooLong = longest;
    tooLong.insert(tooLong.begin() + 2, 0x00);   // XOR unchanged
    for (const Bytes* f : {&tooLong, &longest}) {
        Bytes frame = *f;
        frame.push_back(0x7E);
        feed(to_hex(frame));
    }
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].size(), 1026 * 3 - 1);
}

TEST_F(LinkTest, FramesFailingTheCrcModeAreDroppedWithoutChangingIt)
{
    enterMode(ManagementLink::CRC16);
    feed("00 01 01 00 02 00 02 7E");                 // XOR8
    feed("00 01 01 00 02 00 0F E8 DF 47 7E");        // CRC-32
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(link.checkMode(), ManagementLink::CRC16);
    feed("00 01 01 00 02 00 B4 97 7E");
    EXPECT_EQ(received, std::vector<std::string>{"00 01 01 00 02 00"});
}

TEST_F(LinkTest, SentPacketsByteForByte)
{
    const std::string answer = "80 01 01 00 00 01 25 01 02 00 00 04 07 00 5A 52 2D 34 30";
    // the first Get answer probes with a CRC-32; the mode stays XOR8
    EXPECT_EQ(send(answer), answer + " C0 3B F5 71 7E");
    EXPECT_EQ(link.checkMode(), ManagementLink::XOR8);
    EXPECT_EQ(link.probeCountdown(), ManagementLink::probe_period);
    EXPECT_EQ(send(answer), answer + " 85 7E");
    EXPECT_EQ(send("81 02 0D 00 00"), "81 02 0D 00 00 8E 7E");
    EXPECT_EQ(send("81 03 0D 00 03"), "81 03 0D 00 03 8C 7E");
    EXPECT_EQ(send("80 04 0A 00 01 0C 00 02 63 00 01"), "80 04 0A 00 01 0C 00 02 63 00 01 E3 7E");
    EXPECT_EQ(send("83 7D 01 02 03 04"), "83 7D 5D 01 02 03 04 FA 7E");
    EXPECT_EQ(send("83 09 00"), "83 09 00 8A 7E");

    enterMode(ManagementLink::CRC16);
    EXPECT_EQ(send(answer), answer + " 92 09 7E");
    ManagementLink crc32{record};
    uint8_t flag = 0x7E;
    crc32.receive(&flag, 1);
    Bytes get = hex("00 05 03 00 B3 55 9C 33 7E");
    crc32.receive(get.data(), int(get.size()));
    Bytes a = hex("80 05 03 00 00 00 FF");
    crc32.queueAnswer(std::string(a.begin(), a.end()));
    ASSERT_TRUE(crc32.popTx());
    uint8_t out[64];
    int n = crc32.fillTx(out, sizeof out);
    EXPECT_EQ(to_hex(out, size_t(n)), "80 05 03 00 00 00 FF B1 BC F7 98 7E");
}

TEST_F(LinkTest, AnEscapeMaySplitAcrossTwoFills)
{
    Bytes p = hex("04 0A 01 03 00 04 04 00 7E 7D");
    memcpy(link.txFrame(), p.data(), p.size());
    link.appendCheck(int(p.size()));
    // 8 plain bytes, then only the escape byte fits
    uint8_t out[16];
    ASSERT_EQ(link.fillTx(out, 9), 9);
    EXPECT_EQ(out[8], 0x7D);
    ASSERT_EQ(link.fillTx(out, 1), 1);
    EXPECT_EQ(out[0], 0x5E);
    int n = link.fillTx(out, sizeof out);
    EXPECT_EQ(to_hex(out, size_t(n)), "7D 5D " + to_hex(Bytes{xor_of(p)}) + " 7E");
    EXPECT_FALSE(link.framePending());
}

TEST_F(LinkTest, ACrcLinkFallsBackToXor8AndProbesLater)
{
    const std::string answer = "80 01 01 00 00 01 25 01 02 00 00 04 07 00 5A 52 2D 34 30";
    send(answer);   // spends the probe of the start
    enterMode(ManagementLink::CRC32);
    for (int i = 0; i < 29999; i++)
        link.tick();
    feed("00 05 03 00 B3 55 9C 33 7E");   // a good frame: the countdown starts again
    for (int i = 0; i < 29999; i++)
        link.tick();
    EXPECT_EQ(link.checkMode(), ManagementLink::CRC32);
    EXPECT_FALSE(log.contains("switching to XOR8 mode"));
    link.tick();
    EXPECT_EQ(link.checkMode(), ManagementLink::XOR8);
    EXPECT_TRUE(log.contains("switching to XOR8 mode"));

    for (int i = 0; i < 59998; i++)
        link.tick();
    EXPECT_EQ(send(answer), answer + " 85 7E");
    link.tick();
    EXPECT_EQ(send(answer), answer + " C0 3B F5 71 7E");
    // the controller answers the probe in CRC-32: the gateway switches
    feed("00 01 01 00 02 00 0F E8 DF 47 7E");
    EXPECT_EQ(link.checkMode(), ManagementLink::CRC32);
}

TEST_F(LinkTest, TheAnswerCacheKeepsTheLastAnswerPerIdWithItsAge)
{
    static uint32_t clock = 5000;
    link.setClock([] { return clock; });
    uint32_t age = 0;
    EXPECT_EQ(link.recentAnswer(7, 2500, &age), nullptr);
    link.queueAnswer(std::string("\x81\x07\x0D\x00\x00", 5));
    clock += 1000;
    const std::string* cached = link.recentAnswer(7, 2500, &age);
    ASSERT_NE(cached, nullptr);
    EXPECT_EQ(age, 1000u);
    EXPECT_EQ(uint8_t((*cached)[0]), 0x81);
    link.requeue(*cached);   // again, without a new time
    EXPECT_EQ(link.queueLength(), 2u);
    clock += 1500;
    EXPECT_EQ(link.recentAnswer(7, 2500, &age), nullptr);
    // the clock wraps: differences stay unsigned
    clock = 0xFFFFFF00u;
    link.queueAnswer(std::string("\x81\x08\x00", 3));
    clock = 0x100;
    ASSERT_NE(link.recentAnswer(8, 2500, &age), nullptr);
    EXPECT_EQ(age, 0x200u);
}

}  // namespace

#include "mgmt/device_settings.h"
#include "mgmt/var_store.h"

namespace {

// The notification step as the poller runs it, pass after pass.
struct Notifications : ::testing::Test {
    Notifications()
    {
        standaloneMode = false;
        varStore.reset();
        device_settings_reset();
        set_device_setting(&DeviceSettings::SWAddress, "10.9.0.1");
    }
    ~Notifications() override
    {
        varStore.reset();
        device_settings_reset();
    }

    // One pass; the wire bytes of the frame it finished, or "".
    std::string pass()
    {
        link.tick();
        if (!link.popTx() && !link.framePending())
            link.buildNotification();
        std::string wire;
        while (link.framePending()) {
            uint8_t out[4096];
            int n = link.fillTx(out, sizeof out);
            wire += (wire.empty() ? "" : " ") + to_hex(out, size_t(n));
        }
        return wire;
    }
    // Runs passes; every frame sent with the pass number it left in.
    std::vector<std::pair<int, std::string>> run(int passes)
    {
        std::vector<std::pair<int, std::string>> sent;
        for (int i = 1; i <= passes; i++)
            if (std::string w = pass(); !w.empty())
                sent.emplace_back(i, w);
        return sent;
    }
    // The packet inside a frame: unescaped, without the XOR and the flag.
    static Bytes packet(const std::string& wire)
    {
        Bytes b = hex(wire), out;
        for (size_t i = 0; i + 1 < b.size(); i++)
            out.push_back(b[i] == 0x7D ? uint8_t(b[++i] ^ 0x20) : b[i]);
        out.pop_back();
        return out;
    }
    static MyVarValueList list(const std::string& wire)
    {
        Bytes p = packet(wire);
        MyVarValueList l;
        EXPECT_EQ(l.parse(p.data() + 1, int(p.size()) - 1), 0);
        return l;
    }

    LogCapture log;
    ManagementLink link;
};

TEST_F(Notifications, AnAlarmChangeGoesOutFourTimes500PassesApart)
{
    poller_set_alarm(".14.3.2.0", 1);
    poller_publish_var(".10.1.3.0", MyVarValue(std::string("x")));
    auto sent = run(2600);
    ASSERT_GE(sent.size(), 4u);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(sent[size_t(i)].first, 1 + 500 * i);
        EXPECT_EQ(sent[size_t(i)].second, "02 0E 03 02 00 00 01 0C 7E");
    }
    // the value waited for the alarm repetitions, then its own 250 passes
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[4].first, 1501 + 251);
    EXPECT_EQ(sent[5].first, 1501 + 502);
    EXPECT_EQ(packet(sent[4].second)[0], 4);
}

TEST_F(Notifications, AChangedValueGoesOutInTwoCopies250PassesApart)
{
    poller_publish_var(".10.1.3.0", MyVarValue(std::string("{\"state\":\"idle\"}")));
    auto sent = run(1500);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].first, 251);
    EXPECT_EQ(sent[1].first, 502);
    const std::string wire = "04 0A 01 03 00 04 12 00 7B 22 73 74 61 74 65 22 3A 22 69 64 6C 65 22 7D 5D 55 7E";
    EXPECT_EQ(sent[0].second, wire);
    EXPECT_EQ(sent[1].second, wire);

    // a value changed after the series waits the full period; only it is sent
    poller_publish_var(".10.2.3.0", MyVarValue(std::string("b")));
    sent = run(1000);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].first, 251);
    EXPECT_EQ(list(sent[0].second).count(".10.1.3.0"), 0u);
    EXPECT_EQ(list(sent[0].second).count(".10.2.3.0"), 1u);
}

TEST_F(Notifications, NothingIsSentBeforeTheControllerIsKnown)
{
    set_device_setting(&DeviceSettings::SWAddress, "");
    poller_set_alarm(".14.3.2.0", 1);
    poller_publish_var(".10.1.3.0", MyVarValue(std::string("x")));
    EXPECT_TRUE(run(2000).empty());
    EXPECT_EQ(varStore.alarmChanges.size(), 1u);
    EXPECT_EQ(varStore.values.size(), 1u);
    // an alarm map already cut into chunks still leaves
    varStore.alarmChunks[".14.1.2.0"] = MyVarValue(MyVarValue::INT8, 1);
    auto sent = run(10);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, 1);
    EXPECT_EQ(list(sent[0].second).size(), 1u);
}

TEST_F(Notifications, ManyAlarmChangesLeaveIn160EntryPackets)
{
    for (int k = 1; k <= 170; k++)
        poller_set_alarm(".10." + std::to_string(k) + ".11.0", 2);
    poller_publish_var(".2.0", MyVarValue(MyVarValue::INT32, 29));
    auto sent = run(3);
    // pass 1 cuts the map, passes 2 and 3 send it
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].first, 2);
    EXPECT_EQ(sent[1].first, 3);
    MyVarValueList first = list(sent[0].second), second = list(sent[1].second);
    EXPECT_EQ(first.size(), 160u);
    EXPECT_EQ(second.size(), 10u);
    // byte-wise order: the second packet holds the last IDs of that order
    EXPECT_LT(first.rbegin()->first, second.begin()->first);
    EXPECT_EQ(first.begin()->first, ".10.1.11.0");
}

TEST_F(Notifications, AValueTooLargeForAPacketIsDroppedAndTheOthersStillGo)
{
    poller_publish_var(".10.1.3.0", MyVarValue(std::string(1100, 'a')));
    poller_publish_var(".10.2.3.0", MyVarValue(std::string("small")));
    auto sent = run(600);
    ASSERT_EQ(sent.size(), 2u);
    for (const auto& s : sent) {
        MyVarValueList l = list(s.second);
        EXPECT_EQ(l.size(), 1u);
        EXPECT_EQ(l.count(".10.2.3.0"), 1u);
    }
    EXPECT_EQ(log.count("value of .10.1.3.0 does not fit into a notification, dropped"), 2u);
    // later changes are still notified
    poller_publish_var(".10.3.3.0", MyVarValue(std::string("later")));
    sent = run(600);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(list(sent[0].second).count(".10.3.3.0"), 1u);
}

TEST_F(Notifications, ValuesFillPacketsInOrderAndTheRestFollows)
{
    // three 400-byte values: two fit into one packet, the third into the next
    for (int k = 1; k <= 3; k++)
        poller_publish_var(".10." + std::to_string(k) + ".3.0", MyVarValue(std::string(400, char('a' + k))));
    auto sent = run(260);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].first, 251);
    EXPECT_EQ(sent[1].first, 252);
    EXPECT_EQ(list(sent[0].second).size(), 2u);
    EXPECT_EQ(list(sent[1].second).count(".10.3.3.0"), 1u);
}

}  // namespace
