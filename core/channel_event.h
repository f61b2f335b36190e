// Channel events: everything that happens to a channel reaches it as one of
// these, posted from any thread and dispatched on the main thread.
#pragma once

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

struct channel_event_t {
    int channel = -1;  // -1 unbound, 0..255 timeslot channel, >= 1000 virtual channel
    int code = 0;      // channel_event_code
    int flags = 0;     // claim bits of an unbound event
    int data = 0;      // code-specific value

    channel_event_t() = default;
    channel_event_t(int channel_, int code_, int data_ = 0) : channel(channel_), code(code_), data(data_) {}
    virtual ~channel_event_t() = default;
};
