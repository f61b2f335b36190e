// Media settings, status, statistics, QoS alarms and destruction of the
// media-processor channel base.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

#include "core/event_queue.h"
#include "core/scheduler.h"
#include "mgmt/var_store.h"
#include "support/json_text.h"
#include "support/log_capture.h"
#include "support/msp_sim_fixture.h"
#include "support/test_channel.h"

namespace {

std::string settings_of(const ComcertoChannel& c)
{
    JsonValue out;
    out.kind = JSON_HASH;
    c.getSettings(out);
    return out.toString();
}

// Counts the voice-options calls the settings trigger.
class CountingChannel : public TestChannel {
public:
    using TestChannel::TestChannel;
    int setVoiceOptions() override
    {
        voiceOptions++;
        return 0;
    }
    int voiceOptions = 0;
};

void reset_store()
{
    standaloneMode = false;
    varStore.reset();
}

std::set<std::string> level(int n)
{
    MutexLock lock(varStore.mutex);
    return n == 1 ? varStore.level1 : varStore.level2;
}

// Each row is applied to the same channel in turn, so a row also shows that
// what the one before it set is gone when its key is absent.
TEST(ChannelSettingsTest, EveryKeyReadAndWrittenBack)
{
    struct Row {
        const char* settings;
        const char* written;   // getSettings without "type"
    };
    const std::string base = R"("RTCPen":true,"pcmCode":0,"rx-agc":false,"tx-agc":false)";
    const Row rows[] = {
        {"{}", R"({"rx-gain":"0.0","tx-gain":"0.0"})"},
        {R"({"pcmCode":5,"rx-gain":"2.5","tx-gain":"-3.14"})", R"({"pcmCode":1,"rx-gain":"2.5","tx-gain":"-3.1"})"},
        // absent keys take their defaults, not the last value
        {R"({"tx-agc":true})", R"({"tx-agc":true,"rx-gain":"0.0","tx-gain":"0.0"})"},
        {R"({"pcmCode":"1","rx-gain":"9","tx-gain":"-20"})", R"({"rx-gain":"6.0","tx-gain":"-14.0"})"},
        {R"({"rx-gain":3,"tx-gain":"abc","rx-agc":1,"RTCPen":false})",
         R"({"rx-gain":"0.0","tx-gain":"0.0","RTCPen":false})"},
        {R"({"QoSmonitor":[1,2,3,4,5,6,7,8]})", R"({"QoSmonitor":[1,2,3,4,5,6,7],"rx-gain":"0.0","tx-gain":"0.0"})"},
        {R"({"QoSmonitor":[1,2,3,4,5,6]})", R"({"rx-gain":"0.0","tx-gain":"0.0"})"},
        {R"({"QoSmonitor":[9,8,"x",4,5,6,7]})", R"({"rx-gain":"0.0","tx-gain":"0.0"})"},
        {R"({"rtp-ttl":64,"rtcp-ttl":128,"rtp-dscp":46,"rtcp-dscp":26})",
         R"({"rtp-ttl":64,"rtp-dscp":46,"rtcp-dscp":26,"rx-gain":"0.0","tx-gain":"0.0"})"},
        {R"({"jbmin":40,"jbmax":300,"jbinit":60,"jbap":5000})",
         R"({"jbmin":40,"jbmax":300,"jbinit":60,"jbap":5000,"rx-gain":"0.0","tx-gain":"0.0"})"},
        // a preset leaves the four values alone, whatever the keys say
        {R"({"flags":2,"jbmin":10,"jbmax":20})",
         R"({"flags":2,"jbmin":40,"jbmax":300,"jbinit":60,"jbap":5000,"rx-gain":"0.0","tx-gain":"0.0"})"},
        {R"({"flags":0})", R"({"rx-gain":"0.0","tx-gain":"0.0"})"},
        // "t38" is written back only for a channel that may switch to T.38
        {R"({"t38":4660})", R"({"rx-gain":"0.0","tx-gain":"0.0"})"},
    };
    TestChannel c(4);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.settings);
        c.setSettings(json_of(row.settings));
        JsonValue expected = json_of(("{" + base + "," + std::string(row.written + 1)).c_str());
        expected["type"].setString("test");
        EXPECT_EQ(settings_of(c), expected.toString());
    }
    EXPECT_EQ(c.t38Options, 4660u);
    c.t38Allowed = true;
    EXPECT_NE(settings_of(c).find(R"("t38":4660)"), std::string::npos);
    c.setSettings(json_of("{}"));
    EXPECT_EQ(c.t38Options, 0xA0300u);
    EXPECT_EQ(settings_of(c).find("t38"), std::string::npos);
}

TEST(ChannelSettingsTest, MembersBehindTheSettings)
{
    TestChannel c(4);
    c.setSettings(json_of(R"({"QoSmonitor":[9,8,"x",4,5,6,7],"rx-gain":"-2.25"})"));
    EXPECT_FALSE(c.qosMonitor);
    EXPECT_EQ(c.qosThresholds[0], 9);   // values before the bad one stay
    EXPECT_EQ(c.qosThresholds[1], 8);
    EXPECT_EQ(c.qosThresholds[2], 0);
    EXPECT_FLOAT_EQ(c.rxGain, -2.25f);

    c.setSettings(json_of(R"({"flags":7})"));
    c.setSettings(json_of(R"({"flags":0,"jbmin":5})"));
    EXPECT_EQ(c.jbMin, 5);
    EXPECT_EQ(c.jbMax, 200);
}

TEST(ChannelSettingsTest, ConstructorDefaults)
{
    TestChannel c(9);
    EXPECT_EQ(c.timeslot, 9);
    EXPECT_EQ(c.channelId, -1);
    EXPECT_EQ(c.connectionType, MSP_CONN_VOICE);
    EXPECT_EQ(c.t38Options, 0xA0300u);
    EXPECT_EQ(c.amrMode, 7);
    EXPECT_EQ(c.toneControl, 1);
    EXPECT_EQ(c.countryCode, 12);
    EXPECT_EQ(c.rtpTtl, 128);
    EXPECT_EQ(c.playFd, -1);
    EXPECT_EQ(c.statistics.kind, JSON_HASH);
    EXPECT_EQ(c.rtp.channel, -1);
    EXPECT_EQ(c.rtp.code, EV_RTP_PARAMETERS);
    EXPECT_EQ(c.rtp.tx_event_pt, 101);
    EXPECT_EQ(c.rtp.amr_flags, 0xFFu);
    const int tx[][2] = {{0, 13}, {1, 127}, {4, 0}, {5, 8}, {6, 4}, {7, 15}, {8, 18}, {9, 2}, {11, 3}};
    int set = 0;
    for (int i = 0; i < MSP_PAYLOAD_MAP_SIZE; i++) {
        EXPECT_EQ(c.rxPayloadMap[i], 0xFF);
        if (c.payloadMap[i] != 0xFF)
            set++;
    }
    EXPECT_EQ(set, 9);
    for (const auto& p : tx)
        EXPECT_EQ(c.payloadMap[p[0]], p[1]);
}

class ChannelSettingsSimTest : public ::testing::Test, public MspSimFixture {
protected:
    void SetUp() override { msp_open_connections = 0; }

    std::vector<MspSimCommand> sent()
    {
        auto log = sim->commands();
        sim->clear_commands();
        return log;
    }
    static std::vector<uint16_t> fcs(const std::vector<MspSimCommand>& log)
    {
        std::vector<uint16_t> out;
        for (const auto& c : log)
            out.push_back(c.fc);
        return out;
    }
    LogCapture logs;
};

void set_addresses(ComcertoChannel& c)
{
    auto& l = reinterpret_cast<sockaddr_in&>(c.rtp.local_addr);
    auto& r = reinterpret_cast<sockaddr_in&>(c.rtp.remote_addr);
    l.sin_family = r.sin_family = AF_INET;
    inet_pton(AF_INET, "10.0.0.2", &l.sin_addr);
    inet_pton(AF_INET, "10.0.0.9", &r.sin_addr);
    l.sin_port = htons(10008);
    r.sin_port = htons(4000);
}

// What a settings change sends depends on the connection and the stream.
TEST_F(ChannelSettingsSimTest, ChangesReachTheMediaProcessorOnlyWhenConnected)
{
    CountingChannel c(4);
    c.setSettings(json_of(R"({"rx-gain":"2.5","rx-agc":true,"rtp-ttl":5,"flags":3,"pcmCode":1})"));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(c.voiceOptions, 0);

    ASSERT_GE(test_open_connection(c), 0);
    set_addresses(c);
    c.streamRunning = true;
    sent();

    struct Row {
        const char* settings;
        std::vector<uint16_t> fcs;
        int voiceOptions;
    };
    const Row rows[] = {
        // the same settings again: nothing changes, nothing is sent
        {R"({"rx-gain":"2.5","rx-agc":true,"rtp-ttl":5,"flags":3,"pcmCode":1})", {0x80D3}, 0},
        // every absent key falls back: agc, gain, ttl, jitter buffer, pcm law
        {"{}", {0x80D1, 0x8005, 0x80D3, 0x9000, 0x8090}, 1},
        // bit 8 alone waits for the next stream start
        {R"({"flags":256})", {0x80D3}, 0},
        {R"({"flags":16})", {0x80D3}, 1},
        {R"({"flags":16,"jbmax":250})", {0x80D3, 0x8090}, 0},
        {R"({"RTCPen":false,"rtcp-dscp":10})", {0x80A0, 0x80D3, 0x9000, 0x8090}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.settings);
        c.voiceOptions = 0;
        c.setSettings(json_of(row.settings));
        EXPECT_EQ(fcs(sent()), row.fcs);
        EXPECT_EQ(c.voiceOptions, row.voiceOptions);
    }

    MspSimChannel state;
    ASSERT_TRUE(sim->channel(static_cast<uint16_t>(c.channelId), state));
    EXPECT_EQ(state.rx_gain, 0);
    EXPECT_EQ(state.jb_max, 200);
    ASSERT_EQ(state.ip.count(1), 1u);
    EXPECT_EQ(state.ip[1].dscp, 10);
    EXPECT_EQ(state.ip[1].src_port, 10009);
}

TEST_F(ChannelSettingsSimTest, NoJitterBufferOrVoiceOptionsWithoutAConnection)
{
    CountingChannel c(4);
    c.setSettings(json_of(R"({"flags":17})"));
    EXPECT_EQ(c.voiceOptions, 0);
    EXPECT_TRUE(sent().empty());
}

TEST(ChannelStatusTest, QosAlarmsFollowMonitoringStreamAndRtcp)
{
    reset_store();
    TestChannel c(5);
    auto a = [](int n) { return ".10.6." + std::to_string(n) + ".0"; };

    c.setQosAlarms(0x09);   // monitoring off: stored, nothing published
    EXPECT_EQ(c.qosAlarmRequest, 0x09u);
    EXPECT_TRUE(varStore.alarmChanges.empty());

    c.streamRunning = true;
    c.setSettings(json_of(R"({"QoSmonitor":[1,2,3,4,5,6,7]})"));   // republishes the stored bits
    EXPECT_EQ(level(2), (std::set<std::string>{a(11), a(14)}));
    c.setQosAlarms(0x22);
    EXPECT_EQ(level(1), (std::set<std::string>{a(12)}));
    EXPECT_EQ(level(2), (std::set<std::string>{a(16)}));
    c.setQosAlarms(0x40);   // above bit 5: kept, never published
    EXPECT_TRUE(level(1).empty());
    EXPECT_TRUE(level(2).empty());
    EXPECT_EQ(varStore.alarmChanges.size(), 4u);
    EXPECT_EQ(varStore.alarmChanges[a(14)].value, 0);

    varStore.reset();
    c.setSettings(json_of(R"({"QoSmonitor":[1,2,3,4,5,6,7],"RTCPen":false})"));
    c.setQosAlarms(0x01);
    EXPECT_TRUE(varStore.alarmChanges.empty());
    c.setQosAlarms(0x21);
    EXPECT_EQ(level(2), (std::set<std::string>{a(16)}));
    c.setSettings(json_of(R"({"QoSmonitor":[1,2,3,4,5,6]})"));   // monitoring off clears
    EXPECT_TRUE(level(2).empty());
    varStore.reset();
}

TEST(ChannelStatusTest, StatusIsPublishedOnChangeOnlyAndNotForVirtualChannels)
{
    reset_store();
    TestChannel c(7);
    c.secure.set(true);
    {
        MutexLock lock(varStore.mutex);
        ASSERT_EQ(varStore.values.count(".10.8.3.0"), 1u);
        EXPECT_EQ(varStore.values[".10.8.3.0"].type, MyVarValue::STRING);
        EXPECT_EQ(varStore.values[".10.8.3.0"].text, R"({"secure":true})");
    }
    varStore.reset();
    c.secure.set(true);
    c.codecStatus.set("");
    EXPECT_TRUE(varStore.values.empty());
    c.codecStatus.set("PCMA");
    EXPECT_EQ(varStore.values.count(".10.8.3.0"), 1u);

    varStore.reset();
    TestChannel v(1005);
    v.secure.set(true);
    v.publishStatus();
    EXPECT_TRUE(varStore.values.empty());
    varStore.reset();
}

TEST(ChannelStatusTest, StatisticsMergeIntoAHashOnly)
{
    TestChannel c(1);
    c.statistics["RTPinfo"] = json_of("[1,2]");
    c.statistics["RTCPstat"] = json_of("[3]");
    JsonValue out = json_of(R"({"RTPinfo":"mine"})");
    c.getStatistics(out);
    EXPECT_EQ(out.toString(), json_of(R"({"RTPinfo":"mine","RTCPstat":[3]})").toString());
    JsonValue array = json_of("[]");
    c.getStatistics(array);
    EXPECT_TRUE(array.items.empty());
    EXPECT_TRUE(array.members.empty());
}

TEST(ChannelStatusTest, RaisedEventsComeFromTheChannel)
{
    std_queue_t* saved = event_queue;
    ASSERT_EQ(std_queue_create(&event_queue, 8), 0);
    TestChannel c(12);
    c.raiseEvent(new channel_event_t(-1, EV_HANGUP));
    std::unique_ptr<channel_event_t> e(std_queue_dequeue(event_queue));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->channel, 12);
    EXPECT_EQ(e->code, EV_HANGUP);
    std_queue_destroy(&event_queue);
    event_queue = saved;
}

// An injectable clock for the "arp" timer.
timespec arp_now{1000, 0};
int arp_clock(timespec* ts)
{
    *ts = arp_now;
    return 0;
}

int fired = 0;
void count_fire(void*) { fired++; }
void count_answer(const uint8_t*, int, void*) { fired++; }

// Deleting a channel leaves nothing that could call back into it.
TEST_F(ChannelSettingsSimTest, DeletionCancelsTimerCommandsAndPlayback)
{
    sched_set_clock(arp_clock);
    sched_t* saved = main_scheduler;
    ASSERT_EQ(sched_create(&main_scheduler, "test"), 0);

    auto c = std::make_unique<TestChannel>(3);
    int id = test_open_connection(*c);
    ASSERT_GE(id, 0);
    c->secure.set(true);
    ASSERT_EQ(sched_add_timer(main_scheduler, "arp", 300, count_fire, nullptr, &c->arpTimer), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    c->playFd = fds[0];
    c->playing = true;
    sim->add_fault({MspSimFault::Delay, 0x9403, -1, 0, 50});
    MspMessage block(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x9403, 12 + 16);
    block.u16(16, 1).u16(18, 16);
    c->playTransaction = c->PassThruAsync(block.data(), block.size(), count_answer, nullptr);
    ASSERT_GE(c->playTransaction, 0);

    c.reset();
    EXPECT_EQ(sim->count(0x0011), 1u);   // SUPVSR_DESTROY_CHANNEL
    EXPECT_EQ(msp_open_connections, 0);
    EXPECT_EQ(msp_channel_timeslot[id], MSP_CHANNEL_UNMAPPED);
    EXPECT_EQ(msp_pending_transactions(), 0u);
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);   // the sound file is closed
    arp_now.tv_sec += 10;
    sched_run(main_scheduler);
    EXPECT_EQ(fired, 0);
    pump_for(100);
    EXPECT_EQ(fired, 0);
    close(fds[1]);

    sched_destroy(&main_scheduler);
    main_scheduler = saved;
    sched_set_clock(nullptr);
}

TEST_F(ChannelSettingsSimTest, FailedTeardownIsLoggedAndTheChannelStillGoes)
{
    auto c = std::make_unique<TestChannel>(3);
    ASSERT_GE(test_open_connection(*c), 0);
    sim->add_fault({MspSimFault::Status, 0x0011, -1, 0x0005});
    c.reset();
    EXPECT_TRUE(logs.contains("ts 3: FC_SUPVSR_DESTROY_CHANNEL failed (result=-5)"));
    EXPECT_TRUE(logs.contains("ts 3: destroyConnection() failed (result=-5)"));
}

}  // namespace
