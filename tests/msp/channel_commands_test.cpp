// The channel command set, byte for byte as the simulator receives it, with
// the failure message of each; payload maps, codec table, HDLC pieces, the
// IP headers, conferences and line signals.
#include <arpa/inet.h>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>

#include "mgmt/fpga.h"
#include "sim/fpga/fpga_simulator.h"
#include "support/hex_text.h"
#include "support/log_capture.h"
#include "support/msp_sim_fixture.h"
#include "support/test_channel.h"

namespace {

constexpr uint16_t CHANNEL = 0;   // Expect::to: the channel's own MSP channel

// One message as it must arrive: every byte not named is 0.
struct Expect {
    uint16_t fc;
    int sent;          // bytes on the wire
    int length;        // byte 0
    std::vector<std::pair<int, uint16_t>> words = {};
    std::vector<std::pair<int, std::vector<uint8_t>>> bytes = {};
    uint8_t cls = MSP_CLASS_COMMAND;
    uint16_t to = CHANNEL;
};

std::vector<uint8_t> build(const Expect& e)
{
    std::vector<uint8_t> m(static_cast<size_t>(e.sent), 0);
    m[0] = static_cast<uint8_t>(e.length);
    m[2] = e.cls;
    m[3] = e.to == MSP_DEVICE_CHANNEL_ID ? MSP_TYPE_DEVICE : MSP_TYPE_CHANNEL;
    msp_put_u16(m.data(), 4, e.fc);
    for (const auto& [offset, v] : e.words)
        msp_put_u16(m.data(), static_cast<size_t>(offset), v);
    for (const auto& [offset, b] : e.bytes)
        std::copy(b.begin(), b.end(), m.begin() + offset);
    return m;
}

const uint8_t SRC_MAC[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t DST_MAC[6] = {0x00, 0x1b, 0x21, 0xaa, 0xbb, 0xcc};
std::vector<uint8_t> mac(const uint8_t* m) { return {m, m + 6}; }

std::vector<uint8_t> srtp_key()
{
    std::vector<uint8_t> k(30);
    for (int i = 0; i < 30; i++)
        k[static_cast<size_t>(i)] = static_cast<uint8_t>(0xA0 + i);
    return k;
}

sockaddr_storage address(const char* text, uint16_t port)
{
    sockaddr_storage s{};
    if (strchr(text, ':')) {
        auto& a = reinterpret_cast<sockaddr_in6&>(s);
        a.sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &a.sin6_addr);
        a.sin6_port = htons(port);
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(s);
        a.sin_family = AF_INET;
        inet_pton(AF_INET, text, &a.sin_addr);
        a.sin_port = htons(port);
    }
    return s;
}

struct Row {
    const char* name;
    std::function<int(TestChannel&)> call;
    std::vector<Expect> expect;
    const char* failure;     // logged when the media processor refuses every command
    bool alwaysZero = false; // returns 0 even then
    int result = 0;          // when every command succeeds
};

class ChannelCommandsTest : public ::testing::Test, public MspSimFixture {
protected:
    void SetUp() override
    {
        msp_open_connections = 0;
        channel = std::make_unique<TestChannel>(5);
        ASSERT_GE(test_open_connection(*channel), 0);
        sim->clear_commands();
    }
    void TearDown() override { channel.reset(); }

    std::vector<MspSimCommand> sent()
    {
        auto log = sim->commands();
        sim->clear_commands();
        return log;
    }

    void check(const Row& row, const std::vector<MspSimCommand>& log)
    {
        ASSERT_EQ(log.size(), row.expect.size());
        for (size_t i = 0; i < log.size(); i++) {
            SCOPED_TRACE(i);
            const Expect& e = row.expect[i];
            std::vector<uint8_t> got = log[i].bytes;
            got.at(1) = 0;   // the transaction index
            EXPECT_EQ(hex(got), hex(build(e)));
            EXPECT_EQ(log[i].channelId, e.to == CHANNEL ? channel->channelId : e.to);
        }
    }

    std::unique_ptr<TestChannel> channel;
    LogCapture logs;
};

TEST_F(ChannelCommandsTest, EveryWrapperSendsItsMessageAndLogsItsFailure)
{
    const auto key = srtp_key();
    const Row rows[] = {
        {"FAXSPLOPT", [](TestChannel& c) { return c.send_FAXSPLOPT(); }, {{0x8085, 12, 10, {{8, 0x70}}}},
         "ts 5: send_FAXSPLOPT() failed (result=-5)", true},
        {"FAXSPLOPT 0x40",
         [](TestChannel& c) {
             c.t38Options |= 0x40;
             return c.send_FAXSPLOPT();
         },
         {{0x8085, 12, 10, {{8, 0x30}}}}, "send_FAXSPLOPT() failed", true},
        {"FAXOPT ecm",
         [](TestChannel& c) {
             c.t38Options = 0x1F7FF;
             return c.send_FAXOPT(true);
         },
         {{0x8003, 16, 14, {{8, 0xF738}, {10, 0x2320}, {12, 0xFF}}}}, "ts 5: send_FAXOPT() failed", true},
        {"FAXOPT",
         [](TestChannel& c) {
             c.t38Options = 0x1F7FF;
             return c.send_FAXOPT(false);
         },
         {{0x8003, 16, 14, {{8, 0xE738}, {10, 0x2320}, {12, 0xFF}}}}, "send_FAXOPT() failed", true},
        {"FAXLVL",
         [](TestChannel& c) {
             c.send_FAXLVL();
             return 0;
         },
         {{0x8026, 12, 10, {{8, 0xA}}}}, "ts 5: send_FAXLVL() failed", true},
        {"FOIP_SET_DATAGRAM", [](TestChannel& c) { return c.setT38DatagramSize(272); },
         {{0x808B, 12, 10, {{8, 272}}}}, "ts 5: setT38DatagramSize() failed", true},
        {"FOIP_GET_DATAGRAM", [](TestChannel& c) { return c.getT38DatagramSize(); },
         {{0x808C, 8, 8, {}, {}, MSP_CLASS_QUERY}}, "ts 5: getT38DatagramSize() failed", false, 272},
        {"FOIP_FILLBIT_CTRL", [](TestChannel& c) { return c.setT38Fillbit(true); }, {{0x808E, 12, 10, {{8, 1}}}},
         "ts 5: setT38Fillbit() failed", true},
        {"DTMFOPT none", [](TestChannel& c) { return c.send_DTMFOPT(-1, true); }, {{0x8002, 12, 10, {{8, 0x35}}}},
         "ts 5: send_DTMFOPT() failed", true},
        {"DTMFOPT flag", [](TestChannel& c) { return c.send_DTMFOPT(101, true); }, {{0x8002, 12, 10, {{8, 0xB4}}}},
         "send_DTMFOPT() failed", true},
        {"DTMFOPT", [](TestChannel& c) { return c.send_DTMFOPT(101, false); }, {{0x8002, 12, 10, {{8, 0x26}}}},
         "send_DTMFOPT() failed", true},
        {"VOIP_LEARN_IND",
         [](TestChannel& c) {
             c.send_FFT_GLOBAL_CFG(7);
             return 0;
         },
         {{0x9116, 16, 16, {{8, 7}, {10, 1}, {12, 0x1414}}}}, "ts 5: send_FFT_GLOBAL_CFG() failed", true},
        {"VOIP_TDET_CFG",
         [](TestChannel& c) {
             c.send_FFT_CFG(99, 1, 2, 3);
             return 0;
         },
         {{0x9117, 36, 34, {{8, 1}, {10, 1}, {18, 2}, {20, 3}}}}, "ts 5: send_FFT_CFG() failed", true},
        {"ETH_HDR_CHAN delete",
         [](TestChannel& c) {
             c.del_eth_hdr_chan();
             return 0;
         },
         {{0x9010, 12, 10, {{8, 0x8001}}}, {0x9010, 12, 10, {{8, 0x8006}}}, {0x9010, 12, 10, {{8, 0x8008}}}},
         "ts 5: del_eth_hdr_chan(SET_ETH_HDR_PROTOCOL_IP_V6) failed (result=-5)", true},
        {"ETH_HDR_CHAN IPv4", [](TestChannel& c) { return c.set_eth_hdr_chan(SRC_MAC, DST_MAC, false, false); },
         {{0x9010, 24, 24, {{8, 1}}, {{10, mac(DST_MAC)}, {16, mac(SRC_MAC)}, {22, {0x08, 0x00}}}}},
         "ts 5: set_eth_hdr_chan() failed"},
        {"ETH_HDR_CHAN IPv6", [](TestChannel& c) { return c.set_eth_hdr_chan(SRC_MAC, DST_MAC, false, true); },
         {{0x9010, 24, 24, {{8, 6}}, {{10, mac(DST_MAC)}, {16, mac(SRC_MAC)}, {22, {0x86, 0xDD}}}}},
         "set_eth_hdr_chan() failed"},
        {"ETH_HDR_CHAN PPPoE", [](TestChannel& c) { return c.set_eth_hdr_chan(SRC_MAC, DST_MAC, true, true); },
         {{0x9010, 24, 24, {{8, 8}}, {{10, mac(DST_MAC)}, {16, mac(SRC_MAC)}, {22, {0x88, 0x64}}}}},
         "set_eth_hdr_chan() failed"},
        {"SET_PPPOE_HDR_CHAN", [](TestChannel& c) { return c.set_pppoe_hdr_chan(0x1234); },
         {{0x9060, 16, 16, {{8, 0x1100}, {10, 0x1234}, {14, 0x21}}}}, "ts 5: set_pppoe_hdr_chan() failed"},
        {"VINFOTMR", [](TestChannel& c) { return c.setInfoTimer(5); }, {{0x801A, 12, 10, {{8, 5}}}},
         "ts 5: setInfoTimer() failed"},
        {"HTDMSTAT", [](TestChannel& c) { return c.htdmEna(1); }, {{0x9351, 12, 10, {{8, 1}}}},
         "ts 5: htdmEna() failed"},
        {"QoS_THRESHOLD off", [](TestChannel& c) { return c.QoS_thresholds(false); }, {{0x80D3, 12, 10, {{8, 0}}}},
         "ts 5: QoS_thresholds() failed"},
        {"QoS_THRESHOLD on",
         [](TestChannel& c) {
             for (int i = 0; i < 7; i++)
                 c.qosThresholds[i] = 100 + i;
             return c.QoS_thresholds(true);
         },
         {{0x80D3, 24, 24,
           {{8, 1}, {10, 100}, {12, 101}, {14, 102}, {16, 103}, {18, 104}, {20, 105}, {22, 106}}}},
         "QoS_thresholds() failed"},
        {"SET_TDM_SIGNALING", [](TestChannel& c) { return c.setCAS(0x5); }, {{0x80B5, 12, 10, {{8, 0x55}}}},
         "ts 5: setCAS() failed"},
        {"SET_TDM_SIGNALING wide", [](TestChannel& c) { return c.setCAS(0x1F); }, {{0x80B5, 12, 10, {{8, 0xFF}}}},
         "setCAS() failed"},
        {"RTCPENA", [](TestChannel& c) { return c.set_RTCP(true); }, {{0x80A0, 12, 10, {{8, 0x125}}}},
         "ts 5: set_RTCP() failed"},
        {"RTCPENA off", [](TestChannel& c) { return c.set_RTCP(false); }, {{0x80A0, 12, 10, {{8, 0}}}},
         "set_RTCP() failed"},
        {"RTCPSTATTMR", [](TestChannel& c) { return c.set_RTCPStatTmr(5); }, {{0x80FC, 12, 12, {{8, 5}, {10, 1}}}},
         "ts 5: set_RTCPStatTmr() failed"},
        {"RTP_MONITOR_ENA", [](TestChannel& c) { return c.RTPMonitorEna(1, 500); },
         {{0x80EE, 16, 14, {{8, 1}, {10, 500}}}}, "ts 5: RTPMonitorEna() failed"},
        {"PASSTHRU_AUTOSWITCH off", [](TestChannel& c) { return c.set_passthru_autoswitch(-1, false); },
         {{0x80BE, 20, 18, {{8, 0}, {12, 0x3CFF}}}}, "ts 5: set_passthru_autoswitch() failed"},
        {"PASSTHRU_AUTOSWITCH flag", [](TestChannel& c) { return c.set_passthru_autoswitch(8, true); },
         {{0x80BE, 20, 18, {{8, 0x19}, {12, 0x3C08}}}}, "set_passthru_autoswitch() failed"},
        {"PASSTHRU_AUTOSWITCH", [](TestChannel& c) { return c.set_passthru_autoswitch(96, false); },
         {{0x80BE, 20, 18, {{8, 0x319}, {12, 0x3C60}}}}, "set_passthru_autoswitch() failed"},
        {"LOOPBACK", [](TestChannel& c) { return c.set_loopback(1); }, {{0x8012, 12, 10, {{8, 1}}}},
         "ts 5: set_loopback(1) failed (result=-5)"},
        {"SS7COT", [](TestChannel& c) { return c.ss7cot(2); }, {{0x8029, 12, 10, {{8, 2}}}},
         "ts 5: ss7cot(2) failed (result=-5)"},
        {"SET_CHANNEL_MODE play", [](TestChannel& c) { return c.setChannelMode(2, 1); },
         {{0x9400, 12, 12, {{8, 0x502}, {10, 0x510}}}}, "ts 5: setChannelMode() failed"},
        {"SET_CHANNEL_MODE 1", [](TestChannel& c) { return c.setVoiceChannelMode(1, 0x13); },
         {{0x9400, 12, 12, {{8, 0x501}, {10, 0x503}}}}, "setChannelMode() failed"},
        {"SET_CHANNEL_MODE normal", [](TestChannel& c) { return c.setChannelMode(0, 1); },
         {{0x9400, 12, 12, {{8, 0x500}, {10, 0x500}}}}, "setChannelMode() failed"},
        {"SET_AS_STOP", [](TestChannel& c) { return c.asStop(); }, {{0x9407, 8, 8}}, "ts 5: asStop() failed"},
        {"SET_AS_DRAIN", [](TestChannel& c) { return c.drainPlayRecBuffer(); }, {{0x9405, 12, 10, {{8, 0}}}},
         "ts 5: drainPlayRecBuffer() failed"},
        {"JBOPT own values",
         [](TestChannel& c) {
             c.jbMin = 30, c.jbMax = 180, c.jbInit = 40, c.jbAp = 9000;
             return c.sendJBOpt();
         },
         {{0x8090, 20, 20, {{8, 30}, {10, 180}, {12, 40}, {14, 9000}, {18, 500}}}},
         "ts 5: sendJBOpt failed (result=-5)"},
        {"PTDOPT", [](TestChannel& c) { return c.setPTDOPT(600, 3, 1000, 5); },
         {{0x806A, 16, 16, {{8, 600}, {10, 0x403}, {12, 1000}, {14, 0x405}}}}, "ts 5: setPTDOPT() failed"},
        {"SET_CHANNEL_IP_MODE 6", [](TestChannel& c) { return c.setConnIpMode(AF_INET6); },
         {{0x9003, 12, 10, {{8, 1}}}}, "ts 5: setConnIpMode() failed"},
        {"SET_CHANNEL_IP_MODE 4", [](TestChannel& c) { return c.setConnIpMode(AF_INET); },
         {{0x9003, 12, 10, {{8, 0}}}}, "setConnIpMode() failed"},
        {"SET_IP_HDR_CHANNEL RTP",
         [](TestChannel& c) {
             return c.SetConnIpParams(0, address("10.0.0.2", 5004), address("192.168.7.9", 6000), 64, 46);
         },
         {{0x9000, 40, 38, {},
           {{8, {0, 1, 0x45, 46 << 2, 0, 0, 0, 0, 0x40, 0, 64, 17, 0, 0, 10, 0, 0, 2, 192, 168, 7, 9, 0x13, 0x8C,
                 0x17, 0x70}}}}},
         "ts 5: SetConnIpParams() failed"},
        {"SET_IP_HDR_CHANNEL RTCP",
         [](TestChannel& c) {
             return c.SetConnIpParams(1, address("10.0.0.2", 5004), address("192.168.7.9", 6000), 128, 0);
         },
         {{0x9000, 40, 38, {},
           {{8, {1, 1, 0x45, 0, 0, 0, 0, 0, 0x40, 0, 128, 17, 0, 0, 10, 0, 0, 2, 192, 168, 7, 9, 0x13, 0x8D, 0x17,
                 0x71}}}}},
         "SetConnIpParams() failed"},
        {"SET_IP_HDR_CHANNEL IPv6",
         [](TestChannel& c) { return c.SetConnIpParams(1, address("fd00::2", 10010), address("2001:db8::9", 7078), 9, 46); },
         {{0x9000, 60, 58, {{8, 1}},
           {{10, {0x60, 0, 0, 0, 0, 0, 17, 9, 0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2,
                  0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0x27, 0x1B, 0x1B, 0xA7}}}}},
         "SetConnIpParams() failed"},
        {"SRTP_OPT", [](TestChannel& c) { return c.setSrtpOptions(2, 10, 1); },
         {{0x8200, 20, 18, {{8, 0xA812}, {12, 0x70}, {14, 0x70}, {16, 0x28A0}}}},
         "ts 5: CIPHER_SRTP_OPT failed (result=-5)"},
        {"SRTP_OPT query", [](TestChannel& c) { return c.getSrtpState(); }, {{0x8200, 8, 8, {}, {}, MSP_CLASS_QUERY}},
         "ts 5: CIPHER_SRTP_OPT request failed (result=-5)", false, 0},
        {"SRTP_KEY_DERIVATION",
         [&key](TestChannel& c) { return c.setSrtpKey(2, key.data(), 0x123456789ABCull, 5); },
         {{0x8201, 80, 80, {{8, 0x800}, {10, 0x1234}, {12, 0x5678}, {14, 0x9ABC}, {18, 5}}, {{32, key}}}},
         "ts 5: CIPHER_SRTP_KEY_DERIVATION failed (result=-5)"},
        {"SRTP_KEY_DERIVATION wide",
         [&key](TestChannel& c) { return c.setSrtpKey(1, key.data(), 1ull << 48, 0x8000); },
         {{0x8201, 80, 80, {{8, 0x400}}, {{32, key}}}}, "CIPHER_SRTP_KEY_DERIVATION failed"},
        {"PTMNG",
         [](TestChannel& c) {
             c.setPayloadType(2, 96, 101);
             return c.setPayloadTypeMap();
         },
         {{0x8018, 64, 64, {},
           {{8, {13, 127, 96, 255, 0, 8, 4, 15, 18, 2, 255, 3}}, {20, std::vector<uint8_t>(44, 255)}}},
          {0x802C, 64, 64, {}, {{8, {255, 255, 101}}, {11, std::vector<uint8_t>(53, 255)}}}},
         "ts 5: VOIP_PTMNGRXOVR failed (result=-5)"},
        {"EVRC_RTP_OPTIONS 0", [](TestChannel& c) { return c.send_EVRC_OPTIONS(0, 0); },
         {{0x80B2, 12, 12, {{8, 0}, {10, 0}}}}, "ts 5: send_EVRC_OPTIONS() failed"},
        {"EVRC_RTP_OPTIONS", [](TestChannel& c) { return c.send_EVRC_OPTIONS(2, 5); },
         {{0x80B2, 16, 14, {{8, 2}, {10, 5}, {12, 1}}}}, "send_EVRC_OPTIONS() failed"},
        {"SET_BWE_PARAMS",
         [](TestChannel& c) {
             c.amrMode = 5;
             c.rtp.amr_flags = 0x3A5;
             return c.set_BWE_PARAMS();
         },
         {{0x8610, 16, 16, {{8, 0x4140}, {10, 0x508}, {12, 0xEA5}, {14, 2}}}}, "ts 5: set_BWE_PARAMS() failed"},
        {"CDMA_DTX", [](TestChannel& c) { return c.enableDTX(true, 300, 40, 20); },
         {{0x81EA, 12, 10, {{8, 1}}}, {0x81EB, 20, 20, {{8, 255}, {10, 12}, {12, 32}, {14, 2}, {16, 50}, {18, 16}}}},
         "ts 5: enableDTX() failed (result=-5)"},
        {"CDMA_DTX off", [](TestChannel& c) { return c.enableDTX(false, 1, 12, 32); }, {{0x81EA, 12, 10, {{8, 0}}}},
         "enableDTX() failed"},
        {"AGCSET", [](TestChannel& c) { return c.send_AGCSET(true, false); },
         {{0x80D1, 24, 22,
           {{8, 0xC1}, {10, 0x98}, {12, 0x98}, {14, 0x140}, {16, 0xFEC0}, {18, 0x140}, {20, 0xFEC0}}}},
         "ts 5: send_AGCSET() failed"},
        {"DGAIN", [](TestChannel& c) { return c.set_tdm_gain(-3.5f, 2.56f); },
         {{0x8005, 12, 12, {{8, 0xFFDD}, {10, 25}}}}, "ts 5: set_tdm_gain() failed"},
        {"DGAIN out of range",
         [](TestChannel& c) { return c.set_tdm_gain(std::nanf(""), -1e30f); },
         {{0x8005, 12, 12, {{8, 0}, {10, 0x8000}}}}, "set_tdm_gain() failed"},
        {"CNRTYCODE", [](TestChannel& c) { return c.setCountryCode(7); },
         {{0x805A, 20, 18, {{8, 7}, {10, 7}, {14, 7}, {16, 7}}}}, "ts 5: setCountryCode() failed"},
        {"ECHOCAN", [](TestChannel& c) { return c.set_EC(true); }, {{0x8006, 12, 10, {{8, 0x800F}}}},
         "ts 5: set_EC(ECHOCAN) failed (result=-5)"},
        {"ECHOCAN kept off",
         [](TestChannel& c) {
             c.channelFlags = 0x08;
             return c.applyEchoCanceller(true);
         },
         {{0x8006, 12, 10, {{8, 0}}}}, "set_EC(ECHOCAN) failed"},
        {"SIGDET", [](TestChannel& c) { return c.enableSignalDetection(3); },
         {{0x8006, 12, 10, {{8, 0}}}, {0x8000, 12, 10, {{8, 7}}}, {0x805D, 12, 10, {{8, 0x1800}}}},
         "ts 5: SIGDET failed (result=-5)"},
        {"TONECTRL", [](TestChannel& c) { return c.send_TONECTRL(0x17); }, {{0x805B, 20, 18, {{8, 0x17}}}},
         "ts 5: send_TONECTRL() failed"},
        {"SIGNALING_ENABLE", [](TestChannel& c) { return c.setSignalingMode(1); }, {{0x80B3, 12, 10, {{8, 1}}}},
         "ts 5: setSignalingMode() failed"},
        {"SUPVSR_DESTROY_CHANNEL", [](TestChannel& c) { return c.destroyConnection(); },
         {{0x0011, 12, 10, {{8, 0}}, {}, MSP_CLASS_COMMAND, MSP_DEVICE_CHANNEL_ID}},
         "ts 5: FC_SUPVSR_DESTROY_CHANNEL failed (result=-5)"},
    };
    for (bool refused : {false, true}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (refused ? " refused" : ""));
            sim->clear_faults();
            TearDown();
            SetUp();
            int id = channel->channelId;
            logs.clear();
            if (refused)
                sim->add_fault({MspSimFault::Status, -1, -1, 0x0005});
            int result = row.call(*channel);
            auto log = sent();
            if (!refused) {
                // Expectations naming w8 = channelId fill it in here.
                std::vector<Expect> expect = row.expect;
                for (auto& e : expect)
                    if (e.fc == 0x0011)
                        e.words = {{8, static_cast<uint16_t>(id)}};
                check({row.name, row.call, expect, row.failure}, log);
                EXPECT_EQ(result, row.result);
                EXPECT_EQ(logs.count("failed"), 0u);
            } else {
                EXPECT_EQ(log.size(), row.expect.size());
                EXPECT_TRUE(logs.contains(row.failure));
                if (row.alwaysZero)
                    EXPECT_EQ(result, 0);
                else
                    EXPECT_EQ(result, -5);
            }
        }
    }
}

// Values the media processor accepted are kept; refused ones are not.
TEST_F(ChannelCommandsTest, AcceptedValuesAreStored)
{
    EXPECT_EQ(channel->setCountryCode(7), 0);
    EXPECT_EQ(channel->send_TONECTRL(0x16), 0);
    EXPECT_EQ(channel->setSignalingMode(3), 0);
    EXPECT_EQ(channel->setConnIpMode(AF_INET6), 0);
    EXPECT_EQ(channel->setChannelMode(2, 1), 0);
    EXPECT_TRUE(channel->playRecordMode);
    sim->add_fault({MspSimFault::Status, -1, -1, 0x0005});
    channel->setCountryCode(9);
    channel->send_TONECTRL(1);
    channel->setSignalingMode(0);
    channel->setConnIpMode(AF_INET);
    channel->setChannelMode(0, 1);
    EXPECT_EQ(channel->countryCode, 7);
    EXPECT_EQ(channel->toneControl, 0x16);
    EXPECT_EQ(channel->signalingMode, 3);
    EXPECT_EQ(channel->ipMode, AF_INET6);
    EXPECT_TRUE(channel->playRecordMode);
    // PTDOPT values are kept whether or not they were sent
    channel->setPTDOPT(700, 1, 800, 2);
    EXPECT_EQ(channel->ptdParams[2], 800);
}

// Commands that need a voice connection, and what happens without any.
TEST_F(ChannelCommandsTest, ConnectionPreconditions)
{
    channel->connectionType = MSP_CONN_T38;
    EXPECT_EQ(channel->set_loopback(1), -1);
    EXPECT_EQ(channel->ss7cot(1), -1);
    EXPECT_EQ(channel->setVoiceChannelMode(2, 1), -1);
    EXPECT_EQ(channel->setVoiceChannelMode(0, 1), 0);
    EXPECT_EQ(channel->applyTdmGain(1, 1), 0);
    EXPECT_EQ(channel->applyAGC(true, true), 0);
    EXPECT_EQ(channel->setPTDOPT(600, 0, 1000, 0), 0);
    EXPECT_TRUE(logs.contains("ts 5: setPTDOPT(): tdmfreq (600) is out of range"));
    EXPECT_FALSE(logs.contains("ipfreq"));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(logs.count("failed"), 0u);

    EXPECT_EQ(channel->setConnIpMode(3), -1);
    EXPECT_TRUE(logs.contains("ts 5: setConnIpMode(): unsupported address family 3"));
    sockaddr_storage none{};
    EXPECT_EQ(channel->SetConnIpParams(0, none, none, 1, 1), -1);
    EXPECT_TRUE(logs.contains("ts 5: SetConnIpParams(): unsupported address family 0"));
    EXPECT_EQ(channel->setSrtpKey(2, std::string(29, 'k')), -1);
    EXPECT_TRUE(sent().empty());

    TestChannel idle(9);
    EXPECT_EQ(idle.setCAS(1), -1);
    EXPECT_TRUE(logs.contains("ts 9: PassThru(): invalid channelId (-1)"));
    EXPECT_TRUE(logs.contains("ts 9: setCAS() failed (result=-1)"));
    EXPECT_EQ(idle.stopCallerId(), -1);   // never to the device's channel id
    EXPECT_TRUE(logs.contains("ts 9: CND_STOP failed (result=-1)"));
    EXPECT_EQ(idle.getSrtpStateIfConnected(), 0);
    EXPECT_EQ(idle.destroyConnection(), 0);
    EXPECT_TRUE(sent().empty());
}

TEST_F(ChannelCommandsTest, JitterBufferPresets)
{
    const int presets[8][4] = {{0, 200, 0, 10000},     {10, 10, 10, 10000},   {20, 20, 20, 10000},
                               {50, 50, 50, 10000},    {100, 100, 100, 10000}, {200, 200, 200, 10000},
                               {0, 50, 20, 1000},      {60, 200, 100, 10000}};
    for (int p = 0; p < 8; p++) {
        SCOPED_TRACE(p);
        channel->channelFlags = 0xF0u | static_cast<uint32_t>(p);
        ASSERT_EQ(channel->sendJBOpt(), 0);
        auto log = sent();
        ASSERT_EQ(log.size(), 1u);
        const uint8_t* m = log[0].bytes.data();
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(msp_get_u16(m, static_cast<size_t>(8 + 2 * i)), presets[p][i]);
        EXPECT_EQ(msp_get_u16(m, 16), 0);
        EXPECT_EQ(msp_get_u16(m, 18), 500);
    }
}

TEST_F(ChannelCommandsTest, PayloadMapsKeepOneCodecPerPayload)
{
    TestChannel& c = *channel;
    EXPECT_EQ(c.setPayloadType(5, 0, 8), 0);
    EXPECT_EQ(c.setPayloadType(4, 0, 0), 0);
    EXPECT_EQ(c.getTxPayloadType(5), 255);
    EXPECT_EQ(c.getRxPayloadType(5), 8);
    EXPECT_EQ(c.getTxPayloadType(4), 0);
    EXPECT_EQ(c.rxPayloadMap[4], 255);
    EXPECT_EQ(c.getRxPayloadType(4), 0);
    // a receive number moves to the codec that takes it
    EXPECT_EQ(c.setPayloadType(8, 18, 8), 0);
    EXPECT_EQ(c.rxPayloadMap[5], 255);
    EXPECT_EQ(c.getRxPayloadType(8), 8);
    // 255 clears nothing else
    EXPECT_EQ(c.setPayloadType(9, 255, 255), 0);
    EXPECT_EQ(c.getTxPayloadType(4), 0);
    EXPECT_EQ(c.setPayloadType(56, 1, 1), -1);
    EXPECT_TRUE(logs.contains("ts 5: setPayloadType(): invalid codec number 56"));
    EXPECT_EQ(c.getTxPayloadType(56), 255);
    EXPECT_TRUE(sent().empty());
}

TEST(MspCodecTableTest, LookupByNameWithOctetAlignedAmr)
{
    struct Row {
        const char* name;
        uint32_t amrFlags;
        int codec, frame, maxPtime;
    };
    const Row rows[] = {
        {"PCMU", 0, 4, 5, 60},   {"PCMA", 0, 5, 5, 60},     {"G722", 0, 48, 20, 20},  {"G723", 0, 6, 30, 90},
        {"G729", 0, 8, 10, 60},  {"iLBC", 0, 29, 30, 240},  {"AMR", 0xFF, 31, 20, 80}, {"AMR", 0x4FF, 19, 20, 80},
        {"EVRC0", 0, 20, 20, 440}, {"EVRCB0", 0, 32, 20, 440}, {"G7291", 0, 45, 20, 120}, {"RAW", 0x400, 12, 5, 60},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const MspCodec* c = msp_codec_find(r.name, r.amrFlags);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->codec, r.codec);
        EXPECT_EQ(c->frameMs, r.frame);
        EXPECT_EQ(c->maxPtimeMs, r.maxPtime);
    }
    EXPECT_EQ(msp_codec_find("pcmu", 0), nullptr);
    EXPECT_EQ(msp_codec_find("G711", 0), nullptr);

    TestChannel c(1);
    c.rtp.codec = "G711";
    c.rtp.tx_pt = c.rtp.rx_pt = 96;
    EXPECT_EQ(c.selectVoiceCodec(), 4);
    EXPECT_EQ(c.rtp.codec, "PCMU");
    EXPECT_EQ(c.rtp.tx_pt, 0);
    EXPECT_EQ(c.rtp.rx_pt, 0);
}

TEST_F(ChannelCommandsTest, HdlcFramesGoOutInPieces)
{
    TestChannel hdlc(30);
    ASSERT_GE(test_open_connection(hdlc, MSP_CONN_HDLC), 0);
    sent();
    std::vector<uint8_t> frame(500);
    for (size_t i = 0; i < frame.size(); i++)
        frame[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(hdlc.sendHtdm(frame.data(), 500), 0);
    auto log = sent();
    ASSERT_EQ(log.size(), 3u);
    const int lengths[] = {252, 252, 24}, datas[] = {240, 244, 16};
    size_t at = 0;
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log[i].fc, i == 2 ? 0x9403 : 0x9402);
        EXPECT_EQ(log[i].bytes[0], lengths[i]);
        EXPECT_EQ(log[i].bytes.size(), msp_round4(static_cast<size_t>(lengths[i])));
        int header = i == 0 ? 12 : 8;
        if (i == 0) {
            EXPECT_EQ(msp_get_u32(log[i].bytes.data(), 8), 5u);
        }
        EXPECT_TRUE(std::equal(frame.begin() + static_cast<long>(at), frame.begin() + static_cast<long>(at) + datas[i],
                               log[i].bytes.begin() + header));
        at += static_cast<size_t>(datas[i]);
    }
    ASSERT_EQ(hdlc.sendHtdm(frame.data(), 240), 0);
    log = sent();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].fc, 0x9403);
    EXPECT_EQ(log[0].bytes[0], 252);
    EXPECT_EQ(hdlc.sendHtdm(frame.data(), 0), 0);
    EXPECT_EQ(hdlc.sendHtdm(frame.data(), -3), 0);
    EXPECT_TRUE(sent().empty());

    MspSimChannel state;
    ASSERT_TRUE(sim->channel(static_cast<uint16_t>(hdlc.channelId), state));
    ASSERT_EQ(state.hdlc_frames.size(), 2u);
    EXPECT_EQ(state.hdlc_frames[0], frame);
    EXPECT_EQ(state.hdlc_frames[1], std::vector<uint8_t>(frame.begin(), frame.begin() + 240));

    // the first refused piece ends the frame
    sim->add_fault({MspSimFault::Status, 0x9402, -1, 0x0005});
    EXPECT_EQ(hdlc.sendHtdm(frame.data(), 500), -5);
    EXPECT_EQ(sent().size(), 1u);
    EXPECT_TRUE(logs.contains("ts 30: sendHtdm() failed (result=-5)"));
}

// What the simulator decodes from the headers matches what was meant.
TEST_F(ChannelCommandsTest, SimulatorSeesTheHeaders)
{
    TestChannel& c = *channel;
    ASSERT_EQ(c.set_eth_hdr_chan(SRC_MAC, DST_MAC, false, false), 0);
    ASSERT_EQ(c.SetConnIpParams(0, address("10.0.0.2", 5004), address("192.168.7.9", 6000), 64, 46), 0);
    ASSERT_EQ(c.SetConnIpParams(1, address("fd00::2", 10010), address("2001:db8::9", 7078), 9, 46), 0);
    MspSimChannel state;
    ASSERT_TRUE(sim->channel(static_cast<uint16_t>(c.channelId), state));
    EXPECT_EQ(state.eth[1].dst, "00:1b:21:aa:bb:cc");
    EXPECT_EQ(state.eth[1].src, "02:11:22:33:44:55");
    EXPECT_EQ(state.eth[1].ethertype, 0x0800);
    EXPECT_EQ(state.ip[0].src, "10.0.0.2");
    EXPECT_EQ(state.ip[0].dst, "192.168.7.9");
    EXPECT_EQ(state.ip[0].src_port, 5004);
    EXPECT_EQ(state.ip[0].dst_port, 6000);
    EXPECT_EQ(state.ip[0].ttl, 64);
    EXPECT_EQ(state.ip[0].dscp, 46);
    EXPECT_EQ(state.ip[1].version, 6);
    EXPECT_EQ(state.ip[1].dst, "2001:db8::9");
    EXPECT_EQ(state.ip[1].src_port, 10011);
    EXPECT_EQ(state.ip[1].dst_port, 7079);
    EXPECT_EQ(state.ip[1].ttl, 9);
}

TEST_F(ChannelCommandsTest, TeardownForgetsTheConnection)
{
    TestChannel& c = *channel;
    int id = c.channelId;
    c.playRecordMode = true;
    c.tonePlaying = true;
    c.ipMode = AF_INET;
    c.secure.set(true);
    EXPECT_EQ(msp_channel_timeslot[id], 5);
    ASSERT_EQ(c.destroyConnection(), 0);
    auto log = sent();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].fc, 0x9400);   // back to the normal channel mode first
    EXPECT_EQ(log[1].fc, 0x0011);
    EXPECT_EQ(c.channelId, -1);
    EXPECT_EQ(c.ipMode, 0);
    EXPECT_FALSE(c.tonePlaying);
    EXPECT_FALSE(c.secure.get());
    EXPECT_EQ(msp_open_connections, 0);
    EXPECT_EQ(msp_channel_timeslot[id], MSP_CHANNEL_UNMAPPED);
    EXPECT_EQ(sim->channel_of_timeslot(5), -1);
    EXPECT_EQ(c.destroyConnection(), 0);
    EXPECT_TRUE(sent().empty());
}

TEST_F(ChannelCommandsTest, ConferenceFocusAndParticipants)
{
    // Conference ids are numbered apart from channel ids (from 1 in the
    // simulator): the focus gets the id of this timeslot channel's connection,
    // whose indications must still reach timeslot 6.
    TestChannel six(6);
    ASSERT_EQ(test_open_connection(six), 1);
    TestChannel focus(0xFFFF);
    ASSERT_EQ(focus.createConference(), 0);
    int conference = focus.channelId;
    ASSERT_EQ(conference, six.channelId);
    EXPECT_EQ(focus.timeslot, conference + 2000);
    EXPECT_EQ(msp_channel_timeslot[conference], 6);
    EXPECT_EQ(msp_open_connections, 3);
    // nor do the focus's channel commands reach that channel
    sent();
    JsonValue settings;
    settings["rx-gain"].setString("2.5");
    settings["rtp-ttl"].kind = JSON_INTEGER;
    settings["rtp-ttl"].integer = 5;
    settings["jbmax"].kind = JSON_INTEGER;
    settings["jbmax"].integer = 300;
    focus.setSettings(settings);
    EXPECT_EQ(focus.applyEchoCanceller(true), 0);
    EXPECT_EQ(focus.setCAS(1), -1);
    EXPECT_TRUE(logs.contains("PassThru(): invalid channelId (" + std::to_string(conference) + ")"));
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(focus.createConference(), -1);
    EXPECT_TRUE(logs.contains("createConference(): channelId != -1 (already created?)"));

    // the channel's own connection is replaced by a participant bound to its timeslot
    channel->destroyConnection();
    channel->rtp.codec = "PCMA";
    channel->rtp.tx_pt = channel->rtp.rx_pt = 8;
    channel->rtp.srtp_local_key = std::string(30, 'L');
    channel->rtp.srtp_remote_key = std::string(30, 'R');
    sent();
    ASSERT_EQ(channel->createConferenceParticipant(1, conference), 0);
    auto log = sent();
    std::vector<uint16_t> fcs;
    for (const auto& m : log)
        fcs.push_back(m.fc);
    EXPECT_EQ(fcs, (std::vector<uint16_t>{0x9312, 0x8018, 0x802C, 0x8001, 0x8200, 0x8201, 0x8201}));   // 0x8001: voice options
    EXPECT_EQ(msp_get_u16(log[0].bytes.data(), 8), 1);
    EXPECT_EQ(msp_get_u16(log[0].bytes.data(), 10), 5);
    EXPECT_EQ(msp_get_u16(log[0].bytes.data(), 12), conference);
    EXPECT_EQ(channel->connectionType, MSP_CONN_PARTICIPANT);
    EXPECT_EQ(channel->timeslot, channel->channelId + 1000);
    EXPECT_EQ(msp_channel_timeslot[channel->channelId], channel->timeslot);
    EXPECT_TRUE(channel->secure.get());
    EXPECT_EQ(channel->getTxPayloadType(5), 8);
    MspSimChannel state;
    ASSERT_TRUE(sim->channel(static_cast<uint16_t>(channel->channelId), state));
    EXPECT_EQ(state.conference, conference);
    EXPECT_EQ(state.srtp_keys[SRTP_KEY_LOCAL], hex(std::vector<uint8_t>(30, 'L')));
    EXPECT_EQ(state.srtp_keys[SRTP_KEY_REMOTE], hex(std::vector<uint8_t>(30, 'R')));
    EXPECT_TRUE(state.srtp_active);
    EXPECT_EQ(channel->getSrtpState(), 1);
    sent();

    int participant = channel->channelId;
    EXPECT_EQ(channel->destroyConferenceParticipant(conference), 0);
    log = sent();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].fc, 0x8000);
    EXPECT_EQ(log[0].channelId, participant);
    EXPECT_EQ(log[0].bytes[0], 10);
    EXPECT_EQ(log[1].fc, 0x9313);
    EXPECT_EQ(log[1].bytes[0], 12);
    EXPECT_EQ(msp_get_u16(log[1].bytes.data(), 8), participant);
    EXPECT_EQ(msp_get_u16(log[1].bytes.data(), 10), conference);
    EXPECT_EQ(channel->channelId, -1);
    EXPECT_EQ(msp_channel_timeslot[participant], MSP_CHANNEL_UNMAPPED);

    EXPECT_EQ(channel->destroyConferenceParticipant(conference), 0);   // nothing left to destroy

    EXPECT_EQ(focus.destroyConference(), 0);
    log = sent();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].fc, 0x9311);
    EXPECT_EQ(msp_get_u16(log[0].bytes.data(), 8), conference);
    EXPECT_EQ(focus.channelId, -1);
    EXPECT_EQ(msp_open_connections, 1);
    EXPECT_EQ(msp_channel_timeslot[conference], 6);

    // refusals
    TestChannel other(7);
    EXPECT_EQ(other.createConferenceParticipant(1, 77), -1);
    EXPECT_TRUE(logs.contains("createConferenceParticipant() failed (result=-5)"));
    EXPECT_EQ(other.channelId, -1);
    EXPECT_EQ(focus.destroyConference(), 0);
    EXPECT_TRUE(sent().size() == 1u);   // the refused participant only

    auto focus2 = std::make_unique<TestChannel>(0xFFFF);
    ASSERT_EQ(focus2->createConference(), 0);
    ASSERT_EQ(other.createConferenceParticipant(0, focus2->channelId), 0);
    TestChannel eight(8);
    ASSERT_EQ(test_open_connection(eight), focus2->channelId);
    sent();
    sim->add_fault({MspSimFault::Status, -1, -1, 0x0005});
    EXPECT_EQ(other.destroyConferenceParticipant(focus2->channelId), -5);
    EXPECT_TRUE(logs.contains(": FC_VOPENA failed (result=-5)"));
    EXPECT_TRUE(logs.contains(": FC_CONF_DESTROY_PARTICIPANT failed (result=-5)"));
    EXPECT_EQ(sent().size(), 2u);   // the destroy goes out after the refused VOPENA
    EXPECT_GE(other.channelId, 0);
    EXPECT_EQ(focus2->destroyConference(), -5);
    EXPECT_TRUE(logs.contains(": FC_CONF_DESTROY_CONFERENCE failed (result=-5)"));
    EXPECT_EQ(focus2->channelId, eight.channelId);
    sim->clear_faults();
    sent();

    // A focus deleted with its conference still up destroys the conference,
    // not the MSP channel that happens to have the same number.
    focus2.reset();
    log = sent();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].fc, 0x9311);
    EXPECT_EQ(msp_get_u16(log[0].bytes.data(), 8), eight.channelId);
    EXPECT_TRUE(sim->channel(static_cast<uint16_t>(eight.channelId), state));
    EXPECT_EQ(msp_channel_timeslot[eight.channelId], 8);
}

TEST(LineSignalTest, OneFpgaWriteWithTheDurationInEightMsUnits)
{
    FpgaSimulator fpga;
    fpga.setConfigured(true);
    spi_set_opener(fpga.opener());
    fpgaSpi.close();
    TestChannel c(17);
    EXPECT_TRUE(c.sendLineSignal(100, 3));
    EXPECT_TRUE(c.sendLineSignal(0, 15));
    std::vector<FpgaSimAccess> w = fpga.writes();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].reg, 0x211u);
    EXPECT_EQ(w[0].data, std::vector<uint8_t>{0x3D});
    EXPECT_EQ(w[1].data, std::vector<uint8_t>{0xF0});
    std::vector<FpgaSimPulse> p = fpga.pulses();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].timeslot, 17);
    EXPECT_EQ(p[0].value, 3);
    EXPECT_EQ(p[0].duration_ms, 104);
    EXPECT_EQ(p[1].value, 15);
    EXPECT_EQ(p[1].duration_ms, 0);

    fpga.failTransfers(1, EIO, 0x211);
    LogCapture logs;
    EXPECT_FALSE(c.sendLineSignal(100, 3));
    EXPECT_TRUE(logs.contains("ts 17: sendLineSignal(): SPI transfer failed"));
    fpgaSpi.close();
    spi_set_opener(nullptr);
}

}  // namespace
