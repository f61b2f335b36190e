// Session accounting hooks. The proxy calls doSessionAccounting for a CANCEL
// received and for responses sent while the session is created and not yet
// established, and for each forwarded request; processors call it for the
// requests they take in.
#pragma once

#include "sip/core/message.h"

namespace sipproxy {

class RequestContext;

class AccountingCollector {
public:
    virtual ~AccountingCollector() = default;
    virtual void doSessionAccounting(const sipcore::Message& message, bool received, RequestContext& context) = 0;
    virtual void doRegistrationAccounting(const sipcore::Message& /*message*/) {}
};

}  // namespace sipproxy
