#include "core/channel_table.h"

Mutex channel_table_mutex;
AbstractChannel* channel_table[CHANNEL_TABLE_SIZE] = {};
