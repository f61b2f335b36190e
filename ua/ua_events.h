// The channel events only the SIP user agent posts, one record per kind of
// SIP news. data is the call id the event is about unless said otherwise;
// channel is the call's owner. The main loop deletes them after dispatch.
#pragma once

#include <map>
#include <string>

#include "core/channel_event.h"

// EV_REMOTE_RINGING
struct ringing_event_t : channel_event_t {
    int status = 0;  // 180, 183, ...
    ringing_event_t() : channel_event_t(-1, EV_REMOTE_RINGING) {}
};

// EV_CALL_ANSWERED
struct answer_event_t : channel_event_t {
    std::string contact;   // the remote side's first Contact, "" when none
    std::string identity;  // its asserted identity as user "@" host, "" when none
    bool is_focus = false; // that Contact carries "isfocus"
    answer_event_t() : channel_event_t(-1, EV_CALL_ANSWERED) {}
};

// EV_MESSAGE_ANSWERED: an in-call request of ours got a 2xx.
struct message_answer_t : channel_event_t {
    std::string method;
    message_answer_t() : channel_event_t(-1, EV_MESSAGE_ANSWERED) {}
};

// EV_MESSAGE_FAILED: an in-call request of ours got 3xx to 6xx.
struct message_failed_t : channel_event_t {
    std::string method;
    message_failed_t() : channel_event_t(-1, EV_MESSAGE_FAILED) {}
};

// EV_ACK_RECEIVED
struct call_ack_t : channel_event_t {
    std::string method;  // of the acknowledged request
    int status = 0;      // of the acknowledged response
    call_ack_t() : channel_event_t(-1, EV_ACK_RECEIVED) {}
};

// EV_NOTIFY_RECEIVED: body, type and subtype are empty unless the NOTIFY
// carries a typed, non-empty body.
struct call_notify_t : channel_event_t {
    std::string subscription_state;
    std::string event;
    std::string body;
    std::string content_type;
    std::string content_subtype;
    call_notify_t() : channel_event_t(-1, EV_NOTIFY_RECEIVED) {}
};

// EV_REPLACE_CALL: data = the replaced call, channel = its channel.
struct call_replace_t : channel_event_t {
    std::string from;
    std::string caller_name;
    std::string caller_number;
    int new_call_id = 0;  // the replacing call
    call_replace_t() : channel_event_t(-1, EV_REPLACE_CALL) {}
};

// EV_CALL_ID_REPLACED: data = the call that received the REFER, channel =
// the channel kept with the transfer INVITE.
struct cid_replace_t : channel_event_t {
    int new_call_id = 0;  // the call the transfer INVITE created
    cid_replace_t() : channel_event_t(-1, EV_CALL_ID_REPLACED) {}
};

// EV_REFER_RECEIVED
struct refer_event_t : channel_event_t {
    std::string refer_to;    // as received
    std::string refer_user;  // user part of its URI
    std::string refer_uri;   // scheme ":" user "@" host
    int did = 0;             // dialog of the REFER
    std::map<std::string, std::string> params;  // the REFER's Request-URI parameters
    std::string referred_by;
    refer_event_t() : channel_event_t(-1, EV_REFER_RECEIVED) {}
};

// EV_CALL_REDIRECTED
struct redirect_event_t : channel_event_t {
    std::string contact;  // URI of the redirecting response's first Contact
    redirect_event_t() : channel_event_t(-1, EV_CALL_REDIRECTED) {}
};
