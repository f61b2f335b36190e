// Writing a variable: a Set of the chassis controller (strict types) or the
// web API's "snmpset" (any integer for an integer row).
#pragma once

#include <string>

#include "mgmt/my_snmp.h"

// 0 when the write passed the checks (the effect's own failures are logged),
// 1 not found, 2 read-only, 3 wrong type, 5 when this gateway cannot carry
// the write out. Any thread.
int poller_write_var(const std::string& id, const MyVarValue& value, bool strict);

// The media processor's side of two writes, installed by the daemon's
// start-up; called only while msp_ready is set.
struct MgmtWriteHooks {
    int (*ntgConfig)(bool enable, bool f1, bool f2, bool f3) = nullptr;   // .16.0
    void (*setSyncChannel)(int timeslot) = nullptr;                        // .17.0
};
void mgmt_set_write_hooks(const MgmtWriteHooks& hooks);
