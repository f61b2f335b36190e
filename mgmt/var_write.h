// Writing a variable: a Set of the chassis controller (strict types) or the
// web API's "snmpset" (any integer for an integer row).
#pragma once

#include <cstdint>
#include <string>

#include "core/json_value.h"
#include "mgmt/module.h"
#include "mgmt/my_snmp.h"

// 0 when the write passed the checks (the effect's own failures are logged),
// 1 not found, 2 read-only, 3 wrong type, 5 when this gateway cannot carry
// the write out. Any thread.
int poller_write_var(const std::string& id, const MyVarValue& value, bool strict);

// What the layers above mgmt/ do for a write or for the configuration file,
// installed by the daemon's start-up. A null hook leaves that effect out.
struct MgmtWriteHooks {
    // The media processor; the writes call them only while msp_ready is set.
    int (*ntgConfig)(bool enable, bool f1, bool f2, bool f3) = nullptr;   // .16.0
    void (*setSyncChannel)(int timeslot) = nullptr;                        // .17.0
    int (*setIp6)(const uint8_t address[16], int prefixLength) = nullptr;  // .30.1.1.0 mode 2
    // The network settings (eth0, eth2, DHCP relay) brought up to date.
    void (*applyNetworkSettings)() = nullptr;
    // The NTP client ends; the poller starts it again with the new server.
    void (*stopNtpClient)() = nullptr;
    // The embedded proxy.
    void (*reproRestart)() = nullptr;
    void (*reproRemoveDomain)(const std::string& domain) = nullptr;
    void (*updateUserDirectory)(const JsonValue& list, bool clear, bool end) = nullptr;
    // "callgroups", "routes", "registrations": one chunk of the command.
    void (*proxyChunk)(const JsonValue& command) = nullptr;
    // The driver of a module slot (index 0 or 1) for a module type code.
    Module* (*createModule)(int slot, int type) = nullptr;
};
void mgmt_set_write_hooks(const MgmtWriteHooks& hooks);
MgmtWriteHooks mgmt_write_hooks();

// The clock master mode: its FPGA registers and, with ntg (when the media
// processor may be told), the network timing generator.
void write_master(int value, bool ntg);
