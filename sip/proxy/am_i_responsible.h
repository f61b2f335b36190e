// Requests for someone else's domain are relayed to their Request-URI,
// unless that would make us an open relay; requests for our own domain go on
// to the location processors.
#pragma once

#include "sip/proxy/processor.h"

namespace sipproxy {

class AmIResponsible : public Processor {
public:
    // always_allow_relaying: relay even for strangers (out-of-dialog, untrusted, foreign From).
    explicit AmIResponsible(bool always_allow_relaying = false)
        : Processor("AmIResponsible"), always_allow_relaying(always_allow_relaying)
    {
    }
    processor_action_t process(RequestContext& context) override;

private:
    bool always_allow_relaying;
};

}  // namespace sipproxy
