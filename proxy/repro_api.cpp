#include "proxy/repro_api.h"

#include <climits>
#include <cstdlib>
#include <syslog.h>

#include "core/log.h"
#include "mgmt/var_store.h"
#include "proxy/repro_runner.h"

Mutex proxyMutex;
Mutex proxyLifecycleMutex;
std::map<std::string, ProxyUserOptions> proxyUserOptions;
std::string globalBlex;
std::map<std::string, std::set<std::string>> callGroups;

namespace {

// Guarded by proxyMutex.
std::map<std::string, std::string> user_passwords;   // "user@domain" -> clear password
int t1_ms = 500;

sipproxy::proxy_stores_t* stores()
{
    return reproRunner ? &reproRunner->stores() : nullptr;
}

bool is_v6_text(const std::string& address) { return address.find(':') != std::string::npos; }

}  // namespace

bool repro_stop()
{
    MutexLock life(proxyLifecycleMutex);
    MyReproRunner* runner;
    {
        MutexLock g(proxyMutex);
        runner = reproRunner;
        reproRunner = nullptr;
    }
    // The proxy's threads take proxyMutex: they are waited for without it.
    if (runner) {
        runner->shutdown();
        delete runner;
    }
    return true;
}

void repro_restart()
{
    MutexLock life(proxyLifecycleMutex);
    MyReproRunner* runner;
    {
        MutexLock g(proxyMutex);
        runner = reproRunner;
    }
    // The runner cannot go away meanwhile: only holders of the lifecycle
    // lock delete it. The restart waits for the proxy's threads, so it runs
    // without proxyMutex.
    if (!runner)
        return;
    std::string why;
    if (!runner->restart(&why))
        LOG(LOGF_GENERAL, LOG_ERR, "proxy restart failed: %s", why.c_str());
}

void repro_add_domain(const std::string& address)
{
    MutexLock g(proxyMutex);
    if (auto* s = stores()) {
        s->config.addDomain(address, 0);
        s->acls.addAcl("", address, is_v6_text(address) ? 128 : 32, 0, is_v6_text(address) ? AF_INET6 : AF_INET,
                       sipcore::TransportType::UDP);
    }
}

void repro_remove_domain(const std::string& address)
{
    MutexLock g(proxyMutex);
    if (auto* s = stores()) {
        s->config.eraseDomain(address);
        s->acls.eraseAcl(address, is_v6_text(address) ? 128 : 32, 0, sipcore::TransportType::UDP);
    }
}

void repro_add_user(const std::string& user, const std::string& domain, const std::string& password,
                    const std::string& intercept_group, int bell_delay)
{
    MutexLock g(proxyMutex);
    if (auto* s = stores()) {
        std::string key = sipproxy::UserStore::keyOf(user, domain);
        if (s->users.addUser(user, domain, domain, password, true, "", intercept_group))
            user_passwords[key] = password;
        else
            LOG(LOGF_GENERAL, LOG_WARNING, "proxy: user %s exists already", key.c_str());
    }
    proxyUserOptions[user].bellDelay = bell_delay;
}

void repro_update_user(const std::string& user, const std::string& domain, const std::string& password,
                       const std::string& intercept_group, int bell_delay)
{
    MutexLock g(proxyMutex);
    if (auto* s = stores()) {
        std::string key = sipproxy::UserStore::keyOf(user, domain);
        s->users.updateUser(key, user, domain, domain, password, true, "", intercept_group);
        user_passwords[key] = password;
    }
    proxyUserOptions[user].bellDelay = bell_delay;
}

void repro_erase_user(const std::string& user, const std::string& domain)
{
    MutexLock g(proxyMutex);
    if (auto* s = stores()) {
        std::string key = sipproxy::UserStore::keyOf(user, domain);
        s->users.eraseUser(key);
        user_passwords.erase(key);
    }
    proxyUserOptions.erase(user);
}

bool repro_get_user_info(const std::string& key, std::string& out)
{
    MutexLock g(proxyMutex);
    auto* s = stores();
    if (!s)
        return false;
    sipproxy::user_record_t r;
    out = s->users.getUserInfo(key, &r) ? r.email : "";
    return true;
}

void repro_set_user_options(const std::string& user, const JsonValue& options)
{
    MutexLock g(proxyMutex);
    auto member = [&](const char* name) -> const JsonValue* {
        auto it = options.members.find(name);
        return options.kind == JSON_HASH && it != options.members.end() ? &it->second : nullptr;
    };
    if (const JsonValue* v = member("blin"); v && v->kind == JSON_BOOL)
        proxyUserOptions[user].blin = v->boolean;
    if (const JsonValue* v = member("blout"); v && v->kind == JSON_BOOL)
        proxyUserOptions[user].blout = v->boolean;
    if (const JsonValue* v = member("blex"); v && v->kind == JSON_STRING)
        proxyUserOptions[user].blex = v->text;
    if (const JsonValue* v = member("notify"); v && v->kind == JSON_BOOL && !v->boolean)
        return;
    int n = rand() & 255;
    poller_publish_var(".10." + std::to_string(n ? n : 1) + ".2.0", MyVarValue(options.toString()));
}

void repro_set_options(const JsonValue& settings)
{
    if (settings.kind != JSON_HASH)
        return;
    if (auto it = settings.members.find("blex"); it != settings.members.end() && it->second.kind == JSON_STRING) {
        MutexLock g(proxyMutex);
        globalBlex = it->second.text;
    }
    auto it = settings.members.find("T1");
    if (it == settings.members.end() || it->second.kind != JSON_STRING)
        return;
    unsigned long t1 = strtoul(it->second.text.c_str(), nullptr, 10);
    // A T1 of 0 would retransmit without pause and time transactions out at
    // once; one the timers (64 * T1) cannot hold would overflow them.
    if (t1 == 0 || t1 > INT_MAX / 64) {
        LOG(LOGF_GENERAL, LOG_WARNING, "proxy: T1 \"%s\" refused, keeping %d ms", it->second.text.c_str(), repro_t1());
        return;
    }
    // The lifecycle lock keeps the runner's proxy from being replaced meanwhile.
    MutexLock life(proxyLifecycleMutex);
    MutexLock g(proxyMutex);
    t1_ms = int(t1);
    if (reproRunner)
        reproRunner->setT1(int(t1));
}

int repro_t1()
{
    MutexLock g(proxyMutex);
    return t1_ms;
}

std::string repro_user_password(const std::string& key)
{
    MutexLock g(proxyMutex);
    auto it = user_passwords.find(key);
    return it == user_passwords.end() ? "" : it->second;
}

void repro_user_moved(const std::string& old_key, const std::string& new_key)
{
    MutexLock g(proxyMutex);
    auto it = user_passwords.find(old_key);
    if (it == user_passwords.end())
        return;
    std::string password = std::move(it->second);
    user_passwords.erase(it);
    user_passwords[new_key] = std::move(password);
}
