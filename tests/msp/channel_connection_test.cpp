// Connections and streams of a channel against the simulated media
// processor: the command sequences of each connection kind, the takeover of
// a connection an earlier run left behind, stream start and stop, the
// keep-or-send parameters, and the media events every channel handles.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/channel_table.h"
#include "core/event_queue.h"
#include "core/scheduler.h"
#include "msp/channel_connection.h"
#include "msp/comcerto_device.h"
#include "msp/msp_indications.h"
#include "support/log_capture.h"
#include "support/msp_sim_fixture.h"
#include "support/test_channel.h"

namespace {

enum : uint16_t {
    CREATE = 0x0010,
    DESTROY = 0x0011,
    CONFIG_NT_RECOVERY = 0x043D,
    VOPENA = 0x8000,
    VCEOPT = 0x8001,
    DTMFOPT = 0x8002,
    DGAIN = 0x8005,
    ECHOCAN = 0x8006,
    PTMNG = 0x8018,
    VINFOTMR = 0x801A,
    PTMNGRXOVR = 0x802C,
    CNRTYCODE = 0x805A,
    TONECTRL = 0x805B,
    PTDOPT = 0x806A,
    JBOPT = 0x8090,
    RTCPENA = 0x80A0,
    RTCP_NTP_TIMESTAMP = 0x80AB,
    SIGNALING_ENABLE = 0x80B3,
    AGCSET = 0x80D1,
    QOS_THRESHOLD = 0x80D3,
    RTP_MONITOR_ENA = 0x80EE,
    RTCPSTATTMR = 0x80FC,
    SRTP_OPT = 0x8200,
    SRTP_KEY = 0x8201,
    SET_BWE_PARAMS = 0x8610,
};

class Connection : public testing::Test, public MspSimFixture {
protected:
    void SetUp() override
    {
        ASSERT_EQ(sched_create(&main_scheduler, "main scheduler"), 0);
        ASSERT_EQ(std_queue_create(&event_queue, 64), 0);
        msp_indications_reset();
        msp_open_connections = 0;
        channel = std::make_unique<TestChannel>(5);
    }
    void TearDown() override
    {
        channel.reset();
        for (auto& c : channel_table)
            c = nullptr;
        drain();
        std_queue_destroy(&event_queue);
        sched_destroy(&main_scheduler);
        msp_indications_reset();
        comcerto_device_reset();
        msp_nt_sync_seen = false;
        msp_nt_recovery_parked = false;
        msp_ntg_enabled = false;
        msp_sync_channel = 0xFFFF;
    }

    // Function codes sent since from, the device's and the channel's alike.
    std::vector<uint16_t> sent_since(size_t from)
    {
        std::vector<uint16_t> out;
        auto log = sim->commands();
        for (size_t i = from; i < log.size(); i++)
            out.push_back(log[i].fc);
        return out;
    }
    const MspSimCommand last(uint16_t fc)
    {
        auto log = sim->commands();
        for (size_t i = log.size(); i-- > 0;)
            if (log[i].fc == fc)
                return log[i];
        ADD_FAILURE() << "no command " << fc;
        return {};
    }
    static uint16_t word(const MspSimCommand& c, size_t offset) { return msp_get_u16(c.bytes.data(), offset); }

    MspSimChannel sim_channel()
    {
        MspSimChannel c;
        EXPECT_TRUE(sim->channel(static_cast<uint16_t>(channel->channelId), c));
        return c;
    }

    std::unique_ptr<TestChannel> channel;
    LogCapture logs;
};

}   // namespace

TEST_F(Connection, VoiceConnectionSequence)
{
    channel->rtp.codec = "PCMA";
    channel->rtp.tx_pt = channel->rtp.rx_pt = 8;
    channel->countryCode = 7;
    channel->toneControl = 3;
    channel->signalingMode = 1;
    channel->ptdParams[0] = 1000;
    ASSERT_EQ(channel->createConnection(MSP_CONN_VOICE, true), 0);

    EXPECT_EQ(sent_since(0), (std::vector<uint16_t>{CREATE, RTP_MONITOR_ENA, PTMNG, PTMNGRXOVR, AGCSET, DGAIN, JBOPT,
                                                    VCEOPT, CNRTYCODE, VOPENA, RTCP_NTP_TIMESTAMP, PTDOPT, TONECTRL,
                                                    SIGNALING_ENABLE}));
    MspSimCommand create = last(CREATE);
    EXPECT_EQ(create.channelId, MSP_DEVICE_CHANNEL_ID);
    EXPECT_EQ(create.bytes.size(), 12u);
    EXPECT_EQ(word(create, 8), 2);
    EXPECT_EQ(word(create, 10), 5);
    MspSimCommand monitor = last(RTP_MONITOR_ENA);
    EXPECT_EQ(word(monitor, 8), 1);
    EXPECT_EQ(word(monitor, 10), 500);
    MspSimCommand vopena = last(VOPENA);
    ASSERT_EQ(vopena.bytes.size(), 24u);
    EXPECT_EQ(vopena.bytes[0], 22);
    EXPECT_EQ(word(vopena, 8), 1);
    EXPECT_EQ(vopena.bytes[10], 0x80);
    EXPECT_EQ(vopena.bytes[11], 8);
    EXPECT_EQ(msp_get_u32(vopena.bytes.data(), 18), channel->ssrc);
    MspSimCommand ntp = last(RTCP_NTP_TIMESTAMP);
    EXPECT_EQ(ntp.bytes.size(), 16u);
    EXPECT_GT(msp_get_u32(ntp.bytes.data(), 8), 2208988800u);
    EXPECT_EQ(word(last(CNRTYCODE), 8), 7);
    EXPECT_EQ(word(last(TONECTRL), 8), 3);
    EXPECT_EQ(word(last(SIGNALING_ENABLE), 8), 1);
    EXPECT_EQ(word(last(VCEOPT), 8), 0x1428);   // stream still off

    EXPECT_EQ(msp_channel_timeslot[channel->channelId], 5);
    EXPECT_EQ(msp_open_connections, 1);
    EXPECT_EQ(sim_channel().timeslot, 5);
    EXPECT_FALSE(channel->secure.get());
    EXPECT_EQ(channel->getTxPayloadType(5), 8);
}

TEST_F(Connection, SrtpAndWithoutStart)
{
    channel->rtp.codec = "PCMU";
    channel->rtp.srtp_local_key = std::string(30, 'L');
    channel->rtp.srtp_remote_key = std::string(30, 'R');
    channel->rtp.srtp_tag_length = 4;
    channel->rtp.srtp_on = 1;
    ASSERT_EQ(channel->createConnection(MSP_CONN_VOICE, false), 0);
    std::vector<uint16_t> sent = sent_since(0);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), SRTP_OPT), 1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), SRTP_KEY), 2);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), VOPENA), 0);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), RTCP_NTP_TIMESTAMP), 0);
    EXPECT_TRUE(channel->secure.get());
    EXPECT_EQ(sim_channel().srtp_keys.size(), 2u);

    // a refused key leaves the connection open but not secure, and fails
    sim->add_fault({MspSimFault::Status, SRTP_KEY, -1, 0x0021, 0, 0, -1, 1});
    EXPECT_EQ(channel->createConnection(MSP_CONN_VOICE, true), -1);
    EXPECT_GE(channel->channelId, 0);
    EXPECT_FALSE(channel->secure.get());
}

TEST_F(Connection, OtherKinds)
{
    ASSERT_EQ(channel->createConnection(MSP_CONN_TONE_ENGINE, true), 0);
    EXPECT_EQ(sent_since(0), (std::vector<uint16_t>{CREATE, VOPENA, SIGNALING_ENABLE}));
    EXPECT_EQ(last(VOPENA).bytes.size(), 12u);
    EXPECT_EQ(word(last(VOPENA), 8), 13);
    EXPECT_EQ(sim_channel().type, 17);

    // a new connection always replaces the old one
    size_t from = sim->commands().size();
    ASSERT_EQ(channel->createConnection(MSP_CONN_HDLC, true), 0);
    EXPECT_EQ(sent_since(from), (std::vector<uint16_t>{DESTROY, CREATE}));
    EXPECT_EQ(sim_channel().type, 23);
    EXPECT_EQ(msp_open_connections, 1);

    // refused: no connection left
    sim->add_fault({MspSimFault::Status, CREATE, -1, 0x0013, 0, 0, -1, 1});
    EXPECT_EQ(channel->createConnection(MSP_CONN_VOICE, true), -1);
    EXPECT_EQ(channel->channelId, -1);
    EXPECT_EQ(msp_open_connections, 0);
    EXPECT_TRUE(logs.contains("createConnection(ts=5, type=2) failed (result=-19)"));
}

TEST_F(Connection, ChannelWithoutTimeslotTakesItsNumberFromTheFirstConnection)
{
    // ids 0..0x11 are taken, so the connection gets 0x12
    for (int i = 0; i < 0x12; i++)
        sim->plant_channel(100 + i, static_cast<uint16_t>(i));
    channel = std::make_unique<TestChannel>(0xFFFF);
    ASSERT_EQ(channel->createConnection(MSP_CONN_VOICE, true), 0);
    EXPECT_EQ(channel->channelId, 0x12);
    EXPECT_EQ(channel->timeslot, 1018);
    EXPECT_EQ(word(last(CREATE), 10), 0xFFFF);
    EXPECT_EQ(msp_channel_timeslot[0x12], 1018);

    // a new connection keeps the number and still names no timeslot
    ASSERT_EQ(channel->createConnection(MSP_CONN_VOICE, true), 0);
    EXPECT_EQ(channel->timeslot, 1018);
    EXPECT_EQ(word(last(CREATE), 10), 0xFFFF);
    EXPECT_EQ(msp_channel_timeslot[channel->channelId], 1018);
}

TEST_F(Connection, TakesOverAConnectionLeftByAnEarlierRun)
{
    sim->plant_channel(5, 0x40);
    ASSERT_EQ(channel->createConnection(MSP_CONN_VOICE, true), 0);
    EXPECT_TRUE(logs.contains("createConnection(ts=5, type=2) failed (result=-65469)"));
    EXPECT_TRUE(logs.contains("connection with ts=5 already exists (channelId=0x0040)"));
    EXPECT_TRUE(logs.contains("connection with channelId 0x0040 successfully destroyed"));
    EXPECT_NE(channel->channelId, 0x40);
    EXPECT_EQ(sim->channel_of_timeslot(5), channel->channelId);
    MspSimChannel gone;
    EXPECT_FALSE(sim->channel(0x40, gone));
    // the query and the destroy went out as whole words with their true length
    auto log = sim->commands();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[1].cls, MSP_CLASS_QUERY);
    EXPECT_EQ(log[1].bytes.size(), 12u);
    EXPECT_EQ(log[1].bytes[0], 10);
    EXPECT_EQ(log[2].fc, DESTROY);
    EXPECT_EQ(log[2].bytes.size(), 12u);
    EXPECT_EQ(log[2].bytes[0], 10);
    EXPECT_EQ(word(log[2], 8), 0x40);
}

TEST_F(Connection, NeverTakesALiveChannelsConnection)
{
    TestChannel owner(9);
    owner.channelId = 0x40;
    channel_table[9] = &owner;
    sim->plant_channel(5, 0x40);
    EXPECT_EQ(channel->createConnection(MSP_CONN_VOICE, true), -1);
    EXPECT_TRUE(logs.contains("channel 10 (ts 9) has this channelId!"));
    EXPECT_EQ(channel->channelId, -1);
    MspSimChannel kept;
    EXPECT_TRUE(sim->channel(0x40, kept));
    channel_table[9] = nullptr;
    owner.channelId = -1;   // not ours to destroy
}

TEST_F(Connection, StreamStartAndStop)
{
    channel->rtp.codec = "PCMA";
    channel->rtp.remote_ptime = 30;
    channel->qosMonitor = true;
    ASSERT_EQ(channel->createConnection(MSP_CONN_VOICE, true), 0);

    size_t from = sim->commands().size();
    ASSERT_EQ(channel->startStream(), 0);
    EXPECT_TRUE(channel->streamRunning);
    EXPECT_EQ(sent_since(from), (std::vector<uint16_t>{VCEOPT, RTCPENA, RTCPSTATTMR, VINFOTMR, QOS_THRESHOLD}));
    EXPECT_EQ(word(last(VCEOPT), 8), 0x1E20);
    EXPECT_EQ(word(last(VCEOPT), 10), 0x3C00);
    EXPECT_EQ(word(last(RTCPENA), 8), 0x0125);
    EXPECT_EQ(word(last(RTCPSTATTMR), 8), 5);
    EXPECT_EQ(word(last(VINFOTMR), 8), 5);
    EXPECT_EQ(word(last(QOS_THRESHOLD), 8), 1);

    // running: only the voice options
    from = sim->commands().size();
    ASSERT_EQ(channel->startStream(), 0);
    EXPECT_EQ(sent_since(from), (std::vector<uint16_t>{VCEOPT}));

    channel->codecStatus.set("PCMA");
    channel->amrMode = 3;
    channel->nextHopMac[0] = 2;
    uint32_t ssrc = channel->ssrc;
    uint64_t timer = 0;
    sched_add_timer(main_scheduler, "arp", 120000, [](void*) {}, nullptr, &timer);
    channel->arpTimer = timer;
    from = sim->commands().size();
    ASSERT_EQ(channel->stopStream(), 0);
    EXPECT_EQ(sent_since(from), (std::vector<uint16_t>{DTMFOPT, RTCPSTATTMR, VINFOTMR, VCEOPT, QOS_THRESHOLD, RTCPENA}));
    EXPECT_EQ(word(last(DTMFOPT), 8), 0x35);
    EXPECT_EQ(word(last(RTCPSTATTMR), 8), 0);
    EXPECT_EQ(word(last(VINFOTMR), 8), 0);
    EXPECT_EQ(word(last(VCEOPT), 8), 0x1428);
    EXPECT_EQ(word(last(VCEOPT), 10), 0xBC00);
    EXPECT_EQ(word(last(QOS_THRESHOLD), 8), 0);
    EXPECT_EQ(word(last(RTCPENA), 8), 0);
    EXPECT_FALSE(channel->streamRunning);
    EXPECT_EQ(channel->amrMode, 7);
    EXPECT_EQ(channel->arpTimer, 0u);
    EXPECT_EQ(sched_cancel_timer(main_scheduler, timer), -1);   // already gone
    EXPECT_EQ(channel->nextHopMac[0], 0);
    EXPECT_EQ(channel->codecStatus.get(), "");
    EXPECT_NE(channel->ssrc, ssrc);
}

TEST_F(Connection, StoppingAFaxStreamGoesBackToVoice)
{
    ASSERT_EQ(channel->createConnection(MSP_CONN_T38, true), 0);
    channel->streamRunning = true;
    size_t from = sim->commands().size();
    ASSERT_EQ(channel->stopStream(), 0);
    EXPECT_EQ(channel->connectionType, MSP_CONN_VOICE);
    EXPECT_EQ(sim_channel().type, 2);
    std::vector<uint16_t> sent = sent_since(from);
    EXPECT_EQ(sent[0], DESTROY);
    EXPECT_EQ(sent[1], CREATE);

    // a fax connection not yet enabled refuses to go: one more try 100 ms later
    ASSERT_EQ(channel->createConnection(MSP_CONN_T38, true), 0);
    sim->add_fault({MspSimFault::Status, DESTROY, -1, 0x050C, 0, 0, -1, 1});
    from = sim->commands().size();
    ASSERT_EQ(channel->stopStream(), 0);
    sent = sent_since(from);
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[0], DESTROY);
    EXPECT_EQ(sent[1], DESTROY);
    EXPECT_EQ(sent[2], CREATE);
    auto log = sim->commands();
    EXPECT_GE(log[from + 1].time_ms - log[from].time_ms, 90);
    EXPECT_EQ(sim_channel().type, 2);
    EXPECT_EQ(msp_open_connections, 1);
}

TEST_F(Connection, KeepOrSend)
{
    // without a connection the values wait for the next one
    channel->applyCountryCode(3);
    EXPECT_EQ(channel->applyToneControl(9), 0);
    EXPECT_EQ(channel->applySignalingMode(2), 0);
    EXPECT_EQ(sim->commands().size(), 0u);
    EXPECT_EQ(channel->countryCode, 3);
    EXPECT_EQ(channel->toneControl, 9);
    EXPECT_EQ(channel->signalingMode, 2);
    ASSERT_EQ(channel->createConnection(MSP_CONN_VOICE, true), 0);
    EXPECT_EQ(word(last(CNRTYCODE), 8), 3);
    EXPECT_EQ(word(last(TONECTRL), 8), 9);
    EXPECT_EQ(word(last(SIGNALING_ENABLE), 8), 2);

    // with one they go out at once, and only a taken value is kept
    channel->applyCountryCode(4);
    EXPECT_EQ(word(last(CNRTYCODE), 8), 4);
    EXPECT_EQ(channel->countryCode, 4);
    sim->add_fault({MspSimFault::Status, TONECTRL, -1, 0x0013, 0, 0, -1, 1});
    EXPECT_EQ(channel->applyToneControl(5), -0x13);
    EXPECT_EQ(channel->toneControl, 9);
    EXPECT_TRUE(logs.contains("ts 5: send_TONECTRL() failed (result=-19)"));
    EXPECT_EQ(channel->applySignalingMode(0), 0);
    EXPECT_EQ(channel->signalingMode, 0);

    // tone control is for voice connections only
    ASSERT_EQ(channel->createConnection(MSP_CONN_HDLC, true), 0);
    size_t from = sim->commands().size();
    EXPECT_EQ(channel->applyToneControl(6), 0);
    EXPECT_EQ(sim->commands().size(), from);
    EXPECT_EQ(channel->toneControl, 9);

    // monitoring off while it is off sends nothing
    EXPECT_EQ(channel->monitorSignaling(false, 0), 0);
    EXPECT_EQ(sim->commands().size(), from);
    EXPECT_EQ(channel->monitorSignaling(true, 3), 0);
    EXPECT_TRUE(channel->monitoringSignaling);
    EXPECT_EQ(channel->monitorSignaling(false, 0), 0);
    EXPECT_FALSE(channel->monitoringSignaling);
    EXPECT_EQ(sim->commands().size(), from + 2);
}

TEST_F(Connection, StatisticsAndAmrMode)
{
    channel->rtp.codec = "AMR";
    ASSERT_EQ(channel->createConnection(MSP_CONN_VOICE, true), 0);
    auto report = [&](int lossByte) {
        JsonEvent_t e(5, EV_STATISTICS_RECEIVED);
        JsonValue& a = e.value["RTCPstat"];
        a.kind = JSON_ARRAY;
        for (int v : {2, 0, 0, 0, 0, lossByte}) {
            JsonValue i;
            i.kind = JSON_INTEGER;
            i.integer = v;
            a.items.push_back(i);
        }
        channel->processEvent(&e);
    };
    size_t from = sim->commands().size();
    report(0);     // 0 %: already at the top
    EXPECT_EQ(channel->amrMode, 7);
    report(128);   // 50 %
    EXPECT_EQ(channel->amrMode, 0);
    report(52);    // 20 %: already at the bottom
    EXPECT_EQ(channel->amrMode, 0);
    report(0);
    EXPECT_EQ(channel->amrMode, 1);
    EXPECT_EQ(sent_since(from), (std::vector<uint16_t>{SET_BWE_PARAMS, SET_BWE_PARAMS}));
    EXPECT_EQ(word(last(SET_BWE_PARAMS), 8), 1 << 6);

    // the channel keeps the newest report of each kind and when it came
    JsonEvent_t info(5, EV_STATISTICS_RECEIVED);
    info.value["RTPinfo"].kind = JSON_ARRAY;
    info.value["RTPinfo"].items.resize(3);
    channel->processEvent(&info);
    JsonValue out;
    out.kind = JSON_HASH;
    channel->getStatistics(out);
    ASSERT_TRUE(out.find("RTPinfo") && out.find("RTCPstat") && out.find("RTPtimestamp"));
    EXPECT_EQ(out.find("RTPinfo")->items.size(), 3u);
    EXPECT_EQ(out.find("RTCPstat")->items[5].integer, 0);
    EXPECT_GT(out.find("RTPtimestamp")->integer, 1600000000);
}

TEST_F(Connection, MediaEvents)
{
    channel->rtp.codec = "PCMA";
    ASSERT_EQ(channel->createConnection(MSP_CONN_VOICE, true), 0);
    int id = channel->channelId;

    // an alert about another MSP channel is not ours
    size_t from = sim->commands().size();
    channel_event_t other(5, EV_MSP_ALERT, id + 1);
    channel->processEvent(&other);
    EXPECT_EQ(sim->commands().size(), from);
    // ours, with the stream stopped: the connection is made anew
    channel_event_t alert(5, EV_MSP_ALERT, id);
    channel->processEvent(&alert);
    EXPECT_EQ(sent_since(from)[0], DESTROY);
    EXPECT_EQ(sent_since(from)[1], CREATE);

    // pass-through switches
    channel->streamRunning = true;
    channel_event_t vbd(5, EV_PASSTHRU_AUTOSWITCH, 2);
    channel->processEvent(&vbd);
    EXPECT_EQ(channel->codecStatus.get(), "VBD");
    EXPECT_EQ(word(last(ECHOCAN), 8), 0);
    channel_event_t voice(5, EV_PASSTHRU_AUTOSWITCH, 0);
    channel->processEvent(&voice);
    EXPECT_EQ(channel->codecStatus.get(), "PCMA");
    EXPECT_TRUE(logs.contains("ts 5: PassThru mode autoswitch to 0"));

    // the tone engine is done: voice again; a voice connection ignores it
    ASSERT_EQ(channel->createConnection(MSP_CONN_TONE_ENGINE, true), 0);
    channel_event_t done(5, EV_TONE_COMPLETED, 0);
    channel->processEvent(&done);
    EXPECT_EQ(sim_channel().type, 2);
    from = sim->commands().size();
    channel->processEvent(&done);
    EXPECT_EQ(sim->commands().size(), from);
    // nor does a channel without a connection (a late indication)
    ASSERT_EQ(channel->destroyConnection(), 0);
    channel->connectionType = MSP_CONN_TONE_ENGINE;
    from = sim->commands().size();
    channel->processEvent(&done);
    EXPECT_EQ(sim->commands().size(), from);
    EXPECT_EQ(channel->channelId, -1);
    ASSERT_EQ(channel->createConnection(MSP_CONN_VOICE, true), 0);

    channel->callerIdPending = true;
    channel_event_t cid(5, EV_CALLER_ID_SENT, 0);
    channel->processEvent(&cid);
    EXPECT_FALSE(channel->callerIdPending);

    // an address change of the other family leaves the call alone
    channel->streamRunning = true;
    channel->rtp.local_addr.ss_family = AF_INET;
    channel_event_t changed(-1, EV_IP_ADDRESS_CHANGED, 2);
    changed.flags = EVF_PASS1;
    from = sim->commands().size();
    channel->processEvent(&changed);
    EXPECT_EQ(sim->commands().size(), from);
    EXPECT_EQ(changed.channel, -1);
    channel->processEvent(nullptr);
}

TEST_F(Connection, ClockRecoveryParking)
{
    msp_sync_channel = 4;
    msp_ntg_enabled = true;
    struct Step {
        int data;
        int recoverySent;   // -1 none, else the timeslot sent
        bool parked;
    } steps[] = {
        {0x80, -1, false},   // first report, nothing parked: nothing to do
        {0x00, 255, true},   // the clock source fell into holdover: park on 255
        {0x00, -1, true},    // still in holdover
        {0x80, 4, true},     // back while parked: recover on the sync channel
        {0x00, -1, false},   // holdover again while parked: unpark only
        {0x80, -1, false},
        {0x00, 255, true},
    };
    for (size_t i = 0; i < std::size(steps); i++) {
        size_t from = sim->commands().size();
        channel_event_t e(5, EV_NTG_SYNC_STATUS, steps[i].data);
        channel->processEvent(&e);
        auto sent = sent_since(from);
        if (steps[i].recoverySent < 0) {
            EXPECT_TRUE(sent.empty()) << i;
        } else {
            ASSERT_EQ(sent.size(), 1u) << i;
            EXPECT_EQ(word(last(CONFIG_NT_RECOVERY), 8), steps[i].recoverySent) << i;
        }
        EXPECT_EQ(msp_nt_recovery_parked.load(), steps[i].parked) << i;
    }
}
