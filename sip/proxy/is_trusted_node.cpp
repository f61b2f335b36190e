#include "sip/proxy/is_trusted_node.h"

#include "sip/proxy/request_context.h"

namespace sipproxy {

processor_action_t IsTrustedNode::process(RequestContext& c)
{
    const sipcore::peer_t& from = c.getSource();
    bool trusted = acls.isTrusted(from.addr, from.transport);
    c.setKey(from_trusted_node_key, trusted);
    if (!trusted && c.getCurrentRequest().hasHeader("P-Asserted-Identity"))
        c.getRequest().removeHeader("P-Asserted-Identity");
    return processor_action_t::Continue;
}

}  // namespace sipproxy
