// Board link housekeeping against the simulated I2C devices (PoE controller,
// SFP EEPROM and PHY), the simulated media processor (board PHY over MDIO,
// GEMAC modes) and a watchdog whose link reports the test sets.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "core/board_link.h"
#include "core/watchdog.h"
#include "msp/comcerto_device.h"
#include "msp/msp_protocol.h"
#include "sim/i2c/i2c_simulator.h"
#include "support/log_capture.h"
#include "support/msp_sim_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int POE = I2cSimulator::POE;
constexpr int EEPROM = I2cSimulator::SFP_EEPROM;
constexpr int PHY = I2cSimulator::SFP_PHY;
constexpr uint16_t SELECT_MAX_TX_PARAMETERS = 0x0123;

class LinkWatchdog : public Watchdog {
public:
    int open() override { return 0; }
    bool isOpen() const override { return true; }
    int setTimeout(int) override { return 0; }
    int kick() override { return 0; }
    int magicClose() override { return 0; }
    int linkStatus(int port, int* status) override
    {
        if (fail[port]) {
            errno = ENOTTY;
            return -1;
        }
        *status = report[port];
        return 0;
    }
    int report[2] = {0, 0};
    bool fail[2] = {false, false};
};

// A link report as the Ethernet driver gives it: valid bit, speed index, duplex.
int link(int speed_index, int duplex) { return 0x8000 | duplex << 12 | speed_index << 10; }

class BoardLinkTest : public testing::Test {
protected:
    void SetUp() override
    {
        i2c.install();
        auto w = std::make_unique<LinkWatchdog>();
        wd = w.get();
        watchdog_set_device(std::move(w));
        fresh();
    }
    void TearDown() override
    {
        watchdog_set_device(nullptr);
        board_link_reset();
    }

    // Back to the daemon's state before start-up, with empty logs.
    void fresh()
    {
        board_link_reset();
        board_link_set_media({MDOI_read, set_gemac_mode});
        i2c.clearLog();
        logs.clear();
        msp.sim->clear_commands();
    }
    void plug(uint16_t id1, uint16_t id2, uint16_t advertised = 0x01E1, uint16_t control = 0x1100)
    {
        i2c.setEeprom(0, 0, {0x03, 0x04, 0x07, 0x00});
        i2c.setPhyRegister(2, id1);
        i2c.setPhyRegister(3, id2);
        i2c.setPhyRegister(4, advertised);
        i2c.setPhyRegister(0, control);
        i2c.setModulePresent(true);
    }
    // The PHY's register writes as {register, value}.
    std::vector<std::pair<int, int>> phyWrites() const
    {
        std::vector<std::pair<int, int>> out;
        for (const auto& w : i2c.writes(PHY))
            out.emplace_back(w.at(0), w.at(1) << 8 | w.at(2));
        return out;
    }
    std::vector<std::string> linesWith(const std::string& text) const
    {
        std::vector<std::string> out;
        for (const auto& l : logs.all())
            if (l.find(text) != std::string::npos)
                out.push_back(l.substr(l.find(": ") + 2));
        return out;
    }
    // Parameter word of every SELECT_MAX_TX_PARAMETERS the media processor received.
    std::vector<int> gemacCommands() const
    {
        std::vector<int> out;
        for (const auto& c : msp.sim->commands())
            if (c.fc == SELECT_MAX_TX_PARAMETERS)
                out.push_back(msp_get_u16(c.bytes.data(), 8));
        return out;
    }

    LogCapture logs;
    MspSimFixture msp;
    I2cSimulator i2c;
    LinkWatchdog* wd = nullptr;
};

TEST_F(BoardLinkTest, StartUpSetsUpPoeControllerThenReadsBoardPhy)
{
    ASSERT_EQ(msp.sim->control(R"({"cmd":"set","phy":[13,2,321]})"), R"({"ok":true})");   // 0x0141
    board_link_init();
    EXPECT_EQ(i2c.writes(POE), (std::vector<Bytes>{{0x13, 0xF0}, {0x12, 0xFF}, {0x14, 0xFF}}));
    EXPECT_EQ(i2c.poeRegister(0x13), 0xF0);
    EXPECT_EQ(board_phy_id, 0x0141);

    // The board's second port is copper: a module's EEPROM and PHY are never looked at.
    plug(0x0141, 0x0CC2);
    board_link_housekeeping();
    board_link_housekeeping();
    EXPECT_EQ(i2c.transferCount(EEPROM), 0u);
    EXPECT_EQ(i2c.transferCount(PHY), 0u);
    EXPECT_TRUE(linesWith("SFP").empty());

    // Any other board PHY, or none answering, leaves the SFP cage watched.
    for (const char* phy : {R"([13,2,34])", R"([13,2,65535])"}) {
        fresh();
        ASSERT_EQ(msp.sim->control(std::string(R"({"cmd":"set","phy":)") + phy + "}"), R"({"ok":true})");
        board_link_init();
        board_link_housekeeping();
        EXPECT_EQ(linesWith("SFP module detected").size(), 1u) << phy;
    }
}

TEST_F(BoardLinkTest, ModuleIsHandledAtFirstKickAndOnEveryInsertion)
{
    const std::vector<std::pair<int, int>> marvell = {
        {27, 0x9084}, {0, 0x9140}, {22, 0x0000}, {4, 0x0C61}, {0, 0x9140}};
    plug(0x0141, 0x0CC2);   // present at start-up: sfp_last_read starts negative
    board_link_housekeeping();
    EXPECT_EQ(linesWith("SFP"), (std::vector<std::string>{"SFP module detected",
                                                          "SFP: Marvell Alaska 88E1111 rev 2 detected"}));
    EXPECT_EQ(phyWrites(), marvell);
    EXPECT_GE(sfp_last_read, 0);

    // Still plugged in: nothing more.
    board_link_housekeeping();
    board_link_housekeeping();
    EXPECT_EQ(linesWith("SFP").size(), 2u);
    EXPECT_EQ(phyWrites().size(), 5u);

    // Pulled out, then plugged in again: configured anew.
    i2c.setModulePresent(false);
    board_link_housekeeping();
    EXPECT_LT(sfp_last_read, 0);
    EXPECT_EQ(linesWith("SFP").size(), 2u);
    i2c.setModulePresent(true);
    board_link_housekeeping();
    EXPECT_EQ(linesWith("SFP module detected").size(), 2u);
    EXPECT_EQ(phyWrites().size(), 10u);

    // A module whose EEPROM fails only now and then still counts as present
    // when one of its eleven attempts gets through.
    i2c.failNext(EEPROM, 10);
    board_link_housekeeping();
    EXPECT_EQ(linesWith("SFP module detected").size(), 2u);
}

TEST_F(BoardLinkTest, PhyOfTheModuleIsClassifiedAndConfigured)
{
    struct Case {
        const char* name;
        uint16_t id1, id2, advertised, control;
        int failing_reg;   // PHY register whose reads all fail, -1 none
        std::vector<std::string> logged;
        std::vector<std::pair<int, int>> written;
    } cases[] = {
        {"Marvell 88E1111 rev 5", 0x0141, 0x0CC5, 0x01E1, 0x1100, -1,
         {"SFP module detected", "SFP: Marvell Alaska 88E1111 rev 5 detected"},
         {{27, 0x9084}, {0, 0x9140}, {22, 0x0000}, {4, 0x0C61}, {0, 0x9140}}},
        {"another Marvell model", 0x0141, 0x0CD2, 0x01E1, 0x1100, -1,
         {"SFP module detected", "SFP: phy detected", "SFP: 100Base-TX modes disabled"},
         {{4, 0x0061}, {0, 0x1300}}},
        {"other PHY advertising 100BASE-TX full duplex only", 0x0022, 0x1612, 0x0101, 0x0140, -1,
         {"SFP module detected", "SFP: phy detected", "SFP: 100Base-TX modes disabled"},
         {{4, 0x0001}, {0, 0x0340}}},
        {"other PHY without 100BASE-TX", 0x0022, 0x1612, 0x0061, 0x1100, -1,
         {"SFP module detected", "SFP: phy detected"}, {}},
        {"other PHY whose control register cannot be read", 0x0022, 0x1612, 0x0181, 0x1100, 0,
         {"SFP module detected", "SFP: phy detected", "SFP: 100Base-TX modes disabled"},
         {{4, 0x0001}, {0, 0x1340}}},
        {"other PHY whose advertisement cannot be read", 0x0022, 0x1612, 0x01E1, 0x1100, 4,
         {"SFP module detected", "SFP: phy detected"}, {}},
        {"PHY answering 0xFFFF for identifier 1", 0xFFFF, 0x0CC2, 0x01E1, 0x1100, -1,
         {"SFP module detected"}, {}},
        {"PHY answering 0xFFFF for identifier 2", 0x0141, 0xFFFF, 0x01E1, 0x1100, -1,
         {"SFP module detected"}, {}},
        {"identifier 2 cannot be read", 0x0141, 0x0CC2, 0x01E1, 0x1100, 3, {"SFP module detected"}, {}},
    };
    for (const auto& c : cases) {
        fresh();
        plug(c.id1, c.id2, c.advertised, c.control);
        if (c.failing_reg >= 0)
            i2c.failNext(PHY, 11, c.failing_reg);   // every attempt of one read
        board_link_housekeeping();
        EXPECT_EQ(linesWith("SFP"), c.logged) << c.name;
        EXPECT_EQ(phyWrites(), c.written) << c.name;
        EXPECT_TRUE(linesWith("i2c").empty()) << c.name;
        board_link_housekeeping();
        EXPECT_EQ(phyWrites(), c.written) << c.name << ": configured once";
    }
}

TEST_F(BoardLinkTest, WordReadsAreBigEndianWithElevenSilentAttempts)
{
    i2c.setEeprom(0, 2, {0x12, 0x34});
    i2c.setModulePresent(true);
    EXPECT_EQ(i2c_read16(EEPROM, 2), 0x1234);
    auto t = i2c.transfers();
    ASSERT_EQ(t.size(), 1u);
    ASSERT_EQ(t[0].messages.size(), 2u);
    EXPECT_EQ(t[0].messages[0].flags, 0x8000);
    EXPECT_EQ(t[0].messages[0].written, Bytes{2});
    EXPECT_EQ(t[0].messages[1].flags, 0x4001);
    EXPECT_EQ(t[0].messages[1].length, 2);

    struct Case {
        int failures;
        int result;
        size_t attempts;
    } cases[] = {{10, 0x1234, 11}, {11, -1, 11}, {12, -1, 11}};
    for (const auto& c : cases) {
        i2c.clearLog();
        i2c.failNext(EEPROM, c.failures);
        EXPECT_EQ(i2c_read16(EEPROM, 2), c.result) << c.failures;
        EXPECT_EQ(i2c.transferCount(EEPROM), c.attempts) << c.failures;
        i2c.failNext(EEPROM, 0);
    }
    i2c.clearLog();
    i2c.setBusPresent(false);
    EXPECT_EQ(i2c_read16(EEPROM, 2), -1);
    EXPECT_TRUE(i2c.transfers().empty());
    EXPECT_TRUE(logs.all().empty());
}

TEST_F(BoardLinkTest, MissingDeviceIsLoggedOncePerCall)
{
    // No bus at all: one line per call, not one per attempt.
    i2c.setBusPresent(false);
    board_link_init();
    sfp_phy_write(0, 0x9140);
    EXPECT_EQ(linesWith("error opening /dev/i2c-0: No such file or directory").size(), 4u);
    EXPECT_EQ(logs.all().size(), 4u);

    // A device that never acknowledges: 101 attempts, then one line.
    logs.clear();
    i2c.setBusPresent(true);
    i2c.setModulePresent(false);
    sfp_phy_write(0, 0x9140);
    EXPECT_EQ(i2c.transferCount(PHY), 101u);
    EXPECT_EQ(linesWith("error writing to i2c register: No such device or address").size(), 1u);
    EXPECT_EQ(logs.all().size(), 1u);

    // A hundred failures are still within the attempts.
    logs.clear();
    i2c.clearLog();
    i2c.failNext(POE, 100);
    poe_reg_write(0x12, 0xFF);
    EXPECT_EQ(i2c.transferCount(POE), 101u);
    EXPECT_EQ(i2c.poeRegister(0x12), 0xFF);
    EXPECT_TRUE(logs.all().empty());
}

TEST_F(BoardLinkTest, GemacModeChangesReachTheMediaProcessor)
{
    struct Step {
        const char* name;
        int report0, report1;
        std::vector<std::string> logged;
        std::vector<int> commands;   // SELECT_MAX_TX_PARAMETERS parameter words
    } steps[] = {
        {"first reports", link(1, 1), link(1, 1), {"GEMAC0: 100/FD", "GEMAC1: 100/FD"}, {0x0003, 0x0103}},
        {"GEMAC1 to 1000 FD", link(1, 1), link(2, 1), {"GEMAC1: 1000/FD"}, {0x0105}},
        {"the same again", link(1, 1), link(2, 1), {}, {}},
        {"no valid report", 0x1800, 0x0400, {}, {}},
        {"10 HD", link(0, 0), link(2, 1), {"GEMAC0: 10/HD"}, {0x0000}},
        {"speed index 3", link(3, 0), link(2, 0), {"GEMAC0: 0/HD", "GEMAC1: 1000/HD"}, {0x0006, 0x0104}},
    };
    for (const auto& s : steps) {
        logs.clear();
        msp.sim->clear_commands();
        wd->report[0] = s.report0;
        wd->report[1] = s.report1;
        board_link_housekeeping();
        EXPECT_EQ(linesWith("GEMAC"), s.logged) << s.name;
        EXPECT_EQ(gemacCommands(), s.commands) << s.name;
    }
    EXPECT_EQ(gemac_last_mode[0], 6);
    EXPECT_EQ(gemac_last_mode[1], 4);

    // A port whose report fails is logged; the other goes on.
    logs.clear();
    msp.sim->clear_commands();
    wd->fail[0] = true;
    wd->report[1] = link(2, 1);
    board_link_housekeeping();
    EXPECT_EQ(linesWith("WDIOC"), (std::vector<std::string>{"ioctl(WDIOC_GETTEMP): Inappropriate ioctl for device"}));
    EXPECT_EQ(linesWith("GEMAC1"), (std::vector<std::string>{"GEMAC1: 1000/FD"}));
    EXPECT_EQ(gemacCommands(), std::vector<int>{0x0105});
}

}  // namespace
