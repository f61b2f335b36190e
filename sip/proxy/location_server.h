// Targets for requests to our own users: the live contacts registered for
// the Request-URI's AOR, as one batch ordered by q, each with its Path; the
// flows of one instance (instance and reg-id) make one outbound target.
#pragma once

#include "sip/proxy/location_db.h"
#include "sip/proxy/processor.h"

namespace sipproxy {

class LocationServer : public Processor {
public:
    explicit LocationServer(LocationDb& db) : Processor("LocationServer"), db(db) {}
    processor_action_t process(RequestContext& context) override;

private:
    LocationDb& db;
};

}  // namespace sipproxy
