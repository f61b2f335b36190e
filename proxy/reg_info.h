// The registration-sync agent's own copy of the proxy's registrations: one
// record per address of record with its contacts, written and read as the
// XML the sync protocol and the database file carry.
#pragma once

#include <cstdint>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "sip/proxy/xml_tree.h"

// time() in whole seconds; tests put their own clock in (null restores time()).
uint64_t reg_now();
void reg_set_clock(time_t (*clock)());

class ContactInfo {
public:
    std::string contacturi;
    uint64_t expires = 0;     // absolute, seconds since 1970; 0 = long expired
    uint64_t lastupdate = 0;  // absolute
    std::string receivedfrom;
    std::string publicaddress;
    std::list<std::string> sippath;
    std::string instance;
    std::string regid;

    // One <contactinfo> element with times relative to now.
    void write(std::ostream& out) const;
    // Fills the fields from the element's children; times stay relative.
    void parse(const sipproxy::XmlElement& element);
};

class RegInfo {
public:
    RegInfo() = default;
    RegInfo(RegInfo&&) = default;
    RegInfo& operator=(RegInfo&&) = default;
    virtual ~RegInfo() = default;

    std::string aor;
    // Insertion order, which carries no meaning but keeps runs repeatable.
    std::vector<std::unique_ptr<ContactInfo>> contacts;

    void write(std::ostream& out) const;
    // base: the moment the text was written (0: now). Contacts with expires 0
    // are dropped. A record left without aor or contacts is for the caller
    // to discard.
    void parse(const sipproxy::XmlElement& element, uint32_t base);
    void pruneExpired();
};

std::ostream& operator<<(std::ostream& out, const ContactInfo& contact);
std::ostream& operator<<(std::ostream& out, const RegInfo& info);

class RegDataBase : public std::map<std::string, std::unique_ptr<RegInfo>> {
public:
    // Prunes everything, then stores info under its AOR, replacing any record there.
    void addRegInfo(std::unique_ptr<RegInfo> info);
    // Expired contacts go, then records without contacts.
    void prune();
    void writeAll(std::ostream& out) const;
};

// The agent's database, used only by the registration-sync thread.
extern RegDataBase regDataBase;
