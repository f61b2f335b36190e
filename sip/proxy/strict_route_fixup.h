// Requests that carry a Route after our own entries were taken off go to
// their Request-URI by that Route. A request from a strict router (our
// Record-Route URI in the Request-URI) gets its real Request-URI back from
// the last Route first.
#pragma once

#include "sip/proxy/processor.h"

namespace sipproxy {

class StrictRouteFixup : public Processor {
public:
    StrictRouteFixup() : Processor("StrictRouteFixup") {}
    processor_action_t process(RequestContext& context) override;
};

}  // namespace sipproxy
