// The devices the simulator program knows, and the control socket's routing.
#pragma once

#include <string>
#include <vector>

#include "sim/sim_device.h"

// Requests without a "device" key go to this device, as they did when the
// media processor was the only one.
constexpr const char* SIM_DEFAULT_DEVICE = "msp";

// Every device kind, in the order the usage text lists them.
const std::vector<SimDeviceKind>& sim_device_kinds();
