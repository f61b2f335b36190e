// Simulated devices on the board's I2C bus: the PoE controller (0x20), the
// two EEPROM pages of a plugged-in SFP module (0x50, 0x51) and the copper PHY
// inside the module (0x56). Every public call is thread-safe.
//
// Device behaviour (their inner working is ours to choose):
// - PoE controller and EEPROM pages: 256 byte registers. A write's first byte
//   sets the register pointer, further bytes are stored from there on; a read
//   returns bytes from the pointer on; the pointer advances and wraps.
// - PHY: 32 registers of 16 bits. A write's first byte selects the register,
//   further bytes are stored as big-endian words; a read returns big-endian
//   words from the selected register on.
// A message to an address with no device present fails the transfer with
// ENXIO (no acknowledge); the messages before it have taken effect.
//
// In-process, install() makes the daemon's bus reach it. As part of the
// simulator program it serves the socket of platform/i2c_bus.h from its own
// thread and takes JSON control requests (see control()).
#pragma once

#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/i2c_bus.h"

// One message of a transfer as the simulator saw it.
struct I2cSimMessage {
    int address = 0;
    uint16_t flags = 0;
    int length = 0;
    std::vector<uint8_t> written;   // the bytes of a write message
};

struct I2cSimTransfer {
    std::vector<I2cSimMessage> messages;
    int error = 0;   // errno the transfer failed with, 0 when it went through
};

class I2cSimulator {
public:
    static constexpr int POE = 0x20;
    static constexpr int SFP_EEPROM = 0x50;
    static constexpr int SFP_EEPROM_2 = 0x51;
    static constexpr int SFP_PHY = 0x56;

    I2cSimulator();
    ~I2cSimulator();
    I2cSimulator(const I2cSimulator&) = delete;
    I2cSimulator& operator=(const I2cSimulator&) = delete;

    // Makes every i2c_open() of the process reach this simulator until it is
    // destroyed.
    void install();
    // A bus on the simulator; null with errno ENOENT while the bus is absent.
    std::unique_ptr<I2cBus> open();
    int transfer(i2c_message_t* messages, int count);

    // The daemon's socket: bound at path, served from start() to stop().
    bool listen(const std::string& path);
    void start();
    void stop();
    // One request of the wire format and its answer; opened is the
    // connection's state, set by a successful open.
    std::vector<uint8_t> answer(const uint8_t* request, size_t length, bool& opened);

    // Control requests, by "cmd":
    //   "set": any of "bus" (bool), "module" (bool), "poe" [register, value],
    //          "eeprom" [page, offset, [bytes]], "phy" [register, value];
    //   "fail": "address", "count", optional "reg" and "errno";
    //   "state": bus, module, "poe" (256 bytes), "phy" (32 words), "transfers"
    //          (count) and "writes" ([address, [bytes]] of each write);
    //   "clear": forgets the transfer log.
    // Answers {"ok": true, ...}; throws on a malformed request.
    nlohmann::json control(const nlohmann::json& request);

    // No bus at all: opening fails as without /dev/i2c-0.
    void setBusPresent(bool present);
    // The SFP module (EEPROM pages and PHY) plugged in or pulled out; the
    // cage starts empty.
    void setModulePresent(bool present);
    void setPoeRegister(int reg, uint8_t value);
    uint8_t poeRegister(int reg) const;
    // page 0: device 0x50, page 1: device 0x51.
    void setEeprom(int page, int offset, const std::vector<uint8_t>& bytes);
    void setPhyRegister(int reg, uint16_t value);
    uint16_t phyRegister(int reg) const;

    // The next count transfers whose first message goes to address fail with
    // err; reg >= 0 narrows it to transfers that start by selecting that
    // register.
    void failNext(int address, int count, int reg = -1, int err = EIO);

    // Every transfer tried, oldest first, and the ones to one address.
    std::vector<I2cSimTransfer> transfers() const;
    size_t transferCount(int address) const;
    // Every write message to address that went through and carried data:
    // {register, data...}.
    std::vector<std::vector<uint8_t>> writes(int address) const;
    void clearLog();

private:
    struct Device {
        enum Kind { Bytes, Words } kind = Bytes;
        bool present = true;
        int pointer = 0;
        std::array<uint8_t, 256> bytes{};
        std::array<uint16_t, 32> words{};
        void write(const uint8_t* data, int length);
        void read(uint8_t* data, int length);
    };
    struct Fault {
        int address, reg, err, count;
    };

    Device* device_locked(int address);
    void serve();
    void wake();

    mutable std::mutex m;   // guards everything below
    bool bus_present = true;
    Device poe, eeprom[2], phy;
    std::vector<Fault> faults;
    std::vector<I2cSimTransfer> log;
    bool installed = false;

    int listen_fd = -1;
    std::string bound_path;
    int wake_pipe[2] = {-1, -1};
    std::thread thread;
};
