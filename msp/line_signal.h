// Line signals go out as one write on the FPGA's SPI link. Until the
// device-management layer installs its SPI access, a stand-in records the
// writes (tests read them) and reports success.
#pragma once

#include <cstdint>
#include <vector>

// Writes length bytes in one SPI transfer; true when it succeeded.
using FpgaSpiWrite = bool (*)(const uint8_t* bytes, int length);

// Installs the SPI write; null brings the recording stand-in back.
void fpga_line_signal_set_writer(FpgaSpiWrite write);
bool fpga_line_signal_write(const uint8_t* bytes, int length);

// What the stand-in received, oldest first; clearing empties it.
std::vector<std::vector<uint8_t>> fpga_line_signal_recorded();
void fpga_line_signal_clear();
