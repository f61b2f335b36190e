// Get, Set and control requests as the link hands them over, and what the
// answers carry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/abstract_channel.h"
#include "core/channel_table.h"
#include "core/watchdog.h"
#include "mgmt/device_settings.h"
#include "mgmt/management_link.h"
#include "mgmt/management_requests.h"
#include "mgmt/poller.h"
#include "mgmt/var_store.h"
#include "mgmt/var_table.h"
#include "mgmt/var_write.h"
#include "support/log_capture.h"
#include "tests/mgmt/hex.h"

namespace {

uint32_t clock_ms = 10000;

struct Requests : ::testing::Test {
    Requests()
    {
        var_table_init();
        poller_reset_state();
        varStore.reset();
        device_settings_reset();
        link.setClock([] { return clock_ms; });
        uint8_t flag = 0x7E;
        link.receive(&flag, 1);
        // the probe of the start is spent here, so answers carry XOR8
        link.queueAnswer(std::string("\x80\x00", 2));
        answers();
    }
    ~Requests() override
    {
        varStore.reset();
        device_settings_reset();
        poller_reset_state();
    }

    // A request packet in XOR8; the packets answered, without their checks.
    std::vector<std::string> ask(const std::string& packet)
    {
        Bytes b = hex(packet);
        uint8_t x = 0;
        for (uint8_t v : b)
            x ^= v;
        b.push_back(x);
        Bytes frame;
        for (uint8_t v : b) {
            if (v == 0x7E || v == 0x7D) {
                frame.push_back(0x7D);
                v ^= 0x20;
            }
            frame.push_back(v);
        }
        frame.push_back(0x7E);
        link.receive(frame.data(), int(frame.size()));
        return answers();
    }
    std::vector<std::string> answers()
    {
        std::vector<std::string> out;
        while (link.popTx()) {
            uint8_t wire[4096];
            int n = link.fillTx(wire, sizeof wire);
            Bytes p;
            for (int i = 0; i + 1 < n; i++)
                p.push_back(wire[i] == 0x7D ? uint8_t(wire[++i] ^ 0x20) : wire[i]);
            p.pop_back();   // the XOR
            out.push_back(to_hex(p));
        }
        return out;
    }
    using Answers = std::vector<std::string>;

    LogCapture log;
    ManagementLink link{handle_request};
};

TEST_F(Requests, GetAnswersEveryIdWithItsStatus)
{
    EXPECT_EQ(ask("00 01 01 00 02 00"), Answers{"80 01 01 00 00 01 25 01 02 00 00 04 07 00 5A 52 2D 34 30"});
    // not implemented, write-only, absent: only the first is logged
    EXPECT_EQ(ask("00 04 0A 00 0C 00 63 00"), Answers{"80 04 0A 00 01 0C 00 02 63 00 01"});
    EXPECT_EQ(log.count("Reading variable .10.0 not implemented"), 1u);
    EXPECT_EQ(log.count("not implemented"), 1u);
    // the alarm summary stays unknown until the controller introduces itself
    EXPECT_EQ(ask("00 05 03 00"), Answers{"80 05 03 00 00 00 FF"});
}

TEST_F(Requests, ReadValues)
{
    struct Plain : AbstractChannel {
        void processEvent(channel_event_t*) override {}
    } a, b;
    {
        MutexLock lock(channel_table_mutex);
        channel_table[0] = &a;
        channel_table[254] = &b;
    }
    e1AlarmBits = 0x05;
    statusByteSnapshot = 0x12;
    e1EventSnapshot = 0x07;
    e1num[2] = 0x24;
    devclk = 9;
    varStore.setAlarm(".10.3.12.0", 2);

    MyVarValue mask = poller_read_var(".9.0");
    EXPECT_EQ(mask.status, VAR_OK);
    ASSERT_EQ(mask.text.size(), 33u);
    EXPECT_EQ(uint8_t(mask.text[0]), 0x02);
    EXPECT_EQ(uint8_t(mask.text[31]), 0x80);
    EXPECT_EQ(std::count(mask.text.begin(), mask.text.end(), '\0'), 31);

    struct Case {
        const char* id;
        int type;
        int64_t value;
    } cases[] = {
        {".15.0", MyVarValue::INT32, 0x021205}, {".14.3.1.0", MyVarValue::INT8, 0x24},
        {".14.1.2.0", MyVarValue::INT8, 1},     {".14.2.2.0", MyVarValue::INT8, 0},
        {".10.3.12.0", MyVarValue::INT8, 2},    {".10.3.13.0", MyVarValue::INT8, 0},
        {".13.0", MyVarValue::INT8, 1},         {".22.0", MyVarValue::INT8, 9},
        {".17.0", MyVarValue::INT8, -1},        {".1.0", MyVarValue::INT16, 293},
    };
    for (const Case& c : cases) {
        MyVarValue v = poller_read_var(c.id);
        EXPECT_EQ(v.status, VAR_OK) << c.id;
        EXPECT_EQ(v.type, c.type) << c.id;
        EXPECT_EQ(v.value, c.value) << c.id;
    }
    // a channel without a reader installed reads nothing; an empty timeslot "{}"
    EXPECT_EQ(poller_read_var(".10.2.3.0").text, "{}");
    EXPECT_EQ(poller_read_var(".10.1.3.0").status, VAR_NOT_FOUND);
    mgmt_set_read_hooks({[](AbstractChannel*, int column) { return "{\"column\":" + std::to_string(column) + "}"; }});
    EXPECT_EQ(poller_read_var(".10.1.5.0").text, "{\"column\":5}");
    EXPECT_EQ(poller_read_var(".10.255.2.0").text, "{\"column\":2}");
    EXPECT_EQ(poller_read_var(".11.1.2.0").text, "{}");   // channel 256, timeslot 255: none
    mgmt_set_read_hooks({});

    MyVarValue mib = poller_read_var(".4.0");
    EXPECT_EQ(mib.text.size(), 997u);
    {
        MutexLock lock(channel_table_mutex);
        channel_table[0] = channel_table[254] = nullptr;
    }
}

TEST_F(Requests, AGetAnswersWhatFitsInByteWiseOrder)
{
    // 250 IDs of 7 answer bytes each: 145 fit into 1020 bytes
    MyVarIdList ids;
    for (int k = 1; k <= 206; k++)
        ids.insert(".10." + std::to_string(k) + ".11.0");
    for (int k = 1; k <= 44; k++)
        ids.insert(".10." + std::to_string(k) + ".12.0");
    ASSERT_EQ(ids.size(), 250u);
    uint8_t body[2048];
    int n = ids.serialize(body, sizeof body);
    ASSERT_GT(n, 0);
    Answers a = ask("00 09 " + to_hex(body, size_t(n)));
    ASSERT_EQ(a.size(), 1u);
    Bytes p = hex(a[0]);
    MyVarStatusValueList got;
    ASSERT_EQ(got.parse(p.data() + 2, int(p.size()) - 2), 0);
    EXPECT_EQ(got.size(), 145u);
    auto expected = ids.begin();
    for (const auto& entry : got)
        EXPECT_EQ(entry.first, *expected++);
    // the mib alone fits
    a = ask("00 0A 04 00");
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(hex(a[0]).size(), 2u + 1003u);
}

TEST_F(Requests, SetWritesAndAnswersStatuses)
{
    EXPECT_EQ(ask("01 02 0D 00 00 00"), Answers{"81 02 0D 00 00"});
    EXPECT_EQ(tdm0_mode.load(), 0);
    EXPECT_EQ(ask("01 03 0D 00 02 00 00 00 00"), Answers{"81 03 0D 00 03"});
    // .6.0 introduces the controller: the summary leaves 255, the NTP server follows
    EXPECT_EQ(ask("01 10 06 00 04 0A 00 31 30 2E 39 2E 30 2E 31"), Answers{"81 10 06 00 00"});
    EXPECT_EQ(device_setting(&DeviceSettings::SWAddress), "10.9.0.1");
    EXPECT_EQ(device_setting(&DeviceSettings::ntpServer), "10.9.0.1");
    EXPECT_EQ(varStore.summary(), 0);
    // several entries, answered in byte-wise ID order: .14.2.1.0 before .9.0 (read-only)
    EXPECT_EQ(ask("01 11 09 00 04 02 00 0E 02 01 00 00 05"), Answers{"81 11 0E 02 01 00 00 09 00 02"});
    EXPECT_EQ(e1num[1].load(), 5);
}

TEST_F(Requests, ARepeatedSetWithin2500MsIsAnsweredFromTheCache)
{
    const std::string set0 = "01 07 0D 00 00 00", set1 = "01 07 0D 00 00 01";
    EXPECT_EQ(ask(set0), Answers{"81 07 0D 00 00"});
    tdm0_mode = 5;
    clock_ms += 1000;
    EXPECT_EQ(ask(set1), Answers{"81 07 0D 00 00"});
    EXPECT_EQ(tdm0_mode.load(), 5) << "executed twice";
    EXPECT_TRUE(log.contains("duplicate request 7 (1000 ms)"));
    clock_ms += 1500;   // 2500 ms after the answer
    EXPECT_EQ(ask(set1), Answers{"81 07 0D 00 00"});
    EXPECT_EQ(tdm0_mode.load(), 1);
    // one cache entry per id, whatever answered it
    EXPECT_EQ(ask("00 08 01 00"), Answers{"80 08 01 00 00 01 25 01"});
    clock_ms += 1000;
    EXPECT_EQ(ask("01 08 0D 00 00 00"), Answers{"80 08 01 00 00 01 25 01"});
    EXPECT_EQ(tdm0_mode.load(), 1);
}

TEST_F(Requests, ControlRequests)
{
    const uint8_t revision[4] = {1, 2, 3, 4};
    memcpy(firmwareRevision, revision, 4);
    EXPECT_EQ(ask("03 7D 01"), Answers{"83 7D 01 02 03 04"});
    // other sub-commands, a reboot with another code or none: no answer
    EXPECT_EQ(ask("03 09 05 DE AD BE EE"), Answers{});
    EXPECT_EQ(ask("03 09 05 DE AD BE"), Answers{});
    EXPECT_EQ(ask("03 09 02"), Answers{});
    EXPECT_EQ(ask("03 09"), Answers{});
    memset(firmwareRevision, 0, 4);
}

TEST_F(Requests, MalformedAndUnknownRequestsAreLoggedAndNotAnswered)
{
    struct Case {
        const char* packet;
        const char* logged;
    } cases[] = {
        {"00 01 01", "Invalid variable list in Get request"},
        {"01 01 0D 00 07 00", "Invalid variable list in Set request"},
        {"01 01 0D 00 04 01 00", "Invalid variable list in Set request"},   // length word 1
        {"05 01 00", "Unknown request received: 5"},
    };
    for (const Case& c : cases) {
        log.clear();
        EXPECT_EQ(ask(c.packet), Answers{}) << c.packet;
        EXPECT_TRUE(log.contains(c.logged)) << c.packet;
    }
    EXPECT_EQ(tdm0_mode.load(), 1);
}

TEST_F(Requests, ABusyQueueDropsRequestsUnexecuted)
{
    for (int i = 0; i < 10; i++)
        link.queueAnswer(std::string("\x80") + char(0x40 + i));
    uint8_t frame[] = {0x01, 0x02, 0x0D, 0x00, 0x00, 0x00, 0x0E, 0x7E};
    link.receive(frame, sizeof frame);
    EXPECT_TRUE(log.contains("--> tx queue busy"));
    EXPECT_EQ(tdm0_mode.load(), 1);
    EXPECT_EQ(link.queueLength(), 10u);
    answers();
    EXPECT_EQ(ask("01 02 0D 00 00 00"), Answers{"81 02 0D 00 00"});
}

TEST_F(Requests, WriteChecks)
{
    struct Case {
        const char* id;
        MyVarValue value;
        bool strict;
        int status;
    } cases[] = {
        {".99.0", MyVarValue(MyVarValue::INT8, 0), true, VAR_NOT_FOUND},
        {".1.0", MyVarValue(MyVarValue::INT16, 0), true, VAR_ACCESS_DENIED},
        {".13.0", MyVarValue(MyVarValue::INT32, 0), true, VAR_WRONG_TYPE},
        {".13.0", MyVarValue(MyVarValue::INT32, 0), false, VAR_OK},
        {".13.0", MyVarValue(std::string("0")), false, VAR_WRONG_TYPE},
        {".6.0", MyVarValue(MyVarValue::INT8, 0), false, VAR_WRONG_TYPE},
        {".10.0", MyVarValue(MyVarValue::INT8, 0), false, VAR_WRONG_TYPE},   // a TABLE row
        {".30.3.1.0", MyVarValue(std::string("1")), true, VAR_OK},           // no effect
        {".11.0", MyVarValue(std::string("10.0.0.1\noption x")), true, VAR_ERROR},
    };
    for (const Case& c : cases)
        EXPECT_EQ(poller_write_var(c.id, c.value, c.strict), c.status) << c.id << " strict " << c.strict;
    EXPECT_EQ(device_setting(&DeviceSettings::dns), "");
}

TEST_F(Requests, MasterAndSyncChannelReachTheMediaProcessorOnlyWhenItIsReady)
{
    static std::vector<std::string> calls;
    calls.clear();
    mgmt_set_write_hooks({[](bool e, bool f1, bool f2, bool f3) {
                              calls.push_back("ntg " + std::to_string(e) + std::to_string(f1) +
                                              std::to_string(f2) + std::to_string(f3));
                              return 0;
                          },
                          [](int ts) { calls.push_back("sync " + std::to_string(ts)); }});
    msp_ready = false;
    EXPECT_EQ(poller_write_var(".16.0", MyVarValue(MyVarValue::INT8, 3), true), VAR_OK);
    EXPECT_EQ(poller_write_var(".17.0", MyVarValue(MyVarValue::INT8, 7), true), VAR_OK);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(poller_read_var(".16.0").value, 3);
    EXPECT_EQ(poller_read_var(".17.0").value, 7);
    msp_ready = true;
    poller_write_var(".16.0", MyVarValue(MyVarValue::INT8, 2), true);
    poller_write_var(".16.0", MyVarValue(MyVarValue::INT8, 0), true);
    poller_write_var(".17.0", MyVarValue(MyVarValue::INT8, 9), true);
    msp_ready = false;
    mgmt_set_write_hooks({});
    EXPECT_EQ(calls, (std::vector<std::string>{"ntg 1010", "ntg 0000", "sync 9"}));
}

}  // namespace
