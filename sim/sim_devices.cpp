#include "sim/sim_devices.h"

#include "sim/fpga/fpga_device.h"
#include "sim/i2c/i2c_device.h"
#include "sim/msp/msp_device.h"

const std::vector<SimDeviceKind>& sim_device_kinds()
{
    // One line per device folder.
    static const std::vector<SimDeviceKind> kinds = {
        msp_device_kind(),
        fpga_device_kind(),
        i2c_device_kind(),
    };
    return kinds;
}
