// The devices the simulator program knows, and the control socket's routing.
#pragma once

#include <string>
#include <vector>

#include "sim/sim_device.h"

// Every device kind, in the order the usage text lists them.
const std::vector<SimDeviceKind>& sim_device_kinds();
