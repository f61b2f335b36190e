// Hands one event to whoever it concerns, then deletes it. Main thread only,
// with channel_table_mutex held.
#pragma once

#include "core/channel_event.h"

void dispatchEvent(channel_event_t* event);
