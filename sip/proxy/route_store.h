// Static routes: requests whose method, Event and Request-URI (and, when
// given, From URI) match a route are sent to the route's rewrite of the
// Request-URI. Patterns are POSIX extended expressions; $1-$9 in the rewrite
// take the Request-URI pattern's groups. One store for the whole process.
// Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sip/core/message.h"

namespace sipproxy {

struct route_record_t {
    std::string method;   // "" = any
    std::string event;    // "" = any
    std::string pattern;  // on the Request-URI
    std::string from;     // on the From URI; "" = any caller
    std::string rewrite;
    int16_t order = 0;
};

class RouteStore {
public:
    RouteStore();
    ~RouteStore();
    // False when a route with the same method, event and patterns exists.
    bool addRoute(const std::string& method, const std::string& event, const std::string& pattern,
                  const std::string& from, const std::string& rewrite, int16_t order);
    bool updateRoute(const std::string& key, const std::string& method, const std::string& event,
                     const std::string& pattern, const std::string& from, const std::string& rewrite, int16_t order);
    void eraseRoute(const std::string& key);
    bool getRouteRecord(const std::string& key, route_record_t* out) const;
    std::string getFirstKey() const;
    std::string getNextKey(const std::string& key) const;

    // The targets of every matching route, by order (then as added).
    std::vector<sipcore::Uri> process(const sipcore::Message& request) const;

    static std::string keyOf(const std::string& method, const std::string& event, const std::string& pattern,
                             const std::string& from);

private:
    struct compiled_t;
    static std::unique_ptr<compiled_t> compile(route_record_t r, uint64_t seq);
    mutable std::mutex lock;  // guards routes and next_seq
    std::map<std::string, std::unique_ptr<compiled_t>> routes;
    uint64_t next_seq = 0;
};

// $0-$9 in rewrite replaced by the groups of the match (unmatched: "").
std::string route_rewrite(const std::string& rewrite, const std::string& subject, const std::vector<std::pair<int, int>>& groups);

}  // namespace sipproxy
