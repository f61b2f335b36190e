// The calls of a SIPChannel: the two records, the user agent's events, the
// operations the subclasses call, and the time-outs.
#include <cstring>
#include <strings.h>

#include "core/log.h"
#include "core/scheduler.h"
#include "msp/sip_channel.h"
#include "ua/ua_events.h"

namespace {

const char* const fax_state_names[16] = {
    "???",
    "CNG",
    "CED",
    "V.21 Ch 2",
    "V.27 ter 2400",
    "V.27 ter 4800",
    "V.29 7200",
    "V.29 9600",
    "V.17 7200 short train",
    "V.17 7200 long train (V.33)",
    "V.17 9600 short train",
    "V.17 9600 long train (V.33)",
    "V.17 12000 short train",
    "V.17 12000 long train (V.33)",
    "V.17 14400 short train",
    "V.17 14400 long train (V.33)",
};
// Rates of the states 4..15.
const char* const fax_rates[12] = {"2400", "4800", "7200", "9600",  "7200",  "7200",
                                   "9600", "9600", "12000", "12000", "14400", "14400"};

const char* fax_state_name(int state) { return state >= 1 && state <= 15 ? fax_state_names[state] : "???"; }

const char* t30_name(int message)
{
    switch (message) {
    case 0x01: return "DIS";
    case 0x02: return "CSI";
    case 0x04: return "NSF";
    case 0x21: return "CFR";
    case 0x22: return "FTT";
    case 0x31: return "MCF";
    case 0x32: return "RTN";
    case 0x33: return "RTP";
    case 0x5F:
    case 0xDF: return "DCN";
    case 0xC1: return "DCS";
    case 0xC2: return "TSI";
    case 0xF1: return "EOM";
    case 0xF2: return "MPS";
    case 0xF4: return "EOP";
    default: return "???";
    }
}

constexpr int TONE_FAX_ANSWER = 0x10;
constexpr int TONE_V21 = 0x22;
constexpr int TONE_VOICE_AGAIN = 0x31;
constexpr int PROGRESS_FAX = 0x41;
constexpr int RTP_INFO_COUNTER = 48;
constexpr const char* RTP_TIMEOUT_REASON = "SIP;cause=408;text=\"RTP timeout\"";

// Element RTP_INFO_COUNTER of an "RTPinfo" array of kind 6; false otherwise.
bool rtp_info_counter(const JsonValue* info, int* counter)
{
    if (!info || info->kind != JSON_ARRAY || info->items.size() <= RTP_INFO_COUNTER)
        return false;
    const JsonValue& kind = info->items[0];
    const JsonValue& c = info->items[RTP_INFO_COUNTER];
    if (kind.kind != JSON_INTEGER || kind.integer != 6 || c.kind != JSON_INTEGER)
        return false;
    *counter = c.integer;
    return true;
}

}  // namespace

CallRecord::CallRecord(SIPChannel* owner_)
    : owner(owner_),
      callerName(owner_),
      callerNumber(owner_),
      callerAddress(owner_),
      calleeName(owner_),
      calleeNumber(owner_)
{
}

void CallRecord::reset()
{
    callId = -1;
    startTime = 0;
    answerTime = 0;
    callerName.set("");
    callerNumber.set("");
    callerAddress.set("");
    calleeName.set("");
    calleeNumber.set("");
    cpc.clear();
    disconnectSide = 0;
    owner->cancelCallTimer(*this);
    outgoing = true;
    answerPending = false;
    isFocus = false;
}

const char* CallRecord::disconnectSideName(int side)
{
    switch (side) {
    case 1: return "Local disconnect";
    case 2: return "Remote disconnect";
    default: return "Unknown";
    }
}

void CallRecord::swapWith(CallRecord& o)
{
    std::swap(callId, o.callId);
    std::swap(startTime, o.startTime);
    std::swap(answerTime, o.answerTime);
    callerName.swapText(o.callerName);
    callerNumber.swapText(o.callerNumber);
    callerAddress.swapText(o.callerAddress);
    calleeName.swapText(o.calleeName);
    calleeNumber.swapText(o.calleeNumber);
    cpc.swap(o.cpc);
    std::swap(disconnectSide, o.disconnectSide);
    std::swap(callTimer, o.callTimer);
    std::swap(outgoing, o.outgoing);
    std::swap(secureTransport, o.secureTransport);
    std::swap(answerPending, o.answerPending);
    std::swap(isFocus, o.isFocus);
}

CallRecord* SIPChannel::recordOf(int callId)
{
    if (callId < 0)
        return nullptr;
    if (activeCall.callId == callId)
        return &activeCall;
    if (heldCall.callId == callId)
        return &heldCall;
    return nullptr;
}

void SIPChannel::armCallTimer(CallRecord& record)
{
    if (connLimit <= 0 || record.callTimer != 0 || !main_scheduler)
        return;
    auto ticket = std::make_unique<CallTimerTicket>(CallTimerTicket{this, 0});
    uint64_t id = 0;
    if (sched_add_timer(main_scheduler, "call timeout", connLimit * 60000, call_timer_callback, ticket.get(), &id) !=
            0 ||
        id == 0)
        return;
    ticket->id = id;
    record.callTimer = id;
    callTickets[id] = std::move(ticket);
}

void SIPChannel::cancelCallTimer(CallRecord& record)
{
    if (record.callTimer == 0)
        return;
    if (main_scheduler)
        sched_cancel_timer(main_scheduler, record.callTimer);
    callTickets.erase(record.callTimer);
    record.callTimer = 0;
}

void SIPChannel::call_timer_callback(void* argument)
{
    auto* ticket = static_cast<CallTimerTicket*>(argument);
    SIPChannel* channel = ticket->channel;
    uint64_t id = ticket->id;
    // The timer has run: it is no longer the record's to cancel.
    CallRecord* record = nullptr;
    for (CallRecord* r : {&channel->activeCall, &channel->heldCall})
        if (r->callTimer == id) {
            r->callTimer = 0;
            record = r;
        }
    channel->callTickets.erase(id);
    if (record)
        channel->call_timer_expired(record);
}

void SIPChannel::call_timer_expired(CallRecord* record)
{
    if (record->callId < 0)
        return;
    LOG(LOGF_GENERAL, 6, "ts %d: connection timer expired", timeslot);
    int result = sip_channel_ua().hangup(record->callId, "");
    if (result < 0)
        LOG(LOGF_GENERAL, 3, "ts %d: ua_hangup() error %d", timeslot, result);
}

int SIPChannel::stopTone(int direction)
{
    if (channelId < 0)
        return 0;
    tonePlaying = false;
    int result = ComcertoChannel::stopTone(direction);
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: stopTone() failed (result=%d)", timeslot, result);
    return result;
}

int SIPChannel::startStream()
{
    int result = ComcertoChannel::startStream();
    if (result == 0)
        lastRtpActivity = sched_get_time_sec();
    return result;
}

int SIPChannel::comcerto_set_rtp_params(rtp_event_t* params)
{
    int result = ComcertoChannel::comcerto_set_rtp_params(params);
    if (result == 0 && hasVoiceConnection()) {
        send_DTMFOPT(params->tx_event_pt, false);
        faxDcnSeen = false;
    }
    return result;
}

int SIPChannel::answer()
{
    if (activeCall.answerPending) {
        int result = sip_channel_ua().answer(activeCall.callId);
        activeCall.answerPending = false;
        if (result != 0)
            return result;
    } else if (channelId >= 0) {
        ComcertoChannel::stopTone(0);
    }
    activeCall.answerTime = time(nullptr);
    LOG(LOGF_GENERAL, 6, "channel %d: answer", timeslot);
    armCallTimer(activeCall);
    return 0;
}

int SIPChannel::hangup(const std::string& reason)
{
    stopPlaybackIfActive();
    if (activeCall.callId >= 0) {
        int result = sip_channel_ua().hangup(activeCall.callId, reason);
        if (result < 0)
            LOG(LOGF_GENERAL, 3, "ts %d: ua_hangup() error %d", timeslot, result);
        if (streamRunning)
            stopStream();
        activeCall.disconnectSide = 1;
        activeCall.reset();
    }
    if (heldCall.callId >= 0) {
        int result = sip_channel_ua().hangup(heldCall.callId, reason);
        if (result < 0)
            LOG(LOGF_GENERAL, 3, "ts %d: ua_hangup() error %d", timeslot, result);
        heldCall.disconnectSide = 1;
        heldCall.reset();
    }
    return 0;
}

int SIPChannel::swapCalls()
{
    if (activeCall.callId >= 0) {
        stopStream();
        int result = sip_channel_ua().reinvite(activeCall.callId, "inactive");
        if (result < 0)
            return result;
    }
    activeCall.swapWith(heldCall);
    publishStatus();
    if (activeCall.callId >= 0)
        sip_channel_ua().reinvite(activeCall.callId, "sendrecv");
    return 0;
}

void SIPChannel::rewriteCallerNumber(std::string& number) const
{
    if (cidPattern.pattern().empty() || cidReplacement.empty())
        return;
    cidPattern.Replace(cidReplacement, &number);
}

void SIPChannel::processUnbound(channel_event_t* event)
{
    if (!(event->flags & EVF_PASS1))
        return;
    switch (event->code) {
    case EV_SIP_TRANSPORT_READY:
        if (event->data == transport)
            registrationId = sip_channel_ua().reg(this);
        break;
    case EV_CALL_DISCONNECTED:
        // Claiming ends the offer and nothing delivers the event again: it
        // is handled here as the bound event it now is, or the record (and
        // the subclass's call) would stay up.
        if (recordOf(event->data)) {
            event->channel = timeslot;
            processEvent(event);
        }
        break;
    case EV_IP_ADDRESS_CHANGED:
        reregister(transport);
        break;
    default:
        break;
    }
}

void SIPChannel::checkRtpTimeout(const JsonValue& value)
{
    if (!value.find("RTPinfo") || !hasVoiceConnection() || rtpTimeout <= 0)
        return;
    int before = 0, now = 0;
    {
        MutexLock lock(statisticsMutex);
        if (!rtp_info_counter(statistics.find("RTPinfo"), &before) || !rtp_info_counter(value.find("RTPinfo"), &now))
            return;
    }
    int64_t seconds = sched_get_time_sec();
    if (before != now) {
        lastRtpActivity = seconds;
        return;
    }
    if (static_cast<uint64_t>(seconds - lastRtpActivity) < static_cast<uint64_t>(rtpTimeout) || activeCall.callId < 0)
        return;
    LOG(LOGF_GENERAL, 4, "ts %d: RTP timeout", timeslot);
    int result = sip_channel_ua().hangup(activeCall.callId, RTP_TIMEOUT_REASON);
    if (result < 0) {
        LOG(LOGF_GENERAL, 3, "ts %d: ua_hangup() error %d", timeslot, result);
        auto* d = new disconnect_event_t(timeslot, activeCall.callId);
        d->q850_cause = 102;
        d->location = 10;
        raiseEvent(d);
    }
}

void SIPChannel::faxStateChanged(int data)
{
    if (connectionType != MSP_CONN_T38 || channelId < 0 || activeCall.callId < 0)
        return;
    bool sending = data & 1;
    int state = (data >> 1) & 0x7F;
    int message = (data >> 8) & 0xFF;
    if (state == 3 && message != 0)
        LOG(LOGF_GENERAL, 6, "ts %d: T.30/0x%02x (%s) message %s", timeslot, message, t30_name(message),
            sending ? "sent" : "received");
    else
        LOG(LOGF_GENERAL, 6, "ts %d: %s %s", timeslot, sending ? "sending" : "receiving", fax_state_name(state));
    if (!codecStatus.empty()) {
        std::string text = "T38";
        if (state >= 4 && state <= 15) {
            text += sending ? "/TX/" : "/RX/";
            text += fax_rates[state - 4];
            LOG(LOGF_GENERAL, 6, "ts %d: fax state %s", timeslot, text.c_str());
        }
        codecStatus.set(text);
    }
    if (state == 3 && !sending && (message & 0x7F) == 0x5F)
        faxDcnSeen = true;
    else if (!faxDcnSeen)
        return;
    if (data == 0 && connectionType == MSP_CONN_T38)
        sip_channel_ua().reinvite(activeCall.callId, "sendrecv");
}

void SIPChannel::processEvent(channel_event_t* event)
{
    if (!event)
        return;
    if (event->channel < 0) {
        processUnbound(event);
        return;
    }
    CallRecord* record = recordOf(event->data);
    const bool answeredVoice = activeCall.callId >= 0 && activeCall.answerTime != 0 && hasVoiceConnection();
    switch (event->code) {
    case EV_INCOMING_CALL: {
        auto* call = dynamic_cast<call_event_t*>(event);
        if (!call)
            break;
        activeCall.callId = event->data;
        activeCall.startTime = time(nullptr);
        activeCall.callerName.set(call->caller_name);
        activeCall.callerNumber.set(call->caller_number);
        activeCall.callerAddress.set(call->from);
        activeCall.calleeNumber.set(call->called);
        activeCall.cpc = call->cpc;
        activeCall.outgoing = false;
        activeCall.secureTransport = call->secure;
        activeCall.isFocus = call->is_focus;
        activeCall.answerPending = true;
        faxToneSeen = false;
        break;
    }
    case EV_REPLACE_CALL: {
        auto* r = dynamic_cast<call_replace_t*>(event);
        if (!r || !record)
            break;
        record->callId = r->new_call_id;
        record->answerPending = false;
        if (record != &activeCall)
            break;
        if (!record->outgoing) {
            if (!r->caller_name.empty())
                record->callerName.set(r->caller_name);
            if (!r->caller_number.empty())
                record->callerNumber.set(r->caller_number);
            if (!r->from.empty())
                record->callerAddress.set(r->from);
        } else {
            if (!r->caller_name.empty())
                record->calleeName.set(r->caller_name);
            if (!r->from.empty())
                record->calleeNumber.set(r->from);
        }
        stopStream();
        break;
    }
    case EV_CALL_ID_REPLACED: {
        auto* r = dynamic_cast<cid_replace_t*>(event);
        if (!r || !record)
            break;
        record->callId = r->new_call_id;
        record->answerPending = false;
        break;
    }
    case EV_CALL_REDIRECTED: {
        auto* r = dynamic_cast<redirect_event_t*>(event);
        if (r && record == &activeCall)
            activeCall.calleeNumber.set(r->contact);
        break;
    }
    case EV_CALL_ANSWERED: {
        if (!record)
            break;
        record->answerTime = time(nullptr);
        if (auto* a = dynamic_cast<answer_event_t*>(event)) {
            record->isFocus = a->is_focus;
            if (!a->identity.empty())
                record->calleeNumber.set(a->identity);
        }
        armCallTimer(*record);
        break;
    }
    case EV_CALL_DISCONNECTED:
        if (record == &activeCall) {
            stopStream();
            activeCall.disconnectSide = 2;
            activeCall.reset();
        } else if (record == &heldCall) {
            heldCall.disconnectSide = 2;
            heldCall.reset();
        }
        break;
    case EV_HANGUP:
        hangup("");
        break;
    case EV_TONE_DETECTED:
        if (event->data == TONE_FAX_ANSWER) {
            if (answeredVoice)
                faxToneSeen = true;
        } else if (event->data == TONE_V21) {
            if (t38Allowed && !(sipFlags & SIPFLAG_NO_T38_ON_V21) && answeredVoice && faxToneSeen) {
                sip_channel_ua().reinvite(activeCall.callId, "t38");
                faxToneSeen = false;
            }
        } else if (event->data == TONE_VOICE_AGAIN) {
            if (connectionType == MSP_CONN_T38 && channelId >= 0 && activeCall.callId >= 0)
                sip_channel_ua().reinvite(activeCall.callId, "sendrecv");
        }
        break;
    case EV_RTP_PARAMETERS:
        if (record == &activeCall)
            ComcertoChannel::processEvent(event);
        break;
    case EV_ENDPOINT_REGISTERED:
        reged.set(true);
        break;
    case EV_REGISTRATION_FAILED:
        reged.set(false);
        break;
    case EV_STATISTICS_RECEIVED:
        if (auto* stats = dynamic_cast<JsonEvent_t*>(event))
            checkRtpTimeout(stats->value);
        ComcertoChannel::processEvent(event);
        break;
    case EV_CALL_PROGRESS_DETECTED:
        if (t38Allowed && (sipFlags & SIPFLAG_T38_ON_PROGRESS_TONE) && event->data == PROGRESS_FAX && answeredVoice)
            sip_channel_ua().reinvite(activeCall.callId, "t38");
        break;
    case EV_CALLER_INFO_RECEIVED: {
        auto* info = dynamic_cast<caller_info_t*>(event);
        if (!info)
            break;
        std::string number = info->caller_number;
        rewriteCallerNumber(number);
        activeCall.callerNumber.set(number);
        activeCall.callerName.set(info->caller_name);
        break;
    }
    case EV_REFER_RECEIVED: {
        auto* r = dynamic_cast<refer_event_t*>(event);
        if (!r || record != &activeCall)
            break;
        if (!activeCall.outgoing) {
            activeCall.callerName.set("");
            activeCall.callerNumber.set(r->refer_user);
            activeCall.callerAddress.set(r->refer_uri);
        } else {
            activeCall.calleeName.set("");
            activeCall.calleeNumber.set(r->refer_user);
        }
        int result = sip_channel_ua().refer_to(0, activeCall.callId, timeslot, getLocalIdentity(), r->refer_to, codecs,
                                               r->did, r->referred_by);
        activeCall.answerPending = false;
        if (result < 0) {
            // The subclass ends the call as for any disconnection.
            postEvent(timeslot, new disconnect_event_t(timeslot, -1));
        }
        break;
    }
    case EV_MESSAGE_ANSWERED: {
        auto* m = dynamic_cast<message_answer_t*>(event);
        if (!m || record || event->data < 0)
            break;
        if (strcasecmp(m->method.c_str(), "UPDATE") == 0 || strcasecmp(m->method.c_str(), "INVITE") == 0) {
            LOG(LOGF_GENERAL, 4, "ts %d: disconnecting stale call %d", timeslot, event->data);
            sip_channel_ua().hangup(event->data, "");
        }
        break;
    }
    case EV_FAX_STATE:
        faxStateChanged(event->data);
        break;
    default:
        ComcertoChannel::processEvent(event);
        break;
    }
}
