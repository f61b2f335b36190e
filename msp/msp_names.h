// Names of the media processor's function and error codes, for log lines only.
#pragma once

#include <cstdint>

struct MspFunctionCode {
    uint32_t code;
    const char* name;
};

struct MspErrorCode {
    uint32_t code;
    const char* name;
    const char* description;
};

// Null when the code has no row.
const char* msp_fc_name(uint32_t fc);
const MspErrorCode* msp_error(uint32_t code);
