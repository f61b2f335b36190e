// The media processor as a device of the simulator program: --msp <socket
// path> (or LINEGW_SIM_MSP, the variable that points the daemon at it).
#pragma once

#include "sim/sim_device.h"

SimDeviceKind msp_device_kind();
