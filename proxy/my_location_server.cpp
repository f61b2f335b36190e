#include "proxy/my_location_server.h"

#include <arpa/inet.h>
#include <cstring>
#include <syslog.h>

#include "core/if_inet6.h"
#include "core/log.h"
#include "core/netif.h"
#include "proxy/repro_api.h"
#include "sip/core/response.h"
#include "sip/proxy/location_server.h"
#include "sip/proxy/proxy.h"
#include "sip/proxy/user_info_message.h"

using sipproxy::processor_action_t;

namespace {

// The user agent takes a number with its user part and URI parameters.
sipcore::Uri user_agent_target(sipcore::Uri r)
{
    r.setHost("127.0.0.1");
    r.setPort(6060);
    r.setParam("transport", "udp");
    return r;
}

// One parallel batch of the group's members; a member without a host is a
// user of the dialled host. proxyMutex held.
std::vector<std::unique_ptr<sipproxy::Target>> group_targets(const std::set<std::string>& members,
                                                             const std::string& host)
{
    std::string at_host = "@" + (host.find(':') != std::string::npos ? "[" + host + "]" : host);
    std::vector<std::unique_ptr<sipproxy::Target>> batch;
    for (const auto& m : members) {
        std::string text = "<sip:" + m + (m.find('@') != std::string::npos ? "" : at_host) + ">";
        sipcore::NameAddr member = sipcore::NameAddr::parse(text);
        if (!member || !member.uri()) {
            LOG(LOGF_GENERAL, LOG_WARNING, "proxy: call group member %s is no SIP address", text.c_str());
            continue;
        }
        batch.push_back(std::make_unique<sipproxy::QValueTarget>(member));
    }
    return batch;
}

}  // namespace

bool is_local_source(const sipcore::sock_addr_t& address)
{
    if (address.family() == AF_INET) {
        in_addr a = reinterpret_cast<const sockaddr_in*>(address.sa())->sin_addr;
        if ((ntohl(a.s_addr) >> 24) == 127)
            return true;
        in_addr own{};
        if (get_if_addr("eth0", &own) != 0 && get_if_addr("ppp0", &own) != 0)
            return false;
        return own.s_addr == a.s_addr;
    }
    if (address.family() == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address.sa())->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a))
            return true;
        if (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127)
            return true;
        in6_addr own{};
        if (!get_ipv6_addr(&own, "ppp0", nullptr) && !get_ipv6_addr(&own, "eth0", nullptr))
            return false;
        return memcmp(&own, &a, sizeof own) == 0;
    }
    return false;
}

processor_action_t MyLocationServer::process(sipproxy::RequestContext& c)
{
    const sipcore::Message& request = c.getOriginalRequest();
    sipproxy::Proxy& proxy = c.getProxy();
    if (request.method() == "SUBSCRIBE") {
        c.respond(405);
        return processor_action_t::SkipThisChain;
    }

    if (auto* answer = dynamic_cast<const sipproxy::UserInfoMessage*>(c.getCurrentEvent());
        answer && answer->originator == this) {
        if (!answer->a1.empty()) {
            c.respond(480);  // a subscriber of ours, just not registered
            return processor_action_t::SkipThisChain;
        }
        if (proxy.isMyUri(request.requestUri()))
            unknownLocalUser(c);
        return processor_action_t::Continue;
    }

    std::string aor = request.requestUri().aorAsUri(c.getSource().transport);
    sipcore::Uri aor_uri = sipcore::Uri::parse(aor);
    if (aor_uri && proxy.isMyUri(aor_uri)) {
        MutexLock g(proxyMutex);
        auto it = proxyUserOptions.find(aor_uri.user());
        if (it != proxyUserOptions.end() && it->second.blin) {
            c.getResponseContext().addTarget(
                std::make_unique<sipproxy::Target>(sipcore::Uri::parse(barred_callee_target)));
            return processor_action_t::Continue;
        }
    }

    std::vector<sipproxy::contact_record_t> contacts, live;
    if (db.hasRecord(aor)) {
        sipproxy::RecordLock hold(db, aor);
        contacts = db.getStoredContacts(aor);
        int64_t now = db.now();
        for (auto& r : contacts) {
            if (r.reg_expires <= now) {
                if (r.reg_expires > 0)  // a removed one stays for sync with expiry 0
                    db.removeContact(aor, r);
                continue;
            }
            LOG(LOGF_GENERAL, LOG_INFO, "%s adding target %s with tuple %s", getName().c_str(),
                r.contact.toString().c_str(), r.received_from.c_str());
            live.push_back(std::move(r));
        }
    }
    if (!contacts.empty()) {
        c.getResponseContext().addTargetBatch(sipproxy::contact_targets(std::move(live)));
        return processor_action_t::Continue;
    }

    if (!users || !aor_uri)
        return processor_action_t::Continue;
    sipproxy::lookup_user(proxy, *users,
                          std::make_unique<sipproxy::UserInfoMessage>(this, c.getTransactionId(), aor_uri.user(),
                                                                      aor_uri.host(), aor_uri.host()));
    return processor_action_t::WaitingForEvent;
}

void MyLocationServer::unknownLocalUser(sipproxy::RequestContext& c)
{
    const sipcore::peer_t& source = c.getSource();
    if (!is_local_source(source.addr)) {
        // Only we say whether a call came over a secure transport.
        sipcore::Message& forwarded = c.getRequest();
        forwarded.removeHeader("X-Secure-Transport");
        if (source.transport == sipcore::TransportType::TLS)
            forwarded.addHeader("X-Secure-Transport", "yes");
    } else if (source.addr.port() == 6060 && source.transport == sipcore::TransportType::UDP) {
        c.getRequest().setHeader("X-Secure-Transport", "yes");
    }

    sipcore::Uri r = c.getOriginalRequest().requestUri();
    bool grouped = false;
    std::vector<std::unique_ptr<sipproxy::Target>> batch;
    {
        MutexLock g(proxyMutex);
        auto group = callGroups.find(r.user());
        if (group != callGroups.end()) {
            grouped = true;
            batch = group_targets(group->second, r.host());
        }
    }
    if (grouped)
        c.getResponseContext().addTargetBatch(std::move(batch));
    else
        c.getResponseContext().addTarget(std::make_unique<sipproxy::Target>(user_agent_target(std::move(r))));
}
