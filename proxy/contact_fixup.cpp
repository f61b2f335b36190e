#include "proxy/contact_fixup.h"

#include <syslog.h>

#include "core/global_flags.h"
#include "core/log.h"
#include "core/pcre_re.h"
#include "proxy/repro_api.h"
#include "sip/proxy/proxy.h"

using sipproxy::processor_action_t;

namespace {

constexpr uint32_t rewrite_ua_contacts = 0x1000;     // Contacts of our own user agent (127.0.0.1:6060)
constexpr uint32_t rewrite_other_contacts = 0x2000;  // every other Contact

bool is_our_user_agent(const sipcore::Uri& u) { return u.host() == "127.0.0.1" && u.port() == 6060; }

// Moves each Contact the flags name to the caller's host and port.
void rewrite_contacts(sipcore::Message& request, const sipcore::Uri& from, uint32_t flags)
{
    std::vector<std::string> contacts = request.headers("Contact");
    bool changed = false;
    for (auto& text : contacts) {
        sipcore::NameAddr c = sipcore::NameAddr::parse(text);
        if (!c)
            continue;  // left as it came
        sipcore::Uri u = c.uri();
        if (!u || !(flags & (is_our_user_agent(u) ? rewrite_ua_contacts : rewrite_other_contacts)))
            continue;
        u.setHost(from.host());
        u.setPort(from.port());  // none when the From has none
        c.setUri(u);
        text = c.toString();
        changed = true;
    }
    if (!changed)
        return;
    request.removeHeader("Contact");
    for (const auto& text : contacts)
        request.addHeader("Contact", text);
}

// Whether the caller may call the number: with blout set, the number must
// match the caller's own exception expression, else the global one
// (unanchored); no expression bars every number. proxyMutex held.
bool caller_may_call(const std::string& caller, const std::string& number)
{
    auto it = proxyUserOptions.find(caller);
    if (it == proxyUserOptions.end() || !it->second.blout)
        return true;
    const std::string& pattern = it->second.blex.empty() ? globalBlex : it->second.blex;
    // An expression that does not compile matches nothing: the caller stays barred.
    return !pattern.empty() && PcreRe(pattern).PartialMatch(number);
}

}  // namespace

processor_action_t ContactFixup::process(sipproxy::RequestContext& c)
{
    const sipcore::Message& request = c.getOriginalRequest();
    if (log_level.load(std::memory_order_relaxed) >= LOG_DEBUG)
        LOG(LOGF_GENERAL, LOG_DEBUG, "Monkey handling request: %s; reqcontext = %d %s %s", getName().c_str(),
            c.getTransactionId(), request.method().c_str(), request.requestUri().toString().c_str());
    sipcore::NameAddr from = request.from();
    sipcore::Uri from_uri = from ? from.uri() : sipcore::Uri();
    if (!from_uri || !c.getProxy().isMyUri(from_uri))
        return processor_action_t::Continue;

    // Requests inside a dialog are never barred: the BYE of a call the
    // caller was allowed to make must reach the callee, not an announcement.
    if (request.toTag().empty()) {
        sipcore::Uri aor = sipcore::Uri::parse(request.requestUri().aorAsUri(c.getSource().transport));
        MutexLock g(proxyMutex);
        if (!caller_may_call(from_uri.user(), aor ? aor.user() : "")) {
            c.getResponseContext().addTarget(std::make_unique<sipproxy::Target>(
                sipcore::Uri::parse(barred_caller_target)));
            return processor_action_t::SkipThisChain;
        }
    }

    uint32_t flags = globalFlags.load() & (rewrite_ua_contacts | rewrite_other_contacts);
    if (flags && request.method() == "INVITE" && request.hasHeader("Contact"))
        rewrite_contacts(c.getRequest(), from_uri, flags);
    return processor_action_t::Continue;
}
