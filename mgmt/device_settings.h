// The gateway's own network and controller settings. Written by the poller
// thread and by web server threads, read by both: one lock guards them all.
#pragma once

#include <string>

struct DeviceSettings {
    std::string ipaddr;
    std::string netmask;
    std::string ipaddr2;
    std::string netmask2;
    std::string gateway;
    std::string dns;
    std::string SWAddress;     // the controller's address: enables notifications
    std::string ntpServer;
    std::string ntpOverride;
    int master = 0;
    int syncChan = -1;
    int ipv6Mode = 0;
};

// A copy taken under the lock.
DeviceSettings device_settings();
std::string device_setting(std::string DeviceSettings::*field);
void set_device_setting(std::string DeviceSettings::*field, const std::string& value);
int device_setting(int DeviceSettings::*field);
void set_device_setting(int DeviceSettings::*field, int value);
// An empty text or a dotted IPv4 address: the only texts the address
// settings take, since they end up in files and commands.
bool ipv4_setting_valid(const std::string& text);

// The station name, under a lock of its own.
std::string station_name();
void set_station_name(const std::string& name);

// Tests: back to the start values.
void device_settings_reset();
