#include "sim/msp/msp_device.h"

#include "sim/msp/msp_simulator.h"

SimDeviceKind msp_device_kind()
{
    return {"msp",
            {{"--msp", "LINEGW_SIM_MSP", "<socket path>"}},
            [](const SimOptionValues& values) -> std::unique_ptr<SimDevice> {
                return std::make_unique<MspSimulator>(values.at("--msp"));
            }};
}
