// The one source of codec names, payload numbers and SRTP suites for every
// SDP the gateway writes or reads.
#pragma once

#include <cstdint>
#include <map>
#include <string>

enum : uint32_t {
    CODEC_VOICE = 0x01,
    CODEC_INTERLEAVED = 0x02,      // EVRC family: takes "maxinterleave" and causes a maxptime line
    CODEC_TELEPHONE_EVENT = 0x04,
    CODEC_SILENCE = 0x08,          // silence suppression is negotiated (built-in VAD or comfort noise)
    CODEC_VBD = 0x10,              // voice-band data (V.152)
    CODEC_SILENCE_ZERO = 0x20,     // silence parameter is switched off with "=0", not "=no"
};

struct CodecInfo {
    int pt;
    const char* name;
    const char* rtpmap;            // name + "/8000"
    const char* fmtp;              // default fmtp parameters or null
    uint32_t flags;
    const char* silence_param;     // fmtp parameter that switches the codec's own VAD off, or null
};

// 21 rows, then an end row with pt -1 and no name.
extern const CodecInfo codec_table[];

struct SrtpSuite {
    const char* name;
    int tag_length;                // bytes
};

extern const SrtpSuite srtp_suites[2];

// Other spellings of encoding names and the table name they stand for; case-sensitive.
extern const std::map<std::string, std::string> codec_alias_map;

// The SRTP suite of that name (case-blind, as SDP grammar literals are), or null.
const SrtpSuite* srtp_suite_find(const std::string& name);
