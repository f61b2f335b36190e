// The media of an offer the gateway sent, once the remote side's answer is
// in: only what the offer allowed is taken out of the answer.
#pragma once

#include <memory>
#include <osipparser2/sdp_message.h>

#include "core/rtp_event.h"
#include "ua/sdp_call.h"
#include "ua/sdp_media_address.h"

enum sdp_answered_t {
    SDP_MEDIA_ACCEPTED,      // event holds the media; the call's SRTP and T.38 state are updated
    SDP_MEDIA_REFUSED,       // nothing acceptable
    SDP_MEDIA_BAD_CRYPTO,    // SRTP settled with an empty tag or key: hang up with 488
};

inline const char* const SDP_BAD_CRYPTO_REASON = "Invalid or missing encryption parameters";

// ours: the gateway's offer; theirs: the remote answer.
sdp_answered_t sdp_answered_media(sdp_call_t& call, sdp_message_t* ours, sdp_message_t* theirs,
                                  const sdp_local_t& local, std::unique_ptr<rtp_event_t>& event);
