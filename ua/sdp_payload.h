// Writing one codec into an m= line, and reading payload names and
// parameters of a remote m= line.
#pragma once

#include <osipparser2/sdp_message.h>

#include <map>
#include <string>

#include "ua/codec_table.h"

// fmtp parameters, names and values lower-cased, ordered by name.
using fmtp_map_t = std::map<std::string, std::string>;

// Adds a codec_table row to the m= line m: payload (the row's own pt when
// below 0), a=rtpmap, a=fmtp (row defaults, the silence parameter switched
// off when vad_off, then params in name order; an empty value writes the
// name alone) and a=gpmd for voice-band data. 0 or the failing osip result.
int sdp_add_payload(sdp_message_t* sdp, int m, const CodecInfo& row, bool vad_off, int payload,
                    const fmtp_map_t* params);

// Encoding name of a payload from its a=rtpmap, through codec_alias_map;
// "unsupported" for a clock other than 8000 Hz mono; "" without rtpmap.
std::string sdp_get_codec_name(sdp_message_t* sdp, int m, int payload);

// Parameters of the payload's first a=fmtp; empty without one.
fmtp_map_t sdp_parse_fmtp(sdp_message_t* sdp, int m, int payload);

// Value of "vbd" in the payload's a=gpmd, "" when none.
std::string sdp_get_gpmd(sdp_message_t* sdp, int m, int payload);
