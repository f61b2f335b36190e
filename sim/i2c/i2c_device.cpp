#include "sim/i2c/i2c_device.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "sim/i2c/i2c_simulator.h"

namespace {

class I2cDevice : public SimDevice {
public:
    explicit I2cDevice(std::string path) : path_(std::move(path))
    {
        if (!sim_.listen(path_))
            throw std::runtime_error("cannot listen on " + path_ + ": " + strerror(errno));
    }
    void start() override { sim_.start(); }
    void stop() override { sim_.stop(); }
    nlohmann::json control_request(const nlohmann::json& request) override { return sim_.control(request); }
    std::string describe() const override { return "I2C bus on " + path_; }

private:
    std::string path_;
    I2cSimulator sim_;
};

}  // namespace

SimDeviceKind i2c_device_kind()
{
    return {"i2c",
            {{"--i2c", "LINEGW_SIM_I2C", "<socket path>"}},
            [](const SimOptionValues& values) -> std::unique_ptr<SimDevice> {
                return std::make_unique<I2cDevice>(values.at("--i2c"));
            }};
}
