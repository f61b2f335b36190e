// Connections, RTP streams and the media events every channel shares.
// Stand-ins until that work lands: just enough for the settings and command
// code to run.
#include "msp/comcerto_channel.h"

void ComcertoChannel::processEvent(channel_event_t* event)
{
    if (!event || event->channel < 0)
        return;
    switch (event->code) {
    case EV_CHANNEL_SETTINGS:
        if (auto* settings = dynamic_cast<JsonEvent_t*>(event))
            setSettings(settings->value);
        break;
    case EV_QOS_ALARM:
        setQosAlarms(static_cast<uint32_t>(event->data));
        break;
    case EV_RTP_MONITOR:
        setAlarm(event->data & 1);
        break;
    case EV_CALLER_ID_SENT:
        callerIdPending = false;
        break;
    default:
        break;
    }
}

int ComcertoChannel::createConnection(int, bool) { return -1; }

int ComcertoChannel::startStream()
{
    streamRunning = true;
    return 0;
}

int ComcertoChannel::stopStream()
{
    streamRunning = false;
    cancelArpTimer();
    return 0;
}

int ComcertoChannel::setVoiceOptions() { return 0; }

int ComcertoChannel::comcerto_set_rtp_params(rtp_event_t*) { return -1; }
