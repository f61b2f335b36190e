// Codec options of the chosen voice codec's fmtp, as the media processor takes them.
#pragma once

#include "core/rtp_event.h"
#include "ua/sdp_payload.h"

// hangover, dtxmin, dtxmax, maxinterleave and amr_flags; a mode-set naming
// no mode 0-7 is logged (after prefix) and allows every mode.
void sdp_codec_options(rtp_event_t& event, const fmtp_map_t& fmtp, const char* prefix);
