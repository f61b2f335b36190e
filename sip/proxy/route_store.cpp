#include "sip/proxy/route_store.h"

#include <regex.h>
#include <strings.h>
#include <syslog.h>

#include <algorithm>

#include "core/log.h"

namespace sipproxy {

struct RouteStore::compiled_t {
    route_record_t record;
    uint64_t seq = 0;
    bool ok = false;       // both patterns compiled
    bool has_from = false;
    regex_t p{};
    regex_t f{};
    ~compiled_t()
    {
        if (ok) {
            regfree(&p);
            if (has_from)
                regfree(&f);
        }
    }
};

RouteStore::RouteStore() = default;
RouteStore::~RouteStore() = default;

std::string RouteStore::keyOf(const std::string& method, const std::string& event, const std::string& pattern,
                              const std::string& from)
{
    // Fields joined by a byte no SIP text carries.
    return method + '\x1f' + event + '\x1f' + pattern + '\x1f' + from;
}

bool RouteStore::addRoute(const std::string& method, const std::string& event, const std::string& pattern,
                          const std::string& from, const std::string& rewrite, int16_t order)
{
    std::string key = keyOf(method, event, pattern, from);
    std::lock_guard<std::mutex> g(lock);
    if (routes.count(key))
        return false;
    routes[key] = compile({method, event, pattern, from, rewrite, order}, next_seq++);
    return true;
}

bool RouteStore::updateRoute(const std::string& key, const std::string& method, const std::string& event,
                             const std::string& pattern, const std::string& from, const std::string& rewrite,
                             int16_t order)
{
    std::string nk = keyOf(method, event, pattern, from);
    std::lock_guard<std::mutex> g(lock);
    if (nk != key && routes.count(nk))
        return false;
    routes.erase(key);
    routes[nk] = compile({method, event, pattern, from, rewrite, order}, next_seq++);
    return true;
}

void RouteStore::eraseRoute(const std::string& key)
{
    std::lock_guard<std::mutex> g(lock);
    routes.erase(key);
}

bool RouteStore::getRouteRecord(const std::string& key, route_record_t* out) const
{
    std::lock_guard<std::mutex> g(lock);
    auto it = routes.find(key);
    if (it == routes.end())
        return false;
    *out = it->second->record;
    return true;
}

std::string RouteStore::getFirstKey() const
{
    std::lock_guard<std::mutex> g(lock);
    return routes.empty() ? "" : routes.begin()->first;
}

std::string RouteStore::getNextKey(const std::string& key) const
{
    std::lock_guard<std::mutex> g(lock);
    auto it = routes.upper_bound(key);
    return it == routes.end() ? "" : it->first;
}

std::unique_ptr<RouteStore::compiled_t> RouteStore::compile(route_record_t r, uint64_t seq)
{
    auto c = std::make_unique<RouteStore::compiled_t>();
    c->record = std::move(r);
    c->seq = seq;
    if (regcomp(&c->p, c->record.pattern.c_str(), REG_EXTENDED) != 0) {
        LOG(LOGF_GENERAL, LOG_WARNING, "route store: pattern \"%s\" does not compile; the route is ignored",
            c->record.pattern.c_str());
        return c;
    }
    c->has_from = !c->record.from.empty();
    if (c->has_from && regcomp(&c->f, c->record.from.c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
        LOG(LOGF_GENERAL, LOG_WARNING, "route store: From pattern \"%s\" does not compile; the route is ignored",
            c->record.from.c_str());
        regfree(&c->p);
        return c;
    }
    c->ok = true;
    return c;
}

std::string route_rewrite(const std::string& rewrite, const std::string& subject,
                          const std::vector<std::pair<int, int>>& groups)
{
    std::string out;
    for (size_t i = 0; i < rewrite.size(); ++i) {
        char c = rewrite[i];
        if (c == '$' && i + 1 < rewrite.size() && rewrite[i + 1] >= '0' && rewrite[i + 1] <= '9') {
            size_t n = static_cast<size_t>(rewrite[++i] - '0');
            if (n < groups.size() && groups[n].first >= 0 && groups[n].second >= groups[n].first)
                out.append(subject, static_cast<size_t>(groups[n].first),
                           static_cast<size_t>(groups[n].second - groups[n].first));
            continue;
        }
        out += c;
    }
    return out;
}

std::vector<sipcore::Uri> RouteStore::process(const sipcore::Message& request) const
{
    std::string method = request.method();
    std::string event = request.header("Event");
    if (size_t semi = event.find(';'); semi != std::string::npos)
        event.resize(semi);
    std::string ruri = request.requestUri().toString();
    std::string from = request.from().uri().toString();
    std::vector<std::pair<const compiled_t*, std::string>> hits;
    std::lock_guard<std::mutex> g(lock);
    for (const auto& [key, c] : routes) {
        const route_record_t& r = c->record;
        if (!c->ok)
            continue;
        if (!r.method.empty() && strcasecmp(r.method.c_str(), method.c_str()) != 0)
            continue;
        if (!r.event.empty() && strcasecmp(r.event.c_str(), event.c_str()) != 0)
            continue;
        regmatch_t m[10];
        if (regexec(&c->p, ruri.c_str(), 10, m, 0) != 0)
            continue;
        if (c->has_from && regexec(&c->f, from.c_str(), 0, nullptr, 0) != 0)
            continue;
        std::vector<std::pair<int, int>> groups;
        for (const auto& x : m)
            groups.emplace_back(static_cast<int>(x.rm_so), static_cast<int>(x.rm_eo));
        hits.emplace_back(c.get(), route_rewrite(r.rewrite, ruri, groups));
    }
    std::stable_sort(hits.begin(), hits.end(), [](const auto& a, const auto& b) {
        if (a.first->record.order != b.first->record.order)
            return a.first->record.order < b.first->record.order;
        return a.first->seq < b.first->seq;
    });
    std::vector<sipcore::Uri> out;
    for (const auto& [c, text] : hits) {
        sipcore::Uri u = sipcore::Uri::parse(text);
        if (!u)
            u = sipcore::Uri::parse("sip:" + text);
        if (u)
            out.push_back(std::move(u));
    }
    return out;
}

}  // namespace sipproxy
