// Keeps, replaces, creates or deletes the channel object of a timeslot from
// the "type" of a bound "Channel settings" event. Main thread, inside the
// dispatch of that event (channel_table_mutex held); the event then goes to
// whatever object is at its timeslot afterwards. Start-up registers it with
// dispatch.
#pragma once

#include <cstddef>
#include <string>

#include "core/abstract_channel.h"
#include "core/channel_event.h"

void createChannel(JsonEvent_t* event);

// One row of the type table: the exact "type" text and how to make it.
struct channel_type_t {
    const char* type;
    AbstractChannel* (*make)(int ts, const std::string& type);
};

// The table createChannel searches, in order. Tests put their own in place.
extern const channel_type_t* channel_types;
extern size_t channel_types_count;
