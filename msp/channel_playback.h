// Sound-file playback into the channel's MSP connection: the play block the
// block pump sends, and its size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "msp/msp_protocol.h"

// Bytes of sound per block: 20 ms of G.711.
constexpr size_t MSP_PLAY_BLOCK = 160;

// One block of n (at most MSP_PLAY_BLOCK) bytes at the running offset: the
// MSP sees the offset as two 16-bit halves, so it counts modulo 2^32.
MspMessage msp_play_block_message(uint32_t offset, const uint8_t* data, size_t n);
