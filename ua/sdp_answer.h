// The gateway's answer to a remote SDP offer, and the media it settles.
#pragma once

#include <memory>
#include <osipparser2/sdp_message.h>
#include <string>

#include "core/rtp_event.h"
#include "ua/sdp_call.h"
#include "ua/sdp_crypto.h"
#include "ua/sdp_media_address.h"

// True when the offer has a media line the codecs list accepts: T.38 when
// allowed, or an audio line (SAVP with crypto when SRTP is required) with a
// voice codec of the list (AMR only mono).
bool sdp_check_supported_codec(sdp_message_t* offer, const std::string& codecs);

// Builds the answer to offer for the call's channel and codecs list. On
// success body holds the SDP text and event the negotiated media (channel =
// ts, data = call id), and the call's SRTP suite, key, T.38 flag and o=
// version are updated. False when no line could be answered or an osip
// step failed.
bool sdp_complete_200ok(sdp_call_t& call, sdp_message_t* offer, const sdp_local_t& local,
                        const sdp_random_t& random, std::string& body, std::unique_ptr<rtp_event_t>& event);

// Appends a copy of the offer's m= line with port 0.
void sdp_reject_media(sdp_message_t* answer, sdp_message_t* offer, int m);
