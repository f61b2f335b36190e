// linegw: start-up in a fixed order, the main loop, shutdown in a fixed order
// (daemon/startup_steps.cpp lists them).
#include "daemon/startup_steps.h"

int main(int argc, char** argv)
{
    return run_steps(daemon_steps(argc, argv));
}
