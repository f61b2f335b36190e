// A simulated board device as the simulator program runs it: one per folder
// under sim/ (sim/msp/ today). A device answers its own seam (a socket the
// daemon's platform layer reaches) from its own thread, and takes requests on
// the program's one control socket. It registers by adding a SimDeviceKind to
// the table in sim/sim_devices.cpp; nothing else in sim/ knows about it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class SimDevice {
public:
    virtual ~SimDevice() = default;

    // Starts answering the device's seam; stop() ends that before destruction.
    virtual void start() = 0;
    virtual void stop() = 0;

    // One control request routed to this device (its "device" key names it,
    // or it is the default device). Returns the reply object, {"ok": true, ...}
    // or {"ok": false, "error": ...}; may throw for a malformed request, which
    // the control socket answers as {"ok": false, "error": what()}. Called from
    // the control socket's thread: the device takes its own lock.
    virtual nlohmann::json control_request(const nlohmann::json& request) = 0;

    // What the program prints when it runs, e.g. "media processor on PATH".
    virtual std::string describe() const = 0;
};

// One command-line option of a device, with the environment variable that
// stands in for it when the option is not given.
struct SimOption {
    std::string flag;   // "--msp"
    std::string env;    // "LINEGW_SIM_MSP"; empty when none
    std::string arg;    // "<socket path>", for the usage text
};

// flag -> value, for the options given (or found in the environment).
using SimOptionValues = std::map<std::string, std::string>;

struct SimDeviceKind {
    std::string name;                 // "msp": the "device" key of its control requests
    std::vector<SimOption> options;   // options[0] switches the device on; the others are optional
    // Builds the device (not started yet); throws with a message when it cannot.
    std::function<std::unique_ptr<SimDevice>(const SimOptionValues& values)> make;
};
