#include "proxy/my_registrar_handler.h"

#include <cstdlib>

#include "core/json_value.h"
#include "core/scheduler.h"
#include "mgmt/var_store.h"
#include "sip/core/name_addr.h"

std::map<std::string, std::map<std::string, int32_t>> UserStatusTable;
Mutex userStatusMutex;

namespace {

int publications = 0;  // only the registrar's thread counts

// The contact's own expires parameter when it is a number, else fallback.
int contact_expires(const sipcore::NameAddr& c, int fallback)
{
    if (!c.hasParam("expires"))
        return fallback;
    std::string p = c.param("expires");
    char* end = nullptr;
    long v = strtol(p.c_str(), &end, 10);
    if (end == p.c_str() || *end != '\0' || v < 0)
        return fallback;
    return v > 0x7fffffff ? 0x7fffffff : static_cast<int>(v);
}

void prune(int32_t now)
{
    MutexLock g(userStatusMutex);
    for (auto user = UserStatusTable.begin(); user != UserStatusTable.end();) {
        for (auto c = user->second.begin(); c != user->second.end();)
            c = c->second < now ? user->second.erase(c) : std::next(c);
        user = user->second.empty() ? UserStatusTable.erase(user) : std::next(user);
    }
}

}  // namespace

bool MyRegistrarHandler::onAdd(const sipcore::Message& reg, const std::string&)
{
    std::string name = reg.to().uri().user();
    int default_expires = reg.expires();
    if (default_expires < 0)
        default_expires = 3600;
    std::string agent = reg.header("User-Agent");
    for (const auto& value : reg.headers("Contact")) {
        sipcore::NameAddr c = sipcore::NameAddr::parse(value);
        sipcore::Uri uri = c ? c.uri() : sipcore::Uri();
        if (!uri)
            continue;
        int expires = contact_expires(c, default_expires);
        std::string description = uri.toString() + " / " + agent;
        auto now = static_cast<int32_t>(sched_get_time_sec());
        {
            MutexLock g(userStatusMutex);
            // saturate: a huge expires must not wrap into the past
            int64_t until = static_cast<int64_t>(now) + expires;
            UserStatusTable[name][description] = until > INT32_MAX ? INT32_MAX : static_cast<int32_t>(until);
        }
        prune(now);

        JsonValue v;
        v["name"].setString(name);
        JsonValue& exp = v["exp"];
        exp.kind = JSON_INTEGER;
        exp.integer = expires;
        v["cont"].setString(description);
        int n = ++publications;
        if (publications == 255)
            publications = 0;
        poller_publish_var(".1." + std::to_string(n) + ".0", MyVarValue(v.toString(0)));
    }
    return true;
}
