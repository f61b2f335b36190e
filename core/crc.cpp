#include "core/crc.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> make16()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; i++) {
        uint16_t c = uint16_t(i << 8);
        for (int k = 0; k < 8; k++)
            c = (c & 0x8000) ? uint16_t((c << 1) ^ 0x1021) : uint16_t(c << 1);
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> make32()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i << 24;
        for (int k = 0; k < 8; k++)
            c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        t[i] = c;
    }
    return t;
}

constexpr auto table16 = make16();
constexpr auto table32 = make32();

}  // namespace

uint16_t crc16_update(uint16_t crc, uint8_t byte)
{
    return uint16_t(table16[((crc >> 8) ^ byte) & 0xFF] ^ (crc << 8));
}

uint32_t crc32_update(uint32_t crc, uint8_t byte) { return table32[((crc >> 24) ^ byte) & 0xFF] ^ (crc << 8); }
