// The chassis controller's tables for the proxy: call groups and static
// routes, and the registrations batches of the sync agent. Each arrives as
// a JSON text in numbered chunks of the ".20.0" command, is put together
// here and applied in one step.
#pragma once

#include <string>

#include "core/json_value.h"

// One chunk of a "callgroups", "routes" or "registrations" command: "off"
// (where the chunk starts in the whole text) and "data". Once the text so far
// parses, it is applied and the next transfer starts. The thread of the
// variable write; one writer per command at a time.
void repro_proxy_chunk(const JsonValue& command);

// Replaces the call groups whole: each member of the object whose value is a
// non-empty array becomes a group of those members; anything else empties it.
void repro_update_callgroups(const JsonValue& value);
// Brings the running proxy's route table in line with the array of routes
// ("p", "f", "o", "t"): routes of the same order, pattern and "f" are
// updated, new ones added, the ones not named erased. Dropped when no proxy
// runs.
void repro_update_routes(const JsonValue& value);

// Empties the three reassembly buffers (tests).
void repro_proxy_chunks_reset();
