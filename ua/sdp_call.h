// What the SDP steps read and write of a call's record: the user agent's
// per-call record holds one of these.
#pragma once

#include <string>

#include "ua/codec_list.h"
#include "ua/sdp_origin.h"

struct sdp_call_t {
    int ts = -1;                              // owning channel: timeslot or virtual channel id
    int call_id = 0;                          // data of the events posted for the call
    std::string codec_list = CODEC_LIST_DEFAULT;
    std::string srtp_suite;                   // suite in use, "" for plain RTP
    std::string srtp_key;                     // our 30-byte key in use
    bool is_t38 = false;
    sdp_session_t session;                    // o= version of the last SDP the call sent
};
