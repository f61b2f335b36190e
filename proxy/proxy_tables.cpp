#include "proxy/proxy_tables.h"

#include <syslog.h>

#include <map>

#include "core/log.h"
#include "core/reg_sync.h"
#include "proxy/repro_api.h"
#include "proxy/repro_runner.h"

namespace {

// One per command; the text received so far of the transfer under way. The
// writer of the command's chunks only.
std::string callgroups_buffer, routes_buffer, registrations_buffer;

const JsonValue* member(const JsonValue& object, const char* name, int kind)
{
    const JsonValue* v = object.find(name);
    return v && v->kind == kind ? v : nullptr;
}

// Order, pattern and From pattern name a route; its rewrite does not.
std::string route_identity(int16_t order, const std::string& pattern, const std::string& from)
{
    return std::to_string(order) + ":" + pattern + '\x01' + from;
}

void post_registrations(JsonValue& batch)
{
    // The agent runs from start-up to shutdown, while the management link
    // is served longer; a batch outside that has nowhere to go.
    if (!regsync_post_registrations(batch)) {
        LOG(LOGF_SYSTEM, 4, "registrations: no registration-sync agent, batch dropped");
        return;
    }
    LOG(LOGF_SYSTEM, 4, "--> registrations updated.");
}

}  // namespace

void repro_proxy_chunk(const JsonValue& command)
{
    const JsonValue* cmd = member(command, "cmd", JSON_STRING);
    if (!cmd)
        return;
    const std::string& name = cmd->text;
    std::string* buffer;
    if (name == "callgroups")
        buffer = &callgroups_buffer;
    else if (name == "routes")
        buffer = &routes_buffer;
    else if (name == "registrations")
        buffer = &registrations_buffer;
    else
        return;

    const JsonValue* o = member(command, "off", JSON_INTEGER);
    int off = o ? o->integer : -1;
    if (off == 0)
        buffer->clear();
    if (off < 0 || static_cast<size_t>(off) != buffer->size()) {
        LOG(LOGF_SYSTEM, 4, "%s: invalid offset %d (expected %d)", name.c_str(), off, static_cast<int>(buffer->size()));
        // A repeated earlier chunk of registrations leaves the transfer as it was.
        if (buffer != &registrations_buffer || buffer->size() < static_cast<unsigned>(off))
            buffer->clear();
        return;
    }
    const JsonValue* data = member(command, "data", JSON_STRING);
    if (!data) {
        LOG(LOGF_SYSTEM, 4, "error: '%s' command without a data chunk", name.c_str());
        return;
    }
    buffer->append(data->text);
    JsonValue value;
    MemDataSource source(buffer->c_str());
    if (!value.parse(source))
        return;   // more chunks to come
    buffer->clear();
    if (buffer == &callgroups_buffer) {
        repro_update_callgroups(value);
    } else if (buffer == &routes_buffer) {
        repro_update_routes(value);
    } else {
        post_registrations(value);
    }
}

void repro_proxy_chunks_reset()
{
    callgroups_buffer.clear();
    routes_buffer.clear();
    registrations_buffer.clear();
}

void repro_update_callgroups(const JsonValue& value)
{
    std::map<std::string, std::set<std::string>> groups;
    if (value.kind == JSON_HASH) {
        for (const auto& [group, members] : value.members) {
            if (members.kind != JSON_ARRAY || members.items.empty())
                continue;
            auto& set = groups[group];
            for (const auto& m : members.items)
                set.insert(m.kind == JSON_STRING ? m.text : std::string());
        }
    }
    {
        MutexLock g(proxyMutex);
        callGroups.swap(groups);
    }
    // The old table goes here, outside the lock.
}

void repro_update_routes(const JsonValue& value)
{
    MutexLock g(proxyMutex);
    if (!reproRunner)
        return;
    sipproxy::RouteStore& store = reproRunner->stores().routes;
    std::map<std::string, std::string> existing;   // route identity -> the store's key
    for (std::string key = store.getFirstKey(); !key.empty(); key = store.getNextKey(key)) {
        sipproxy::route_record_t r;
        if (store.getRouteRecord(key, &r))
            existing[route_identity(r.order, r.pattern, r.from)] = key;
    }
    struct received_t {
        const JsonValue* route;
        std::string pattern, from, rewrite;
        int16_t order;
        std::string key;   // of the stored route it updates; "" to add
    };
    std::vector<received_t> received;
    static const JsonValue none;
    for (const auto& route : value.kind == JSON_ARRAY ? value.items : none.items) {
        const JsonValue* p = member(route, "p", JSON_STRING);
        if (!p) {
            LOG(LOGF_GENERAL, 4, "repro_update_routes(): no matching pattern in route: %s", route.toString().c_str());
            continue;
        }
        const JsonValue* f = member(route, "f", JSON_STRING);
        const JsonValue* o = member(route, "o", JSON_INTEGER);
        if (!o) {
            LOG(LOGF_GENERAL, 4, "repro_update_routes(): no order in route: %s", route.toString().c_str());
            continue;
        }
        const JsonValue* t = member(route, "t", JSON_STRING);
        if (!t) {
            LOG(LOGF_GENERAL, 4, "repro_update_routes(): no rewrite expression in route: %s", route.toString().c_str());
            continue;
        }
        received_t r{&route, p->text, f ? f->text : "", t->text, static_cast<int16_t>(o->integer), ""};
        if (auto it = existing.find(route_identity(r.order, r.pattern, r.from)); it != existing.end()) {
            r.key = it->second;
            existing.erase(it);
        }
        received.push_back(std::move(r));
    }
    // The routes no longer named go first: a route whose order alone changed
    // is a new route to the list, and the store would refuse it while the
    // old one is still there.
    for (const auto& [identity, key] : existing)
        store.eraseRoute(key);
    for (const auto& r : received) {
        if (!r.key.empty()) {
            if (!store.updateRoute(r.key, "", "", r.pattern, r.from, r.rewrite, r.order))
                LOG(LOGF_GENERAL, 3, "repro_update_routes(): cannot update route: %s", r.route->toString().c_str());
        } else if (!store.addRoute("", "", r.pattern, r.from, r.rewrite, r.order)) {
            LOG(LOGF_GENERAL, 3, "repro_update_routes(): cannot add route: %s", r.route->toString().c_str());
        }
    }
}
