// The FPGA as a device of the simulator program: --fpga <socket path> (or
// LINEGW_SIM_FPGA, the variable that points the daemon at it), with the bit
// stream it takes (--fpga-bitstream) and its board address (--fpga-address).
#pragma once

#include "sim/sim_device.h"

SimDeviceKind fpga_device_kind();
