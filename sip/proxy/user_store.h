// Users who may register and call through the proxy, keyed "user@domain",
// with their digest A1 hashes. One store for the whole process: it outlives
// every proxy run. Thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace sipproxy {

struct user_record_t {
    std::string user, domain, realm;
    std::string passwordHash;     // MD5(user:realm:password)
    std::string passwordHashAlt;  // MD5(user@domain:realm:password)
    std::string name, email;
};

class UserStore {
public:
    // apply_hash: password is the clear text; otherwise it is already the A1.
    // False when the key exists.
    bool addUser(const std::string& user, const std::string& domain, const std::string& realm,
                 const std::string& password, bool apply_hash, const std::string& name, const std::string& email);
    // Replaces the record under original_key by the new one (whose key may differ).
    bool updateUser(const std::string& original_key, const std::string& user, const std::string& domain,
                    const std::string& realm, const std::string& password, bool apply_hash, const std::string& name,
                    const std::string& email);
    void eraseUser(const std::string& key);
    bool getUserInfo(const std::string& key, user_record_t* out) const;
    // A1 for a digest answer: the record of user@realm-domain whose realm
    // matches; "" when unknown. alt: the user@domain form of the hash.
    std::string getUserAuthInfo(const std::string& user, const std::string& realm, bool alt = false) const;
    // Keys in order; "" after the last. Next is by key, so it survives edits.
    std::string getFirstKey() const;
    std::string getNextKey(const std::string& key) const;
    size_t size() const;

    static std::string keyOf(const std::string& user, const std::string& domain) { return user + "@" + domain; }

private:
    mutable std::mutex lock;  // guards users
    std::map<std::string, user_record_t> users;
};

}  // namespace sipproxy
