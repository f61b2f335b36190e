#include "sip/proxy/static_route.h"

#include "sip/proxy/request_context.h"

namespace sipproxy {

processor_action_t StaticRoute::process(RequestContext& c)
{
    for (auto& u : routes.process(c.getCurrentRequest()))
        c.getResponseContext().addTarget(std::make_unique<Target>(std::move(u)));
    return processor_action_t::Continue;
}

}  // namespace sipproxy
