// linegw: start-up in a fixed order, the main loop, shutdown in a fixed order
// (daemon/startup_steps.cpp lists them).
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>

#include "daemon/startup_steps.h"
#include "platform/sim_board.h"

namespace {

// A descriptor 0-2 left closed by whoever started us would go to the first
// file or socket we open, and log text would be written into it.
void open_missing_stdio()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDWR);   // the lowest free descriptor: this one
}

}  // namespace

int main(int argc, char** argv)
{
    open_missing_stdio();
    // Before anything can touch the machine it runs on.
    if (std::string why = sim_board_refusal(); !why.empty()) {
        fprintf(stderr, "linegw: %s\n", why.c_str());
        return 1;
    }
    return run_steps(daemon_steps(argc, argv));
}
