// The SIP users phones register with at the gateway, fed from the
// configuration's "userlist" into the embedded proxy's user store.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/json_value.h"

// Gathers the users of list (hashes with "n", "p", "ig", "gb"); clear starts
// a new list, end brings the proxy's store up to date with it. Safe from any
// thread: calls are serialised.
void ua_update_user_directory(const JsonValue& list, bool clear, bool end);

// How the feed reaches the proxy's user store.
struct ua_user_store_t {
    std::function<void(const std::string& name, const std::string& domain, const std::string& password,
                       const std::string& intercept_group, int delay)>
        add_user, update_user;
    std::function<void(const std::string& name, const std::string& domain)> erase_user;
};
// Until the proxy's store is plugged in, the feed talks to a stand-in that
// records what it was asked. An empty store puts the stand-in back.
void ua_set_user_store(const ua_user_store_t& store);

// What the stand-in recorded, one line a change: "add NAME DOMAIN PASSWORD
// IG DELAY", "update ...", "erase NAME DOMAIN".
std::vector<std::string> ua_user_store_recorded();
// Forgets the record and every user the feed committed (tests).
void ua_user_directory_reset();
