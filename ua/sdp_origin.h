// sess-version of the o= line. Offers count on one process-wide number;
// within a call every new SDP must carry a higher version than the last one
// the call sent, also when it is an answer.
#pragma once

#include <cstdint>

// Next version an offer takes; guarded by the caller's SIP stack lock.
extern uint32_t sdp_origin_version;

// Kept with each call.
struct sdp_session_t {
    bool sent = false;       // the call has sent an SDP
    uint32_t version = 0;    // sess-version of that SDP
};

// The version of a new offer, or answer, of the session (session may be null).
uint32_t sdp_origin_next(sdp_session_t* session, bool offer);
