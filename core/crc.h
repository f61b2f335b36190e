// Table-driven CRC steps, most significant bit first, not reflected.
#pragma once

#include <cstdint>

// Polynomial 0x1021; start from 0xFFFF for CRC-16/CCITT-FALSE.
uint16_t crc16_update(uint16_t crc, uint8_t byte);
// Polynomial 0x04C11DB7; start from 0xFFFFFFFF and invert for CRC-32/BZIP2.
uint32_t crc32_update(uint32_t crc, uint8_t byte);
