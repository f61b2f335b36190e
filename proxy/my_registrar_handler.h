// Who is registered from where: every contact of an accepted REGISTER goes
// into the user-status table (read by the web interface) and is published
// for the chassis controller as ".1.N.0". Registrations are never refused.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "core/mutex.h"
#include "sip/proxy/registrar_handler.h"

// User name -> (contact URI + " / " + User-Agent -> expiry, monotonic seconds).
// Outlives every proxy run; never saved.
extern std::map<std::string, std::map<std::string, int32_t>> UserStatusTable;
// Guards UserStatusTable. Recursive.
extern Mutex userStatusMutex;

class MyRegistrarHandler : public sipproxy::RegistrarHandler {
public:
    bool onAdd(const sipcore::Message& reg, const std::string& aor) override;
    // Refreshes and removals update the table the same way: a removed
    // contact gets the current time as expiry and is pruned later.
    bool onRefresh(const sipcore::Message& reg, const std::string& aor) override { return onAdd(reg, aor); }
    bool onRemove(const sipcore::Message& reg, const std::string& aor) override { return onAdd(reg, aor); }
    bool onRemoveAll(const sipcore::Message& reg, const std::string& aor) override { return onAdd(reg, aor); }
    bool onQuery(const sipcore::Message&, const std::string&) override { return true; }
};
