// Register access on the I2C bus against the simulated PoE controller and SFP
// EEPROM: byte order, attempts, and one log line per failed call.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/i2c_util.h"
#include "sim/i2c/i2c_simulator.h"
#include "support/log_capture.h"

namespace {

class I2cUtilTest : public testing::Test {
protected:
    static constexpr int POE = I2cSimulator::POE;
    static constexpr int PAGE_2 = I2cSimulator::SFP_EEPROM_2;

    void SetUp() override
    {
        i2c.install();
        i2c.setPoeRegister(56, 0x34);
        i2c.setPoeRegister(57, 0x12);
        std::vector<uint8_t> page(256);
        for (int i = 0; i < 256; i++)
            page[static_cast<size_t>(i)] = static_cast<uint8_t>(255 - i);
        i2c.setEeprom(1, 0, page);
        i2c.setModulePresent(true);
    }

    LogCapture logs;
    I2cSimulator i2c;
};

TEST_F(I2cUtilTest, ReadsAndWritesRegisters)
{
    EXPECT_EQ(i2c_read(POE, 56), 0x1234);   // first byte low
    std::vector<uint8_t> page(256);
    EXPECT_TRUE(i2c_read_block(PAGE_2, 0, page.data(), 256));
    EXPECT_EQ(page[0], 255);
    EXPECT_EQ(page[255], 0);
    EXPECT_EQ(i2c_write(POE, 26, 4 << 1), 0);
    EXPECT_EQ(i2c.poeRegister(26), 8);
    EXPECT_EQ(i2c.writes(POE), (std::vector<std::vector<uint8_t>>{{26, 8}}));
    EXPECT_TRUE(logs.all().empty());
}

TEST_F(I2cUtilTest, FailuresAreLoggedOncePerCall)
{
    uint8_t buffer[256];
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::function<int()> call;
        int result;
        size_t attempts;
        const char* logged;   // the one line expected, or null for none
    } cases[] = {
        {"read within attempts", [&] { i2c.failNext(POE, 10); }, [] { return i2c_read(POE, 56); }, 0x1234, 11,
         nullptr},
        {"read failing", [&] { i2c.failNext(POE, 11); }, [] { return i2c_read(POE, 56); }, -1, 11,
         "i2c_read(0x38): Input/output error"},
        {"read without bus", [&] { i2c.setBusPresent(false); }, [] { return i2c_read(POE, 56); }, -1, 0, nullptr},
        {"block from a module pulled out", [&] { i2c.setModulePresent(false); },
         [&] { return int(i2c_read_block(PAGE_2, 0, buffer, 256)); }, 0, 11,
         "i2c_read_block(0x00): No such device or address"},
        {"block without bus", [&] { i2c.setBusPresent(false); },
         [&] { return int(i2c_read_block(PAGE_2, 0, buffer, 256)); }, 0, 0, nullptr},
        {"block longer than a transfer", [] {}, [&] { return int(i2c_read_block(PAGE_2, 0, buffer, 8193)); }, 0, 0,
         "i2c_read_block(0x00): Invalid argument"},
        {"write within attempts", [&] { i2c.failNext(POE, 100); }, [] { return i2c_write(POE, 20, 0xFF); }, 0, 101,
         nullptr},
        {"write failing", [&] { i2c.failNext(POE, 101); }, [] { return i2c_write(POE, 20, 0xFF); }, -1, 101,
         "error writing to i2c register: Input/output error"},
        {"write without bus", [&] { i2c.setBusPresent(false); }, [] { return i2c_write(POE, 20, 0xFF); }, -1, 0,
         "error opening /dev/i2c-0: No such file or directory"},
    };
    for (const auto& c : cases) {
        i2c.setBusPresent(true);
        i2c.setModulePresent(true);
        i2c.clearLog();
        logs.clear();
        c.arrange();
        EXPECT_EQ(c.call(), c.result) << c.name;
        EXPECT_EQ(i2c.transfers().size(), c.attempts) << c.name;
        auto lines = logs.all();
        if (!c.logged) {
            EXPECT_TRUE(lines.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(lines.size(), 1u) << c.name;
        EXPECT_NE(lines[0].find(c.logged), std::string::npos) << c.name << ": " << lines[0];
    }
}

}  // namespace
