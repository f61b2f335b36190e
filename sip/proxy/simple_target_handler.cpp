#include "sip/proxy/simple_target_handler.h"

#include "sip/proxy/request_context.h"

namespace sipproxy {

processor_action_t SimpleTargetHandler::process(RequestContext& c)
{
    ResponseContext& r = c.getResponseContext();
    if (!r.hasActiveBranches())
        r.beginClientTransactions();
    return processor_action_t::Continue;
}

}  // namespace sipproxy
