// The simulator program's one control socket: a stream socket taking one JSON
// object a line and answering each with one JSON line. The "device" key routes
// a request to a device (SIM_DEFAULT_DEVICE when absent); the device reads the
// rest. Serves its clients from its own thread.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "sim/sim_device.h"

// Requests without a "device" key go to this device, as they did when the
// media processor was the only one.
constexpr const char* SIM_DEFAULT_DEVICE = "msp";

class SimControl {
public:
    SimControl() = default;
    ~SimControl();
    SimControl(const SimControl&) = delete;
    SimControl& operator=(const SimControl&) = delete;

    // Routes requests named name to device (not owned; outlives this). Before start().
    void add(const std::string& name, SimDevice* device);

    // Binds and listens at path; false with errno set when it cannot.
    bool listen(const std::string& path);
    void start();
    void stop();

    // One request -> its reply; never throws.
    nlohmann::json handle(const nlohmann::json& request);
    std::string handle_line(const std::string& line);

private:
    void run();

    std::map<std::string, SimDevice*> devices;   // fixed once started
    int listen_fd = -1;
    std::string path;
    int wake_pipe[2] = {-1, -1};
    std::thread thread;
    std::mutex m;           // guards running
    bool running = false;
};
