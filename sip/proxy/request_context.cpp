#include "sip/proxy/request_context.h"

#include "sip/core/response.h"
#include "sip/proxy/proxy.h"

namespace sipproxy {

RequestContext::RequestContext(Proxy& proxy, int tid, sipcore::Message request, const sipcore::request_info_t& info)
    : proxy(proxy), tid(tid), source(info.from), original(std::move(request)),
      responses(*this)
{
    if (source.tls_verified)
        keys.emplace_back(certificate_verified_key, true);
}

RequestContext::~RequestContext() = default;

sipcore::Message& RequestContext::getRequest()
{
    if (!request)
        request = original.clone();
    return request;
}

void RequestContext::sendResponse(sipcore::Message r)
{
    int code = r.statusCode();
    bool invite = original.method() == "INVITE";
    if (final_sent || server_gone) {
        // Every 2xx to an INVITE goes upstream, even after the first one.
        if (invite && code >= 200 && code < 300)
            proxy.forwardStateless(std::move(r));
        return;
    }
    if (code >= 200)
        final_sent = true;
    if (AccountingCollector* c = proxy.getAccountingCollector(); c && sessionCreated && !sessionEstablished)
        c->doSessionAccounting(r, false, *this);
    proxy.stack().sendResponse(tid, std::move(r));
}

void RequestContext::respond(int code, const std::string& reason)
{
    sipcore::response_options_t o;
    o.reason = reason;
    o.server = proxy.config().server_text;
    sendResponse(sipcore::make_response(original, code, o));
}

bool RequestContext::getKey(const std::string& key) const
{
    for (const auto& [k, v] : keys)
        if (k == key)
            return v;
    return false;
}

void RequestContext::setKey(const std::string& key, bool value)
{
    for (auto& [k, v] : keys)
        if (k == key) {
            v = value;
            return;
        }
    keys.emplace_back(key, value);
}

}  // namespace sipproxy
