// The rest of the daemon reaches the proxy only through these functions:
// stop and restart it, give it the addresses it serves, feed its users, and
// set the gateway's own barring options and the SIP timer T1. Any thread.
#pragma once

#include <map>
#include <set>
#include <string>

#include "core/json_value.h"
#include "core/mutex.h"

struct ProxyUserOptions {
    bool blin = false;    // calls to the user are refused with an announcement
    bool blout = false;   // the user may call only what its exception expression matches
    std::string blex;     // the user's exception expression; empty: globalBlex
    int bellDelay = 0;    // seconds of ringing before the bell relay switches on
};

// Guards reproRunner, proxyUserOptions, globalBlex and callGroups. Recursive.
extern Mutex proxyMutex;
// Serialises starting, stopping and restarting the proxy; taken before
// proxyMutex, and never held by the proxy's own threads, so that a stop can
// wait for them without holding proxyMutex.
extern Mutex proxyLifecycleMutex;
// By user name; outlives every proxy run.
extern std::map<std::string, ProxyUserOptions> proxyUserOptions;
// The exception expression of users without their own.
extern std::string globalBlex;
// Call groups by the group's user name: the members' texts, in order.
extern std::map<std::string, std::set<std::string>> callGroups;

// Stops and deletes the runner. Always true.
bool repro_stop();
// Restarts the running proxy (nothing when none runs): it reads the TLS files
// again and keeps its registrations.
void repro_restart();

void repro_add_domain(const std::string& address);
void repro_remove_domain(const std::string& address);

void repro_add_user(const std::string& user, const std::string& domain, const std::string& password,
                    const std::string& intercept_group, int bell_delay);
void repro_update_user(const std::string& user, const std::string& domain, const std::string& password,
                       const std::string& intercept_group, int bell_delay);
void repro_erase_user(const std::string& user, const std::string& domain);
// The intercept group of the user stored under key ("user@domain"); false,
// out untouched, when no proxy runs.
bool repro_get_user_info(const std::string& key, std::string& out);

// Call pickup: adds the users of intercept group group to members and
// returns the caller's URI, with an embedded Replaces, of the call ringing
// longest at one of them; "" when none or no proxy runs.
std::string repro_find_dialog(const std::string& group, std::set<std::string>& members);

// "blin", "blout" (bools) and "blex" (string) of options into the user's
// entry; the object is then published unless "notify" is false.
void repro_set_user_options(const std::string& user, const JsonValue& options);
// Global settings: "blex" (string) and "T1" (string, milliseconds).
void repro_set_options(const JsonValue& settings);

// The T1 every proxy start uses (milliseconds).
int repro_t1();
// The users' clear passwords are kept to hash them again for a new realm
// (repro_ip_changed): the one of key ("user@domain"), "" when unknown; and
// the password follows a user whose key changed.
std::string repro_user_password(const std::string& key);
void repro_user_moved(const std::string& old_key, const std::string& new_key);
