// The life of every call the proxy carries, kept by Call-ID: a call detail
// record (".10.N.1.0") when it ends with a BYE, and the board's bell relay,
// switched on once a call to a subscriber with a bell delay has rung that
// long and off when the last such call is answered or ends.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "core/mutex.h"
#include "sip/proxy/accounting_collector.h"

struct AccountingSession {
    uint64_t serial = 0;   // names the session to its relay timer
    int32_t start = 0;
    int32_t answer = 0;    // 0 until answered
    int32_t hangup = 0;    // 0 until ended
    std::string branch;    // of the INVITE; answers and CANCEL carry the same
    std::string fromType, fromName, fromScheme, fromUser, fromHost, fromPort;
    std::string toType, toName, toScheme, toUser, toHost, toPort;
    uint64_t relayTimer = 0;   // pending "gb_timer" on main_scheduler, 0 none
    bool relayOn = false;      // this session holds the bell relay on
};

// By Call-ID; outlives proxy restarts. Guarded by accountingMutex, which is
// taken before proxyMutex and the variable store's mutex.
extern std::map<std::string, AccountingSession> accountingSessions;
extern Mutex accountingMutex;

constexpr unsigned BELL_RELAY_REGISTER = 0x10E;

class MyAccountingCollector : public sipproxy::AccountingCollector {
public:
    void doSessionAccounting(const sipcore::Message& message, bool received, sipproxy::RequestContext& context) override;
};

// Display name and user of the caller from From, the first Remote-Party-ID or
// the first P-Asserted-Identity; false, name and user untouched, when the
// header is missing or malformed.
bool get_from_identity(const sipcore::Message& message, std::string& name, std::string& user);
bool get_rpid_identity(const sipcore::Message& message, std::string& name, std::string& user);
bool get_pai_identity(const sipcore::Message& message, std::string& name, std::string& user);

// Builds, logs and publishes the call's record. accountingMutex held.
void write_cdr(const AccountingSession& session);
