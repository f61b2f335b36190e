// Every indication the simulated media processor sends, read by the control
// socket reader and turned into its channel event: code, channel, data and
// payload. Also HDLC data to its channel, the device status, the clock
// recovery status, the MSP ALERT and indications whose lengths lie.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/channel_event.h"
#include "core/channel_table.h"
#include "core/event_queue.h"
#include "core/reg_sync.h"
#include "core/watchdog.h"
#include "msp/comcerto_device.h"
#include "msp/msp_indications.h"
#include "support/log_capture.h"
#include "support/msp_sim_fixture.h"

namespace {

constexpr int SENTINEL_DATA = 0xBEEF;

class FakeWatchdog : public Watchdog {
public:
    int open() override { return 0; }
    bool isOpen() const override { return true; }
    int setTimeout(int) override { return 0; }
    int kick() override { return 0; }
    int magicClose() override { return 0; }
    int linkStatus(int, int*) override { return -1; }
};

struct SaveCounter : RegSyncTarget {
    int saves = 0;
    void requestSave() override { saves++; }
};

struct HdlcChannel : AbstractChannel, MspSyncDataSink {
    std::vector<std::pair<std::string, bool>> pieces;
    void processEvent(channel_event_t*) override {}
    void onSyncData(const uint8_t* data, int length, bool last) override
    {
        pieces.emplace_back(std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length)), last);
    }
};

int halts = 0;
void count_halt() { halts++; }

class MspIndications : public testing::Test, public MspSimFixture {
protected:
    void SetUp() override
    {
        ASSERT_EQ(std_queue_create(&event_queue, 64), 0);
        msp_indications_reset();
        msp_set_indication_handler(msp_process_indication);
        msp_channel_timeslot[3] = 7;
        msp_alive = false;
        msp_ntg_enabled = false;
        msp_sync_channel = 0xFFFF;
        halts = 0;
        msp_set_alert_halt(count_halt);
        regsync_set_target(&saves);
    }
    void TearDown() override
    {
        regsync_set_target(nullptr);
        msp_set_alert_halt(nullptr);
        watchdog_set_device(nullptr);
        channel_table[7] = nullptr;
        msp_indications_reset();
        comcerto_device_reset();
        drain();
        std_queue_destroy(&event_queue);
    }

    // Sends one control request to the simulator, then a sentinel, and
    // returns every event posted before the sentinel arrived.
    std::vector<std::unique_ptr<channel_event_t>> send(const std::string& request)
    {
        EXPECT_EQ(sim->control(request), R"({"ok":true})") << request;
        sim->control(R"({"cmd":"inject","fc":"0x8010","channel":9,"words":[48879]})");
        std::vector<std::unique_ptr<channel_event_t>> got;
        EXPECT_TRUE(pump([&] {
            for (auto& e : drain())
                got.push_back(std::move(e));
            return !got.empty() && got.back()->data == SENTINEL_DATA && got.back()->channel == 1009;
        })) << request;
        if (!got.empty())
            got.pop_back();
        return got;
    }

    SaveCounter saves;
    LogCapture logs;
};

std::string rtp_info_hex(int words)
{
    std::string h;
    char t[16];
    for (int i = 0; i < words; i++) {
        snprintf(t, sizeof t, "%02x000000", (i + 1) & 0xFF);
        h += t;
    }
    return h;
}

TEST_F(MspIndications, EveryIndicationBecomesItsEvent)
{
    using Check = std::function<void(channel_event_t*)>;
    auto stamp = [](uint32_t expected) -> Check {
        return [expected](channel_event_t* e) {
            if (auto* t = dynamic_cast<Timestamped_event_t*>(e))
                EXPECT_EQ(t->timestamp, expected);
            else if (auto* c = dynamic_cast<CAS_event_t*>(e))
                EXPECT_EQ(c->timestamp, expected);
            else
                ADD_FAILURE() << "no time stamp";
        };
    };
    auto caller = [](const char* number, const char* name) -> Check {
        return [=](channel_event_t* e) {
            auto* c = dynamic_cast<caller_info_t*>(e);
            ASSERT_TRUE(c);
            EXPECT_EQ(c->caller_number, number);
            EXPECT_EQ(c->caller_name, name);
        };
    };
    auto json = [](std::string text) -> Check {
        return [=](channel_event_t* e) {
            auto* j = dynamic_cast<JsonEvent_t*>(e);
            ASSERT_TRUE(j);
            EXPECT_EQ(j->value.toString(), text);
        };
    };
    std::string rtpInfo = "[" + [] {
        std::string s;
        for (int i = 1; i <= 50; i++)
            s += (i > 1 ? "," : "") + std::to_string(i);
        return s;
    }() + "]";

    struct Row {
        const char* what;
        std::string request;
        int channel, code, data;   // code -1: no event
        Check check;
    } rows[] = {
        {"CAS to the timeslot it names", R"({"cmd":"inject","kind":"cas","timeslot":12,"abcd":26,"timestamp":1234})", 12,
         EV_CAS, 0xA, stamp(1234)},
        {"CAS of a mapped channel", R"({"cmd":"inject","kind":"atm-cas","channel":3,"abcd":5,"timestamp":77})", 7,
         EV_CAS, 5, stamp(77)},
        {"DTMF below 16", R"({"cmd":"inject","kind":"dtmf","channel":3,"tone":15,"timestamp":99})", 7,
         EV_DTMF_DETECTED, 15, stamp(99)},
        {"tone from 16", R"({"cmd":"inject","kind":"tone","channel":3,"tone":16,"timestamp":65537})", 7,
         EV_TONE_DETECTED, 16, stamp(65537)},
        {"unmapped channelId", R"({"cmd":"inject","kind":"tone","channel":9,"tone":3,"timestamp":1})", 1009,
         EV_DTMF_DETECTED, 3, stamp(1)},
        {"caller ID, multiple data", R"({"cmd":"inject","kind":"cid","channel":3,"number":"5551234","name":"Alice"})",
         7, EV_CALLER_INFO_RECEIVED, 0, caller("5551234", "Alice")},
        {"caller ID, single data with a control character",
         R"({"cmd":"inject","kind":"cid","channel":3,"format":"sdmf","number":"12\r3"})", 7, EV_CALLER_INFO_RECEIVED,
         0, caller("12?3", "")},
        {"caller ID reception error", R"({"cmd":"inject","kind":"cid","channel":3,"number":"1","status":1})", 0, -1,
         0, nullptr},
        {"RTCP statistics", R"({"cmd":"inject","kind":"stats","channel":3,"values":[1,4294967295]})", 7,
         EV_STATISTICS_RECEIVED, 0, json(R"({"RTCPstat":[1,-1]})")},
        {"RTP information", R"({"cmd":"inject","fc":"0x801C","channel":3,"hex":")" + rtp_info_hex(50) + R"("})", 7,
         EV_STATISTICS_RECEIVED, 0, json(R"({"RTPinfo":)" + rtpInfo + "}")},
        {"RTP information too short", R"({"cmd":"inject","fc":"0x801C","channel":3,"hex":")" + rtp_info_hex(49) + R"("})",
         0, -1, 0, nullptr},
        {"playback drained", R"({"cmd":"inject","kind":"drain","channel":3})", 7, EV_PLAY_FINISHED, 0, nullptr},
        {"tone completed", R"({"cmd":"inject","fc":"0x8010","channel":3,"words":[4]})", 7, EV_TONE_COMPLETED, 4,
         nullptr},
        {"fax state", R"({"cmd":"inject","fc":"0x8011","channel":3,"words":[2]})", 7, EV_FAX_STATE, 2, nullptr},
        {"call progress", R"({"cmd":"inject","fc":"0x8017","channel":3,"words":[5,22136,4660]})", 7,
         EV_CALL_PROGRESS_DETECTED, 5, stamp(0x12345678)},
        {"caller ID sent", R"({"cmd":"inject","fc":"0x803D","channel":3,"words":[1]})", 7, EV_CALLER_ID_SENT, 1,
         nullptr},
        {"remote tone", R"({"cmd":"inject","fc":"0x805C","channel":3,"words":[6,1,0]})", 7, EV_REMOTE_TONE_DETECTED, 6,
         stamp(1)},
        {"pass-through switch", R"({"cmd":"inject","fc":"0x80BF","channel":3,"words":[3]})", 7, EV_PASSTHRU_AUTOSWITCH,
         3, nullptr},
        {"QoS alarm", R"({"cmd":"inject","fc":"0x80D4","channel":3,"words":[17,1,2,3,4,5]})", 7, EV_QOS_ALARM, 17,
         nullptr},
        {"RTP monitor", R"({"cmd":"inject","fc":"0x80EF","channel":3,"words":[2]})", 7, EV_RTP_MONITOR, 2, nullptr},
        {"SSRC change ignored", R"({"cmd":"inject","fc":"0x800E","channel":3,"words":[1]})", 0, -1, 0, nullptr},
        {"payload type change ignored", R"({"cmd":"inject","fc":"0x800F","channel":3,"words":[1]})", 0, -1, 0, nullptr},
        {"SSRC violation ignored", R"({"cmd":"inject","fc":"0x8027","channel":3,"words":[1]})", 0, -1, 0, nullptr},
        {"bandwidth estimate only logged", R"({"cmd":"inject","fc":"0x8611","channel":3,"words":[1,2]})", 0, -1, 0,
         nullptr},
        {"unknown code only logged", R"({"cmd":"inject","fc":"0x1234","channel":3,"words":[1]})", 0, -1, 0, nullptr},
        {"device status", R"({"cmd":"inject","kind":"heartbeat","status":32763})", 0, -1, 0, nullptr},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto got = send(row.request);
        if (row.code < 0) {
            EXPECT_TRUE(got.empty());
            continue;
        }
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0]->channel, row.channel);
        EXPECT_EQ(got[0]->code, row.code);
        EXPECT_EQ(got[0]->data, row.data);
        EXPECT_EQ(got[0]->flags, 0);
        if (row.check)
            row.check(got[0].get());
    }
    EXPECT_TRUE(logs.contains("ts 7: Caller ID reception error: status = 0001"));
    EXPECT_TRUE(logs.contains("---> FC_QOS_ALARM: ts=7: rt=1, lplr=2, rplr=3, ljitter=4, rjitter=5"));
    EXPECT_TRUE(logs.contains("==> ts 7: BWE_EVENTDET: 0001 0002"));
    EXPECT_TRUE(logs.contains("---> channel 0x0003 (ts 7): unknown indication: FC=0x1234"));
}

TEST_F(MspIndications, DeviceStatusFeedsTheWatchdogOnlyWhenEveryBitIsGood)
{
    struct {
        int status;
        bool alive;
    } cases[] = {{0x7FFB, true}, {0xFFFF, true}, {0x7FFF, true}, {0x7FF3, false}, {0x3FFB, false}, {0x7FFA, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        msp_alive = false;
        EXPECT_TRUE(send(R"({"cmd":"inject","kind":"heartbeat","status":)" + std::to_string(c.status) + "}").empty());
        EXPECT_EQ(msp_alive.load(), c.alive);
    }
}

TEST_F(MspIndications, ClockRecoveryStatusReachesTheSyncChannelOnlyWithTheTimingGenerator)
{
    const std::string status = R"({"cmd":"inject","fc":"0x043E","channel":65535,"words":[200]})";
    EXPECT_TRUE(send(status).empty());
    EXPECT_EQ(msp_nt_status, 200);
    EXPECT_TRUE(logs.contains("==> STATUS_NT_RECOVERY: 0x00c8: holdover: 1, clock status: 9, ntgEnabled=false"));

    msp_ntg_enabled = true;
    msp_sync_channel = 4;
    auto got = send(status);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->channel, 4);
    EXPECT_EQ(got[0]->code, EV_NTG_SYNC_STATUS);
    EXPECT_EQ(got[0]->data, 200);
}

TEST_F(MspIndications, MspAlert)
{
    watchdog_set_device(std::make_unique<FakeWatchdog>());
    struct {
        const char* what;
        int type, action, alertChannel;
        bool halted;
        int channel;   // -1: nothing posted
        const char* logged;
    } cases[] = {
        {"channel alert", 0, 2, 3, false, 7, "MSP ALERT channelId=0xffff, Type=0, CPU=1, Action=2, Channel=3 ts=7"},
        {"action 0 only logged", 0, 0, 3, false, -1, "Action=0, Channel=3 ts=7"},
        {"no channel only logged", 0, 2, 0xFFFE, false, -1, "Channel=65534 ts=65535"},
        {"unmapped channel", 0, 1, 9, false, 0xFFFF + 1000, "Channel=9 ts=66535"},
        {"action 5 fatal", 0, 5, 3, true, -1, "Action=5"},
        {"type 1 fatal", 1, 1, 3, true, -1, "Type=1"},
    };
    int expectedSaves = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        halts = 0;
        char request[160];
        snprintf(request, sizeof request,
                 R"({"cmd":"inject","kind":"alert","type":%d,"cpu":1,"action":%d,"alert_channel":%d})", c.type,
                 c.action, c.alertChannel);
        auto got = send(request);
        EXPECT_EQ(halts, c.halted ? 1 : 0);
        EXPECT_EQ(saves.saves, ++expectedSaves);   // every alert asks for a save first
        EXPECT_TRUE(logs.contains(c.logged));
        if (c.channel < 0) {
            EXPECT_TRUE(got.empty());
            continue;
        }
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0]->channel, c.channel);
        EXPECT_EQ(got[0]->code, EV_MSP_ALERT);
        EXPECT_EQ(got[0]->data, c.alertChannel);
    }

    // Without a watchdog a fatal alert changes nothing; without a sync agent nobody is asked to save.
    watchdog_set_device(nullptr);
    regsync_set_target(nullptr);
    halts = 0;
    EXPECT_TRUE(send(R"({"cmd":"inject","kind":"alert","type":1,"action":7,"alert_channel":3})").empty());
    EXPECT_EQ(halts, 0);

    EXPECT_TRUE(send(R"({"cmd":"inject","fc":"0x0001","channel":65535,"cls":117,"type":193})").empty());
    EXPECT_TRUE(logs.contains("---> unknown diagnostic message: FC=0x0001"));
}

TEST_F(MspIndications, HdlcDataGoesStraightToItsChannelWithinWhatArrived)
{
    HdlcChannel hdlc;
    channel_table[7] = &hdlc;
    std::string frame;
    std::string hex;
    for (int i = 0; i < 300; i++) {
        frame += static_cast<char>(i & 0xFF);
        char t[3];
        snprintf(t, sizeof t, "%02x", i & 0xFF);
        hex += t;
    }
    EXPECT_TRUE(send(R"({"cmd":"inject","kind":"hdlc","channel":3,"hex":")" + hex + R"("})").empty());
    ASSERT_EQ(hdlc.pieces.size(), 2u);
    EXPECT_EQ(hdlc.pieces[0].first + hdlc.pieces[1].first, frame);
    EXPECT_FALSE(hdlc.pieces[0].second);
    EXPECT_TRUE(hdlc.pieces[1].second);

    // A length byte larger than the datagram hands over only what arrived;
    // one smaller than the header is dropped.
    hdlc.pieces.clear();
    EXPECT_TRUE(send(R"({"cmd":"inject","kind":"raw","channel":3,"hex":"c800030203940000a1a2a3a4"})").empty());
    EXPECT_TRUE(send(R"({"cmd":"inject","kind":"raw","channel":3,"hex":"04000302039400000000"})").empty());
    ASSERT_EQ(hdlc.pieces.size(), 1u);
    EXPECT_EQ(hdlc.pieces[0].first, "\xa1\xa2\xa3\xa4");
    EXPECT_TRUE(hdlc.pieces[0].second);
    EXPECT_TRUE(logs.contains("ts 7: HDLC data with invalid length 4"));

    // No channel there, or one without HDLC: dropped.
    channel_table[7] = nullptr;
    EXPECT_TRUE(send(R"({"cmd":"inject","kind":"hdlc","channel":3,"hex":"0102"})").empty());
    EXPECT_TRUE(send(R"({"cmd":"inject","kind":"hdlc","channel":9,"hex":"0102"})").empty());
}

TEST_F(MspIndications, CallerIdLengthsAreCheckedAgainstTheDatagram)
{
    struct {
        const char* what;
        const char* hex;   // whole message from byte 0
        const char* number;   // null: no event
    } cases[] = {
        // single data message claiming 40 bytes in a 24-byte datagram
        {"declared past the end", "18000302ad80000000000428303130313030303031323334", nullptr},
        // single data message shorter than its date: no number, no crash
        {"shorter than the date", "11000302ad800000000004053031303130", nullptr},
        // multiple data: a parameter running past the declared length is not read
        {"parameter past the length", "15000302ad80000000008008020931323334353637", nullptr},
        // multiple data: the number, then a name cut short
        {"name cut short", "16000302ad800000000080090203313233070a414243", "123"},
        // multiple data declaring more than arrived: only what arrived is walked
        {"declared more than arrived", "12000302ad80000000008040020235350000", "55"},
        // a datagram too short for the type and length bytes
        {"no type byte", "0a000302ad8000000000", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto got = send(std::string(R"({"cmd":"inject","kind":"raw","channel":3,"hex":")") + c.hex + R"("})");
        if (!c.number) {
            EXPECT_TRUE(got.empty());
            continue;
        }
        ASSERT_EQ(got.size(), 1u);
        auto* info = dynamic_cast<caller_info_t*>(got[0].get());
        ASSERT_TRUE(info);
        EXPECT_EQ(info->caller_number, c.number);
    }
    EXPECT_TRUE(logs.contains("ts 7: invalid Caller ID message length: 40 > (24 - 12)"));
}

}  // namespace
