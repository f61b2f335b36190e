#include "mgmt/fpga.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>

#include "core/log.h"
#include "platform/paths.h"

SPIDevice fpgaSpi(FPGA_SPI_DEVICE);

namespace {

std::atomic<int> mode_registers[3] = {-1, -1, -1};   // 0x105, 0x109, 0x10A

std::atomic<int>* mode_slot(unsigned reg)
{
    switch (reg) {
    case FPGA_MODE:
        return &mode_registers[0];
    case FPGA_MASTER_CLOCK:
        return &mode_registers[1];
    case FPGA_MASTER_BIT1:
        return &mode_registers[2];
    default:
        return nullptr;
    }
}

}  // namespace

int fpga_write_reg(unsigned reg, int value)
{
    uint8_t tx[3];
    fpga_address(tx, reg, true);
    tx[2] = static_cast<uint8_t>(value);
    if (!fpgaSpi.transfer(3, tx, nullptr)) {
        LOG(LOGF_BOARD, 3, "SPI transfer error: %s", strerror(errno));
        return 0;
    }
    if (std::atomic<int>* slot = mode_slot(reg))
        slot->store(tx[2]);
    return 1;
}

int fpga_read_reg(unsigned reg)
{
    uint8_t tx[3] = {}, rx[3] = {};
    fpga_address(tx, reg, false);
    if (!fpgaSpi.transfer(3, tx, rx)) {
        LOG(LOGF_BOARD, 3, "SPI transfer error: %s", strerror(errno));
        return -1;
    }
    return rx[2];
}

int fpga_read_cas_bits(uint8_t* out)
{
    uint8_t tx[FPGA_CAS_BURST] = {};
    fpga_address(tx, FPGA_CAS_A, false);
    if (!fpgaSpi.transfer(FPGA_CAS_BURST, tx, out)) {
        LOG(LOGF_BOARD, 3, "SPI transfer error: %s", strerror(errno));
        return -1;
    }
    return 0;
}

int fpga_mode_register(unsigned reg)
{
    std::atomic<int>* slot = mode_slot(reg);
    return slot ? slot->load() : -1;
}

void fpga_forget_mode_registers()
{
    for (auto& r : mode_registers)
        r.store(-1);
}

void resetFPGA()
{
    std::unique_ptr<SpiPort> reset = spi_open(FPGA_RESET_DEVICE, O_WRONLY);
    if (!reset)
        return;
    // The transfer itself is the pulse; its four bytes mean nothing.
    int filler = 0;
    reset->write(&filler, sizeof filler);
}

int loadFPGA(const std::string& file, std::string& err)
{
    FILE* in = fopen(platform_path(file).c_str(), "rb");
    if (!in) {
        err = strerror(errno);
        return -1;
    }
    // The FPGA takes each byte least significant bit first.
    uint8_t reversed[256];
    for (int b = 0; b < 256; b++) {
        int r = 0;
        for (int bit = 0; bit < 8; bit++)
            if (b & (1 << bit))
                r |= 0x80 >> bit;
        reversed[b] = static_cast<uint8_t>(r);
    }
    resetFPGA();
    std::unique_ptr<SpiPort> dev = spi_open(FPGA_SPI_DEVICE, O_WRONLY);
    if (!dev) {
        err = "error opening /dev/spidev0.2";
        fclose(in);
        return -1;
    }
    uint8_t chunk[256];
    size_t filled = 0;
    int c;
    while ((c = getc(in)) != EOF) {
        chunk[filled++] = reversed[c];
        if (filled == sizeof chunk) {
            dev->write(chunk, filled);
            filled = 0;
        }
    }
    if (filled)
        dev->write(chunk, filled);
    dev.reset();
    fclose(in);
    return 0;
}
