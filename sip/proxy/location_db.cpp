#include "sip/proxy/location_db.h"

#include <algorithm>
#include <ctime>

namespace sipproxy {

LocationDb::LocationDb(clock_fn c) : clock(std::move(c))
{
    if (!clock)
        clock = [] { return static_cast<int64_t>(time(nullptr)); };
}

bool LocationDb::kept(const contact_record_t& c, int64_t t) const
{
    // A removed contact has expiry 0 and lingers from its removal.
    int64_t gone = c.reg_expires > 0 ? c.reg_expires : c.last_updated;
    return c.reg_expires > t || gone + linger_s > t;
}

LocationDb::record_t& LocationDb::record(const std::string& aor)
{
    std::lock_guard<std::mutex> g(map_lock);
    auto& r = records[aor];
    if (!r)
        r = std::make_unique<record_t>();
    return *r;  // records are never erased, so the reference stays good
}

void LocationDb::lockRecord(const std::string& aor) { record(aor).held.lock(); }
void LocationDb::unlockRecord(const std::string& aor) { record(aor).held.unlock(); }

bool LocationDb::sameContact(const contact_record_t& a, const contact_record_t& b)
{
    if (!a.instance.empty() || !b.instance.empty()) {
        if (a.instance != b.instance)
            return false;
        return a.reg_id == b.reg_id || a.reg_id == 0 || b.reg_id == 0;
    }
    return a.contact.uri().toString() == b.contact.uri().toString();
}

std::vector<contact_record_t> LocationDb::getContacts(const std::string& aor)
{
    record_t& r = record(aor);
    int64_t t = clock();
    std::lock_guard<std::mutex> g(r.data);
    auto& v = r.contacts;
    v.erase(std::remove_if(v.begin(), v.end(),
                           [&](const contact_record_t& c) { return !kept(c, t); }),
            v.end());
    std::vector<contact_record_t> out;
    for (const auto& c : v)
        if (c.reg_expires > t)
            out.push_back(c);
    return out;
}

std::vector<contact_record_t> LocationDb::getAllContacts(const std::string& aor)
{
    record_t& r = record(aor);
    int64_t t = clock();
    std::lock_guard<std::mutex> g(r.data);
    std::vector<contact_record_t> out;
    for (const auto& c : r.contacts)
        if (kept(c, t))
            out.push_back(c);
    return out;
}

std::vector<contact_record_t> LocationDb::getStoredContacts(const std::string& aor)
{
    record_t& r = record(aor);
    std::lock_guard<std::mutex> g(r.data);
    return r.contacts;
}

LocationDb::Update LocationDb::updateContact(const std::string& aor, const contact_record_t& contact)
{
    record_t& r = record(aor);
    Update u = Update::Created;
    {
        std::lock_guard<std::mutex> g(r.data);
        auto it = std::find_if(r.contacts.begin(), r.contacts.end(),
                               [&](const contact_record_t& c) { return sameContact(c, contact); });
        if (it != r.contacts.end()) {
            u = it->reg_expires > clock() ? Update::Updated : Update::Created;
            *it = contact;
        } else {
            r.contacts.push_back(contact);
        }
    }
    notify(aor, contact, false);
    return u;
}

void LocationDb::removeContact(const std::string& aor, const contact_record_t& contact)
{
    record_t& r = record(aor);
    contact_record_t gone = contact;
    bool found = false;
    {
        std::lock_guard<std::mutex> g(r.data);
        for (auto it = r.contacts.begin(); it != r.contacts.end(); ++it) {
            if (!sameContact(*it, contact))
                continue;
            found = true;
            gone = *it;
            gone.sync_contact = contact.sync_contact;
            if (linger_s > 0) {
                it->reg_expires = 0;
                it->last_updated = clock();
            } else {
                r.contacts.erase(it);
            }
            break;
        }
    }
    if (found) {
        gone.reg_expires = 0;
        notify(aor, gone, true);
    }
}

void LocationDb::removeAor(const std::string& aor)
{
    record_t& r = record(aor);
    std::vector<contact_record_t> gone;
    {
        std::lock_guard<std::mutex> g(r.data);
        gone = r.contacts;
        if (linger_s > 0)
            for (auto& c : r.contacts) {
                c.reg_expires = 0;
                c.last_updated = clock();
            }
        else
            r.contacts.clear();
    }
    for (auto& c : gone) {
        c.reg_expires = 0;
        notify(aor, c, true);
    }
}

bool LocationDb::aorExists(const std::string& aor) { return !getContacts(aor).empty(); }

bool LocationDb::hasRecord(const std::string& aor) const
{
    std::lock_guard<std::mutex> g(map_lock);
    return records.count(aor) > 0;
}

size_t LocationDb::recordCount() const
{
    std::lock_guard<std::mutex> g(map_lock);
    return records.size();
}

std::vector<std::string> LocationDb::getAors() const
{
    std::lock_guard<std::mutex> g(map_lock);
    std::vector<std::string> out;
    for (const auto& [aor, r] : records) {
        std::lock_guard<std::mutex> d(r->data);
        if (!r->contacts.empty())
            out.push_back(aor);
    }
    std::sort(out.begin(), out.end());
    return out;
}

size_t LocationDb::contactCount() const
{
    std::lock_guard<std::mutex> g(map_lock);
    size_t n = 0;
    for (const auto& [aor, r] : records) {
        std::lock_guard<std::mutex> d(r->data);
        n += r->contacts.size();
    }
    return n;
}

void LocationDb::addHandler(LocationHandler* h)
{
    std::lock_guard<std::mutex> g(map_lock);
    handlers.push_back(h);
}

void LocationDb::removeHandler(LocationHandler* h)
{
    std::unique_lock<std::shared_mutex> calls(notifying);
    std::lock_guard<std::mutex> g(map_lock);
    handlers.erase(std::remove(handlers.begin(), handlers.end(), h), handlers.end());
}

void LocationDb::notify(const std::string& aor, const contact_record_t& c, bool removed)
{
    std::shared_lock<std::shared_mutex> calls(notifying);
    std::vector<LocationHandler*> hs;
    {
        std::lock_guard<std::mutex> g(map_lock);
        hs = handlers;
    }
    for (auto* h : hs)
        h->onContactChanged(aor, c, removed, c.sync_contact);
}

}  // namespace sipproxy
