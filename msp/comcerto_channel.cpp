#include "msp/comcerto_channel.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "core/json_value.h"
#include "core/log.h"
#include "core/scheduler.h"
#include "mgmt/var_store.h"
#include "msp/function_codes.h"

namespace {

// Mask of the QoS alarm bits raised with level 2.
constexpr uint32_t QOS_MAJOR_BITS = 0x29;
constexpr int QOS_PUBLISHED_BITS = 6;

bool bool_key(const JsonValue& settings, const char* name, bool fallback)
{
    const JsonValue* v = settings.find(name);
    return v && v->kind == JSON_BOOL ? v->boolean : fallback;
}

// A gain text: its leading number (other text gives 0), clamped to -14..6 dB.
float gain_key(const JsonValue& settings, const char* name)
{
    const JsonValue* v = settings.find(name);
    if (!v || v->kind != JSON_STRING)
        return 0.0f;
    double d = strtod(v->text.c_str(), nullptr);
    if (std::isnan(d))
        d = 0.0;
    if (d < -14.0)
        d = -14.0;
    else if (d > 6.0)
        d = 6.0;
    return static_cast<float>(d);
}

std::string gain_text(float db)
{
    char text[32];
    snprintf(text, sizeof text, "%1.1f", static_cast<double>(db));
    return text;
}

}  // namespace

void StatusString::set(const std::string& value)
{
    if (value == text)
        return;
    text = value;
    owner->publishStatus();
}

void StatusFlag::set(bool v)
{
    if (v == value)
        return;
    value = v;
    owner->publishStatus();
}

ComcertoChannel::ComcertoChannel(int timeslot_) : timeslot(timeslot_), ssrc(static_cast<uint32_t>(rand()))
{
    statistics.kind = JSON_HASH;
    for (int i = 0; i < MSP_PAYLOAD_MAP_SIZE; i++) {
        payloadMap[i] = MSP_PAYLOAD_NONE;
        rxPayloadMap[i] = MSP_PAYLOAD_NONE;
    }
    payloadMap[0] = 13;
    payloadMap[1] = 127;
    payloadMap[4] = 0;
    payloadMap[5] = 8;
    payloadMap[6] = 4;
    payloadMap[7] = 15;
    payloadMap[8] = 18;
    payloadMap[9] = 2;
    payloadMap[11] = 3;
}

ComcertoChannel::~ComcertoChannel()
{
    // Nothing the channel started may call back into it once it is gone.
    cancelArpTimer();
    int result = destroyConnection();
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: destroyConnection() failed (result=%d)", timeslot, result);
    abandonPlayback();
    msp_cancel_transactions_of(this);
}

void ComcertoChannel::cancelArpTimer()
{
    if (arpTimer != 0 && main_scheduler)
        sched_cancel_timer(main_scheduler, arpTimer);
    arpTimer = 0;
}

void ComcertoChannel::abandonPlayback()
{
    if (playTransaction >= 0)
        comcerto_cancel_transaction(static_cast<uint32_t>(playTransaction));
    playTransaction = -1;
    if (playFd >= 0)
        close(playFd);
    playFd = -1;
    playing = false;
    playList = nullptr;
}

void ComcertoChannel::getSettings(JsonValue& out) const
{
    const char* type = getTypeName();
    out["type"] = json_string(type ? type : "");
    out["pcmCode"] = json_int(pcmCode);
    out["tx-agc"] = json_bool(txAgc);
    out["rx-agc"] = json_bool(rxAgc);
    out["tx-gain"] = json_string(gain_text(txGain));
    out["rx-gain"] = json_string(gain_text(rxGain));
    out["RTCPen"] = json_bool(rtcpEnabled);
    if (qosMonitor) {
        JsonValue a;
        a.kind = JSON_ARRAY;
        for (int v : qosThresholds)
            a.items.push_back(json_int(v));
        out["QoSmonitor"] = a;
    }
    if (rtpTtl != 128)
        out["rtp-ttl"] = json_int(rtpTtl);
    if (rtcpTtl != 128)
        out["rtcp-ttl"] = json_int(rtcpTtl);
    if (rtpDscp != 0)
        out["rtp-dscp"] = json_int(rtpDscp);
    if (rtcpDscp != 0)
        out["rtcp-dscp"] = json_int(rtcpDscp);
    if (channelFlags != 0)
        out["flags"] = json_int(static_cast<int>(channelFlags));
    if (jbMin != 0)
        out["jbmin"] = json_int(jbMin);
    if (jbMax != 200)
        out["jbmax"] = json_int(jbMax);
    if (jbInit != 0)
        out["jbinit"] = json_int(jbInit);
    if (jbAp != 10000)
        out["jbap"] = json_int(jbAp);
    if (t38Allowed && t38Options != 0xA0300)
        out["t38"] = json_int(static_cast<int>(t38Options));
}

void ComcertoChannel::getStatus(JsonValue& out) const { out["secure"] = json_bool(secure.get()); }

void ComcertoChannel::getStatistics(JsonValue& out) const
{
    MutexLock lock(statisticsMutex);
    if (out.kind != JSON_HASH)
        return;
    for (const auto& [name, value] : statistics.members)
        out.members.emplace(name, value);   // a member out already has keeps its value
}

void ComcertoChannel::onSyncData(const uint8_t*, int, bool) {}

void ComcertoChannel::setSettings(const JsonValue& settings)
{
    const bool connected = hasMspChannel();
    bool voiceOptionsChanged = false;
    bool jitterBufferChanged = false;

    int pcm = int_key(settings, "pcmCode", 0) > 0 ? 1 : 0;
    if (pcm != pcmCode) {
        pcmCode = pcm;
        if (connected)
            voiceOptionsChanged = true;
    }

    bool rx = bool_key(settings, "rx-agc", false);
    bool tx = bool_key(settings, "tx-agc", false);
    if (rx != rxAgc || tx != txAgc) {
        rxAgc = rx;
        txAgc = tx;
        if (hasVoiceConnection())
            send_AGCSET(rxAgc, txAgc);
    }

    float rxDb = gain_key(settings, "rx-gain");
    float txDb = gain_key(settings, "tx-gain");
    if (rxDb != rxGain || txDb != txGain) {
        rxGain = rxDb;
        txGain = txDb;
        if (hasVoiceConnection())
            set_tdm_gain(rxGain, txGain);
    }

    bool rtcp = bool_key(settings, "RTCPen", true);
    if (rtcp != rtcpEnabled) {
        rtcpEnabled = rtcp;
        if (streamRunning)
            set_RTCP(rtcpEnabled);
    }

    qosMonitor = false;
    const JsonValue* qos = settings.find("QoSmonitor");
    if (qos && qos->kind == JSON_ARRAY && qos->items.size() >= 7) {
        qosMonitor = true;
        for (int i = 0; i < 7; i++) {
            if (qos->items[i].kind != JSON_INTEGER) {
                qosMonitor = false;
                break;
            }
            qosThresholds[i] = qos->items[i].integer;
        }
    }
    setQosAlarms(qosAlarmRequest);
    if (streamRunning)
        QoS_thresholds(qosMonitor);

    int oldRtpTtl = rtpTtl, oldRtpDscp = rtpDscp, oldRtcpTtl = rtcpTtl, oldRtcpDscp = rtcpDscp;
    rtpTtl = int_key(settings, "rtp-ttl", 128);
    rtcpTtl = int_key(settings, "rtcp-ttl", 128);
    rtpDscp = int_key(settings, "rtp-dscp", 0);
    rtcpDscp = int_key(settings, "rtcp-dscp", 0);
    if (connected) {
        if (rtpTtl != oldRtpTtl || rtpDscp != oldRtpDscp)
            SetConnIpParams(0, rtp.local_addr, rtp.remote_addr, rtpTtl, rtpDscp);
        if (rtcpTtl != oldRtcpTtl || rtcpDscp != oldRtcpDscp)
            SetConnIpParams(1, rtp.local_addr, rtp.remote_addr, rtcpTtl, rtcpDscp);
    }

    uint32_t oldFlags = channelFlags;
    channelFlags = static_cast<uint32_t>(int_key(settings, "flags", 0));
    if ((channelFlags ^ oldFlags) & 0xF0)
        voiceOptionsChanged = true;

    if ((channelFlags & 7) == 0) {
        int mn = int_key(settings, "jbmin", 0);
        int mx = int_key(settings, "jbmax", 200);
        int init = int_key(settings, "jbinit", 0);
        int ap = int_key(settings, "jbap", 10000);
        if (mn != jbMin || mx != jbMax || init != jbInit || ap != jbAp)
            jitterBufferChanged = true;
        jbMin = mn;
        jbMax = mx;
        jbInit = init;
        jbAp = ap;
    }
    if ((channelFlags ^ oldFlags) & 7)
        jitterBufferChanged = true;

    t38Options = static_cast<uint32_t>(int_key(settings, "t38", 0xA0300));

    if (jitterBufferChanged) {
        if (!connected)
            return;
        sendJBOpt();
    }
    if (voiceOptionsChanged && hasVoiceConnection())
        setVoiceOptions();
}

void ComcertoChannel::raiseEvent(channel_event_t* event)
{
    event->channel = timeslot;
    postChannelEvent(event);
}

void ComcertoChannel::setAlarm(int) {}

void ComcertoChannel::setQosAlarms(uint32_t bits)
{
    uint32_t effective = qosMonitor && streamRunning ? bits : 0;
    if (!rtcpEnabled)
        effective &= ~1u;
    qosAlarmRequest = bits;
    uint32_t old = qosAlarms;
    qosAlarms = effective;
    for (int i = 0; i < QOS_PUBLISHED_BITS; i++) {
        uint32_t bit = 1u << i;
        if (((old ^ effective) & bit) == 0)
            continue;
        int level = (effective & bit) == 0 ? 0 : (bit & QOS_MAJOR_BITS) ? 2 : 1;
        char id[48];
        snprintf(id, sizeof id, ".10.%d.%d.0", timeslot + 1, 11 + i);
        poller_set_alarm(id, level);
    }
}

void ComcertoChannel::publishStatus()
{
    if (timeslot < 0 || timeslot > 255)
        return;
    JsonValue status;
    status.kind = JSON_HASH;
    getStatus(status);
    char id[32];
    snprintf(id, sizeof id, ".10.%d.3.0", timeslot + 1);
    poller_publish_var(id, MyVarValue(status.toString(0, 0)));
}

bool ComcertoChannel::ready_for_command(const char* what)
{
    // A conference id may be another channel's MSP channel id.
    if (!hasMspChannel()) {
        LOG(LOGF_GENERAL, 3, "ts %d: %s(): invalid channelId (%d)", timeslot, what, channelId);
        return false;
    }
    // A pending caller-ID generation would swallow the command.
    if (callerIdPending)
        stopCallerId();
    return true;
}

int ComcertoChannel::PassThru(void* message, int length, void* response, int* responseLength)
{
    if (!ready_for_command("PassThru"))
        return -1;
    return DEV_PassThru(static_cast<uint16_t>(channelId), message, length, response, responseLength);
}

int ComcertoChannel::PassThruAsync(void* message, int length, MspCompletionCallback callback, void* userData)
{
    if (!ready_for_command("PassThru"))
        return -1;
    return msp_passthru_async_owned(this, static_cast<uint16_t>(channelId), message, length, callback, userData);
}

int ComcertoChannel::stopCallerId()
{
    // Without a connection channelId -1 would become the device's id 0xFFFF.
    int result = -1;
    if (hasMspChannel()) {
        MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_CNDSTOP, 0);
        uint8_t response[256];
        int responseLength = sizeof response;
        result = DEV_PassThru(static_cast<uint16_t>(channelId), m.data(), m.size(), response, &responseLength);
    }
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: CND_STOP failed (result=%d)", timeslot, result);
    return result;
}
