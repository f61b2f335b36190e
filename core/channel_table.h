// The timeslot channels, indexed by channel number. Entries are created and
// deleted only by the main thread; other threads only read a channel.
#pragma once

#include "core/abstract_channel.h"
#include "core/mutex.h"

constexpr int CHANNEL_TABLE_SIZE = 256;

// Guards channel_table and the channels in it; the main thread holds it for
// the whole dispatch of an event and whenever it changes an entry.
extern Mutex channel_table_mutex;
extern AbstractChannel* channel_table[CHANNEL_TABLE_SIZE];
