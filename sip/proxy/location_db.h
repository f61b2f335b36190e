// Registered contacts by address of record. Each record has its own lock
// (lockRecord/unlockRecord, or RecordLock) so that a registration and a
// lookup of one AOR never wait for another AOR. Change handlers hear of
// every change with the "came from sync" flag, so that a change that arrived
// through registration sync is never sent back there. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "sip/core/name_addr.h"

namespace sipproxy {

struct contact_record_t {
    sipcore::NameAddr contact;
    int64_t reg_expires = 0;   // absolute, wall-clock seconds
    int64_t last_updated = 0;  // wall-clock seconds
    std::string received_from;   // transport:ip:port the REGISTER came from
    std::string public_address;  // our address it reached
    std::vector<std::string> sip_path;
    std::string instance;  // +sip.instance
    uint32_t reg_id = 0;
    std::string user_agent;
    bool sync_contact = false;  // came through registration sync
};

class LocationHandler {
public:
    virtual ~LocationHandler() = default;
    // removed: the contact is gone; came_from_sync: the change arrived through sync.
    virtual void onContactChanged(const std::string& aor, const contact_record_t& contact, bool removed,
                                  bool came_from_sync) = 0;
};

class LocationDb {
public:
    enum class Update { Created, Updated };
    using clock_fn = std::function<int64_t()>;  // wall-clock seconds
    explicit LocationDb(clock_fn clock = {});

    // Removed contacts stay this long with expiry 0 (for sync peers to see).
    void setLinger(int seconds) { linger_s = seconds; }
    int64_t now() const { return clock(); }
    // Before the database is first used: the clock is not guarded.
    void setClock(clock_fn c) { clock = std::move(c); }

    void lockRecord(const std::string& aor);
    void unlockRecord(const std::string& aor);

    // The live contacts (expired ones are dropped on the way).
    std::vector<contact_record_t> getContacts(const std::string& aor);
    // Every stored contact, the removed ones still lingering (expiry 0) included.
    std::vector<contact_record_t> getAllContacts(const std::string& aor);
    // Every stored contact, also the expired ones not yet dropped.
    std::vector<contact_record_t> getStoredContacts(const std::string& aor);
    // Matching contact: same instance and reg-id, else same instance, else same URI.
    Update updateContact(const std::string& aor, const contact_record_t& contact);
    void removeContact(const std::string& aor, const contact_record_t& contact);
    void removeAor(const std::string& aor);
    bool aorExists(const std::string& aor);
    std::vector<std::string> getAors() const;
    // Whether aor has a record (made by its first registration, or by any
    // call that takes its lock or reads it). Makes none: lookups for numbers
    // nobody registered must not grow the database.
    bool hasRecord(const std::string& aor) const;
    size_t recordCount() const;
    size_t contactCount() const;

    // Same instance and reg-id (a zero reg-id matches any), else same URI.
    static bool sameContact(const contact_record_t& a, const contact_record_t& b);

    void addHandler(LocationHandler* h);
    // Returns once no call to h is under way; never call it from a handler.
    void removeHandler(LocationHandler* h);

private:
    struct record_t {
        std::mutex held;  // locked between lockRecord and unlockRecord
        std::mutex data;  // guards contacts
        std::vector<contact_record_t> contacts;
    };
    record_t& record(const std::string& aor);
    bool kept(const contact_record_t& c, int64_t t) const;
    void notify(const std::string& aor, const contact_record_t& c, bool removed);

    clock_fn clock;
    int linger_s = 0;
    mutable std::mutex map_lock;  // guards records (the map; each record guards itself) and handlers
    // Held shared while handlers are told of a change: removeHandler waits
    // for those calls, so a removed handler is never called again.
    std::shared_mutex notifying;
    std::unordered_map<std::string, std::unique_ptr<record_t>> records;
    std::vector<LocationHandler*> handlers;
};

// Holds one AOR's record lock for a scope.
class RecordLock {
public:
    RecordLock(LocationDb& db, std::string aor) : db(db), aor(std::move(aor)) { db.lockRecord(this->aor); }
    ~RecordLock() { db.unlockRecord(aor); }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

private:
    LocationDb& db;
    std::string aor;
};

}  // namespace sipproxy
