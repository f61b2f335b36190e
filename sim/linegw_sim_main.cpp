// linegw-sim: the board simulator as a program. Runs every device whose option
// (or environment variable) is given, each on its own socket, and takes
// JSON-lines requests for all of them on one control socket.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "sim/sim_control.h"
#include "sim/sim_devices.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

void usage()
{
    std::string devices;
    for (const auto& kind : sim_device_kinds())
        for (size_t i = 0; i < kind.options.size(); ++i)
            devices += (i == 0 ? " [" : " ") + kind.options[i].flag + " " + kind.options[i].arg +
                       (i + 1 == kind.options.size() ? "]" : "");
    fprintf(stderr, "usage: linegw-sim%s [--control <socket path>]\n(at least one device)\n", devices.c_str());
}

const SimOption* find_option(const std::string& flag)
{
    for (const auto& kind : sim_device_kinds())
        for (const auto& o : kind.options)
            if (o.flag == flag)
                return &o;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string control;
    SimOptionValues given;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--control" || find_option(a)) && i + 1 < argc) {
            (a == "--control" ? control : given[a]) = argv[++i];
        } else {
            usage();
            return 2;
        }
    }
    // The environment stands in for options not given.
    for (const auto& kind : sim_device_kinds())
        for (const auto& o : kind.options) {
            const char* v = o.env.empty() ? nullptr : getenv(o.env.c_str());
            if (!given.count(o.flag) && v && *v)
                given[o.flag] = v;
        }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    signal(SIGPIPE, SIG_IGN);
    try {
        std::vector<std::unique_ptr<SimDevice>> devices;
        SimControl server;
        std::string running;
        for (const auto& kind : sim_device_kinds()) {
            if (kind.options.empty() || !given.count(kind.options[0].flag))
                continue;
            SimOptionValues values;
            for (const auto& o : kind.options)
                if (given.count(o.flag))
                    values[o.flag] = given[o.flag];
            devices.push_back(kind.make(values));
            server.add(kind.name, devices.back().get());
            running += (running.empty() ? "" : ", ") + devices.back()->describe();
        }
        if (devices.empty()) {
            usage();
            return 2;
        }
        if (!control.empty() && !server.listen(control)) {
            fprintf(stderr, "linegw-sim: cannot listen on %s: %s\n", control.c_str(), strerror(errno));
            return 1;
        }
        for (auto& d : devices)
            d->start();
        server.start();
        fprintf(stderr, "linegw-sim: %s%s%s\n", running.c_str(), control.empty() ? "" : ", control on ",
                control.c_str());
        while (!stop_requested)
            pause();
        server.stop();
        for (auto& d : devices)
            d->stop();
    } catch (const std::exception& e) {
        fprintf(stderr, "linegw-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
