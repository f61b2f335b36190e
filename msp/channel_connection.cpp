// Connections, RTP streams, voice options, the keep-or-send parameters and
// the media events every channel shares.
#include "msp/channel_connection.h"

#include <ctime>
#include <sys/time.h>
#include <unistd.h>

#include "core/channel_table.h"
#include "core/log.h"
#include "msp/comcerto_channel.h"
#include "msp/comcerto_device.h"
#include "msp/function_codes.h"
#include "msp/media_params.h"

bool msp_nt_sync_seen = false;

namespace {

// The media processor's status when the timeslot already has a connection.
constexpr int ERR_CONNECTION_EXISTS = -0xFFBD;
// Destroying a fax connection that was never enabled.
constexpr int ERR_FOIP_INITIAL_INCOMPLETE = -0x050C;
constexpr int CONNECTION_RESPONSE_SIZE = 256;
constexpr int NO_TIMESLOT = 0xFFFF;

int device_command(MspMessage& m, uint8_t* response, int* length)
{
    *length = CONNECTION_RESPONSE_SIZE;
    return DEV_PassThru(MSP_DEVICE_CHANNEL_ID, m.data(), m.size(), response, length);
}

// SUPVSR_CREATE_CHANNEL; the new channelId, or the failure result.
int create_channel(int type, int timeslot, int* channelId)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_SUPVSR_CREATE_CHANNEL, 4);
    m.u16(8, static_cast<uint16_t>(type)).u16(10, static_cast<uint16_t>(timeslot));
    uint8_t response[CONNECTION_RESPONSE_SIZE];
    int length;
    int result = device_command(m, response, &length);
    if (result == 0) {
        if (length < 12)
            return -1;
        *channelId = msp_get_u16(response, 10);
    }
    return result;
}

}   // namespace

int msp_send_vopena(ComcertoChannel& channel, uint16_t mode)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_VOPENA, 2);
    m.u16(8, mode);
    uint8_t response[CONNECTION_RESPONSE_SIZE];
    int length = CONNECTION_RESPONSE_SIZE;
    int result = channel.PassThru(m.data(), m.size(), response, &length);
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: FC_VOPENA failed (result=%d)", channel.timeslot, result);
    return result;
}

int msp_send_voice_enable(ComcertoChannel& channel)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_VOPENA, 14);
    m.u16(8, 1).u8(10, 0x80).u8(11, static_cast<uint8_t>(channel.rtp.tx_pt)).u32(18, channel.ssrc);
    uint8_t response[CONNECTION_RESPONSE_SIZE];
    int length = CONNECTION_RESPONSE_SIZE;
    int result = channel.PassThru(m.data(), m.size(), response, &length);
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: VOPENA failed (result=%d)", channel.timeslot, result);
    return result;
}

// Takes over the connection an earlier run left on the timeslot, unless a
// live channel owns it. 0 when it is gone.
static int take_over_connection(int timeslot)
{
    // The query and the destroy are padded to whole words like every other
    // message: an unaligned one would never leave the driver.
    MspMessage query(MSP_CLASS_QUERY, MSP_TYPE_DEVICE, FC_SUPVSR_CREATE_CHANNEL, 2);
    query.u16(8, static_cast<uint16_t>(timeslot));
    uint8_t response[CONNECTION_RESPONSE_SIZE];
    int length;
    if (device_command(query, response, &length) != 0 || length < 10)
        return -1;
    uint16_t stale = msp_get_u16(response, 8);
    if (stale == 0xFFFF)
        return -1;
    LOG(LOGF_GENERAL, 3, "connection with ts=%d already exists (channelId=0x%04x)", timeslot, stale);
    {
        MutexLock lock(channel_table_mutex);
        for (int i = 0; i < 256; i++) {
            auto* other = dynamic_cast<ComcertoChannel*>(channel_table[i]);
            if (other && other->channelId == stale) {
                LOG(LOGF_GENERAL, 3, "channel %d (ts %d) has this channelId!", i + 1, i);
                return -1;
            }
        }
    }
    MspMessage destroy(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, FC_SUPVSR_DESTROY_CHANNEL, 2);
    destroy.u16(8, stale);
    int result = device_command(destroy, response, &length);
    if (result != 0) {
        LOG(LOGF_GENERAL, 3, "***> SUPVSR_DESTROY_CHANNEL failed (result=%d)", result);
        return -1;
    }
    LOG(LOGF_GENERAL, 3, "connection with channelId 0x%04x successfully destroyed", stale);
    return 0;
}

int ComcertoChannel::createConnection(int type, bool start)
{
    // A connection the media processor would not let go is forgotten all
    // the same: the takeover below clears it when the timeslot is still taken.
    if (channelId != -1 && destroyConnection() != 0)
        forgetConnection();
    connectionType = type;
    channelId = -1;

    // A channel without a TDM timeslot keeps its number (channelId + 1000 of
    // its first connection) but never names it as a timeslot.
    int tdm = timeslot >= 1000 ? NO_TIMESLOT : timeslot;
    int newId = -1;
    int result = create_channel(type, tdm, &newId);
    if (result != 0) {
        LOG(LOGF_GENERAL, 3, "createConnection(ts=%d, type=%d) failed (result=%d)", timeslot, type, result);
        if (result != ERR_CONNECTION_EXISTS)
            return -1;
        if (take_over_connection(tdm) != 0)
            return -1;
        if (create_channel(type, tdm, &newId) != 0)
            return -1;
    }

    msp_open_connections++;
    if (timeslot == NO_TIMESLOT)
        timeslot = newId + 1000;
    channelId = newId;
    mapConnection();
    secure.set(false);

    if (type == MSP_CONN_VOICE) {
        RTPMonitorEna(1, 500);
        int codec = selectVoiceCodec();
        setPayloadType(static_cast<unsigned>(codec), rtp.tx_pt, rtp.rx_pt);
        setPayloadTypeMap();
        send_AGCSET(rxAgc, txAgc);
        set_tdm_gain(rxGain, txGain);
        sendJBOpt();
        setVoiceOptions();
        setCountryCode(countryCode);
        if (!rtp.srtp_local_key.empty() && !rtp.srtp_remote_key.empty()) {
            if (setSrtpOptions(2, rtp.srtp_tag_length, rtp.srtp_on) != 0 ||
                setSrtpKey(SRTP_KEY_LOCAL, rtp.srtp_local_key) != 0 ||
                setSrtpKey(SRTP_KEY_REMOTE, rtp.srtp_remote_key) != 0)
                return -1;
            secure.set(true);
        }
        if (start) {
            result = msp_send_voice_enable(*this);
            if (result != 0)
                return result;
            timeval tv;
            gettimeofday(&tv, nullptr);
            uint32_t seconds, fraction;
            ntp_timestamp(tv, &seconds, &fraction);
            MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_RTCP_NTP_TIMESTAMP, 8);
            m.u32(8, seconds).u32(12, fraction);
            uint8_t response[CONNECTION_RESPONSE_SIZE];
            int length = CONNECTION_RESPONSE_SIZE;
            result = PassThru(m.data(), m.size(), response, &length);
            if (result != 0)
                LOG(LOGF_GENERAL, 3, "ts %d: RTCP_NTP_TIMESTAMP failed (result=%d)", timeslot, result);
        }
        if (ptdParams[0] != 0 || ptdParams[2] != 0)
            setPTDOPT(ptdParams[0] & 0xFFFF, ptdParams[1] & 0xFFFF, ptdParams[2] & 0xFFFF,
                      static_cast<uint16_t>(ptdParams[3]));
        send_TONECTRL(toneControl);
    } else if (type == MSP_CONN_TONE_ENGINE) {
        msp_send_vopena(*this, 13);
    } else {
        return 0;
    }
    setSignalingMode(signalingMode);
    return 0;
}

int ComcertoChannel::startStream()
{
    if (streamRunning) {
        setVoiceOptions();
        return 0;
    }
    LOG(LOGF_GENERAL, 7, "ts %d: starting RTP stream", timeslot);
    streamRunning = true;
    if (connectionType == MSP_CONN_T38)
        return 0;
    if (setVoiceOptions() != 0) {
        streamRunning = false;
        return -1;
    }
    set_RTCP(rtcpEnabled);
    set_RTCPStatTmr(5);
    setInfoTimer(5);
    setQosAlarms(qosAlarmRequest);
    QoS_thresholds(qosMonitor);
    return 0;
}

int ComcertoChannel::stopStream()
{
    LOG(LOGF_GENERAL, 7, "ts %d: stopping RTP stream", timeslot);
    stopPlaybackIfActive();
    streamRunning = false;
    if (connectionType == MSP_CONN_T38) {
        // A fax connection goes back to voice; one that was never enabled
        // refuses to go at once.
        if (destroyConnection() == ERR_FOIP_INITIAL_INCOMPLETE)
            usleep(100000);
        createConnection(MSP_CONN_VOICE, true);
    } else if (channelId >= 0) {
        send_DTMFOPT(-1, false);
        set_RTCPStatTmr(0);
        setInfoTimer(0);
        setVoiceOptions();
        QoS_thresholds(false);
        set_RTCP(false);
    }
    amrMode = 7;
    cancelArpTimer();
    memset(nextHopMac, 0, sizeof nextHopMac);
    codecStatus.set("");
    setQosAlarms(qosAlarmRequest);
    ssrc = static_cast<uint32_t>(rand());
    return 0;
}

int ComcertoChannel::setVoiceOptions()
{
    voice_options_input_t in;
    in.streamRunning = streamRunning;
    in.connectionType = connectionType;
    in.remotePtime = rtp.remote_ptime;
    in.redundancy = rtp.redundancy;
    in.vad = rtp.vad;
    in.amrFlags = rtp.amr_flags;
    in.channelFlags = channelFlags;
    in.pcmCode = pcmCode;
    in.t38Options = t38Options;
    uint16_t words[5];
    voice_option_words(in, words);
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_VCEOPT, 10);
    for (int i = 0; i < 5; i++)
        m.u16(8 + 2 * static_cast<size_t>(i), words[i]);
    uint8_t response[CONNECTION_RESPONSE_SIZE];
    int length = CONNECTION_RESPONSE_SIZE;
    int result = PassThru(m.data(), m.size(), response, &length);
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: VCEOPT failed (result=%d)", timeslot, result);
    return result;
}

void ComcertoChannel::applyCountryCode(int code)
{
    if (channelId < 0)
        countryCode = code;
    else
        setCountryCode(code);   // stores the code when the media processor takes it
}

int ComcertoChannel::applyToneControl(int value)
{
    if (connectionType != MSP_CONN_VOICE)
        return 0;
    if (channelId < 0) {
        toneControl = value;
        return 0;
    }
    return send_TONECTRL(value);
}

int ComcertoChannel::applySignalingMode(int mode)
{
    if (channelId < 0) {
        signalingMode = mode;
        return 0;
    }
    return setSignalingMode(mode);
}

int ComcertoChannel::monitorSignaling(bool on, int param)
{
    if (!on && !monitoringSignaling)
        return 0;
    int result = monitor_tdm_signaling(timeslot, on, param);
    if (result == 0)
        monitoringSignaling = on;
    return result;
}

// A new "RTCPstat" may move the AMR mode: down quickly when packets get lost,
// up one step at a time when none are.
static void amr_mode_step(ComcertoChannel& channel)
{
    const JsonValue* stat = channel.statistics.find("RTCPstat");
    if (!stat || stat->kind != JSON_ARRAY || stat->items.size() < 6)
        return;
    const JsonValue& first = stat->items[0];
    const JsonValue& lossWord = stat->items[5];
    if (first.kind != JSON_INTEGER || first.integer <= 1 || lossWord.kind != JSON_INTEGER)
        return;
    int mode = amr_mode_after_loss(channel.amrMode, rtcp_loss_percent(lossWord.integer));
    if (mode != channel.amrMode) {
        channel.amrMode = mode;
        channel.set_BWE_PARAMS();
    }
}

static void clock_recovery_step(int data)
{
    bool bit = (data & 0x80) != 0;
    if (!msp_nt_sync_seen) {
        if (msp_nt_recovery_parked && bit)
            NT_Recovery_internal(msp_sync_channel);
    } else if (bit) {
        if (msp_nt_recovery_parked)
            NT_Recovery_internal(msp_sync_channel);
    } else if (msp_nt_recovery_parked) {
        msp_nt_recovery_parked = false;
    } else {
        NT_Recovery_internal(255);
        msp_nt_recovery_parked = true;
    }
    msp_nt_sync_seen = bit;
}

void ComcertoChannel::processEvent(channel_event_t* event)
{
    if (!event)
        return;
    if (event->channel < 0) {
        // A changed local address moves the RTP source: resolve the next hop anew.
        if (event->code != EV_IP_ADDRESS_CHANGED || !(event->flags & EVF_PASS1) || channelId < 0 || !streamRunning)
            return;
        int family = rtp.local_addr.ss_family;
        if ((family == AF_INET && (event->data & 1)) || (family == AF_INET6 && (event->data & 2)))
            comcerto_set_rtp_params(&rtp);
        return;
    }
    switch (event->code) {
    case EV_RTP_PARAMETERS: {
        auto* params = dynamic_cast<rtp_event_t*>(event);
        if (!params)
            break;
        if (comcerto_set_rtp_params(params) != 0) {
            raiseEvent(new channel_event_t(timeslot, EV_HANGUP, 0));
            raiseEvent(new disconnect_event_t(timeslot, event->data));
        }
        break;
    }
    case EV_STATISTICS_RECEIVED: {
        auto* stats = dynamic_cast<JsonEvent_t*>(event);
        if (!stats)
            break;
        MutexLock lock(statisticsMutex);
        if (JsonValue* info = stats->value.find("RTPinfo"))
            statistics["RTPinfo"].swap(*info);
        if (JsonValue* rtcp = stats->value.find("RTCPstat")) {
            statistics["RTCPstat"].swap(*rtcp);
            amr_mode_step(*this);
        }
        JsonValue now;
        now.kind = JSON_INTEGER;
        now.integer = static_cast<int>(time(nullptr));
        statistics["RTPtimestamp"] = now;
        break;
    }
    case EV_QOS_ALARM:
        setQosAlarms(static_cast<uint32_t>(event->data));
        break;
    case EV_RTP_MONITOR:
        setAlarm(event->data & 1);
        break;
    case EV_TONE_COMPLETED: {
        // Nothing to go back from without a connection: a late indication
        // must not open one on an idle channel.
        if (channelId < 0 || connectionType == MSP_CONN_VOICE)
            break;
        // The tone engine has done its work: back to voice, with the call's
        // media again when it had a stream.
        bool wasRunning = streamRunning;
        int result = createConnection(MSP_CONN_VOICE, true);
        if (result != 0)
            LOG(LOGF_GENERAL, 3, "ts %d: createConnection() failed (result=%d)", timeslot, result);
        if (wasRunning)
            comcerto_set_rtp_params(&rtp);
        break;
    }
    case EV_CHANNEL_SETTINGS:
        if (auto* settings = dynamic_cast<JsonEvent_t*>(event))
            setSettings(settings->value);
        break;
    case EV_CALLER_ID_SENT:
        callerIdPending = false;
        break;
    case EV_PASSTHRU_AUTOSWITCH:
        LOG(LOGF_GENERAL, 6, "ts %d: PassThru mode autoswitch to %d", timeslot, event->data);
        if (streamRunning)
            codecStatus.set(event->data == 0 ? rtp.codec : "VBD");
        if (event->data == 2 && hasVoiceConnection())
            set_EC(false);
        break;
    case EV_PLAY_FINISHED:
        stopPlaybackIfActive();
        break;
    case EV_NTG_SYNC_STATUS:
        clock_recovery_step(event->data);
        break;
    case EV_MSP_ALERT:
        if (channelId < 0 || event->data != channelId)
            break;
        if (!streamRunning)
            createConnection(connectionType, true);
        else
            comcerto_set_rtp_params(&rtp);
        break;
    default:
        break;
    }
}
