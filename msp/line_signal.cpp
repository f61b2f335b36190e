#include "msp/line_signal.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex recorded_mutex;
std::vector<std::vector<uint8_t>> recorded;   // guarded by recorded_mutex

bool record_write(const uint8_t* bytes, int length)
{
    std::lock_guard<std::mutex> lock(recorded_mutex);
    recorded.emplace_back(bytes, bytes + length);
    return true;
}

std::atomic<FpgaSpiWrite> writer{record_write};

}  // namespace

void fpga_line_signal_set_writer(FpgaSpiWrite write) { writer = write ? write : record_write; }

bool fpga_line_signal_write(const uint8_t* bytes, int length)
{
    if (!bytes || length <= 0)
        return false;
    return writer.load()(bytes, length);
}

std::vector<std::vector<uint8_t>> fpga_line_signal_recorded()
{
    std::lock_guard<std::mutex> lock(recorded_mutex);
    return recorded;
}

void fpga_line_signal_clear()
{
    std::lock_guard<std::mutex> lock(recorded_mutex);
    recorded.clear();
}
