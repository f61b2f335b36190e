// Register access to the devices on the board's I2C bus /dev/i2c-0 (PoE
// controller, SFP module). Every call opens and closes the bus itself and
// takes no lock: the kernel serialises the transfers, so any thread may call.
// A missing bus or device is logged once per call, never once per attempt.
#pragma once

#include <cstdint>

// Selects reg (1 byte, then a stop) and reads length bytes, retried up to 11
// times back to back. 0, or -1 with errno set; *opened says whether the bus
// could be opened at all.
int i2c_read_register(int device, int reg, uint8_t* buffer, int length, bool* opened);

// One write message, retried up to 101 times back to back. 0, or -1 after
// logging "error opening /dev/i2c-0: %s" or "error writing to i2c register: %s".
int i2c_write_message(int device, const uint8_t* bytes, int length);

// A 16-bit register, first byte low; -1 on failure ("i2c_read(0x%02x): %s",
// nothing when the bus cannot be opened).
int i2c_read(int device, int reg);
// length bytes from reg on ("i2c_read_block(0x%02x): %s" on failure,
// nothing when the bus cannot be opened).
bool i2c_read_block(int device, int reg, uint8_t* buffer, int length);
// One byte register; 0 or -1 (logged). Callers may ignore the result.
int i2c_write(int device, int reg, int value);
