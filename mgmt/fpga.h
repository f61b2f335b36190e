// The FPGA's registers over its SPI link, and the loading of its bit stream.
// Every register access is one transfer, so callers on any thread interleave
// whole accesses; nothing guards a read-modify-write of one register.
#pragma once

#include <cstdint>
#include <string>

#include "platform/spi_device.h"

// The registers the daemon uses.
enum : unsigned {
    FPGA_STATUS = 0x101,        // read 4: [2] board address, [3] error (0 = running)
    FPGA_FIFO = 0x102,          // management link byte FIFOs: read drains rx, write fills tx
    FPGA_RX_LEVEL = 0x103,      // read 4: ((b2 & 3) << 8) | b3
    FPGA_TX_LEVEL = 0x104,      // read 4: ((b2 & 1) << 8) | b3
    FPGA_MODE = 0x105,
    FPGA_TDM0_MODE = 0x106,
    FPGA_START = 0x107,
    FPGA_MASTER_CLOCK = 0x109,
    FPGA_MASTER_BIT1 = 0x10A,
    FPGA_E1_ALARMS = 0x10B,     // bit n-1: stream n
    FPGA_CAS_A = 0x10C,         // read 36: the CAS-A burst
    FPGA_E1_EVENTS = 0x10D,
    FPGA_RELAY = 0x10E,
    FPGA_E1NUM = 0x110,         // + stream index 0..7
    FPGA_E1_INIT = 0x118,       // 0x118..0x11F
    FPGA_DEVCLK = 0x120,
    FPGA_LINE_SIGNAL = 0x200,   // + timeslot
    FPGA_MODULE_SLOT1 = 0x400,  // first register of each slot: the module type code
    FPGA_MODULE_SLOT2 = 0x500,
};

constexpr int FPGA_TX_FIFO_SIZE = 511;
constexpr int FPGA_FIFO_BURST = 512;       // most bytes one read of the rx FIFO takes
constexpr int FPGA_CAS_BURST = 36;         // 2 address bytes, status, unused, 32 bytes of bits
constexpr const char* FPGA_SPI_DEVICE = "/dev/spidev0.2";
constexpr const char* FPGA_RESET_DEVICE = "/dev/spidev1.8";
constexpr const char* FPGA_BITSTREAM = "/usr/share/linegw/zr-40.rbf";

// The register device, shared by every thread.
extern SPIDevice fpgaSpi;

// The two address bytes in front of every transfer.
inline void fpga_address(uint8_t* out, unsigned reg, bool write)
{
    out[0] = static_cast<uint8_t>(((reg >> 8) & 0x7F) | (write ? 0x80 : 0));
    out[1] = static_cast<uint8_t>(reg & 0xFF);
}

// Non-zero on success; 0 after logging "SPI transfer error: %s".
int fpga_write_reg(unsigned reg, int value);
// The register's value 0..255, or -1 after logging.
int fpga_read_reg(unsigned reg);
// The CAS-A burst into out (36 bytes: status at 2, bits from 4); 0 or -1 after logging.
int fpga_read_cas_bits(uint8_t* out);

// Pulses the FPGA's configuration reset; errors are ignored.
void resetFPGA();
// Sends the bit stream file (bit-reversed, 256 bytes per write) after a
// reset pulse. 0, or -1 with err set.
int loadFPGA(const std::string& file, std::string& err);

// The last values written to the mode registers (0x105, 0x109, 0x10A), -1
// when never written: a reloaded FPGA has lost them.
int fpga_mode_register(unsigned reg);
// Tests: forget them.
void fpga_forget_mode_registers();
