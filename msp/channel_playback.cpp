#include "msp/channel_playback.h"

#include <stdexcept>

namespace {

enum : uint16_t { FC_SYNCEOF = 0x9403 };

constexpr size_t PLAY_HEADER = 20;

}  // namespace

MspMessage msp_play_block_message(uint32_t offset, const uint8_t* data, size_t n)
{
    if (n > MSP_PLAY_BLOCK)
        throw std::length_error("msp_play_block_message: block too long");
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_SYNCEOF, PLAY_HEADER - MSP_HEADER_SIZE + n);
    m.u16(12, static_cast<uint16_t>(offset)).u16(14, static_cast<uint16_t>(offset >> 16)).u16(16, 1);
    m.u16(18, static_cast<uint16_t>(n));
    if (n)
        m.bytes(PLAY_HEADER, data, n);
    return m;
}
