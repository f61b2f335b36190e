// The user agent's record of one call of the layer, kept by call id. Every
// record and every field is guarded by the layer's lock.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "sip/core/message.h"
#include "ua/sdp_call.h"

// The SDP steps' part (ts, call id, codecs list, SRTP suite and key, T.38
// flag, o= version) is the base; the rest is the call's signalling state.
struct CallData : sdp_call_t {
    int did = 0;                 // dialog id, rewritten from every event of the call
    int tid = 0;                 // latest INVITE transaction of the call
    bool on_hold = false;
    std::string endpoint_type;   // "X-Endpoint-Type" of our messages
    std::string redirect_contact;
    int notify_did = 0;          // transferor told of this call's outcome by NOTIFY; 0 none
    std::string identity;        // P-Asserted-Identity of answers, Referred-By of REFERs
    sipcore::Message pending_invite;  // transfer INVITE held until the first NOTIFY is answered
    int pending_channel = -1;         // the channel that will own that INVITE's call
    bool terminate_later = false;     // a hang-up the layer refused for now (-3)
    bool end_reported = false;        // a failure already told the channel the call ended
    std::set<std::string> remote_caps;     // Supported tags (lower case), Allow methods (upper case)
    std::set<std::string> remote_require;  // Require tags (lower case) of the initial INVITE
    int rseq = 100;
    sipcore::Message reliable_response;  // last reliable provisional response, until PRACKed
    int rel_interval = 500;              // ms
    uint64_t rel_timer = 0;              // the "100rel" timer on main_scheduler; 0 none
};

void call_data_init(CallData& call, int ts);
// Cancels the call's timer and frees its messages.
void call_data_destroy(CallData& call);

// The record of a call: created, looked up and released under the layer's lock.
CallData* ua_call_data(int call_id);
CallData* ua_call_data_create(int call_id, int ts);
// call_data_destroy, then the record is gone.
void ua_call_data_release(int call_id);
// Every record (shutdown).
void ua_call_data_release_all();
size_t ua_call_data_count();
