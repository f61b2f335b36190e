// Targets from the route store: each matching route's rewrite becomes a
// target of its own queue, tried one after another.
#pragma once

#include "sip/proxy/processor.h"
#include "sip/proxy/route_store.h"

namespace sipproxy {

class StaticRoute : public Processor {
public:
    explicit StaticRoute(const RouteStore& routes) : Processor("StaticRoute"), routes(routes) {}
    processor_action_t process(RequestContext& context) override;

private:
    const RouteStore& routes;
};

}  // namespace sipproxy
