#include "sim/fpga/fpga_device.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "sim/fpga/fpga_simulator.h"
#include "sim/sim_json.h"

namespace {

class FpgaDevice : public SimDevice {
public:
    explicit FpgaDevice(const std::string& path) : path_(path)
    {
        if (!fpga_.listen(path))
            throw std::runtime_error("cannot listen on " + path + ": " + strerror(errno));
    }
    void start() override { fpga_.start(); }
    void stop() override { fpga_.stop(); }
    nlohmann::json control_request(const nlohmann::json& request) override
    {
        return fpga_.control_request(request);
    }
    std::string describe() const override { return fpga_.describe(); }
    FpgaSimulator& fpga() { return fpga_; }

private:
    std::string path_;
    FpgaSimulator fpga_;
};

}  // namespace

SimDeviceKind fpga_device_kind()
{
    return {"fpga",
            {{"--fpga", "LINEGW_SIM_FPGA", "<socket path>"},
             {"--fpga-bitstream", "", "<file>"},
             {"--fpga-address", "", "<board address>"}},
            [](const SimOptionValues& values) -> std::unique_ptr<SimDevice> {
                auto d = std::make_unique<FpgaDevice>(values.at("--fpga"));
                if (auto b = values.find("--fpga-bitstream"); b != values.end()) {
                    std::ifstream in(b->second, std::ios::binary);
                    if (!in)
                        throw std::runtime_error("cannot read " + b->second);
                    d->fpga().setBitstream(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
                }
                if (auto a = values.find("--fpga-address"); a != values.end())
                    d->fpga().setBoardAddress(static_cast<int>(sim_number(a->second)));
                return d;
            }};
}
