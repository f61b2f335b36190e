// The gateway's static routes: the targets the route table gives a request,
// a challenge first when the global flags want routed callers
// authenticated, and the targets forked one after another or all at once.
#pragma once

#include "sip/proxy/config_parse.h"
#include "sip/proxy/processor.h"
#include "sip/proxy/route_store.h"

namespace repro {

class MyStaticRoute : public sipproxy::Processor {
public:
    // "DisableAuth" and "DisableAuthInt" of the proxy configuration.
    MyStaticRoute(const sipproxy::ConfigParse& config, const sipproxy::RouteStore& routes);
    sipproxy::processor_action_t process(sipproxy::RequestContext& context) override;

private:
    void challengeRequest(sipproxy::RequestContext& context, const std::string& realm);

    const sipproxy::RouteStore& routeStore;
    bool noChallenge;
    bool challengeQop;
};

}  // namespace repro
