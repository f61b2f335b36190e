// The daemon's start-up and shutdown lists (daemon/startup_steps.cpp) and the
// seams of the lower layers that start-up fills in.
#pragma once

#include "daemon/step_table.h"

// The lists for this command line; run them with run_steps.
step_lists_t daemon_steps(int argc, char** argv);

// Fills in what the lower layers ask of the higher ones: channel creation by
// type, the media processor's socket reader, the IP-change steps. The first
// start-up step; tests of these paths call it too.
void daemon_install_hooks();
