#include "core/i2c_util.h"

#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "platform/i2c_bus.h"

namespace {

constexpr const char* I2C_BUS = "/dev/i2c-0";
constexpr int READ_ATTEMPTS = 11;
constexpr int WRITE_ATTEMPTS = 101;

}  // namespace

int i2c_read_register(int device, int reg, uint8_t* buffer, int length, bool* opened)
{
    auto bus = i2c_open(I2C_BUS);
    *opened = bus != nullptr;
    if (!bus)
        return -1;
    if (length < 0 || length > I2C_MAX_LENGTH) {
        errno = EINVAL;
        return -1;
    }
    uint8_t selected = static_cast<uint8_t>(reg);
    i2c_message_t messages[2] = {
        {static_cast<uint16_t>(device), I2C_FLAG_STOP, 1, &selected},
        {static_cast<uint16_t>(device), I2C_FLAG_NOSTART | I2C_FLAG_RD, static_cast<uint16_t>(length), buffer},
    };
    for (int attempt = 0; attempt < READ_ATTEMPTS; attempt++)
        if (bus->transfer(messages, 2) >= 0)
            return 0;
    int err = errno;
    bus.reset();
    errno = err;
    return -1;
}

int i2c_write_message(int device, const uint8_t* bytes, int length)
{
    auto bus = i2c_open(I2C_BUS);
    if (!bus) {
        LOG(LOGF_GENERAL, 3, "error opening /dev/i2c-0: %s", strerror(errno));
        return -1;
    }
    int err = EINVAL;
    if (length >= 0 && length <= I2C_MAX_LENGTH) {
        // A write message's bytes are only read.
        i2c_message_t message{static_cast<uint16_t>(device), 0, static_cast<uint16_t>(length),
                              const_cast<uint8_t*>(bytes)};
        for (int attempt = 0; attempt < WRITE_ATTEMPTS; attempt++) {
            if (bus->transfer(&message, 1) >= 0)
                return 0;
            err = errno;
        }
    }
    LOG(LOGF_GENERAL, 3, "error writing to i2c register: %s", strerror(err));
    return -1;
}

int i2c_read(int device, int reg)
{
    uint8_t word[2] = {};
    bool opened;
    if (i2c_read_register(device, reg, word, 2, &opened) == 0)
        return word[0] | word[1] << 8;
    if (opened)
        LOG(LOGF_GENERAL, 3, "i2c_read(0x%02x): %s", reg, strerror(errno));
    return -1;
}

bool i2c_read_block(int device, int reg, uint8_t* buffer, int length)
{
    bool opened;
    if (i2c_read_register(device, reg, buffer, length, &opened) == 0)
        return true;
    if (opened)
        LOG(LOGF_GENERAL, 3, "i2c_read_block(0x%02x): %s", reg, strerror(errno));
    return false;
}

int i2c_write(int device, int reg, int value)
{
    uint8_t bytes[2] = {static_cast<uint8_t>(reg), static_cast<uint8_t>(value)};
    return i2c_write_message(device, bytes, 2);
}
