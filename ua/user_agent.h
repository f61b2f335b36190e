// The gateway's own SIP endpoint on 127.0.0.1:6060: one thread reads the
// user-agent layer's events, answers what needs no channel and turns the rest
// into channel events; the channels act on their calls through the functions
// below, on the main thread. Every function is safe before the thread has
// created the layer and after it has ended: it then fails (or does nothing).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "core/abstract_channel.h"
#include "core/channel_event.h"
#include "sip/core/message.h"

struct CallData;

constexpr const char* UA_LISTEN_ADDRESS = "127.0.0.1";
constexpr int UA_LISTEN_PORT = 6060;
constexpr const char* UA_ALLOW = "INVITE,ACK,BYE,CANCEL,OPTIONS,REFER,NOTIFY,INFO,UPDATE,PRACK";
constexpr const char* UA_SUPPORTED = "replaces,timer,100rel";
// Incoming INVITEs are refused with 503 while the main queue holds this many
// events, once it has held them for the wait (no locks held meanwhile).
constexpr int UA_QUEUE_ADMISSION_LIMIT = 31;
constexpr int UA_ADMISSION_WAIT_MS = 500;

// The eXosip-compatible "wrong state" result: try again later.
constexpr int UA_WRONG_STATE = -3;

// Thread
void* ua_thread(void* argument);  // started with a 1 MiB stack; returns null
bool ua_is_ready();
void ua_stop();
bool ua_is_initialized();
// Starts ua_thread with its 1 MiB stack; 0 or <0. ua_join waits for it.
int ua_start();
void ua_join();

// Registration ids per timeslot (0 = none), written by the registration code;
// guarded by the layer's lock (the thread reads it for every result).
extern int ua_registration_ids[256];

// Posting: the call's channel goes into the event; a refused event is deleted.
void ua_post_event(CallData* call, channel_event_t* event);

// Header readers and the Contact fix-up shared by every handler.
void ua_fix_contact(sipcore::Message& message, bool focus);
int ua_get_pai(const sipcore::Message& message, std::string& name, std::string& number);
int ua_get_rpid(const sipcore::Message& message, std::string& name, std::string& number);
void ua_parse_reason(const sipcore::Message* message, disconnect_event_t* event);
std::string ua_unsupported_require(const sipcore::Message& message);
bool ua_call_supports(int call_id, const std::string& text);

// Calls that exist
int ua_hangup(int call_id, const std::string& reason);
void ua_call_set_ts(int call_id, int channel);
void ua_call_set_identity(int call_id, const std::string& identity);
int ua_send_refer(int call_id, const std::string& refer_to);
int ua_refer(int call_id, int replaced_call_id, bool early_only);
int ua_notify_refer(int dialog_id, const std::string& body);
std::string ua_guess_local_ip(int family);

// Answers to the call's INVITE (transaction <= 0) or to another request of it.
int ua_response_status(int call_id, int status, int transaction, bool with_sdp, const std::string& contact,
                       const std::string& reason);
int ua_answer(int call_id);
// True when the call's remote offer has a codec of the list (or it has no
// remote offer); false without the call.
bool ua_checkSupportedCodec(int call_id, const std::string& codecs);

// The "100rel" timer's callback; the argument is the call id.
void ua_100rel_timer(void* call_id);

// Outgoing calls and changes of a call; transport 0 UDP, 1 TCP, 2 TLS;
// mode null for the default or a direction word ("inactive", ...) or "t38".
int ua_dial_out(int transport, const std::string& to, const std::string& from, const std::string& route,
                int channel, const std::string& codecs, const char* mode);
int ua_reinvite(int call_id, const char* mode);
// The transferee's side of a REFER received in dialog did of the call; the
// transport is not used.
int ua_refer_to(int transport, int call_id, int channel, const std::string& from, const std::string& refer_to,
                const std::string& codecs, int did, const std::string& referred_by);
int ua_ringing(int call_id, bool with_sdp);
int ua_session_progress(int call_id);
int ua_busy(int call_id);
int ua_request_timeout(int call_id);
int ua_service_unavailable(int call_id);

// Registration of a channel's SIP account: the id (>0), <0 on failure, -1
// when nothing was sent. A channel registering again drops its old one first.
int ua_register(const AbstractChannel* channel);
// Drops the registration id (Expires 0, also when a REGISTER of it is still
// in flight) and the credentials ua_register stored for it (user name and
// realm name them when the id is unknown). 0 for a negative id.
int ua_unregister(int id, const std::string& user, const std::string& realm);
// Host of a SIP URI ("sip:" put in front when missing), "" when unparsable.
std::string ua_get_host_from_uri(const std::string& uri);

// What the user agent reads of a SIP channel: its timeslot and the settings
// of its account. The SIPChannel class fills it in through the reader
// below; without a reader no channel counts as one.
struct ua_sip_account_t {
    int timeslot = -1;
    std::string uri;  // user "@" host
    std::string registrar;
    std::string authname;
    std::string password;
    std::string realm;
    std::string realname;
    std::string proxy;
    int expires = 3600;
    int transport = 0;  // 0 UDP, 1 TCP, 2 TLS
    int se = 0;         // Session-Expires of our INVITEs; 0 none
    std::string local_identity;
};
using ua_sip_account_reader_t = bool (*)(const AbstractChannel* channel, ua_sip_account_t* account);
void ua_set_sip_account_reader(ua_sip_account_reader_t reader);
// The account of a channel; false when it is not a SIP channel.
bool ua_read_sip_account(const AbstractChannel* channel, ua_sip_account_t* account);
