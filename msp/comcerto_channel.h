// The base of every channel that uses the media processor: one TDM timeslot
// (or none, for a virtual channel) and at most one MSP connection. The class
// holds the channel's media settings, status and statistics and wraps every
// command the channel sends to its MSP channel.
//
// Where the code lives:
//   comcerto_channel.cpp    data model, settings, status, statistics, QoS
//                           alarms, raiseEvent, destruction, PassThru
//   channel_commands.cpp    the command wrappers, payload maps, codec table,
//                           connection teardown, HDLC, conferences, line signal
//   channel_tones.cpp       tones, caller ID, ANI digits
//   channel_playback.cpp    sound-file playback
//   next_hop.cpp            the "arp" timer's work (arp_timeout)
//   channel_connection.cpp  connections, RTP streams, voice options, processEvent
//   channel_rtp_params.cpp  comcerto_set_rtp_params
//
// Every object lives on the main thread; the poller thread only calls
// getTypeName, getSettings, getStatus and getStatistics, under
// channel_table_mutex.
#pragma once

#include <cstdint>
#include <string>
#include <sys/socket.h>

#include "core/abstract_channel.h"
#include "core/json_value.h"
#include "core/mutex.h"
#include "core/rtp_event.h"
#include "msp/msp_indications.h"
#include "msp/msp_transaction.h"

class ComcertoChannel;

// Kinds of MSP connection.
enum MspConnectionType : int {
    MSP_CONN_VOICE = 2,         // RTP
    MSP_CONN_PARTICIPANT = 3,   // conference participant bound to a timeslot (never created directly)
    MSP_CONN_T38 = 7,
    MSP_CONN_TONE_ENGINE = 17,
    MSP_CONN_HDLC = 23,
};

// Tone ids of startTone: 0-15 DTMF digits (10 "*", 11 "#", 12-15 A-D) and
// fixed cadences.
enum MspToneId : int {
    MSP_TONE_DTMF_STAR = 10,
    MSP_TONE_DTMF_HASH = 11,
    MSP_TONE_DTMF_A = 12,
    MSP_TONE_DTMF_D = 15,
    MSP_TONE_DIAL = 16,
    MSP_TONE_BUSY = 17,
    MSP_TONE_RINGBACK = 18,
    MSP_TONE_CONGESTION = 19,
    MSP_TONE_20 = 20,
    MSP_TONE_CALL_WAITING = 21,
    MSP_TONE_24 = 24,
};

// Codec name -> MSP codec number, frame length and greatest packet time.
struct MspCodec {
    const char* name;
    int codec;
    int frameMs;
    int maxPtimeMs;
};
constexpr int MSP_CODECS = 23;
extern const MspCodec MspCodecTable[MSP_CODECS];
// The row of name (exact, case-sensitive), null when there is none. "AMR"
// with octet-align (0x400 in amrFlags) takes the row after the first one.
const MspCodec* msp_codec_find(const std::string& name, uint32_t amrFlags);

// SRTP master key and salt, and the key directions of setSrtpKey: every
// connection set-up installs our key as SRTP_KEY_LOCAL, the peer's as
// SRTP_KEY_REMOTE.
constexpr size_t SRTP_KEY_LENGTH = 30;
constexpr int SRTP_KEY_LOCAL = 2;
constexpr int SRTP_KEY_REMOTE = 1;

// Payload maps have one entry per MSP codec number; 255 means "not set".
constexpr int MSP_PAYLOAD_MAP_SIZE = 56;
constexpr uint8_t MSP_PAYLOAD_NONE = 0xFF;

// A text member that republishes its owner's status whenever it changes.
class StatusString {
public:
    explicit StatusString(ComcertoChannel* owner_) : owner(owner_) {}
    void set(const std::string& value);
    const std::string& get() const { return text; }
    bool empty() const { return text.empty(); }
    // Exchanges the texts without publishing (the caller publishes once).
    void swapText(StatusString& other) { text.swap(other.text); }

private:
    ComcertoChannel* owner;
    std::string text;
};

// The same for a flag.
class StatusFlag {
public:
    explicit StatusFlag(ComcertoChannel* owner_) : owner(owner_) {}
    void set(bool v);
    bool get() const { return value; }
    explicit operator bool() const { return value; }

private:
    ComcertoChannel* owner;
    bool value = false;
};

class ComcertoChannel : public AbstractChannel, public MspSyncDataSink {
public:
    // Sets every member to its default; the Mutex may throw.
    explicit ComcertoChannel(int timeslot);
    // Destroys the MSP connection; cancels the "arp" timer, every command
    // still in flight (their callbacks never run) and any playback.
    ~ComcertoChannel() override;
    ComcertoChannel(const ComcertoChannel&) = delete;
    ComcertoChannel& operator=(const ComcertoChannel&) = delete;

    // ---- virtual operations, in slot order ----
    // Media events every channel shares (channel_connection.cpp).
    void processEvent(channel_event_t* event) override;
    // The "type" of ChannelSettings that selects the class.
    const char* getTypeName() const override = 0;
    // "type" and the media settings; members already in out are replaced.
    virtual void getSettings(JsonValue& out) const;
    // "secure".
    virtual void getStatus(JsonValue& out) const;
    // Copies the last media statistics into the hash out, keeping members out already has.
    virtual void getStatistics(JsonValue& out) const;
    void processFd() override {}
    // HDLC data from the media processor.
    void onSyncData(const uint8_t* data, int length, bool last) override;
    // Applies the media settings; absent keys take their defaults.
    virtual void setSettings(const JsonValue& settings);
    // Posts the event as coming from this channel; the queue owns it from then on.
    virtual void raiseEvent(channel_event_t* event);
    // Applies negotiated RTP parameters (channel_rtp_params.cpp).
    virtual int comcerto_set_rtp_params(rtp_event_t* params);
    virtual int startStream();
    virtual int stopStream();
    // 0/1: RTP seen or not, 2: next hop down, 3: next hop resolved.
    virtual void setAlarm(int code);
    // Stores and publishes the QoS alarm bits.
    virtual void setQosAlarms(uint32_t bits);
    // (Re)creates the MSP connection of that MspConnectionType.
    virtual int createConnection(int type, bool start);
    // VCEOPT.
    virtual int setVoiceOptions();

    // ---- status ----
    // ".10.%d.3.0" for a timeslot channel: the compact text of getStatus.
    void publishStatus();

    // ---- commands to the channel's MSP channel ----
    // DEV_PassThru to channelId; -1 without one. A pending caller-ID
    // generation is stopped first.
    int PassThru(void* message, int length, void* response, int* responseLength);
    // Returns the transaction id or -1; cancelled when the channel is deleted.
    int PassThruAsync(void* message, int length, MspCompletionCallback callback, void* userData);

    // Each logs its own failure ("ts %d: name() failed (result=%d)") and
    // returns 0, -1 or the negative MSP status unless said otherwise.
    int send_FAXSPLOPT();
    int send_FAXOPT(bool ecm);
    void send_FAXLVL();
    int setT38DatagramSize(int size);
    int getT38DatagramSize();   // the size, or the failure result
    int setT38Fillbit(bool on);
    int send_DTMFOPT(int eventPayload, bool flag);
    void send_FFT_GLOBAL_CFG(int value);
    void send_FFT_CFG(int ignored, int a, int b, int c);
    void del_eth_hdr_chan();
    int set_eth_hdr_chan(const uint8_t srcMac[6], const uint8_t dstMac[6], bool pppoe, bool ipv6);
    int set_pppoe_hdr_chan(int sessionId);
    int setInfoTimer(int value);
    int htdmEna(int value);
    // One HDLC frame, in pieces of up to 240 (first) and 244 bytes.
    int sendHtdm(const uint8_t* data, int length);
    int QoS_thresholds(bool on);
    int setCAS(unsigned abcd);
    int set_RTCP(bool on);
    int set_RTCPStatTmr(int value);
    int RTPMonitorEna(int on, int intervalMs);
    int set_passthru_autoswitch(int vbdPayload, bool flag);
    int set_loopback(int mode);   // voice connection only
    int ss7cot(int mode);         // voice connection only
    int setChannelMode(int mode, unsigned sub);
    int setVoiceChannelMode(int mode, unsigned sub);
    int asStop();
    int drainPlayRecBuffer();
    int sendJBOpt();
    int setPTDOPT(int tdmfreq, int tdmlevel, int ipfreq, uint16_t iplevel);
    int setConnIpMode(int family);
    // The IP and UDP headers of the RTP (part 0) or RTCP (part 1) packets.
    int SetConnIpParams(int part, const sockaddr_storage& local, const sockaddr_storage& remote, int ttl,
                        int dscp);
    int setSrtpOptions(int a, int b, int c);
    int setSrtpKey(int direction, const uint8_t key[30], uint64_t index, uint64_t rate);
    // A key of any length but SRTP_KEY_LENGTH is refused (-1); index and rate 0.
    int setSrtpKey(int direction, const std::string& key);
    int getSrtpState();             // 1 active, 0 not, or the failure result
    int getSrtpStateIfConnected();
    int setPayloadTypeMap();
    int send_EVRC_OPTIONS(int mode, int value);
    int set_BWE_PARAMS();
    int enableDTX(bool on, int hangover, int dtxmin, int dtxmax);
    int send_AGCSET(bool rxAgc, bool txAgc);
    int applyAGC(bool rx, bool tx);
    int set_tdm_gain(float rxDb, float txDb);
    int applyTdmGain(float rx, float tx);
    int setCountryCode(int code);
    int set_EC(bool on);
    int applyEchoCanceller(bool on);
    int enableSignalDetection(unsigned mask);
    int send_TONECTRL(int value);
    int setSignalingMode(int mode);

    // Payload maps: transmit numbers are the remote side's, receive ours.
    int setPayloadType(unsigned codec, int txPayload, int rxPayload);
    int getTxPayloadType(unsigned codec) const;
    int getRxPayloadType(unsigned codec) const;
    // The codec number for rtp.codec; an unknown name falls back to PCMU
    // with payload 0 (rtp is rewritten).
    int selectVoiceCodec();

    // SUPVSR_DESTROY_CHANNEL; 0 without a connection.
    int destroyConnection();
    // Conference focus and participants. The destroys return 0 when there
    // is nothing to destroy or it is gone, else the MSP's refusal.
    int createConference();
    int destroyConference();
    int createConferenceParticipant(int role, int conferenceId);
    int destroyConferenceParticipant(int conferenceId);

    // One write on the FPGA: the line signal value for durationMs on the
    // timeslot. True when the write succeeded.
    bool sendLineSignal(int durationMs, int value);

    // ---- tones, caller ID, ANI (channel_tones.cpp) ----
    int send_TONEGEN(int control, int onMs, int offMs, int freq1, int level1, int freq2, int level2);
    int startTone(int direction, MspToneId tone, bool flag);
    int stopTone(int direction);
    // CNDSTOP straight to the channel's MSP channel; leaves callerIdPending as it is.
    int stopCallerId();
    int sendCallerId(const std::string& name, const std::string& number);
    int sendAON(const std::string& number, const std::string& category);

    // ---- sound files (channel_playback.cpp) ----
    int playFile(const char* path, int mode, bool loop);
    int playFileList(const char* const* paths, int mode, bool loop);
    void stopPlayback();
    void stopPlaybackIfActive();
    void playNextBuffer();
    void playFileCallback(const uint8_t* response, int length);

    // ---- next hop (next_hop.cpp) ----
    void arp_timeout();

    // ---- keep-or-send (channel_connection.cpp) ----
    void applyCountryCode(int code);
    int applyToneControl(int value);
    int applySignalingMode(int mode);
    int monitorSignaling(bool on, int param);

    // True with a connection of type 2.
    bool hasVoiceConnection() const
    {
        return channelId >= 0 && connectionType == MSP_CONN_VOICE && !conferenceFocus;
    }
    // True when channelId is an MSP channel the channel's commands may go to;
    // a conference focus holds a conference id instead.
    bool hasMspChannel() const { return channelId >= 0 && !conferenceFocus; }

    // ---- members, with their defaults ----
    int timeslot;                      // 0..255; 0xFFFF until a channel without one gets channelId + 1000
    int pcmCode = 0;                   // 1 mu-law, 0 A-law
    JsonValue statistics;              // "RTPinfo", "RTCPstat", "RTPtimestamp"; guarded by statisticsMutex
    mutable Mutex statisticsMutex;
    StatusString codecStatus{this};    // codec or fax state
    float rxGain = 0.0f, txGain = 0.0f;   // dB
    bool txAgc = false, rxAgc = false;
    bool rtcpEnabled = true;
    bool streamRunning = false;
    bool qosMonitor = false;
    bool vbdAllowed = false;           // codecs list holds 98
    bool t38Allowed = false;           // codecs list holds 991
    StatusFlag secure{this};           // SRTP keys installed
    int qosThresholds[7] = {};
    uint32_t qosAlarmRequest = 0;      // bits last reported by the MSP
    uint32_t qosAlarms = 0;            // bits last published
    int rtpTtl = 128, rtcpTtl = 128;
    int rtpDscp = 0, rtcpDscp = 0;
    int connectionType = MSP_CONN_VOICE;
    rtp_event_t rtp;                   // the last RTP parameters applied
    uint32_t channelFlags = 0;         // "flags"
    uint32_t t38Options = 0xA0300;     // "t38"
    int jbMin = 0, jbMax = 200, jbInit = 0, jbAp = 10000;
    int amrMode = 7;
    uint8_t payloadMap[MSP_PAYLOAD_MAP_SIZE];     // send side
    uint8_t rxPayloadMap[MSP_PAYLOAD_MAP_SIZE];   // receive side; 255: as payloadMap
    int toneControl = 1;
    int signalingMode = 0;
    int countryCode = 12;
    int channelId = -1;                // -1 while the channel has no MSP connection
    uint64_t arpTimer = 0;             // the "arp" timer, 0 when none
    uint8_t nextHopMac[6] = {};
    int arpRetries = 0;
    bool callerIdPending = false;      // a caller-ID generation was set up
    bool playRecordMode = false;       // play/record channel mode
    bool monitoringSignaling = false;
    bool playing = false;
    bool playLoop = false;
    // Running count of sound bytes sent, never reset; unsigned so that it
    // wraps like the two 16-bit halves it is sent as.
    uint32_t playOffset = 0;
    int playFd = -1;
    const char* const* playList = nullptr;   // next path of a play list
    int ipMode = 0;                    // 0 none, 2 IPv4, 10 IPv6
    int ptdParams[4] = {};
    uint32_t ssrc;                     // rand(), renewed at every stream stop
    bool tonePlaying = false;          // the ringback tone is on
    // The playback block in flight, -1 when none: the playback keeps the id
    // PassThruAsync returned until the block is answered, so that stopping
    // the playback, tearing down the connection or deleting the channel
    // cancels it and its answer never reaches a gone channel.
    int playTransaction = -1;

protected:
    // Drops a playback without telling the media processor: cancels the
    // block in flight and closes the file (the connection is going away).
    void abandonPlayback();
    // Cancels the "arp" timer.
    void cancelArpTimer();

    // PassThru with the failure logged as "ts %d: <what> failed (result=%d)"
    // (nothing logged when what is null).
    int sendCommand(MspMessage& m, const char* what, uint8_t* response = nullptr, int* responseLength = nullptr);
    // Bookkeeping of a connection the MSP made or took away: mapConnection
    // points the indications of channelId at this channel; forgetConnection
    // unmaps it, clears channelId and ipMode and counts the connection off
    // msp_open_connections (the caller counts a new one on).
    void mapConnection();
    void forgetConnection();

private:
    bool ready_for_command(const char* what);
    // A one-word command of a voice connection (-1 without one), its failure
    // logged as "ts %d: <what>(<mode>) failed (result=%d)".
    int sendVoiceModeCommand(uint16_t fc, int mode, const char* what);

    // channelId holds a conference id (createConference), not an MSP channel.
    bool conferenceFocus = false;
};
