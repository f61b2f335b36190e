#include "sip/proxy/strict_route_fixup.h"

#include "sip/proxy/proxy.h"

namespace sipproxy {

processor_action_t StrictRouteFixup::process(RequestContext& c)
{
    Proxy& proxy = c.getProxy();
    sipcore::Message& req = c.getRequest();
    std::vector<std::string> routes = req.headers("Route");
    sipcore::Uri ruri = req.requestUri();
    if (!routes.empty() && ruri.user().empty() && proxy.isMyUri(ruri)) {
        sipcore::NameAddr last = sipcore::NameAddr::parse(routes.back());
        if (last) {
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
    c.getResponseContext().addTarget(std::make_unique<Target>(req.requestUri()));
    return processor_action_t::SkipThisChain;
}

}  // namespace sipproxy
