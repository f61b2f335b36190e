// The registration database file: the agent's records across a reboot,
// with the time they were written so that a board whose clock came up
// behind moves it forward.
#pragma once

#include <string>

extern const char* const regdb_path;  // "/lib/linegw/regDataBase.xml", under the platform root

// Prunes, then replaces the file atomically (a temporary file, flushed to
// disk, renamed over it). False, logged, when the file could not be written;
// the old file then stays as it was.
bool regdb_save();

// Replaces regDataBase by the file's records, sets the clock forward to the
// file's time when it is behind, and publishes every loaded contact.
void regdb_load();
