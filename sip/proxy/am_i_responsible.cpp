#include "sip/proxy/am_i_responsible.h"

#include "sip/proxy/proxy.h"

namespace sipproxy {

processor_action_t AmIResponsible::process(RequestContext& c)
{
    Proxy& proxy = c.getProxy();
    const sipcore::Message& req = c.getCurrentRequest();
    if (AccountingCollector* a = proxy.getAccountingCollector())
        a->doSessionAccounting(c.getOriginalRequest(), true, c);
    sipcore::Uri ruri = req.requestUri();
    if (proxy.isMyUri(ruri))
        return processor_action_t::Continue;
    if (!always_allow_relaying && req.toTag().empty() && !c.getKey(from_trusted_node_key)) {
        sipcore::Uri from = req.from().uri();
        if (!proxy.isMyDomain(from.host()) && !proxy.isMyUri(from)) {
            c.respond(403, "Relaying Forbidden");
            return processor_action_t::SkipAllChains;
        }
    }
    c.getResponseContext().addTarget(std::make_unique<Target>(ruri));
    return processor_action_t::SkipThisChain;
}

}  // namespace sipproxy
