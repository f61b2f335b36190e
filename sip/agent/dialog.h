// The layer's records of transactions, dialogs and calls. All of them belong
// to the Agent and are guarded by its one lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sip/core/message.h"
#include "sip/core/transport.h"

namespace sipagent {

using sipcore::Message;

enum class TxKind { Call, Register, Message };

struct tx_t {
    int id = 0;
    int stid = 0;  // the core's transaction id once the request left
    bool client = false;
    TxKind kind = TxKind::Message;
    std::string method;
    Message request;        // as sent or received
    Message last_response;  // last sent (server) or received (client)
    bool final_done = false;
    int cid = 0, did = 0, rid = 0;
    int auth_tries = 0;
    int stale_tries = 0;  // challenges that only renewed the nonce
    int redirects = 0;
    int se_tries = 0;
    int glare_tries = 0;  // 491s this re-INVITE already got
    int prack_rseq = 0;  // RSeq of the last 1xx we sent a PRACK for
    bool internal = false;  // the layer's own request (session refresh): not reported
    sipcore::peer_t peer;
};

enum class DialogState { Early, Confirmed, Terminated };

struct dialog_t {
    int id = 0;
    int cid = 0;
    bool uac = false;
    DialogState state = DialogState::Early;
    std::string call_id;
    std::string local_tag, remote_tag;
    std::string local_party, remote_party;  // From/To header text without tags
    std::string remote_target;              // Contact URI of the peer
    std::vector<std::string> route_set;     // in the order the requests carry them
    sipcore::TransportType transport = sipcore::TransportType::UDP;  // what the dialog was set up on
    unsigned local_cseq = 0;
    unsigned remote_cseq = 0;
    bool remote_cseq_known = false;
    int invite_tid = 0;         // the last INVITE transaction, either side
    int pending_in_invite = 0;  // incoming INVITE not finally answered
    int pending_out_invite = 0; // our INVITE not finally answered
    Message ack;                // our last ACK, re-sent on a retransmitted 2xx
    unsigned ack_cseq = 0;      // CSeq of the INVITE the 2xx we still must ACK answers
    bool ack_due = false;       // a 2xx to our INVITE waits for the application's ACK
    std::string local_sdp, remote_sdp;
    std::string session_sdp;    // ours as last agreed: a session refresh offers it again
    Message invite_2xx;         // our 2xx waiting for its ACK
    bool bye_sent = false, bye_received = false;
    int64_t subscription_until = 0;  // implicit REFER subscription
    int subscription_timer = 0;
    // session timer
    int se_interval = 0;  // seconds
    bool se_refresher = false;
    int se_timer = 0;
    int glare_timer = 0;  // our re-INVITE that got 491 goes again then
    bool peer_allows_update = false;
    unsigned sdp_version = 0;
    std::string authorization;  // Proxy-Authorization to copy into the ACK
};

struct call_t {
    int id = 0;
    bool uac = false;
    std::string call_id;
    std::vector<int> dialogs;
    int invite_tid = 0;  // initial INVITE
    bool hung_up = false;   // the application ended it; a late 2xx gets ACK and BYE
    bool cancel_sent = false;
    bool closed = false;
    bool released = false;
    bool failed = false;
    std::vector<int> timers;
    Message invite;  // our initial INVITE as last sent (retries build on it)
};

// Replaces the CSeq of a message.
void set_cseq(Message& m, unsigned n, const std::string& method);
// Whether a comma-list header (Allow, Supported, Require) names token, any case.
bool lists_token(const Message& m, const std::string& header, const std::string& token);

}  // namespace sipagent
