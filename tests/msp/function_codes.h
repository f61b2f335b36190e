// The media processor's function codes the channel tests look for among the
// commands the simulator received.
#pragma once

#include <cstdint>

enum : uint16_t {
    FC_TONEGEN = 0x8009,
    FC_TONEOFF = 0x8014,
    FC_CNDONGEN = 0x8039,
    FC_CNDSETP = 0x803A,
    FC_CNDSTOP = 0x803C,
    FC_PROGRAM_TONE_ENGINE = 0x806E,
    FC_PROGRAM_CADENCE_ENGINE = 0x806F,
    FC_SRTP_OPT = 0x8200,
    FC_SET_CHANNEL_MODE = 0x9400,
    FC_SYNCEOF = 0x9403,
    FC_SET_AS_DRAIN = 0x9405,
    FC_SET_AS_STOP = 0x9407,
};
