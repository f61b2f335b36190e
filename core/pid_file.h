// One daemon per board: the PID file names the running one, and the running
// one holds a lock on it for its whole life, so that checking and writing
// cannot race and an empty or half-written file still counts as taken.
#pragma once

#include <string>

// True when another instance runs: it holds the file's lock, or the file
// names a live process whose name is "linegw". Otherwise this process now
// holds the lock (when the file could be opened) and keeps it until it ends.
bool pid_file_names_running_instance(const std::string& file);

// Writes "%d\n" with pid into the locked file, every write checked. 0, or -1
// after printing why on stderr: the file could not be opened, another
// instance holds it ("linegw already running"), or it was not written whole.
int pid_file_write(const std::string& file, int pid);
