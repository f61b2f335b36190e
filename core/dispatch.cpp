#include "core/dispatch.h"

#include <atomic>
#include <exception>

#include "core/channel_table.h"
#include "core/log.h"

AbstractChannel* virtualChannelManager = nullptr;

namespace {

std::atomic<dhcp_client_fn> dhcp_client{nullptr};
std::atomic<channel_maker_fn> channel_maker{nullptr};

// A handler's exception costs only that call.
void to_channel(AbstractChannel* ch, channel_event_t* event, int ts)
{
    try {
        ch->processEvent(event);
    } catch (const std::exception& e) {
        LOG(LOGF_SYSTEM, 3, "exception caught in processEvent(%s, data=%d) channel %d: %s", eventName(event->code),
            event->data, ts + 1, e.what());
    } catch (...) {
        LOG(LOGF_SYSTEM, 3, "unknown exception caught in processEvent(%s, data=%d) channel %d",
            eventName(event->code), event->data, ts + 1);
    }
}

void to_manager(channel_event_t* event)
{
    if (!virtualChannelManager)
        return;
    int ch = event->channel;
    try {
        virtualChannelManager->processEvent(event);
    } catch (const std::exception& e) {
        LOG(LOGF_SYSTEM, 3, "exception caught in processEvent(%s, data=%d) virtual channel %d: %s",
            eventName(event->code), event->data, ch, e.what());
    } catch (...) {
        LOG(LOGF_SYSTEM, 3, "unknown exception caught in processEvent(%s, data=%d) virtual channel %d",
            eventName(event->code), event->data, ch);
    }
}

// The manager's turn inside the claim protocol.
bool offer_to_manager(channel_event_t* event)
{
    if (!virtualChannelManager)
        return false;
    try {
        virtualChannelManager->processEvent(event);
    } catch (const std::exception& e) {
        LOG(LOGF_SYSTEM, 3, "exception caught in processEvent(%s, data=%d) virtual channel: %s",
            eventName(event->code), event->data, e.what());
    } catch (...) {
        LOG(LOGF_SYSTEM, 3, "unknown exception caught in processEvent(%s, data=%d) virtual channel",
            eventName(event->code), event->data);
    }
    return event->channel >= 0;
}

// Every channel in timeslot order until one claims the event.
bool offer(channel_event_t* event)
{
    for (int ts = 0; ts < CHANNEL_TABLE_SIZE; ts++) {
        if (AbstractChannel* ch = channel_table[ts]) {
            to_channel(ch, event, ts);
            if (event->channel >= 0)
                return true;
        }
    }
    return false;
}

void claim(channel_event_t* event)
{
    event->flags = (event->flags & ~EVF_PASS2) | EVF_PASS1;
    if (offer(event))
        return;
    bool pass2;
    if (!(event->flags & EVF_MATCHED)) {
        if (offer_to_manager(event))
            return;
        pass2 = !(event->flags & EVF_MATCHED) || (event->flags & EVF_RETRY);
    } else {
        if (!(event->flags & EVF_RETRY))
            return;
        pass2 = true;
    }
    if (pass2) {
        event->flags = (event->flags & ~(EVF_PASS1 | EVF_RETRY)) | EVF_PASS2;
        if (offer(event))
            return;
    }
    // Unmarked calls and service changes get a second look from the manager
    // (the intercept service reads its answer there).
    if (!(event->flags & EVF_MATCHED) && (event->code == EV_INCOMING_CALL || event->code == EV_DVO)) {
        if (offer_to_manager(event))
            return;
    }
    if (event->flags & EVF_RETRY) {
        event->flags |= EVF_PASS3;
        offer(event);
    }
}

void start_stop_dhcp(channel_event_t* event)
{
    dhcp_client_fn fn = dhcp_client.load();
    if (!fn)
        return;
    try {
        auto* settings = dynamic_cast<JsonEvent_t*>(event);
        const JsonValue* dhcp = settings ? settings->value.find("dhcp") : nullptr;
        fn(dhcp ? dhcp->text : std::string("no"));
    } catch (const std::exception& e) {
        LOG(LOGF_SYSTEM, 3, "exception caught in start/stop DHCP: %s", e.what());
    } catch (...) {
        LOG(LOGF_SYSTEM, 3, "unknown exception caught in start/stop DHCP");
    }
}

}  // namespace

void dispatch_set_dhcp_client(dhcp_client_fn fn) { dhcp_client.store(fn); }
void dispatch_set_channel_maker(channel_maker_fn fn) { channel_maker.store(fn); }

void dispatchEvent(channel_event_t* event)
{
    int ch = event->channel;
    if (ch < 0) {
        if (event->code == EV_CHANNEL_SETTINGS)
            start_stop_dhcp(event);
        claim(event);
    } else if (ch < CHANNEL_TABLE_SIZE) {
        if (event->code == EV_CHANNEL_SETTINGS) {
            auto* settings = dynamic_cast<JsonEvent_t*>(event);
            channel_maker_fn make = channel_maker.load();
            if (settings && make)
                make(settings);
        }
        if (AbstractChannel* channel = channel_table[ch])
            to_channel(channel, event, ch);
        if (event->channel >= 1000)
            to_manager(event);
    } else if (ch >= 1000) {
        to_manager(event);
    }
    delete event;
}
