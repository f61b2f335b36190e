// linegw-sim: the board simulator as a program. Serves the media processor's
// control protocol on a local datagram socket (point the daemon at it with
// LINEGW_SIM_MSP=<path>) and takes JSON-lines requests on a control socket.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "sim/msp_simulator.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

void usage()
{
    fprintf(stderr, "usage: linegw-sim --msp <socket path> [--control <socket path>]\n");
}

}  // namespace

int main(int argc, char** argv)
{
    std::string msp, control;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--msp" || a == "--control") && i + 1 < argc)
            (a == "--msp" ? msp : control) = argv[++i];
        else {
            usage();
            return 2;
        }
    }
    if (msp.empty()) {
        usage();
        return 2;
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    signal(SIGPIPE, SIG_IGN);
    try {
        MspSimulator sim(msp);
        if (!control.empty() && !sim.listen_control(control)) {
            fprintf(stderr, "linegw-sim: cannot listen on %s: %s\n", control.c_str(), strerror(errno));
            return 1;
        }
        sim.start();
        fprintf(stderr, "linegw-sim: media processor on %s%s%s\n", msp.c_str(),
                control.empty() ? "" : ", control on ", control.c_str());
        while (!stop_requested)
            pause();
        sim.stop();
    } catch (const std::exception& e) {
        fprintf(stderr, "linegw-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
