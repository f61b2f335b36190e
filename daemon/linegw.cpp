// linegw: start-up in a fixed order, the main loop, shutdown in a fixed order
// (daemon/startup_steps.cpp lists them).
#include <cstdio>
#include <string>

#include "daemon/startup_steps.h"
#include "platform/sim_board.h"

int main(int argc, char** argv)
{
    // Before anything can touch the machine it runs on.
    if (std::string why = sim_board_refusal(); !why.empty()) {
        fprintf(stderr, "linegw: %s\n", why.c_str());
        return 1;
    }
    return run_steps(daemon_steps(argc, argv));
}
