#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "platform/i2c_bus.h"
#include "platform/paths.h"

TEST(I2cBus, TransfersTheKernelWouldRefuseAreRefused)
{
    uint8_t byte = 0;
    struct Case {
        const char* name;
        i2c_message_t message;
        int count;
        int result;
    } cases[] = {
        {"one byte written", {0x50, 0, 1, &byte}, 1, 0},
        {"empty probe", {0x50, 0, 0, nullptr}, 1, 0},
        {"no messages", {0x50, 0, 1, &byte}, 0, -1},
        {"too many messages", {0x50, 0, 1, &byte}, I2C_MAX_MESSAGES + 1, -1},
        {"10-bit address", {0x150, 0, 1, &byte}, 1, -1},
        {"too long", {0x50, I2C_FLAG_RD, I2C_MAX_LENGTH + 1, &byte}, 1, -1},
        {"no buffer", {0x50, I2C_FLAG_RD, 2, nullptr}, 1, -1},
    };
    for (const auto& c : cases) {
        i2c_message_t messages[I2C_MAX_MESSAGES + 1];
        for (auto& m : messages)
            m = c.message;
        errno = 0;
        EXPECT_EQ(i2c_check_transfer(messages, c.count), c.result) << c.name;
        EXPECT_EQ(errno, c.result < 0 ? EINVAL : 0) << c.name;
    }
}

TEST(I2cBus, MissingDeviceFileFailsToOpen)
{
    char dir[] = "/tmp/i2c_bus_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    platform_set_root(dir);
    errno = 0;
    EXPECT_EQ(i2c_open("/dev/i2c-0"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    platform_set_root("");
    rmdir(dir);
}
