#include "core/options.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "core/log.h"

std::string pid_file_name = "/var/run/linegw.pid";

linegw_options options_parse(int argc, char** argv)
{
    linegw_options opts;
    bool level_given = false;
    optind = 0;  // full rescan, also when called again
    int c;
    while ((c = getopt(argc, argv, "hdwl:p:")) != -1) {
        switch (c) {
        case 'h':
            fprintf(stderr,
                    "Usage: %s [-dhw] [-l loglevel] [-p pidfile]\n"
                    "\t-h\t\tprint help\n"
                    "\t-l loglevel\tlogging level (0 - min, 7 - max)\n"
                    "\t-p filename\tPID file name\n"
                    "\t-d\t\tdebug mode (same as -l7)\n"
                    "\t-w\t\tdon't activate watchdog timer\n",
                    argv[0]);
            exit(0);
        case 'l': {
            int level;
            if (sscanf(optarg, "%d", &level) == 1) {
                log_level = level;
                level_given = true;
            } else {
                fprintf(stderr, "invalid log level '%s', option ignored\n", optarg);
            }
            break;
        }
        case 'd':
            if (!level_given)
                log_level = 7;
            break;
        case 'p':
            pid_file_name = optarg;
            break;
        case 'w':
            opts.watchdog = false;
            break;
        default:
            fprintf(stderr, "use %s -h for help\n", argv[0]);
            break;
        }
    }
    return opts;
}
