#include "core/channel_event.h"

#include <atomic>

#include "core/event_queue.h"
#include "core/log.h"

namespace {

const char* const names[] = {
    "CAS event",
    "Incoming call",
    "Replace call",
    "Call ID replaced",
    "Call redirected",
    "Remote is ringing",
    "Call answered",
    "Call disconnected",
    "Hangup",
    "DTMF detected",
    "Tone detected",
    "Remote tone detected",
    "RTP parameters",
    "Endpoint registered",
    "Registration failed",
    "Statistics received",
    "QoS alarm",
    "RTP monitor",
    "Tone completed",
    "Channel settings",
    "TDM Call Progress detected",
    "Caller Info received",
    "Caller ID sending complete",
    "SIP transport ready",
    "CAS A activity detected",
    "PassThru mode autoswitch",
    "Play/Recording finished",
    "Participant leave the conference",
    "Any Data",
    "DVO event",
    "Channel command",
    "NTG Sync Status",
    "IP address changed",
    "REFER received",
    "Message answered 2xx",
    "Message failed",
    "Fax state",
    "ACK received",
    "NOTIFY received",
    "MSP ALERT received",
};
static_assert(sizeof names / sizeof names[0] == EV_MSP_ALERT + 1);

std::atomic<const call_completion_t*> completion{nullptr};

}  // namespace

const char* eventName(int code)
{
    if (code < 0 || code > EV_MSP_ALERT)
        return "Unknown event";
    return names[code];
}

void call_completion_register(const call_completion_t* c) { completion.store(c); }

call_event_t::~call_event_t()
{
    const call_completion_t* c = completion.load();
    if (!c || data < 0)
        return;
    if (channel >= 0)
        c->set_ts(data, channel);
    else
        c->response_status(data, status, redirect_contact);
}

int postChannelEvent(channel_event_t* event)
{
    int r = std_queue_enqueue(event_queue, event);
    if (r != 0) {
        LOG(LOGF_GENERAL, 3, "std_queue_enqueue() failed (result=%d)", r);
        delete event;
    }
    return r;
}

int postEvent(int channel, channel_event_t* event)
{
    if (!event)
        return -1;
    event->channel = channel;
    return postChannelEvent(event);
}
