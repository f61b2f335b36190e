// The board's I2C bus (/dev/i2c-0): combined transfers as the kernel's
// I2C_RDWR ioctl makes them. On the board it is the Linux I2C character
// device. With LINEGW_SIM_I2C=<socket path> every open and transfer goes to
// the board simulator instead; tests may also install an opener that reaches
// a simulated bus in-process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

constexpr const char* I2C_SIM_ENV = "LINEGW_SIM_I2C";

// Message flags, with the kernel's values.
constexpr uint16_t I2C_FLAG_RD = 0x0001;
constexpr uint16_t I2C_FLAG_NOSTART = 0x4000;
constexpr uint16_t I2C_FLAG_STOP = 0x8000;
// The kernel refuses longer transfers and messages.
constexpr int I2C_MAX_MESSAGES = 42;
constexpr int I2C_MAX_LENGTH = 8192;

// One message of a transfer: written from or read into data.
struct i2c_message_t {
    uint16_t address;   // 7-bit
    uint16_t flags;
    uint16_t length;
    uint8_t* data;
};

// One open bus. The kernel serialises transfers, so can the simulator: an
// open bus may be used from several threads.
class I2cBus {
public:
    virtual ~I2cBus() = default;
    // One combined transfer. The number of messages, or -1 with errno set.
    virtual int transfer(i2c_message_t* messages, int count) = 0;
};

// Opens a bus device read-write: the test's opener when one is installed,
// else the simulator's when LINEGW_SIM_I2C is set, else the device file
// under the platform root. Null with errno set.
std::unique_ptr<I2cBus> i2c_open(const std::string& path);

// An empty opener restores the device files.
using I2cOpener = std::function<std::unique_ptr<I2cBus>(const std::string& path)>;
void i2c_set_opener(I2cOpener opener);

// Checks a transfer as the kernel would before it reaches a device: 0, or
// -1 with errno EINVAL.
int i2c_check_transfer(const i2c_message_t* messages, int count);

// The simulator's wire format (one SOCK_SEQPACKET connection per open bus):
// each request is one message, answered by one message whose first byte is 0
// or an errno value. Numbers are 16-bit little-endian.
namespace i2c_sim {
constexpr uint8_t OPEN = 'O';       // then the path
constexpr uint8_t TRANSFER = 'T';   // the message count (1 byte), then per message its address,
                                    // flags and length, followed by a write message's bytes;
                                    // answered with the read messages' bytes in order
constexpr size_t MAX_MESSAGE = 4096;
}  // namespace i2c_sim
