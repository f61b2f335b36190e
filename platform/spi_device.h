// The board's SPI devices: the FPGA's register interface and bit-stream input
// on /dev/spidev0.2, its configuration reset on /dev/spidev1.8. On the board
// they are Linux spidev character devices. With LINEGW_SIM_FPGA=<socket path>
// every open, transfer, write and close goes to the board simulator instead,
// one message each, so the simulator sees exactly what the FPGA would see.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

constexpr const char* FPGA_SIM_ENV = "LINEGW_SIM_FPGA";

// One open SPI device. Implementations are safe to use from several threads:
// whole transfers interleave, as the kernel serialises them on the board.
class SpiPort {
public:
    virtual ~SpiPort() = default;
    // One full-duplex transfer of length bytes (one chip-select period); rx
    // may be null. False with errno set when it failed.
    virtual bool transfer(int length, const uint8_t* tx, uint8_t* rx) = 0;
    // A plain write; the bytes written, or -1 with errno set.
    virtual ssize_t write(const void* data, size_t length) = 0;
};

// Opens a device path (O_RDWR or O_WRONLY): the simulator's when
// LINEGW_SIM_FPGA is set or a test installed an opener, else the device file
// under the platform root. Null with errno set when it cannot be opened.
std::unique_ptr<SpiPort> spi_open(const std::string& path, int flags);

// Tests open devices in-process; an empty opener restores the environment's choice.
using SpiOpener = std::function<std::unique_ptr<SpiPort>(const std::string& path, int flags)>;
void spi_set_opener(SpiOpener opener);

// The FPGA's register device, opened read-write on first use so that the
// simulator choice and the logger are in place by then.
class SPIDevice {
public:
    explicit SPIDevice(std::string path) : path_(std::move(path)) {}
    ~SPIDevice() { close(); }
    SPIDevice(const SPIDevice&) = delete;
    SPIDevice& operator=(const SPIDevice&) = delete;

    // Opens on the first call; logs once when the device cannot be opened.
    bool isOpen();
    // False with errno set when the transfer failed or the device is not open.
    bool transfer(int length, const uint8_t* tx, uint8_t* rx);
    // Closes the device; the next use opens it again. Only while no other
    // thread uses it (shutdown, tests).
    void close();

private:
    SpiPort* port();

    std::string path_;
    std::mutex open_mutex_;                // guards opening and closing
    std::unique_ptr<SpiPort> owned_;       // guarded by open_mutex_
    std::atomic<SpiPort*> port_{nullptr};  // read by every transfer without a lock
    std::atomic<bool> tried_{false};
};

// The simulator's wire format (one SOCK_SEQPACKET connection per open device):
// each request is one message, answered by one message whose first byte is 0
// or an errno value.
namespace spi_sim {
constexpr uint8_t OPEN = 'O';       // 'r' (read-write) or 'w' (write-only), then the path
constexpr uint8_t TRANSFER = 'T';   // 1 when the receive bytes are wanted, then the transmit bytes
constexpr uint8_t WRITE = 'W';      // the bytes; answered with the count (u32, little-endian)
constexpr uint8_t CLOSE = 'C';      // nothing; the simulator has seen the whole use when answered
constexpr size_t MAX_MESSAGE = 4096;
}  // namespace spi_sim
