// What the main loop knows of a channel: it hands it events and, when the
// channel keeps a descriptor in main_pollfds, tells it the descriptor is readable.
#pragma once

#include "core/channel_event.h"

class AbstractChannel {
public:
    virtual ~AbstractChannel() = default;
    // Runs on the main thread with channel_table_mutex held; never deletes the event.
    virtual void processEvent(channel_event_t* event) = 0;
    // The channel's entry in main_pollfds is readable.
    virtual void processFd() {}
    // The "type" of the settings that created it ("FXS", "PRI", ...); the
    // poller thread also reads it under channel_table_mutex.
    virtual const char* getTypeName() const { return nullptr; }
};
