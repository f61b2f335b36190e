#include "proxy/repro_static_route.h"

#include <syslog.h>

#include "core/global_flags.h"
#include "core/log.h"
#include "proxy/repro_api.h"
#include "sip/core/response.h"
#include "sip/proxy/digest_authenticator.h"
#include "sip/proxy/proxy.h"
#include "sip/proxy/request_context.h"

namespace repro {

using sipproxy::processor_action_t;

namespace {

constexpr uint32_t flag_batch = 0x8;         // all targets forked at once
constexpr uint32_t flag_routes_only = 0x4;   // found routes end the request chain
constexpr uint32_t flag_require_auth = 0x800;

}  // namespace

MyStaticRoute::MyStaticRoute(const sipproxy::ConfigParse& config, const sipproxy::RouteStore& routes)
    : Processor("MyStaticRoute"), routeStore(routes), noChallenge(config.getConfigBool("DisableAuth", false)),
      challengeQop(!config.getConfigBool("DisableAuthInt", false))
{
}

processor_action_t MyStaticRoute::process(sipproxy::RequestContext& c)
{
    const sipcore::Message& request = c.getCurrentRequest();
    LOG(LOGF_GENERAL, LOG_DEBUG, "Monkey handling request: %s; reqcontext = %s", getName().c_str(),
        request.callId().c_str());
    std::vector<sipcore::Uri> targets;
    {
        // A route table being replaced is seen whole or not at all.
        MutexLock g(proxyMutex);
        targets = routeStore.process(request);
    }
    uint32_t flags = globalFlags.load();
    bool requireAuth = !(noChallenge || !(flags & flag_require_auth));

    std::string method = request.method();
    if (!c.getKey(sipproxy::from_trusted_node_key) && method != "ACK" && method != "BYE") {
        bool external = false;
        for (const auto& t : targets) {
            if (!c.getProxy().isMyDomain(t.host())) {
                LOG(LOGF_GENERAL, LOG_DEBUG, "target domain %s is not local", t.host().c_str());
                external = true;
            }
        }
        if (requireAuth && !external && c.getKey(sipproxy::certificate_verified_key)) {
            LOG(LOGF_GENERAL, LOG_DEBUG,
                "overriding requireAuth because certificate validation succeeded and no targets are external");
        } else if (requireAuth && c.getDigestIdentity().empty()) {
            challengeRequest(c, request.requestUri().host());
            return processor_action_t::SkipAllChains;
        }
    }

    if (flags & flag_batch) {
        std::vector<std::unique_ptr<sipproxy::Target>> batch;
        for (auto& t : targets) {
            LOG(LOGF_GENERAL, LOG_INFO, "Adding target %s", t.toString().c_str());
            batch.push_back(std::make_unique<sipproxy::Target>(t));
        }
        if (!batch.empty())
            c.getResponseContext().addTargetBatch(std::move(batch));
    } else {
        for (auto& t : targets) {
            LOG(LOGF_GENERAL, LOG_INFO, "Adding target %s", t.toString().c_str());
            c.getResponseContext().addTarget(std::make_unique<sipproxy::Target>(t));
        }
    }
    if (!targets.empty() && (flags & flag_routes_only))
        return processor_action_t::SkipThisChain;
    return processor_action_t::Continue;
}

void MyStaticRoute::challengeRequest(sipproxy::RequestContext& c, const std::string& realm)
{
    sipcore::challenge_t ch;
    ch.realm = realm;
    ch.nonce = sipproxy::proxy_challenge_nonces().make();
    ch.qop_auth = challengeQop;
    ch.qop_auth_int = challengeQop;
    sipcore::response_options_t o;
    o.server = c.getProxy().config().server_text;
    c.sendResponse(sipcore::make_challenge(c.getOriginalRequest(), 407, ch, o));
}

}  // namespace repro
