// The board's SPI devices: the FPGA's register interface and bit-stream input
// on /dev/spidev0.2, its configuration reset on /dev/spidev1.8. On the board
// they are Linux spidev character devices. With LINEGW_SIM_FPGA=<socket path>
// every open, transfer, write and close goes to the board simulator instead,
// one message each, so the simulator sees exactly what the FPGA would see.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

constexpr const char* FPGA_SIM_ENV = "LINEGW_SIM_FPGA";

// One transfer of a batch; ok and error (an errno value) tell how it went.
struct SpiTransfer {
    int length = 0;
    const uint8_t* tx = nullptr;
    uint8_t* rx = nullptr;   // may be null
    bool ok = false;
    int error = 0;
};

// One open SPI device. Implementations are safe to use from several threads:
// whole transfers interleave, as the kernel serialises them on the board.
class SpiPort {
public:
    virtual ~SpiPort() = default;
    // One full-duplex transfer of length bytes (one chip-select period); rx
    // may be null. False with errno set when it failed.
    virtual bool transfer(int length, const uint8_t* tx, uint8_t* rx) = 0;
    // Several transfers in order, each its own chip-select period, handed
    // over at once where the device allows it.
    virtual void transfers(SpiTransfer* batch, int count)
    {
        for (int i = 0; i < count; i++) {
            batch[i].ok = transfer(batch[i].length, batch[i].tx, batch[i].rx);
            batch[i].error = batch[i].ok ? 0 : errno;
        }
    }
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
    // Each transfer's ok and error set; all fail with EBADF when not open.
    void transfers(SpiTransfer* batch, int count);
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
// A count, then per transfer: 1 when its receive bytes are wanted, its length
// (u16, little-endian), its transmit bytes. Answered with 0, then per
// transfer 0 and the wanted receive bytes, or the errno value it failed with.
constexpr uint8_t TRANSFERS = 'M';
constexpr uint8_t WRITE = 'W';      // the bytes; answered with the count (u32, little-endian)
constexpr uint8_t CLOSE = 'C';      // nothing; the simulator has seen the whole use when answered
constexpr size_t MAX_MESSAGE = 4096;
}  // namespace spi_sim
