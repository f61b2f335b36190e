// The media-processor channel with a SIP account: the base of every
// telephony and virtual channel. It registers its account through the user
// agent, keeps two calls (the active one and one on hold) in step with the
// user agent's events and does what every SIP channel does with them; the
// subclasses decide when to place, take, answer or end a call.
//
// Where the code lives:
//   sip_channel.cpp   account, settings, status, registration, identity
//   sip_call.cpp      call records, processEvent, answer, hangup, swapCalls,
//                     the call and RTP time-outs, the T.38 switch
//
// Main thread only, like every channel; the user agent's thread reads the
// account through its reader with channel_table_mutex held.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>

#include "core/abstract_channel.h"
#include "core/pcre_re.h"
#include "msp/comcerto_channel.h"

class SIPChannel;

// What the channel asks of the SIP user agent. The real user agent is used
// unless a test puts its own table in place (null restores it).
struct sip_channel_ua_t {
    int (*reg)(const AbstractChannel* channel);
    int (*unreg)(int id, const std::string& user, const std::string& realm);
    std::string (*host_from_uri)(const std::string& uri);
    int (*hangup)(int call_id, const std::string& reason);
    int (*answer)(int call_id);
    int (*reinvite)(int call_id, const char* mode);
    int (*refer_to)(int transport, int call_id, int channel, const std::string& from, const std::string& refer_to,
                    const std::string& codecs, int did, const std::string& referred_by);
};
void sip_channel_set_ua(const sip_channel_ua_t* ua);
const sip_channel_ua_t& sip_channel_ua();

// Makes the user agent read the account of SIPChannel objects (start-up).
void sip_channel_install_account_reader();

// The codecs list a channel has until its settings give another.
constexpr const char* SIP_DEFAULT_CODECS = "8 0 4 9 18 100 96 99 97 101 13 98";
constexpr int SIP_RTP_TIMEOUT_MAX = 7200;
// "sipflags" bits of the base.
constexpr int SIPFLAG_T38_ON_PROGRESS_TONE = 0x4;  // switch to T.38 on call-progress tone 0x41
constexpr int SIPFLAG_NO_T38_ON_V21 = 0x8;         // no switch to T.38 on tone 0x22

// One call of a channel.
struct CallRecord {
    explicit CallRecord(SIPChannel* owner_);

    // Empties the record (texts republish the status when they change) and
    // cancels its "call timeout" timer; secureTransport stays.
    void reset();
    // "Unknown", "Local disconnect", "Remote disconnect".
    static const char* disconnectSideName(int side);
    // Exchanges every field with other, without publishing.
    void swapWith(CallRecord& other);

    SIPChannel* owner;
    int callId = -1;
    time_t startTime = 0;
    time_t answerTime = 0;   // 0 = not answered
    StatusString callerName;
    StatusString callerNumber;
    StatusString callerAddress;
    StatusString calleeName;
    StatusString calleeNumber;
    std::string cpc;
    int disconnectSide = 0;  // 0 none, 1 local, 2 remote
    uint64_t callTimer = 0;  // "call timeout" on main_scheduler, 0 none
    bool outgoing = true;
    bool secureTransport = false;
    bool answerPending = false;
    bool isFocus = false;
};

class SIPChannel : public ComcertoChannel {
public:
    explicit SIPChannel(int timeslot);
    // Unregisters the account and hangs up both calls; the call timers are
    // cancelled before the channel goes.
    ~SIPChannel() override;

    // ---- overrides ----
    void processEvent(channel_event_t* event) override;
    void getSettings(JsonValue& out) const override;
    void getStatus(JsonValue& out) const override;
    void setSettings(const JsonValue& settings) override;
    int comcerto_set_rtp_params(rtp_event_t* params) override;
    int startStream() override;

    // ---- operations SIPChannel adds ----
    // The name of the channel's state, shown as "state"; null for none.
    virtual const char* getStateName() const = 0;
    // The channel's own name-addr: ["realname" quoted and a blank] "<sip:uri>".
    virtual std::string getLocalIdentity() const;
    // Answers the active call; 0 or the user agent's failure.
    virtual int answer();
    // Ends both calls with the SIP Reason text (may be empty); always 0.
    virtual int hangup(const std::string& reason);
    // Holds the active call and resumes the held one; 0 or the hold's failure.
    virtual int swapCalls();

    // Stops the tone of direction when there is a connection; 0 without one.
    int stopTone(int direction);
    // The "call timeout" of record expired: ends its call.
    void call_timer_expired(CallRecord* record);

    // The number alone without a name, else name " <" number ">".
    static std::string formatNameAddr(const std::string& name, const std::string& number);

    // ---- members, with their defaults ----
    CallRecord activeCall{this};
    CallRecord heldCall{this};
    std::string proxy;
    std::string registrar;
    std::string uri;        // user "@" host, no "sip:"
    std::string uriHost;
    std::string toDomain;
    std::string realName;
    std::string authName;
    std::string password;
    std::string realm;
    int expires = 600;
    int transport = 0;      // 0 UDP, 1 TCP, 2 TLS
    int connLimit = 0;      // minutes, 0 none
    int sessionExpires = 0;
    int sipFlags = 0;
    std::string codecs = SIP_DEFAULT_CODECS;
    int rtpTimeout = 0;     // seconds, 0 off
    std::string cidReplace;
    PcreRe cidPattern;
    std::string cidReplacement;
    bool faxToneSeen = false;
    bool faxDcnSeen = false;
    int registrationId = -1;
    StatusFlag reged{this};
    int64_t lastRtpActivity = 0;   // monotonic seconds

protected:
    // Unregisters the current registration (with the transport it was made on).
    void unregisterAccount(int oldTransport);
    // Registers anew when account data or the address changed.
    void reregister(int oldTransport);

private:
    void processUnbound(channel_event_t* event);
    void checkRtpTimeout(const JsonValue& value);
    void faxStateChanged(int data);
    void rewriteCallerNumber(std::string& number) const;
    CallRecord* recordOf(int callId);
    void armCallTimer(CallRecord& record);
    void cancelCallTimer(CallRecord& record);
    static void call_timer_callback(void* argument);

    // A "call timeout" timer names its channel and its id; the record that
    // holds the id when it expires is the one it ends.
    struct CallTimerTicket {
        SIPChannel* channel;
        uint64_t id;
    };
    std::map<uint64_t, std::unique_ptr<CallTimerTicket>> callTickets;

    friend struct CallRecord;
};

// The codecs text read as blank-separated decimal numbers: whether 98 (VBD)
// and 991 (T.38) are in it. Reading stops at the first character that
// begins no number.
void sip_codecs_flags(const std::string& codecs, bool* vbd, bool* t38);
// "cid-replace" split into pattern and replacement: "/pat/repl" (a
// backslash escapes the next character), or the whole text as pattern.
void sip_split_cid_replace(const std::string& text, std::string* pattern, std::string* replacement);
