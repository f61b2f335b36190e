#include "mgmt/device_settings.h"

#include <arpa/inet.h>
#include <mutex>

namespace {
std::mutex settings_mutex;
DeviceSettings settings;   // guarded by settings_mutex
std::mutex station_mutex;
std::string stationName;   // guarded by station_mutex
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

bool ipv4_setting_valid(const std::string& text)
{
    in_addr a{};
    return text.empty() || inet_pton(AF_INET, text.c_str(), &a) == 1;
}

std::string station_name()
{
    std::lock_guard<std::mutex> lock(station_mutex);
    return stationName;
}

void set_station_name(const std::string& name)
{
    std::lock_guard<std::mutex> lock(station_mutex);
    stationName = name;
}

void device_settings_reset()
{
    {
        std::lock_guard<std::mutex> lock(settings_mutex);
        settings = DeviceSettings();
    }
    set_station_name("");
}
