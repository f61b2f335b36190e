#include "mgmt/device_settings.h"

#include <mutex>

namespace {
std::mutex settings_mutex;
DeviceSettings settings;   // guarded by settings_mutex
}  // namespace

DeviceSettings device_settings()
{
    std::lock_guard<std::mutex> lock(settings_mutex);
    return settings;
}

std::string device_setting(std::string DeviceSettings::*field)
{
    std::lock_guard<std::mutex> lock(settings_mutex);
    return settings.*field;
}

void set_device_setting(std::string DeviceSettings::*field, const std::string& value)
{
    std::lock_guard<std::mutex> lock(settings_mutex);
    settings.*field = value;
}

int device_setting(int DeviceSettings::*field)
{
    std::lock_guard<std::mutex> lock(settings_mutex);
    return settings.*field;
}

void set_device_setting(int DeviceSettings::*field, int value)
{
    std::lock_guard<std::mutex> lock(settings_mutex);
    settings.*field = value;
}

void device_settings_reset()
{
    std::lock_guard<std::mutex> lock(settings_mutex);
    settings = DeviceSettings();
}
