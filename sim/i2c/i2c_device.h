// The I2C bus as a device of the simulator program: --i2c <socket path>
// (or LINEGW_SIM_I2C), control requests with "device": "i2c".
#pragma once

#include "sim/sim_device.h"

SimDeviceKind i2c_device_kind();
