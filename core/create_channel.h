// Keeps, replaces, creates or deletes the channel object of a timeslot from
// the "type" of a bound "Channel settings" event. Main thread, inside the
// dispatch of that event (channel_table_mutex held); the event then goes to
// whatever object is at its timeslot afterwards.
#pragma once

#include "core/channel_event.h"

void createChannel(JsonEvent_t* event);
