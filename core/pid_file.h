// One daemon per board: the PID file names the running one.
#pragma once

#include <string>

// True when the file names a live process whose name is "linegw".
bool pid_file_names_running_instance(const std::string& file);
// Writes "%d\n" with pid; false when the file cannot be opened (perror printed).
bool pid_file_write(const std::string& file, int pid);
