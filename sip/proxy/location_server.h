// Targets for requests to our own users: the live contacts registered for
// the Request-URI's AOR, as one batch ordered by q, each with its Path; the
// flows of one instance (instance and reg-id) make one outbound target.
#pragma once

#include "sip/proxy/location_db.h"
#include "sip/proxy/processor.h"
#include "sip/proxy/target.h"

namespace sipproxy {

class LocationServer : public Processor {
public:
    explicit LocationServer(LocationDb& db) : Processor("LocationServer"), db(db) {}
    processor_action_t process(RequestContext& context) override;

private:
    LocationDb& db;
};

// The targets of live contacts as one batch ordered by priority: each
// contact with its Path, the flows of one instance as one outbound target.
std::vector<std::unique_ptr<Target>> contact_targets(std::vector<contact_record_t> contacts);

}  // namespace sipproxy
