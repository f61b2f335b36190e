#include "services/virtual_channel_manager.h"

#include <cstdlib>

#include "core/channel_event.h"
#include "core/global_flags.h"
#include "proxy/repro_api.h"

namespace {

// The global settings: their "flags" (a decimal text; a number is taken as
// it is) and the proxy's options.
void global_settings(const JsonValue& settings)
{
    if (const JsonValue* flags = settings.find("flags")) {
        if (flags->kind == JSON_STRING)
            globalFlags = static_cast<uint32_t>(strtoul(flags->text.c_str(), nullptr, 10));
        else if (flags->kind == JSON_INTEGER)
            globalFlags = static_cast<uint32_t>(flags->integer);
    }
    repro_set_options(settings);
}

}  // namespace

void VirtualChannelManager::processEvent(channel_event_t* event)
{
    if (offers.size() < max_offers)
        offers.push_back({event->channel, event->code, event->flags, event->data});
    if (event->channel < 0 && event->code == EV_CHANNEL_SETTINGS)
        if (auto* settings = dynamic_cast<JsonEvent_t*>(event))
            global_settings(settings->value);
}

AbstractChannel* VirtualChannelManager::find(int) { return nullptr; }
