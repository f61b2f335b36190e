#include "msp/msp_indications.h"

#include <algorithm>
#include <string>
#include <unistd.h>

#include "core/channel_table.h"
#include "core/channel_event.h"
#include "core/log.h"
#include "core/reg_sync.h"
#include "core/watchdog.h"
#include "msp/comcerto_device.h"
#include "msp/function_codes.h"
#include "msp/msp_protocol.h"

uint16_t msp_channel_timeslot[65536];

namespace {

constexpr uint16_t DEVICE_STATUS_GOOD = 0x7FFB;
constexpr uint16_t ALERT_NO_CHANNEL = 0xFFFE;
constexpr int VINFO_WORDS = 50;

void halt_forever()
{
    for (;;)
        sleep(1);
}

void (*alert_halt)() = halt_forever;

bool init_table()
{
    std::fill(std::begin(msp_channel_timeslot), std::end(msp_channel_timeslot), MSP_CHANNEL_UNMAPPED);
    return true;
}
[[maybe_unused]] const bool table_ready = init_table();

// One received datagram; words past its end read as 0 so that a short
// indication never reaches stale bytes.
struct Indication {
    const uint8_t* m;
    int length;

    uint16_t w(int offset) const { return offset + 2 <= length ? msp_get_u16(m, offset) : 0; }
    uint32_t d(int offset) const { return w(offset) | static_cast<uint32_t>(w(offset + 2)) << 16; }
    uint32_t stamp() const { return w(10) | static_cast<uint32_t>(w(12)) << 16; }
};

JsonValue integer_array(const Indication& in, int from, int words)
{
    JsonValue a;
    a.kind = JSON_ARRAY;
    for (int i = 0; i < words; i++) {
        JsonValue v;
        v.kind = JSON_INTEGER;
        v.integer = static_cast<int32_t>(in.d(from + 4 * i));
        a.items.push_back(std::move(v));
    }
    return a;
}

void post_statistics(int channel, const char* name, JsonValue array)
{
    JsonValue hash;
    hash[name] = std::move(array);
    postEvent(channel, new JsonEvent_t(channel, EV_STATISTICS_RECEIVED, std::move(hash)));
}

std::string printable(const uint8_t* p, size_t n)
{
    std::string s(reinterpret_cast<const char*>(p), n);
    for (char& c : s)
        if (static_cast<uint8_t>(c) < 0x20)
            c = '?';
    return s;
}

void caller_id(const Indication& in, int channel)
{
    if (uint16_t status = in.w(8)) {
        LOG(LOGF_GENERAL, 4, "ts %d: Caller ID reception error: status = %04x", channel, status);
        return;
    }
    if (in.length < 12) {
        LOG(LOGF_GENERAL, 4, "ts %d: Caller ID message too short (%d bytes)", channel, in.length);
        return;
    }
    uint8_t type = in.m[10];
    int declared = in.m[11];
    const uint8_t* body = in.m + 12;
    int received = in.length - 12;
    std::string number, name;
    if (type == 0x04) {
        // Single data message: date and time (8 bytes), then the number.
        if (declared > received)
            LOG(LOGF_GENERAL, 4, "ts %d: invalid Caller ID message length: %d > (%d - 12)", channel, declared,
                in.length);
        else if (declared > 8)
            number = printable(body + 8, static_cast<size_t>(declared - 8));
    } else if (type == 0x80) {
        // Multiple data message: type, length, value; never beyond what arrived.
        int left = std::min(declared, received);
        const uint8_t* p = body;
        while (left > 1) {
            int n = p[1];
            if (n + 2 > left)
                break;
            if (p[0] == 0x02)
                number = printable(p + 2, static_cast<size_t>(n));
            else if (p[0] == 0x07)
                name = printable(p + 2, static_cast<size_t>(n));
            p += n + 2;
            left -= n + 2;
        }
    }
    if (number.empty())
        return;
    auto* info = new caller_info_t(channel);
    info->caller_number = number;
    info->caller_name = name;
    postEvent(channel, info);
}

void sync_data(const Indication& in, int channel, bool last)
{
    if (channel < 0 || channel >= CHANNEL_TABLE_SIZE)
        return;
    // The message's own length, but never more than arrived.
    int n = std::min<int>(in.m[0], in.length) - static_cast<int>(MSP_HEADER_SIZE);
    if (n < 0) {
        LOG(LOGF_GENERAL, 4, "ts %d: HDLC data with invalid length %d", channel, in.m[0]);
        return;
    }
    if (auto* sink = dynamic_cast<MspSyncDataSink*>(channel_table[channel]))
        sink->onSyncData(in.m + MSP_HEADER_SIZE, n, last);
}

void nt_recovery(const Indication& in)
{
    uint16_t word = in.w(8);
    msp_nt_status = word;
    bool ntg = msp_ntg_enabled;
    LOG(LOGF_GENERAL, 6, "==> STATUS_NT_RECOVERY: 0x%04x: holdover: %d, clock status: %d, ntgEnabled=%s", word,
        (word >> 7) & 1, (word >> 3) & 0xF, ntg ? "true" : "false");
    if (!ntg)
        return;
    postEvent(msp_sync_channel, new channel_event_t(msp_sync_channel, EV_NTG_SYNC_STATUS, word));
    comcerto_publish_nt_status();
}

void indication(const Indication& in, uint16_t channelId)
{
    int channel = msp_indication_channel(channelId);
    auto plain = [channel](int code, int data) { postEvent(channel, new channel_event_t(channel, code, data)); };
    auto stamped = [channel, &in](int code) {
        postEvent(channel, new Timestamped_event_t(channel, code, in.w(8), in.stamp()));
    };
    uint16_t fc = msp_message_fc(in.m);
    switch (fc) {
    case FC_DEVICE_STATUS:
        if ((in.w(10) & DEVICE_STATUS_GOOD) == DEVICE_STATUS_GOOD)
            msp_alive = true;
        break;
    case FC_MONITOR_TDM_SIG_CHANGE_IND: {
        int ts = in.w(8);
        postEvent(ts, new CAS_event_t(ts, in.w(10) & 0x0F, in.d(12)));
        break;
    }
    case FC_STATUS_NT_RECOVERY:
        nt_recovery(in);
        break;
    case FC_RTCPSTAT:
        post_statistics(channel, "RTCPstat", integer_array(in, 8, (in.length - 8) / 4));
        break;
    case FC_TONEDET:
        stamped(in.w(8) < 16 ? EV_DTMF_DETECTED : EV_TONE_DETECTED);
        break;
    case FC_SSRCCHG:
    case FC_PTCHNG:
    case FC_SSRCVIOL:
        break;
    case FC_TCMPLT:
        plain(EV_TONE_COMPLETED, in.w(8));
        break;
    case FC_FAXSTATE:
        plain(EV_FAX_STATE, in.w(8));
        break;
    case FC_EVENTDET:
        stamped(EV_CALL_PROGRESS_DETECTED);
        break;
    case FC_VINFOIND:
        if (in.length >= 8 + 4 * VINFO_WORDS)
            post_statistics(channel, "RTPinfo", integer_array(in, 8, VINFO_WORDS));
        break;
    case FC_CNDDONE:
        plain(EV_CALLER_ID_SENT, in.w(8));
        break;
    case FC_VOIP_REMDET:
        stamped(EV_REMOTE_TONE_DETECTED);
        break;
    case FC_CNDRXMSG:
        caller_id(in, channel);
        break;
    case FC_SET_ATM_SIGNALING:
        postEvent(channel, new CAS_event_t(channel, in.w(10) & 0x0F, in.d(12)));
        break;
    case FC_PASSTHRU_AUTOSWITCH_IND:
        plain(EV_PASSTHRU_AUTOSWITCH, in.w(8));
        break;
    case FC_QOS_ALARM:
        LOG(LOGF_GENERAL, 4, "---> FC_QOS_ALARM: ts=%d: rt=%u, lplr=%u, rplr=%u, ljitter=%u, rjitter=%u", channel,
            in.w(10), in.w(12), in.w(14), in.w(16), in.w(18));
        plain(EV_QOS_ALARM, in.w(8));
        break;
    case FC_RTP_MONITOR_IND:
        plain(EV_RTP_MONITOR, in.w(8));
        break;
    case FC_BWE_EVENTDET:
        LOG(LOGF_GENERAL, 4, "==> ts %d: BWE_EVENTDET: %04x %04x", channel, in.w(8), in.w(10));
        break;
    case FC_SYNCDAT:
    case FC_SYNCEOF:
        sync_data(in, channel, fc == FC_SYNCEOF);
        break;
    case FC_AS_DRAIN_COMPLETE_IND:
        plain(EV_PLAY_FINISHED, in.w(8));
        break;
    default:
        LOG(LOGF_GENERAL, 4, "---> channel 0x%04x (ts %d): unknown indication: FC=0x%04x", channelId, channel, fc);
        break;
    }
}

void alert(const Indication& in, uint16_t channelId)
{
    int type = in.w(8);
    int cpu = in.length > 10 ? in.m[10] : 0;
    int action = in.length > 11 ? in.m[11] : 0;
    uint16_t alertChannel = in.w(12);
    int channel = msp_channel_timeslot[alertChannel];
    if (channel == MSP_CHANNEL_UNMAPPED && alertChannel != ALERT_NO_CHANNEL)
        channel = channelId + 1000;
    // A reset may follow: keep the registrations.
    regsync_request_save();
    LOG(LOGF_GENERAL, 3, "MSP ALERT channelId=0x%04x, Type=%d, CPU=%d, Action=%d, Channel=%d ts=%d", channelId, type,
        cpu, action, alertChannel, channel);
    if (action >= 5 || type == 1) {
        if (watchdog_device())
            alert_halt();
        return;
    }
    if (action != 0 && alertChannel != ALERT_NO_CHANNEL)
        postEvent(channel, new channel_event_t(channel, EV_MSP_ALERT, alertChannel));
}

}  // namespace

int msp_indication_channel(uint16_t channelId)
{
    uint16_t ts = msp_channel_timeslot[channelId];
    return ts == MSP_CHANNEL_UNMAPPED ? channelId + 1000 : ts;
}

void msp_process_indication(const uint8_t* message, int length, uint16_t channelId)
{
    Indication in{message, length};
    if (message[2] == MSP_CLASS_DIAGNOSTIC) {
        uint16_t fc = msp_message_fc(message);
        if (fc != 0)
            LOG(LOGF_GENERAL, 4, "---> unknown diagnostic message: FC=0x%04x", fc);
        else
            alert(in, channelId);
        return;
    }
    indication(in, channelId);
}

void msp_set_alert_halt(void (*halt)()) { alert_halt = halt ? halt : halt_forever; }

void msp_indications_reset() { init_table(); }
