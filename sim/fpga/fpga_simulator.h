// Simulated FPGA behind the board's two SPI devices: the register device
// /dev/spidev0.2 (status, the management link's two byte FIFOs, E1 alarm and
// CAS registers, module slots, line signals), its bit-stream input (the same
// path opened write-only) and the configuration reset /dev/spidev1.8.
// Every public call is thread-safe; the daemon's threads transfer
// concurrently, one whole transfer at a time as the kernel serialises them.
// In-process, tests install opener() as the SPI seam's opener.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/spi_device.h"

// One register transfer as seen on the wire.
struct FpgaSimAccess {
    uint64_t seq = 0;
    int64_t time_ms = 0;    // since the simulator was made
    bool write = false;
    unsigned reg = 0;
    int length = 0;         // the whole transfer, address bytes included
    std::vector<uint8_t> data;   // written bytes, or the bytes answered to a read
};

// One bit-stream load: the bytes the loader wrote, in its write() calls.
struct FpgaSimLoad {
    std::vector<uint8_t> bytes;
    std::vector<size_t> writes;   // the size of each write
    int resets_before = 0;        // reset pulses since the previous load
    bool configured = false;      // the FPGA runs after it
};

// A line-signal pulse: a value shown on a timeslot for a duration.
struct FpgaSimPulse {
    int64_t time_ms = 0;
    int timeslot = 0;
    int value = 0;         // high nibble of the byte written
    int duration_ms = 0;   // low nibble, in 8 ms units
};

class FpgaSimulator {
public:
    static constexpr const char* REGISTER_DEVICE = "/dev/spidev0.2";
    static constexpr const char* RESET_DEVICE = "/dev/spidev1.8";
    static constexpr int RX_FIFO_SIZE = 1023;
    static constexpr int TX_FIFO_SIZE = 511;
    static constexpr int LOG_LIMIT = 65536;   // entries kept in each log

    FpgaSimulator();
    ~FpgaSimulator();
    FpgaSimulator(const FpgaSimulator&) = delete;
    FpgaSimulator& operator=(const FpgaSimulator&) = delete;

    // One connection, as the SPI seam sees an open device. Null with errno
    // set for an unknown path or an injected open failure.
    std::unique_ptr<SpiPort> open(const std::string& path, int flags);
    // For spi_set_opener; the simulator must outlive what it opened.
    SpiOpener opener();

    // One wire message of a connection (the SPI seam's socket format), and
    // its answer. A connection starts with an OPEN message.
    class Connection;
    std::unique_ptr<Connection> connect();
    std::vector<uint8_t> handle(Connection& c, const uint8_t* message, size_t length);

    // The simulator program's side: the SPI seam's socket (SOCK_SEQPACKET,
    // one connection per open device) served from a thread of its own.
    // listen: false with errno set when the path cannot be bound.
    bool listen(const std::string& path);
    void start();
    void stop();
    // One control request ({"cmd": ...}) -> its reply {"ok": true, ...}; throws
    // std::exception for a malformed one.
    nlohmann::json control_request(const nlohmann::json& request);
    std::string describe() const;

    // The board.
    void setBoardAddress(int address);
    int boardAddress();
    void setModuleType(int slot, int type);   // slot 1 or 2; 31 is empty
    void setE1Alarms(int bits);                // register 0x10B
    void setE1Events(int bits);                // register 0x10D
    void setDevclk(int value);                 // register 0x120
    void setCasStatus(int value);              // byte 2 of the CAS-A burst
    void setCasBit(int timeslot, bool on);
    bool casBit(int timeslot);
    // A module's line chip behind the slot's indirect window (slot 1 or 2).
    void setChipRegister(int slot, int address, int value);
    int chipRegister(int slot, int address);

    // The loader. Without an expected bit stream any non-empty load
    // configures the FPGA; with one, only its bit-reversed bytes do.
    void setBitstream(const std::vector<uint8_t>& file);
    void failLoads(int count);   // the next count loads leave it unconfigured
    void setConfigured(bool on);
    bool configured();
    int resetPulses();
    std::vector<FpgaSimLoad> loads();

    // Faults. failTransfers: the next count transfers of reg (-1: any
    // register) fail with err; count -1 for ever, 0 ends it. One fault per
    // register; a register's own fault comes before the any-register one.
    void failTransfers(int count, int err = EIO, int reg = -1);
    // The next count opens of path (with that access mode, -1: any) fail with err.
    void failOpens(const std::string& path, int count, int err = ENOENT, int accmode = -1);
    // The next count status reads show an error although the FPGA runs.
    void setStatusErrors(int count);

    // The management link's FIFOs, from the controller's side.
    void pushRx(const std::vector<uint8_t>& bytes);   // beyond the FIFO they wait
    std::vector<uint8_t> takeTx();
    int rxLevel();
    int txLevel();

    // What happened.
    std::vector<FpgaSimAccess> trace();    // every register transfer
    std::vector<FpgaSimAccess> writes();   // register writes only
    void clearLogs();
    int reg(unsigned reg);                 // last value written, -1 never
    int reads(unsigned reg);               // read transfers of reg
    uint64_t transfers();
    int failedTransfers();
    std::vector<FpgaSimPulse> pulses();

private:
    class Port;
    struct Fault {
        int count = 0;
        int err = EIO;
    };
    struct OpenFault {
        int count = 0;
        int err = ENOENT;
        int accmode = -1;
    };

    bool transfer(Connection& c, int length, const uint8_t* tx, uint8_t* rx);
    ssize_t write(Connection& c, const uint8_t* data, size_t length);
    bool openConnection(Connection& c, const std::string& path, int flags);
    void closeConnection(Connection& c);
    // Under mutex_.
    uint8_t readRegister(unsigned reg);
    void writeRegister(unsigned reg, const uint8_t* data, int n);
    void refillRx();
    int64_t now() const;
    void log(std::deque<FpgaSimAccess>& to, const FpgaSimAccess& a);

    void serve();
    nlohmann::json state();

    std::mutex mutex_;
    std::chrono::steady_clock::time_point start_;
    std::string socketPath_;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread server_;
    int address_ = 31;
    int moduleTypes_[2] = {31, 31};
    uint8_t window_[2][256] = {};
    uint8_t chip_[2][128] = {};
    int e1Alarms_ = 0, e1Events_ = 0, devclk_ = 0, casStatus_ = 0;
    uint8_t cas_[32] = {};
    std::map<unsigned, uint8_t> registers_;
    std::map<unsigned, int> reads_;

    bool configured_ = false;
    bool haveBitstream_ = false;
    std::vector<uint8_t> expected_;   // bit-reversed
    int failLoads_ = 0;
    int resets_ = 0;
    int resetsSinceLoad_ = 0;
    std::vector<FpgaSimLoad> loads_;

    std::map<int, Fault> faults_;               // register (-1: any) -> fault
    std::map<std::string, OpenFault> openFaults_;
    int statusErrors_ = 0;
    int failed_ = 0;

    std::deque<uint8_t> rxFifo_, rxWaiting_, txFifo_;

    uint64_t seq_ = 0;
    std::deque<FpgaSimAccess> trace_, writes_;
    std::vector<FpgaSimPulse> pulses_;
};

class FpgaSimulator::Connection {
public:
    bool opened() const { return opened_; }

private:
    friend class FpgaSimulator;
    bool opened_ = false;
    bool registers_ = false;   // /dev/spidev0.2 read-write
    bool loader_ = false;      // /dev/spidev0.2 write-only
    bool reset_ = false;       // /dev/spidev1.8
    FpgaSimLoad load;          // the loader's bytes so far
};
