// Channel events: everything that happens to a channel reaches it as one of
// these, posted from any thread and dispatched on the main thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "core/json_value.h"

enum channel_event_code {
    EV_CAS = 0,
    EV_INCOMING_CALL = 1,
    EV_REPLACE_CALL = 2,
    EV_CALL_ID_REPLACED = 3,
    EV_CALL_REDIRECTED = 4,
    EV_REMOTE_RINGING = 5,
    EV_CALL_ANSWERED = 6,
    EV_CALL_DISCONNECTED = 7,
    EV_HANGUP = 8,
    EV_DTMF_DETECTED = 9,
    EV_TONE_DETECTED = 10,
    EV_REMOTE_TONE_DETECTED = 11,
    EV_RTP_PARAMETERS = 12,
    EV_ENDPOINT_REGISTERED = 13,
    EV_REGISTRATION_FAILED = 14,
    EV_STATISTICS_RECEIVED = 15,
    EV_QOS_ALARM = 16,
    EV_RTP_MONITOR = 17,
    EV_TONE_COMPLETED = 18,
    EV_CHANNEL_SETTINGS = 19,
    EV_CALL_PROGRESS_DETECTED = 20,
    EV_CALLER_INFO_RECEIVED = 21,
    EV_CALLER_ID_SENT = 22,
    EV_SIP_TRANSPORT_READY = 23,
    EV_CAS_A_ACTIVITY = 24,
    EV_PASSTHRU_AUTOSWITCH = 25,
    EV_PLAY_FINISHED = 26,
    EV_PARTICIPANT_LEFT = 27,
    EV_ANY_DATA = 28,
    EV_DVO = 29,
    EV_CHANNEL_COMMAND = 30,
    EV_NTG_SYNC_STATUS = 31,
    EV_IP_ADDRESS_CHANGED = 32,
    EV_REFER_RECEIVED = 33,
    EV_MESSAGE_ANSWERED = 34,
    EV_MESSAGE_FAILED = 35,
    EV_FAX_STATE = 36,
    EV_ACK_RECEIVED = 37,
    EV_NOTIFY_RECEIVED = 38,
    EV_MSP_ALERT = 39,
};

// Claim bits of an unbound event.
enum : int {
    EVF_PASS1 = 0x01,    // dispatch: the first offering pass is running
    EVF_PASS2 = 0x02,    // dispatch: the second offering pass is running
    EVF_MATCHED = 0x04,  // a handler recognised the event as its own, even if it refused it
    EVF_RETRY = 0x08,    // a handler asks for a third pass
    EVF_PASS3 = 0x10,    // dispatch: the third offering pass is running
};

struct channel_event_t {
    int channel = -1;  // -1 unbound, 0..255 timeslot channel, >= 1000 virtual channel
    int code = 0;      // channel_event_code
    int flags = 0;     // claim bits of an unbound event
    int data = 0;      // code-specific value

    channel_event_t() = default;
    channel_event_t(int channel_, int code_, int data_ = 0) : channel(channel_), code(code_), data(data_) {}
    virtual ~channel_event_t() = default;
};

// EV_CAS: data = the received ABCD bits.
struct CAS_event_t : channel_event_t {
    uint32_t timestamp = 0;
    CAS_event_t(int channel_, int abcd, uint32_t ts) : channel_event_t(channel_, EV_CAS, abcd), timestamp(ts) {}
};

// Detected digits and tones: data = the digit or tone code.
struct Timestamped_event_t : channel_event_t {
    uint32_t timestamp = 0;
    Timestamped_event_t(int channel_, int code_, int data_, uint32_t ts)
        : channel_event_t(channel_, code_, data_), timestamp(ts) {}
};

// EV_CALL_DISCONNECTED: data = the call id.
struct disconnect_event_t : channel_event_t {
    int q850_cause = 0;   // 0 none
    int location = -1;    // -1 none
    int sip_status = 0;   // 0 none
    std::string reason;
    disconnect_event_t(int channel_, int call_id) : channel_event_t(channel_, EV_CALL_DISCONNECTED, call_id) {}
};

// Settings and statistics carried as a JSON value.
struct JsonEvent_t : channel_event_t {
    JsonValue value;
    JsonEvent_t(int channel_, int code_) : channel_event_t(channel_, code_) {}
    JsonEvent_t(int channel_, int code_, JsonValue v) : channel_event_t(channel_, code_), value(std::move(v)) {}
};

// EV_DVO, posted unbound: one subscriber's service settings, keyed by the
// subscriber's URI.
struct DVOEvent_t : JsonEvent_t {
    std::string subscriber;
    DVOEvent_t(std::string key, JsonValue v)
        : JsonEvent_t(-1, EV_DVO, std::move(v)), subscriber(std::move(key)) {}
};

// EV_CALLER_INFO_RECEIVED
struct caller_info_t : channel_event_t {
    std::string caller_number;
    std::string caller_name;
    explicit caller_info_t(int channel_) : channel_event_t(channel_, EV_CALLER_INFO_RECEIVED) {}
};

// EV_ANY_DATA: a byte string (D-channel frames).
struct any_data_t : channel_event_t {
    std::string bytes;
    any_data_t(int channel_, std::string b) : channel_event_t(channel_, EV_ANY_DATA), bytes(std::move(b)) {}
};

// EV_INCOMING_CALL: data = the call id. Deleting it completes the SIP side:
// a claimed call (channel >= 0) is bound to its channel, an unclaimed one is
// answered with status and redirect_contact. Every member is a plain value,
// so a channel may keep a copy.
struct call_event_t : channel_event_t {
    std::string from;             // caller user "@" host, no scheme
    std::string from_uri;         // the caller's SIP URI
    std::string called;           // request-URI user
    std::string caller_name;
    std::string caller_number;
    std::string cpc;              // "cpc" From-URI parameter
    bool secure = false;          // came over a secure transport
    int status = 404;             // pending SIP status
    std::string redirect_contact; // sent with a 302
    std::map<std::string, std::string> params;       // request-URI parameters
    std::map<std::string, std::string> from_params;  // From-URI parameters
    bool is_focus = false;

    // An empty call (call id -1) completes nothing when deleted: a channel
    // may keep one as the placeholder of a call it holds.
    call_event_t() : channel_event_t(-1, EV_INCOMING_CALL, -1) {}
    call_event_t(int channel_, int call_id) : channel_event_t(channel_, EV_INCOMING_CALL, call_id) {}
    call_event_t(const call_event_t&) = default;
    call_event_t& operator=(const call_event_t&) = default;
    ~call_event_t() override;
};

// What the SIP user agent does when a call_event_t is deleted; it registers
// itself at start-up. Without it the call is left alone.
struct call_completion_t {
    void (*set_ts)(int call_id, int channel);                              // ua_call_set_ts
    void (*response_status)(int call_id, int status, const std::string& contact);  // ua_response_status
};
void call_completion_register(const call_completion_t* completion);

// Display name of a code; "Unknown event" outside 0..39.
const char* eventName(int code);

// Queues the event for the main thread (any thread). 0 when queued; when the
// queue refuses it, the event is logged and deleted.
int postChannelEvent(channel_event_t* event);
int postEvent(int channel, channel_event_t* event);
