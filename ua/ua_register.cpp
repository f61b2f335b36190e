// Registration of the channels' SIP accounts through the gateway's proxy:
// the REGISTER with its Contact naming the channel, the credentials for the
// registrar's challenge, and the removal of a registration.
#include <cstdio>
#include <map>
#include <netinet/in.h>
#include <utility>

#include "core/log.h"
#include "ua/ua_context.h"
#include "ua/user_agent.h"

using sipcore::Message;
using sipcore::Uri;

namespace {

// The credentials each registration stored (user, realm), so that removing
// it removes what was stored and nothing another registration still uses.
// Guarded by the layer's lock.
std::map<int, std::pair<std::string, std::string>> registration_credentials;

void forget_credentials(sipagent::Agent& ctx, int id, const std::string& user, const std::string& realm)
{
    std::pair<std::string, std::string> key{user, realm};
    auto it = registration_credentials.find(id);
    if (it != registration_credentials.end()) {
        key = it->second;
        registration_credentials.erase(it);
    } else if (user.empty()) {
        return;
    }
    for (const auto& [other, k] : registration_credentials)
        if (k == key)
            return;
    int r = ctx.removeAuthenticationInfo(key.first, key.second);
    if (r < 0)
        LOG(LOGF_GENERAL, 3, "eXosip_remove_authentication_info() error (rc=%d)", r);
}

// Under the lock: the registration goes (Expires 0 now, or once a REGISTER
// of it in flight completes) and no table names it any more.
int drop_registration(sipagent::Agent& ctx, int id, const std::string& user, const std::string& realm)
{
    for (int& entry : ua_registration_ids)
        if (entry == id)
            entry = 0;
    int result = ctx.registerRemove(id);
    if (result < 0) {
        LOG(LOGF_GENERAL, 3, "cannot build REGISTER message (rc=%d)", result);
        result = -1;
    }
    forget_credentials(ctx, id, user, realm);
    return result;
}

}  // namespace

std::string ua_get_host_from_uri(const std::string& uri)
{
    std::string text = uri.find("sip:") == std::string::npos ? "sip:" + uri : uri;
    Uri parsed = Uri::parse(text);
    if (!parsed) {
        LOG(LOGF_GENERAL, 3, "ua_get_host_from_uri(): cannot parse uri \"%s\"", uri.c_str());
        return "";
    }
    return parsed.host();
}

int ua_register(const AbstractChannel* channel)
{
    ua_sip_account_t a;
    if (!ua_read_sip_account(channel, &a))
        return -1;
    std::string from = (a.realname.empty() ? "" : "\"" + a.realname + "\" ") + "<sip:" + a.uri + ">";
    std::string host = a.registrar.empty() ? ua_get_host_from_uri(a.uri) : a.registrar;
    std::string user = a.uri.substr(0, a.uri.find('@'));
    bool has_slot = a.timeslot >= 0 && a.timeslot < 256;

    UaLock lock;
    if (!lock.ctx)
        return -1;
    sipagent::Agent& ctx = *lock.ctx;
    // A channel registering again: its old registration must not live on unowned.
    if (has_slot && ua_registration_ids[a.timeslot] > 0)
        drop_registration(ctx, ua_registration_ids[a.timeslot], "", "");
    std::string local = sipagent::Agent::guessLocalIp(AF_INET);
    if (a.uri.empty() || host == local || host == "127.0.0.1")
        return -1;
    std::string registrar = "sip:" + host;
    const char* transport = a.transport == 1 ? "tcp" : a.transport == 2 ? "tls" : nullptr;
    char contact[256];
    snprintf(contact, sizeof contact, "<sip:%s@%s:%d;line=%d%s%s>", user.c_str(), local.c_str(),
             a.transport == 2 ? 5061 : 5060, a.timeslot, transport ? ";transport=" : "", transport ? transport : "");
    bool credentials = !a.authname.empty() && !a.password.empty();
    if (credentials)
        ctx.addAuthenticationInfo(user, a.authname, a.password, "", a.realm);
    LOG(LOGF_GENERAL, 6, "---> registering %s on %s as %s", from.c_str(), registrar.c_str(), contact);
    Message reg;
    int id = ctx.registerBuildInitial(from, registrar, contact, a.expires, &reg);
    if (id < 0) {
        LOG(LOGF_GENERAL, 3, "cannot build REGISTER message (rc=%d)", id);
        return -1;
    }
    if (credentials)
        registration_credentials[id] = {user, a.realm};
    if (transport) {
        Uri ruri = reg.requestUri();
        ruri.setParam("transport", transport);
        reg.setRequestUri(ruri);
    }
    if (!a.proxy.empty()) {
        std::string proxy = a.proxy.compare(0, 4, "sip:") == 0 ? a.proxy : "sip:" + a.proxy;
        reg.addHeader("Route", "<" + proxy + ";lr>");
    }
    if (has_slot)
        ua_registration_ids[a.timeslot] = id;
    int r = ctx.registerSend(id, std::move(reg));
    return r < 0 ? r : id;
}

int ua_unregister(int id, const std::string& user, const std::string& realm)
{
    LOG(LOGF_GENERAL, 7, "---> reg_id=%d", id);
    if (id < 0)
        return 0;
    UaLock lock;
    if (!lock.ctx)
        return -1;
    return drop_registration(*lock.ctx, id, user, realm);
}
