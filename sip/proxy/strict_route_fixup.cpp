#include "sip/proxy/strict_route_fixup.h"

#include "sip/proxy/proxy.h"

namespace sipproxy {

processor_action_t StrictRouteFixup::process(RequestContext& c)
{
    Proxy& proxy = c.getProxy();
    std::vector<std::string> routes = c.getCurrentRequest().headers("Route");
    if (routes.empty())
        return processor_action_t::Continue;
    sipcore::Uri ruri = c.getCurrentRequest().requestUri();
    if (ruri.user().empty() && proxy.isMyUri(ruri)) {
        sipcore::NameAddr last = sipcore::NameAddr::parse(routes.back());
        if (last) {
            sipcore::Message& req = c.getRequest();
            req.setRequestUri(last.uri());
            routes.pop_back();
            req.removeHeader("Route");
            for (const auto& r : routes)
                req.addHeader("Route", r);
        }
    }
    if (routes.empty())
        return processor_action_t::Continue;
    if (AccountingCollector* a = proxy.getAccountingCollector())
        a->doSessionAccounting(c.getOriginalRequest(), true, c);
    c.getResponseContext().addTarget(std::make_unique<Target>(c.getCurrentRequest().requestUri()));
    return processor_action_t::SkipThisChain;
}

}  // namespace sipproxy
