#include "sip/proxy/user_store.h"

#include "sip/core/digest.h"

namespace sipproxy {

static user_record_t make_record(const std::string& user, const std::string& domain, const std::string& realm,
                                 const std::string& password, bool apply_hash, const std::string& name,
                                 const std::string& email)
{
    user_record_t r{user, domain, realm, "", "", name, email};
    if (apply_hash) {
        r.passwordHash = sipcore::digest_ha1(user, realm, password);
        r.passwordHashAlt = sipcore::digest_ha1(user + "@" + domain, realm, password);
    } else {
        r.passwordHash = password;
    }
    return r;
}

bool UserStore::addUser(const std::string& user, const std::string& domain, const std::string& realm,
                        const std::string& password, bool apply_hash, const std::string& name,
                        const std::string& email)
{
    std::lock_guard<std::mutex> g(lock);
    return users.emplace(keyOf(user, domain), make_record(user, domain, realm, password, apply_hash, name, email))
        .second;
}

bool UserStore::updateUser(const std::string& original_key, const std::string& user, const std::string& domain,
                           const std::string& realm, const std::string& password, bool apply_hash,
                           const std::string& name, const std::string& email)
{
    std::lock_guard<std::mutex> g(lock);
    std::string key = keyOf(user, domain);
    if (key != original_key && users.count(key))
        return false;
    users.erase(original_key);
    users[key] = make_record(user, domain, realm, password, apply_hash, name, email);
    return true;
}

void UserStore::eraseUser(const std::string& key)
{
    std::lock_guard<std::mutex> g(lock);
    users.erase(key);
}

bool UserStore::getUserInfo(const std::string& key, user_record_t* out) const
{
    std::lock_guard<std::mutex> g(lock);
    auto it = users.find(key);
    if (it == users.end())
        return false;
    *out = it->second;
    return true;
}

std::string UserStore::getUserAuthInfo(const std::string& user, const std::string& realm, bool alt) const
{
    std::lock_guard<std::mutex> g(lock);
    auto it = users.find(keyOf(user, realm));
    if (it == users.end() || it->second.realm != realm)
        return "";
    return alt ? it->second.passwordHashAlt : it->second.passwordHash;
}

std::string UserStore::getFirstKey() const
{
    std::lock_guard<std::mutex> g(lock);
    return users.empty() ? "" : users.begin()->first;
}

std::string UserStore::getNextKey(const std::string& key) const
{
    std::lock_guard<std::mutex> g(lock);
    auto it = users.upper_bound(key);
    return it == users.end() ? "" : it->first;
}

size_t UserStore::size() const
{
    std::lock_guard<std::mutex> g(lock);
    return users.size();
}

}  // namespace sipproxy
