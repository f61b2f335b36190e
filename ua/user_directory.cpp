#include "ua/user_directory.h"

#include <map>
#include <mutex>
#include <netinet/in.h>
#include <set>

#include "core/log.h"
#include "ua/user_agent.h"

namespace {

struct DirectoryUser {
    std::string password;
    std::string intercept_group;
    int delay = 0;
};

// The management link's thread and the web server's threads both feed it.
std::mutex directory_mutex;  // guards everything below
std::map<std::string, DirectoryUser> pending_users;
bool directory_cleared = false;
std::set<std::string> committed_users;
std::vector<std::string> recorded;
ua_user_store_t store;

std::string describe(const std::string& what, const std::string& name, const std::string& domain,
                     const std::string& password, const std::string& ig, int delay)
{
    return what + " " + name + " " + domain + " " + password + " " + ig + " " + std::to_string(delay);
}

ua_user_store_t recording_store()
{
    ua_user_store_t s;
    s.add_user = [](const std::string& n, const std::string& d, const std::string& p, const std::string& ig, int gb) {
        recorded.push_back(describe("add", n, d, p, ig, gb));
    };
    s.update_user = [](const std::string& n, const std::string& d, const std::string& p, const std::string& ig,
                       int gb) { recorded.push_back(describe("update", n, d, p, ig, gb)); };
    s.erase_user = [](const std::string& n, const std::string& d) { recorded.push_back("erase " + n + " " + d); };
    return s;
}

const ua_user_store_t& current_store()
{
    if (!store.add_user || !store.update_user || !store.erase_user)
        store = recording_store();
    return store;
}

void gather(const JsonValue& list)
{
    for (const JsonValue& item : list.items) {
        if (item.kind != JSON_HASH)
            continue;
        const JsonValue* n = item.find("n");
        const JsonValue* p = item.find("p");
        if (!n || !p || n->kind != JSON_STRING || p->kind != JSON_STRING)
            continue;
        DirectoryUser& u = pending_users[n->text];
        u = DirectoryUser{p->text, "", 0};
        if (const JsonValue* ig = item.find("ig"); ig && ig->kind == JSON_STRING)
            u.intercept_group = ig->text;
        if (const JsonValue* gb = item.find("gb"); gb && gb->kind == JSON_INTEGER)
            u.delay = gb->integer;
    }
}

void commit()
{
    const ua_user_store_t& s = current_store();
    std::string domain = ua_guess_local_ip(AF_INET);
    std::set<std::string> now;
    for (const std::string& name : committed_users) {
        auto it = pending_users.find(name);
        if (it == pending_users.end()) {
            s.erase_user(name, domain);
            continue;
        }
        s.update_user(name, domain, it->second.password, it->second.intercept_group, it->second.delay);
        now.insert(name);
        pending_users.erase(it);
    }
    for (const auto& [name, u] : pending_users) {
        now.insert(name);
        s.add_user(name, domain, u.password, u.intercept_group, u.delay);
    }
    committed_users = std::move(now);
    LOG(LOGF_GENERAL, 6, "User directory updated");
}

}  // namespace

void ua_update_user_directory(const JsonValue& list, bool clear, bool end)
{
    std::lock_guard<std::mutex> g(directory_mutex);
    if (clear) {
        directory_cleared = true;
        pending_users.clear();
    }
    if (list.kind == JSON_ARRAY)
        gather(list);
    if (!end)
        return;
    if (!directory_cleared) {
        LOG(LOGF_GENERAL, 3, "userlist: got 'end' without 'clear'");
        return;
    }
    directory_cleared = false;
    commit();
}

void ua_set_user_store(const ua_user_store_t& s)
{
    std::lock_guard<std::mutex> g(directory_mutex);
    store = s;
}

std::vector<std::string> ua_user_store_recorded()
{
    std::lock_guard<std::mutex> g(directory_mutex);
    return recorded;
}

void ua_user_directory_reset()
{
    std::lock_guard<std::mutex> g(directory_mutex);
    recorded.clear();
    pending_users.clear();
    committed_users.clear();
    directory_cleared = false;
}
