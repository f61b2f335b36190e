// Where a request may be forwarded: a URI plus the Route set (a registered
// contact's Path) that goes in front of it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sip/core/name_addr.h"
#include "sip/core/uri.h"
#include "sip/proxy/location_db.h"

namespace sipproxy {

class Target {
public:
    explicit Target(sipcore::Uri uri) : target(std::move(uri)) {}
    explicit Target(const sipcore::NameAddr& contact) : target(contact.uri()) {}
    virtual ~Target() = default;

    const sipcore::Uri& uri() const { return target; }
    // Higher goes first within a batch.
    virtual int priority() const { return 1000; }
    // For std::sort: a before b when a's priority is higher.
    static bool priorityMetricCompare(const std::unique_ptr<Target>& a, const std::unique_ptr<Target>& b);

    std::vector<std::string> path;  // Route values, first one first

private:
    sipcore::Uri target;
};

// A registered contact with its q value: priority q*1000, 1.0 when absent.
class QValueTarget : public Target {
public:
    explicit QValueTarget(const sipcore::NameAddr& contact);
    int priority() const override { return q; }

private:
    int q = 1000;
};

// One instance (+sip.instance with a reg-id) registered over several flows:
// the request goes to the most recent flow only, with its Path and q.
class OutboundTarget : public Target {
public:
    // flows: sorted with instanceCompare, not empty.
    explicit OutboundTarget(std::vector<contact_record_t> flows);
    int priority() const override { return q.priority(); }
    const std::vector<contact_record_t>& flows() const { return list; }
    // For std::sort: a before b when a was updated more recently.
    static bool instanceCompare(const contact_record_t& a, const contact_record_t& b);

private:
    std::vector<contact_record_t> list;
    QValueTarget q;
};

}  // namespace sipproxy
