// The standalone board's configuration as it runs: the parsed configuration
// file, changed by variable writes and the web API, saved back on request.
#pragma once

#include <mutex>
#include <string>

#include "core/json_value.h"

// Empty until standalone entry reads the file; every reader and writer holds
// globalConfigMutex.
extern JsonValue globalConfig;
// Recursive: the network settings take it again under the configuration read.
extern std::recursive_mutex globalConfigMutex;

// The file read at standalone entry and written by global_config_save.
constexpr const char* CONFIG_FILE = "/etc/linegw.conf";

// Stores text under key (standalone writes of the network settings). Takes
// globalConfigMutex.
void global_config_store(const std::string& key, const std::string& text);

// Writes globalConfig (indent 4) to the configuration file through
// "<file>.tmp" and a rename. 0, or -1 after logging why; the old file then
// stays as it was. Takes globalConfigMutex.
int global_config_save();

// Tests: back to empty.
void global_config_reset();
