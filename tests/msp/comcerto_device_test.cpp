// Device start-up, shutdown and device commands against the simulated media
// processor: the order and bytes of the start-up commands, the refusals that
// are tolerated and the ones that are fatal, identity, load and MDIO.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

#include "core/main_loop.h"
#include "core/main_thread.h"
#include "msp/comcerto_device.h"
#include "msp/msp_protocol.h"
#include "msp/msp_transaction.h"
#include "platform/msp_socket.h"
#include "sim/msp/msp_simulator.h"
#include "support/log_capture.h"

namespace {

enum : uint16_t {
    SPU_FEATURES = 0x0013,
    SFKEYS = 0x0460,
    CREATE_CHANNEL = 0x0010,
    DESTROY_CHANNEL = 0x0011,
    DEVICE_TYPE = 0x0031,
    DEVICE_VERSION = 0x0410,
    ARM_VERSION = 0x0021,
    SPU_VERSION = 0x0022,
    PCM_LAW = 0x0425,
    TDM_BUS_MODE = 0x0417,
    TDMPARAMS = 0x0407,
    SIGNALING_CFG = 0x040A,
    ETH_HEADER = 0x0100,
    MAC_HAIRPIN = 0x9700,
    PPPOE = 0x0502,
    IP_SERVICE = 0x0302,
    IP_OPTIONS = 0x0306,
    COUNTRY = 0x041C,
    MDIO_WRITE = 0x9330,
    MDIO_READ = 0x9331,
    DEVICE_STATUS = 0x040F,
    IRM_AVAILABLE = 0x0001,
    NT_RECOVERY = 0x043D,
    NTG_CONFIG = 0x043F,
    IP_V6 = 0x0310,
};

class ComcertoDeviceTest : public testing::Test {
protected:
    void SetUp() override
    {
        main_thread_set();
        main_pollfds_init();
        msp_transactions_reset();
        msp_set_answer_window(1000);   // no test here waits for a time-out
        comcerto_device_reset();
        msp_ready = false;
        sim = std::make_unique<MspSimulator>();
        msp_socket_adopt(sim->take_daemon_fd());
        sim->start();
    }
    void TearDown() override
    {
        comcerto_destroy();
        msp_socket_adopt(-1);
        msp_socket_close(msp_socket.exchange(-1));
        sim->stop();
        msp_transactions_reset();
        msp_set_answer_window(750);
        msp_set_indication_handler(nullptr);
        main_pollfds_init();
        comcerto_device_reset();
    }

    void set(const std::string& json) { ASSERT_EQ(sim->control(R"({"cmd":"set",)" + json + "}"), R"({"ok":true})"); }

    std::vector<uint16_t> fcs() const
    {
        std::vector<uint16_t> out;
        for (const auto& c : sim->commands())
            out.push_back(c.fc);
        return out;
    }
    std::vector<MspSimCommand> of(uint16_t fc) const
    {
        std::vector<MspSimCommand> out;
        for (const auto& c : sim->commands())
            if (c.fc == fc)
                out.push_back(c);
        return out;
    }

    LogCapture logs;
    std::unique_ptr<MspSimulator> sim;
};

uint16_t w(const MspSimCommand& c, size_t offset) { return msp_get_u16(c.bytes.data(), offset); }

TEST_F(ComcertoDeviceTest, StartUpSweepsDeadChannelsThenConfiguresInOrder)
{
    sim->plant_channel(12, 5);
    ASSERT_EQ(comcerto_init(), 0);
    EXPECT_TRUE(msp_ready);
    EXPECT_EQ(main_pollfds[POLLFD_MSP].fd, msp_socket.load());

    std::vector<uint16_t> expected = {SPU_FEATURES, SFKEYS};
    for (int ts = 0; ts < 255; ts++) {
        expected.push_back(CREATE_CHANNEL);
        if (ts == 12)
            expected.push_back(DESTROY_CHANNEL);
    }
    for (uint16_t fc : {DEVICE_TYPE, DEVICE_VERSION, ARM_VERSION, SPU_VERSION, PCM_LAW, TDM_BUS_MODE, TDMPARAMS,
                        SIGNALING_CFG, ETH_HEADER, ETH_HEADER, ETH_HEADER, ETH_HEADER, MAC_HAIRPIN, PPPOE,
                        IP_SERVICE, IP_OPTIONS, COUNTRY, COUNTRY, COUNTRY, COUNTRY, MDIO_WRITE, MDIO_WRITE, MDIO_WRITE,
                        MDIO_WRITE, MDIO_WRITE, DEVICE_STATUS})
        expected.push_back(fc);
    EXPECT_EQ(fcs(), expected);

    // The sweep asks timeslots 0..254 in order, never 255, and destroys what it finds.
    auto sweep = of(CREATE_CHANNEL);
    for (size_t i = 0; i < sweep.size(); i++) {
        EXPECT_EQ(sweep[i].cls, MSP_CLASS_QUERY);
        EXPECT_EQ(w(sweep[i], 8), i);
        EXPECT_EQ(sweep[i].bytes.size(), 12u);
        EXPECT_EQ(sweep[i].bytes[0], 10);
    }
    EXPECT_EQ(w(of(DESTROY_CHANNEL).at(0), 8), 5);
    MspSimChannel gone;
    EXPECT_FALSE(sim->channel(5, gone));
    EXPECT_TRUE(logs.contains("***> dead channel 12 found (channelId=0x0005)"));

    EXPECT_EQ(msp_device_name, "M82530 Rev.A");
    EXPECT_EQ(msp_fw_version, "ARM 5.2.1");
    EXPECT_EQ(msp_spu_version, "SPU 5.2.1");
    EXPECT_EQ(msp_capacity, 64);
    for (const char* line : {"Comcerto C300 device: M82530 Rev.A", "Comcerto C300 firmware version: ARM 5.2.1",
                             "Comcerto C300 SPU version: SPU 5.2.1", "Device initialized successfully",
                             "TDM initialized successfully", "Channels available: 64 (G.711 20ms)"})
        EXPECT_TRUE(logs.contains(line)) << line;
}

TEST_F(ComcertoDeviceTest, StartUpCommandsCarryTheirParameters)
{
    ASSERT_EQ(comcerto_init(), 0);
    struct {
        uint16_t fc;
        size_t size;
        uint8_t lengthByte;
        std::vector<uint16_t> words;   // from byte 8
    } cases[] = {
        {SPU_FEATURES, 12, 12, {4, 0}},   // the feature word and a zero word, byte 0 counts both
        {SFKEYS, 12, 12, {0xFFFF, 0xFFFF}},
        {PCM_LAW, 12, 10, {1}},
        {TDM_BUS_MODE, 12, 10, {2}},
        {TDMPARAMS, 16, 14, {0x8280, 0x07FF, 0x03FF}},
        {SIGNALING_CFG, 44, 42, {0xDD04, 0}},
        {MAC_HAIRPIN, 12, 10, {1}},
        {PPPOE, 12, 10, {0}},
        {IP_SERVICE, 12, 10, {0x0200}},
        {IP_OPTIONS, 12, 10, {0x0013}},
        {DEVICE_STATUS, 16, 16, {1, 0, 4, 0}},
    };
    for (const auto& c : cases) {
        auto sent = of(c.fc);
        ASSERT_FALSE(sent.empty()) << std::hex << c.fc;
        EXPECT_EQ(sent[0].bytes.size(), c.size) << std::hex << c.fc;
        EXPECT_EQ(sent[0].bytes[0], c.lengthByte) << std::hex << c.fc;
        for (size_t i = 0; i < c.words.size(); i++)
            EXPECT_EQ(w(sent[0], 8 + 2 * i), c.words[i]) << std::hex << c.fc << " word " << i;
    }

    // Ethernet headers: IP, IPv6, PPPoE with eth0's MAC both ways, then MEDIA.
    auto eth = of(ETH_HEADER);
    ASSERT_EQ(eth.size(), 4u);
    const uint16_t protocols[] = {1, 6, 8, 5};
    const uint16_t types[] = {0x0800, 0x86DD, 0x8864, 0x889B};
    for (size_t i = 0; i < 4; i++) {
        const auto& b = eth[i].bytes;
        ASSERT_EQ(b.size(), 24u);
        EXPECT_EQ(w(eth[i], 8), protocols[i]);
        EXPECT_EQ(b[22] << 8 | b[23], types[i]);
        // Source always eth0's MAC; destination too, except for MEDIA.
        EXPECT_TRUE(std::equal(b.begin() + 16, b.begin() + 22, eth[0].bytes.begin() + 10));
        if (i < 3) {
            EXPECT_TRUE(std::equal(b.begin() + 10, b.begin() + 16, b.begin() + 16));
        }
    }
    EXPECT_EQ(std::vector<uint8_t>(eth[3].bytes.begin() + 10, eth[3].bytes.begin() + 16),
              (std::vector<uint8_t>{0x00, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e}));

    // Country blocks go unchanged, index first.
    auto country = of(COUNTRY);
    ASSERT_EQ(country.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(country[i].bytes.size(), 100u);
        EXPECT_EQ(country[i].bytes[0], 100);
        EXPECT_EQ(w(country[i], 8), i);
        EXPECT_EQ(w(country[i], 10), 0x0BB8);
    }
    EXPECT_EQ(w(country[0], 98), 0x7523);
    EXPECT_EQ(w(country[1], 98), 0x26A3);
    EXPECT_EQ(w(country[2], 8 + 2 * 35), 0x0094);
    EXPECT_EQ(w(country[3], 8 + 2 * 17), 0x18E1);

    // PHY 13 set-up.
    nlohmann::json phy = sim->state()["device"]["phy"];
    EXPECT_EQ(phy["13.22"], 0);
    EXPECT_EQ(phy["13.16"], 0x0288);
    EXPECT_EQ(phy["13.4"], 0x0061);
    EXPECT_EQ(phy["13.0"], 0x9100);
}

TEST_F(ComcertoDeviceTest, RefusalsTolerableOrFatal)
{
    struct Case {
        uint16_t fc;
        int status;
        int result;
        const char* logged;       // expected line, or null
        const char* notLogged;    // absent line, or null
    } cases[] = {
        {PCM_LAW, 0x004F, 0, nullptr, "supvsr_set_pcm_law() failed"},
        {PCM_LAW, 0x0001, 0, "supvsr_set_pcm_law() failed (result=-1)", nullptr},
        {TDM_BUS_MODE, 0x004C, 0, nullptr, "tdm_select_bus_mode() failed"},
        {TDM_BUS_MODE, 0x0002, 0, "tdm_select_bus_mode() failed (result=-2)", nullptr},
        {TDMPARAMS, 0x0003, -1, "TDM initialization failed (result=-3)", nullptr},
        {SIGNALING_CFG, 0x0003, 0, "send_signaling_config() failed (result=-3)", nullptr},
        {ETH_HEADER, 0x0007, -1, "set_eth_hdr(MEDIA) failed (result=-7)", nullptr},
        {MAC_HAIRPIN, 0x0007, -1, "set_mac_hairpin() failed (result=-7)", nullptr},
        {PPPOE, 0x0A92, 0, nullptr, "set_pppoe() failed"},
        {PPPOE, 0x0A93, -1, "set_pppoe() failed (result=-2707)", nullptr},
        {IP_SERVICE, 0x0001, -1, "set_ip_config() failed (result=-1)", nullptr},
        {IP_OPTIONS, 0x0001, -1, "set_ip_options() failed (result=-1)", nullptr},
        {COUNTRY, 0x0001, 0, "setCountryParams() failed (result=-1)", nullptr},
        {SFKEYS, 0x0001, 0, nullptr, "==> SFKEYS"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "fc 0x" << c.fc << " status 0x" << c.status);
        TearDown();
        SetUp();
        sim->add_fault({MspSimFault::Status, c.fc, -1, c.status});
        EXPECT_EQ(comcerto_init(), c.result);
        EXPECT_EQ(msp_ready.load(), c.result == 0);
        if (c.result != 0) {
            EXPECT_EQ(msp_socket.load(), -1);
            EXPECT_EQ(main_pollfds[POLLFD_MSP].fd, -1);
            EXPECT_EQ(of(DEVICE_STATUS).size(), 0u);
        }
        if (c.logged) {
            EXPECT_TRUE(logs.contains(c.logged));
        }
        if (c.notLogged) {
            EXPECT_FALSE(logs.contains(c.notLogged));
        }
        logs.clear();
    }
}

TEST_F(ComcertoDeviceTest, ControlSocketFailuresKeepTheirOwnTexts)
{
    struct Case {
        MspSocketStep step;
        int error;
        int result;
        const char* logged;
    } cases[] = {
        {MspSocketStep::Create, EMFILE, -1, "Cannot create MSP control socket: Too many open files"},
        {MspSocketStep::Bind, EADDRNOTAVAIL, -1,
         "MSP control socket setsockopt error: Cannot assign requested address"},
        {MspSocketStep::GetFlags, EBADF, 0, "cannot get MSP socket flags: Bad file descriptor"},
        {MspSocketStep::SetFlags, EINVAL, 0, "cannot set NONBLOCK flag on MSP socket: Invalid argument"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        TearDown();
        SetUp();
        msp_socket_fail_next(c.step, c.error);
        EXPECT_EQ(comcerto_init(), c.result);
        if (c.step == MspSocketStep::Create)
            msp_socket_close(msp_socket_create());   // the hand-over it never took
        EXPECT_TRUE(logs.contains(c.logged));
        EXPECT_EQ(msp_ready.load(), c.result == 0);
        if (c.result != 0) {
            EXPECT_EQ(msp_socket.load(), -1);
            EXPECT_EQ(main_pollfds[POLLFD_MSP].fd, -1);
            EXPECT_TRUE(sim->commands().empty());
        } else {
            EXPECT_EQ(of(DEVICE_STATUS).size(), 1u);   // start-up went on to the heartbeat
        }
        logs.clear();
    }
}

TEST_F(ComcertoDeviceTest, TdmFailureStillSendsTheSignallingMode)
{
    sim->add_fault({MspSimFault::Status, TDMPARAMS, -1, 3});
    EXPECT_EQ(comcerto_init(), -1);
    auto order = fcs();
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[order.size() - 2], TDMPARAMS);
    EXPECT_EQ(order.back(), SIGNALING_CFG);
    EXPECT_TRUE(logs.contains("setup_tdm_params() failed (result=-3)"));
}

TEST_F(ComcertoDeviceTest, IdentityTexts)
{
    struct {
        int type;
        bool revisionFails, versionsFail;
        const char* name;
        int capacity;   // after start-up
        bool askedDevice;
    } cases[] = {
        {2, false, false, "M82520 Rev.C", 32, false},
        {60, false, false, "Unknown Rev.C", 64, true},   // no row: capacity from the device
        {9, false, false, "M82710 Rev.C", 64, true},     // a row without capacity, likewise
        {1, true, true, "M82530 Rev.@", 64, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        set(R"("device_type":)" + std::to_string(c.type) + R"(,"revision":2)");
        if (c.revisionFails)
            sim->add_fault({MspSimFault::Status, DEVICE_VERSION, -1, 1});
        if (c.versionsFail) {
            sim->add_fault({MspSimFault::Status, ARM_VERSION, -1, 1});
            sim->add_fault({MspSimFault::Status, SPU_VERSION, -1, 1});
        }
        ASSERT_EQ(comcerto_init(), 0);
        EXPECT_EQ(msp_device_name, c.name);
        EXPECT_EQ(msp_capacity, c.capacity);
        EXPECT_EQ(msp_fw_version, c.versionsFail ? "n/a" : "ARM 5.2.1");
        EXPECT_EQ(msp_spu_version, c.versionsFail ? "n/a" : "SPU 5.2.1");
        EXPECT_EQ(of(IRM_AVAILABLE).size(), c.askedDevice ? 1u : 0u);
    }
}

TEST_F(ComcertoDeviceTest, ShutdownSendsHeartbeatOffThenSignallingOffOnce)
{
    ASSERT_EQ(comcerto_init(), 0);
    sim->clear_commands();
    comcerto_destroy();
    EXPECT_FALSE(msp_ready);
    EXPECT_EQ(msp_socket.load(), -1);
    EXPECT_EQ(main_pollfds[POLLFD_MSP].fd, -1);
    EXPECT_EQ(msp_raw_socket, -1);
    comcerto_destroy();   // the second call does nothing
    auto sent = sim->commands();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].fc, DEVICE_STATUS);
    EXPECT_EQ(w(sent[0], 8), 0);
    EXPECT_EQ(sent[1].fc, SIGNALING_CFG);
    EXPECT_EQ(w(sent[1], 8), 0);
    EXPECT_TRUE(logs.contains("Destroying comcerto device."));
    EXPECT_FALSE(sim->state()["device"]["heartbeat"].get<bool>());
}

TEST_F(ComcertoDeviceTest, LoadAndUsage)
{
    EXPECT_EQ(comcerto_get_load(), -1);   // not ready: nothing is asked
    EXPECT_EQ(comcerto_IRM_AVAILABLE(), -1);
    EXPECT_TRUE(sim->commands().empty());

    struct {
        int deviceType;
        int available;
        int load;
        int capacityAfter;
    } cases[] = {
        {1, 16, 75, 64},
        {1, 64, 0, 64},
        {1, 0, 100, 64},
        {1, 70, 0, 70},   // the device offers more than its row: the capacity grows
        {0, 0, 0, 0},     // no capacity and nothing available: not loaded, no division
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.deviceType << " available " << c.available);
        TearDown();
        SetUp();
        set(R"("device_type":)" + std::to_string(c.deviceType) + R"(,"available":)" + std::to_string(c.available));
        ASSERT_EQ(comcerto_init(), 0);
        EXPECT_EQ(comcerto_IRM_AVAILABLE(), c.available);
        EXPECT_EQ(comcerto_get_load(), c.load);
        EXPECT_EQ(msp_capacity, c.capacityAfter);
    }

    sim->add_fault({MspSimFault::Status, IRM_AVAILABLE, -1, 1});
    EXPECT_EQ(comcerto_get_load(), -1);

    msp_capacity = 0;
    msp_open_connections = 3;
    EXPECT_EQ(comcerto_get_channel_usage(), 0);
    msp_capacity = 64;
    msp_open_connections = 16;
    EXPECT_EQ(comcerto_get_channel_usage(), 25);
}

TEST_F(ComcertoDeviceTest, DeviceCommands)
{
    ASSERT_EQ(comcerto_init(), 0);
    sim->clear_commands();

    // MDIO: a read answered with a non-zero status fails although the command succeeded.
    EXPECT_EQ(MDOI_write(0x21, 0x22, 0xBEEF), 0);   // phy and register keep 5 bits
    EXPECT_EQ(MDOI_read(1, 2), 0xBEEF);
    set(R"("mdio_status":1)");
    EXPECT_EQ(MDOI_read(1, 2), -1);
    EXPECT_TRUE(logs.contains("FC_MDIO_BUS_READ failed (result=0001)"));

    // Clock recovery: timeslot 255 while the timing generator is off.
    EXPECT_EQ(NT_Recovery_internal(7), 0);
    EXPECT_EQ(comcerto_NTG_CONFIG(true, true, false, true), 0);
    EXPECT_TRUE(msp_ntg_enabled);
    comcerto_set_sync_channel(7);
    EXPECT_EQ(msp_sync_channel, 7);
    msp_nt_recovery_parked = true;
    comcerto_set_sync_channel(9);   // parked: stored, not sent
    EXPECT_EQ(msp_sync_channel, 9);
    sim->add_fault({MspSimFault::Status, NTG_CONFIG, -1, 1, 0, 0, -1, 1});
    EXPECT_EQ(comcerto_NTG_CONFIG(false, false, false, false), -1);
    EXPECT_TRUE(msp_ntg_enabled);   // a refusal keeps the old state

    auto nt = of(NT_RECOVERY);
    ASSERT_EQ(nt.size(), 2u);
    EXPECT_EQ(w(nt[0], 8), 255);
    EXPECT_EQ(w(nt[1], 8), 7);
    EXPECT_EQ(w(nt[1], 12), 1);
    auto ntg = of(NTG_CONFIG);
    ASSERT_EQ(ntg.size(), 2u);
    EXPECT_EQ(w(ntg[0], 8), 1);
    EXPECT_EQ(w(ntg[0], 10), 5);

    // Monitoring of a timeslot's signalling bits; the value is a signed byte.
    EXPECT_EQ(monitor_tdm_signaling(3, true, -1), 0);
    EXPECT_EQ(monitor_tdm_signaling(3, false, 2), 0);
    auto mon = of(0x040C);
    ASSERT_EQ(mon.size(), 2u);
    EXPECT_EQ(w(mon[0], 8), 0xFF25);
    EXPECT_EQ(w(mon[0], 10), 3);
    EXPECT_EQ(w(mon[1], 8), 0x0224);

    EXPECT_EQ(set_gemac_mode(1, 3), 0);
    EXPECT_EQ(w(of(0x0123).at(0), 8), 0x0103);

    // IPv6 address: stored with its prefix, only the address is sent.
    uint8_t address[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    EXPECT_EQ(comcerto_set_ip6(address, 64), 0);
    uint8_t stored[16];
    int prefix = 0;
    comcerto_get_ip6(stored, &prefix);
    EXPECT_EQ(std::vector<uint8_t>(stored, stored + 16), std::vector<uint8_t>(address, address + 16));
    EXPECT_EQ(prefix, 64);
    auto v6 = of(IP_V6);
    ASSERT_EQ(v6.size(), 1u);
    EXPECT_EQ(v6[0].bytes.size(), 24u);
    EXPECT_EQ(std::vector<uint8_t>(v6[0].bytes.begin() + 8, v6[0].bytes.end()),
              std::vector<uint8_t>(address, address + 16));
}

// The poller and web threads ask the device while the main thread serves
// the control socket.
TEST_F(ComcertoDeviceTest, DeviceCommandsFromOtherThreads)
{
    set(R"("available":16)");
    ASSERT_EQ(comcerto_init(), 0);
    std::atomic<bool> finished{false};
    int loads[20] = {};
    int results[20] = {};
    std::thread worker([&] {
        for (int i = 0; i < 20; i++) {
            uint8_t address[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(i)};
            results[i] = comcerto_set_ip6(address, 64 + i);
            loads[i] = comcerto_get_load();
        }
        finished = true;
    });
    uint8_t seen[16];
    while (!finished) {
        comcerto_get_ip6(seen, nullptr);
        pollfd p{msp_socket.load(), POLLIN, 0};
        if (poll(&p, 1, 5) > 0)
            comcerto_process_socket();
    }
    worker.join();
    for (int i = 0; i < 20; i++) {
        EXPECT_EQ(results[i], 0);
        EXPECT_EQ(loads[i], 75);
    }
    int prefix = 0;
    comcerto_get_ip6(seen, &prefix);
    EXPECT_EQ(seen[15], 19);
    EXPECT_EQ(prefix, 83);
    EXPECT_EQ(of(IP_V6).size(), 20u);
}

}  // namespace
