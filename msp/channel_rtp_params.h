// Applying negotiated RTP parameters to a channel's MSP connection
// (ComcertoChannel::comcerto_set_rtp_params); what it needs besides the class.
#pragma once

// Looped while the peer holds the call.
extern const char* const HOLD_MUSIC_FILE;
