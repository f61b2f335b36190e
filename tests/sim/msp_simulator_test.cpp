// The simulated media processor as the daemon sees it: answers with data,
// per-channel state, automatic indications, paced playback, and the
// standalone program driven through its control socket.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "msp/msp_protocol.h"
#include "msp/msp_transaction.h"
#include "support/msp_sim_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::pair<uint16_t, uint16_t>> indications;   // fc, channelId

void collect(const uint8_t* m, int, uint16_t channelId) { indications.emplace_back(msp_message_fc(m), channelId); }

size_t seen(uint16_t fc)
{
    size_t n = 0;
    for (auto& i : indications)
        n += i.first == fc;
    return n;
}

int command(uint16_t channelId, MspMessage m, uint8_t* response = nullptr)
{
    uint8_t buffer[256];
    int length = 256;
    return DEV_PassThru(channelId, m.data(), m.size(), response ? response : buffer, &length);
}

int create_channel(int type, int ts)
{
    uint8_t r[256];
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, 0x0010, 4);
    m.u16(8, static_cast<uint16_t>(type)).u16(10, static_cast<uint16_t>(ts));
    return command(MSP_DEVICE_CHANNEL_ID, m, r) == 0 ? msp_get_u16(r, 10) : -1;
}

class MspSimulatorTest : public ::testing::Test, public MspSimFixture {
protected:
    MspSimulatorTest()
    {
        indications.clear();
        msp_set_indication_handler(collect);
    }
};

TEST_F(MspSimulatorTest, ChannelStateFollowsCommands)
{
    int id = create_channel(2, 3);
    ASSERT_GE(id, 0);
    uint16_t ch = static_cast<uint16_t>(id);
    MspMessage voice(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x8000, 14);
    voice.u16(8, 1).u8(10, 0x80).u8(11, 8).u32(18, 0x12345678);
    EXPECT_EQ(command(ch, voice), 0);
    MspMessage cas(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x80B5, 2);
    cas.u16(8, 0x55);
    EXPECT_EQ(command(ch, cas), 0);
    MspMessage gain(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x8005, 4);
    gain.u16(8, static_cast<uint16_t>(-30)).u16(10, 20);
    EXPECT_EQ(command(ch, gain), 0);

    MspSimChannel c;
    ASSERT_TRUE(sim->channel(ch, c));
    EXPECT_EQ(c.timeslot, 3);
    EXPECT_EQ(c.voice_mode, 1);
    EXPECT_EQ(c.tx_pt, 8);
    EXPECT_EQ(c.ssrc, 0x12345678u);
    EXPECT_EQ(c.cas_tx, 5);
    EXPECT_EQ(c.rx_gain, -30);
    EXPECT_EQ(c.tx_gain, 20);

    MspMessage rtcp(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x9000, 30);
    const uint8_t ipv4[20] = {0x45, 46 << 2, 0, 0, 0, 0, 0x40, 0, 64, 17, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2};
    const uint8_t udp[4] = {0x27, 0x1B, 0x4E, 0x21};   // 10011 -> 20001
    rtcp.u8(8, 1).u8(9, 1).bytes(10, ipv4, 20).bytes(30, udp, 4);
    EXPECT_EQ(command(ch, rtcp), 0);
    MspMessage eth(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x9010, 16);
    const uint8_t macs[14] = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 0x08, 0x00};
    eth.u16(8, 1).bytes(10, macs, 14);
    EXPECT_EQ(command(ch, eth), 0);
    MspMessage key(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x8201, 72);
    uint8_t material[30];
    for (int i = 0; i < 30; ++i)
        material[i] = static_cast<uint8_t>(i);
    key.u16(8, 2 << 10).bytes(32, material, 30);
    EXPECT_EQ(command(ch, key), 0);

    auto state = sim->state()["channels"][0];
    EXPECT_EQ(state["last"]["VOPENA"], "0100800800000000000078563412");
    EXPECT_EQ(state["ip"]["rtcp"]["src"], "10.0.0.1");
    EXPECT_EQ(state["ip"]["rtcp"]["dst"], "10.0.0.2");
    EXPECT_EQ(state["ip"]["rtcp"]["src_port"], 10011);
    EXPECT_EQ(state["ip"]["rtcp"]["dst_port"], 20001);
    EXPECT_EQ(state["ip"]["rtcp"]["dscp"], 46);
    EXPECT_EQ(state["ip"]["rtcp"]["ttl"], 64);
    EXPECT_EQ(state["eth"]["1"]["dst"], "02:00:00:00:00:02");
    EXPECT_EQ(state["eth"]["1"]["ethertype"], 0x0800);
    EXPECT_EQ(state["srtp_keys"]["2"], "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d");
    MspMessage removeEth(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x9010, 2);
    removeEth.u16(8, 0x8001);
    EXPECT_EQ(command(ch, removeEth), 0);
    EXPECT_TRUE(sim->state()["channels"][0]["eth"].empty());

    // commands to a channel the device does not hold are refused
    EXPECT_LT(command(static_cast<uint16_t>(ch + 1), cas), 0);

    MspMessage destroy(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, 0x0011, 2);
    destroy.u16(8, ch);
    EXPECT_EQ(command(MSP_DEVICE_CHANNEL_ID, destroy), 0);
    EXPECT_FALSE(sim->channel(ch, c));
}

TEST_F(MspSimulatorTest, PlantedChannelsAnswerTheTimeslotQuery)
{
    sim->plant_channel(9, 42);
    MspMessage q(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, 0x0010, 2);
    uint8_t r[256];
    q.u16(8, 9);
    ASSERT_EQ(command(MSP_DEVICE_CHANNEL_ID, q, r), 0);
    EXPECT_EQ(msp_get_u16(r, 8), 42);
    q.u16(8, 10);
    ASSERT_EQ(command(MSP_DEVICE_CHANNEL_ID, q, r), 0);
    EXPECT_EQ(msp_get_u16(r, 8), 0xFFFF);
    EXPECT_EQ(create_channel(2, 9), -1);   // the timeslot is taken

    // MDIO answers as a query: status at w8, value at w16
    sim->control(R"({"cmd":"set","phy":[13,2,"0x0141"]})");
    MspMessage read(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, 0x9331, 8);
    read.u16(10, 13).u16(12, 2);
    ASSERT_EQ(command(MSP_DEVICE_CHANNEL_ID, read, r), 0);
    EXPECT_EQ(r[2], MSP_CLASS_QUERY_RESPONSE);
    EXPECT_EQ(msp_get_u16(r, 16), 0x0141);
}

TEST_F(MspSimulatorTest, AutomaticIndications)
{
    uint16_t ch = static_cast<uint16_t>(create_channel(2, 4));
    MspMessage burst(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x8009, 32);
    burst.u16(8, 0x0000).u16(32, 10).u16(34, 10);   // one 10/10 ms burst
    EXPECT_EQ(command(ch, burst), 0);
    MspMessage dialTone(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x8009, 32);
    dialTone.u16(8, 0xFF00).u16(24, 425).u16(26, 161).u16(32, 60000);
    uint16_t other = static_cast<uint16_t>(create_channel(2, 5));
    EXPECT_EQ(command(other, dialTone), 0);

    MspMessage cid(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x8039, 2 + 2 + 3 + 2 + 3);
    cid.u16(8, 0x8000).bytes(10, "\x02\x03" "123" "\x07\x03" "Bob", 10);
    EXPECT_EQ(command(ch, cid), 0);

    sim->set_heartbeat(15, 0x7FFB);
    MspMessage on(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, 0x040F, 6);
    on.u16(8, 1).u16(12, 4);
    EXPECT_EQ(command(MSP_DEVICE_CHANNEL_ID, on), 0);

    ASSERT_TRUE(pump([] { return seen(0x8010) && seen(0x803D) && seen(0x040F) >= 2; }));
    MspSimChannel c;
    sim->channel(ch, c);
    EXPECT_EQ(c.cid_number, "123");
    EXPECT_EQ(c.cid_name, "Bob");
    EXPECT_FALSE(c.tone_playing);
    sim->channel(other, c);
    EXPECT_TRUE(c.tone_playing);   // a continuous tone never completes
    EXPECT_EQ(c.tone.freq1, 425);
    for (auto& i : indications) {
        if (i.first == 0x8010) {
            EXPECT_EQ(i.second, ch);
        }
    }

    MspMessage off(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, 0x040F, 6);
    EXPECT_EQ(command(MSP_DEVICE_CHANNEL_ID, off), 0);
    pump_for(20);
    size_t beats = seen(0x040F);
    pump_for(60);
    EXPECT_EQ(seen(0x040F), beats);
}

TEST_F(MspSimulatorTest, PlayBlocksArePacedAtTheRealRate)
{
    uint16_t ch = static_cast<uint16_t>(create_channel(2, 6));
    MspMessage mode(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x9400, 4);
    mode.u16(8, 0x0502).u16(10, 0x0501);
    EXPECT_EQ(command(ch, mode), 0);
    auto start = Clock::now();
    for (int i = 0; i < 10; ++i) {
        MspMessage block(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x9403, 12 + 160 - 8 + 8);
        block.u16(12, static_cast<uint16_t>(i * 160)).u16(16, 1).u16(18, 160);
        ASSERT_EQ(command(ch, block), 0);
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    // 200 ms of audio; the simulator answers up to 60 ms ahead of play-out
    EXPECT_GE(ms, 100);
    MspMessage drain(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x9405, 2);
    EXPECT_EQ(command(ch, drain), 0);
    ASSERT_TRUE(pump([] { return seen(0x9406) == 1; }));
    MspSimChannel c;
    sim->channel(ch, c);
    EXPECT_EQ(c.play_bytes, 1600u);
    ASSERT_EQ(c.play_offsets.size(), 10u);
    EXPECT_EQ(c.play_offsets[9], 1440u);
}

TEST_F(MspSimulatorTest, ControlRequestsInjectAndReport)
{
    struct {
        const char* request;
        uint16_t fc;
    } cases[] = {
        {R"({"cmd":"inject","kind":"cas","timeslot":3,"abcd":9})", 0x0420},
        {R"({"cmd":"inject","kind":"dtmf","channel":1,"tone":5})", 0x800D},
        {R"({"cmd":"inject","kind":"cid","channel":1,"number":"5551234","name":"Ann"})", 0x80AD},
        {R"({"cmd":"inject","kind":"alert","type":2,"action":1})", 0x0000},
        {R"({"cmd":"inject","kind":"hdlc","channel":1,"hex":"0102030405"})", 0x9403},
        {R"({"cmd":"inject","fc":"0x80D4","channel":1,"words":[1,2,3]})", 0x80D4},
        {R"({"cmd":"inject","kind":"vinfo","channel":1,"received":99})", 0x801C},
    };
    for (auto& c : cases) {
        EXPECT_EQ(sim->control(c.request), R"({"ok":true})") << c.request;
        ASSERT_TRUE(pump([&] { return seen(c.fc) == 1; })) << c.request;
    }
    EXPECT_NE(sim->control(R"({"cmd":"inject","kind":"nonsense"})").find("\"ok\":false"), std::string::npos);
    EXPECT_NE(sim->control("not json").find("\"ok\":false"), std::string::npos);
    EXPECT_NE(sim->control(R"({"cmd":"fault","kind":"status","fc":"0x12x"})").find("\"ok\":false"),
              std::string::npos);
}

// Sends count DEVICE_TYPE queries straight to the simulator, in batches the
// socket queue holds, and counts the answers.
int answered(int count)
{
    MspAddress a = msp_address_make(0);
    msp_address_set_channel(a, MSP_DEVICE_CHANNEL_ID);
    int answers = 0;
    for (int sent = 0; sent < count;) {
        int batch = std::min(50, count - sent);
        for (int i = 0; i < batch; i++, sent++) {
            MspMessage m(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, 0x0031, 0);
            m.data()[1] = static_cast<uint8_t>(sent);
            if (msp_socket_send(msp_socket, a.bytes, m.data(), static_cast<size_t>(m.size())) != 0)
                return -1;
        }
        // The simulator answers at once; a quiet 100 ms ends the batch.
        pollfd p{msp_socket.load(), POLLIN, 0};
        while (poll(&p, 1, 100) > 0) {
            uint8_t buffer[256];
            uint8_t from[MSP_SOCKET_ADDRESS_SIZE];
            while (msp_socket_recv(msp_socket, buffer, sizeof buffer, from) > 0)
                answers++;
        }
    }
    return answers;
}

TEST_F(MspSimulatorTest, TheDropFaultHitsWithItsProbability)
{
    struct {
        const char* fault;
        int low, high;   // answers of 400
    } cases[] = {
        {R"({"cmd":"fault","kind":"drop","fc":"0x0031"})", 0, 0},
        {R"({"cmd":"fault","kind":"drop","fc":"0x0031","probability":1})", 0, 0},
        {R"({"cmd":"fault","kind":"drop","fc":"0x0031","probability":0.5})", 140, 260},
        {R"({"cmd":"fault","kind":"drop","fc":"0x0031","probability":0.1})", 320, 395},
        {R"({"cmd":"fault","kind":"drop","fc":"0x0031","probability":0})", 400, 400},
        {R"({"cmd":"fault","kind":"drop","fc":"0x0031","probability":0.5,"count":30})", 370, 370},
    };
    for (auto& c : cases) {
        ASSERT_EQ(sim->control(c.fault), R"({"ok":true})") << c.fault;
        int n = answered(400);
        EXPECT_GE(n, c.low) << c.fault;
        EXPECT_LE(n, c.high) << c.fault;
        sim->clear_faults();
    }
    for (const char* bad : {"1.5", "-0.1", "\"half\""})
        EXPECT_NE(sim->control(std::string(R"({"cmd":"fault","kind":"drop","probability":)") + bad + "}")
                      .find("\"ok\":false"),
                  std::string::npos)
            << bad;
}

// The standalone program, reached by the daemon's transport through
// LINEGW_SIM_MSP and driven over its control socket.
class StandaloneSimulator {
public:
    StandaloneSimulator()
    {
        char tmpl[] = "/tmp/linegw-sim-XXXXXX";
        dir = mkdtemp(tmpl);
        msp = dir + "/msp.sock";
        ctl = dir + "/control.sock";
        pid = fork();
        if (pid == 0) {
            execl(LINEGW_SIM_BIN, "linegw-sim", "--msp", msp.c_str(), "--control", ctl.c_str(), nullptr);
            _exit(127);
        }
    }
    ~StandaloneSimulator()
    {
        if (control_fd >= 0)
            close(control_fd);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        unlink(msp.c_str());
        unlink((msp + MSP_SIM_DAEMON_SUFFIX).c_str());
        unlink(ctl.c_str());
        rmdir(dir.c_str());
    }
    bool connect_control()
    {
        for (int i = 0; i < 200; ++i) {
            control_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            strcpy(a.sun_path, ctl.c_str());
            if (connect(control_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                return true;
            close(control_fd);
            control_fd = -1;
            usleep(10000);
        }
        return false;
    }
    nlohmann::json request(const std::string& line)
    {
        std::string out = line + "\n";
        if (write(control_fd, out.data(), out.size()) != static_cast<ssize_t>(out.size()))
            return {};
        std::string reply;
        char c;
        while (read(control_fd, &c, 1) == 1 && c != '\n')
            reply += c;
        return nlohmann::json::parse(reply);
    }
    int terminate()
    {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }

    std::string dir, msp, ctl;
    pid_t pid = -1;
    int control_fd = -1;
};

TEST(MspSimulatorProgramTest, DrivenThroughItsControlSocket)
{
    StandaloneSimulator program;
    ASSERT_TRUE(program.connect_control());
    main_thread_set();
    msp_set_answer_window(1000);
    setenv(MSP_SIM_ENV, program.msp.c_str(), 1);
    msp_socket = msp_socket_open(MSP_MAC, 0);
    unsetenv(MSP_SIM_ENV);
    ASSERT_GE(msp_socket.load(), 0);
    EXPECT_TRUE(msp_socket_simulated());

    uint8_t r[256];
    ASSERT_EQ(command(MSP_DEVICE_CHANNEL_ID, MspMessage(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, 0x0031, 0), r), 0);
    EXPECT_EQ(msp_get_u16(r, 8), 1);

    EXPECT_EQ(program.request(R"({"cmd":"set","device_type":10})")["ok"], true);
    EXPECT_EQ(program.request(R"({"cmd":"fault","kind":"status","fc":"0x0425","status":"0x4f","count":1})")["ok"],
              true);
    EXPECT_EQ(program.request(R"({"cmd":"plant-channel","timeslot":12,"id":77})")["ok"], true);

    ASSERT_EQ(command(MSP_DEVICE_CHANNEL_ID, MspMessage(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, 0x0031, 0), r), 0);
    EXPECT_EQ(msp_get_u16(r, 8), 10);
    MspMessage law(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, 0x0425, 2);
    law.u16(8, 1);
    EXPECT_EQ(command(MSP_DEVICE_CHANNEL_ID, law), -0x4F);
    EXPECT_EQ(command(MSP_DEVICE_CHANNEL_ID, law), 0);   // the fault was for one answer

    indications.clear();
    msp_set_indication_handler(collect);
    EXPECT_EQ(program.request(R"({"cmd":"inject","kind":"dtmf","channel":77,"tone":11})")["ok"], true);
    auto end = Clock::now() + std::chrono::seconds(2);
    while (indications.empty() && Clock::now() < end) {
        pollfd p{msp_socket.load(), POLLIN, 0};
        if (poll(&p, 1, 10) > 0)
            comcerto_process_socket();
    }
    ASSERT_EQ(indications.size(), 1u);
    EXPECT_EQ(indications[0], std::make_pair(uint16_t{0x800D}, uint16_t{77}));

    auto log = program.request(R"({"cmd":"log","fc":"0x0425"})");
    ASSERT_EQ(log["log"].size(), 2u);
    EXPECT_EQ(log["log"][0]["name"], "SUPVSR_SET_PCM_LAW");
    auto state = program.request(R"({"cmd":"state"})");
    EXPECT_EQ(state["state"]["channels"][0]["id"], 77);
    EXPECT_EQ(state["state"]["channels"][0]["timeslot"], 12);
    EXPECT_EQ(program.request(R"({"cmd":"bogus"})")["ok"], false);

    // A restarted daemon opens a new socket; the simulator keeps its channels.
    msp_set_indication_handler(nullptr);
    msp_socket_close(msp_socket.exchange(-1));
    setenv(MSP_SIM_ENV, program.msp.c_str(), 1);
    msp_socket = msp_socket_open(MSP_MAC, 0);
    unsetenv(MSP_SIM_ENV);
    MspMessage planted(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, 0x0010, 2);
    planted.u16(8, 12);
    ASSERT_EQ(command(MSP_DEVICE_CHANNEL_ID, planted, r), 0);
    EXPECT_EQ(msp_get_u16(r, 8), 77);
    msp_socket_close(msp_socket.exchange(-1));
    msp_set_answer_window(750);
    int status = program.terminate();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(MspSimulatorProgramTest, AnswersOnlyTheDaemonItServes)
{
    StandaloneSimulator program;
    ASSERT_TRUE(program.connect_control());
    main_thread_set();
    msp_set_answer_window(1000);

    // Another local program sends to the simulator, before and after the daemon.
    int stray = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    ASSERT_EQ(bind(stray, reinterpret_cast<sockaddr*>(&self), sizeof(sa_family_t)), 0);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    strcpy(to.sun_path, program.msp.c_str());
    MspAddress a = msp_address_make(0);
    msp_address_set_channel(a, MSP_DEVICE_CHANNEL_ID);
    auto stray_query = [&] {
        MspMessage m(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, 0x0031, 0);
        std::vector<uint8_t> d(a.bytes, a.bytes + MSP_SOCKET_ADDRESS_SIZE);
        d.insert(d.end(), m.data(), m.data() + m.size());
        return sendto(stray, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    ASSERT_GT(stray_query(), 0);

    setenv(MSP_SIM_ENV, program.msp.c_str(), 1);
    msp_socket = msp_socket_open(MSP_MAC, 0);
    unsetenv(MSP_SIM_ENV);
    ASSERT_GE(msp_socket.load(), 0);
    uint8_t r[256];
    ASSERT_EQ(command(MSP_DEVICE_CHANNEL_ID, MspMessage(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, 0x0031, 0), r), 0);
    ASSERT_GT(stray_query(), 0);

    // Indications still reach the daemon, and the stray never hears a word.
    indications.clear();
    msp_set_indication_handler(collect);
    EXPECT_EQ(program.request(R"({"cmd":"inject","kind":"heartbeat"})")["ok"], true);
    auto end = Clock::now() + std::chrono::seconds(2);
    while (indications.empty() && Clock::now() < end) {
        pollfd p{msp_socket.load(), POLLIN, 0};
        if (poll(&p, 1, 10) > 0)
            comcerto_process_socket();
    }
    EXPECT_EQ(indications.size(), 1u);
    pollfd p{stray, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 300), 0);
    EXPECT_EQ(program.request(R"({"cmd":"log","fc":"0x0031"})")["log"].size(), 1u);

    msp_set_indication_handler(nullptr);
    close(stray);
    msp_socket_close(msp_socket.exchange(-1));
    msp_set_answer_window(750);
}

}  // namespace
