// The daemon's command line: "hdwl:p:".
#pragma once

#include <string>

// "/var/run/linegw.pid" unless -p gives another.
extern std::string pid_file_name;

struct linegw_options {
    bool watchdog = true;   // -w clears it
};

// Sets log_level and pid_file_name; -h prints the usage and exits with 0.
// Bad values and unknown letters are reported on stderr and start-up goes on.
linegw_options options_parse(int argc, char** argv);
