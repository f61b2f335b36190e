// Marks requests from peers in the ACL store as trusted, and strips
// P-Asserted-Identity from everyone else.
#pragma once

#include "sip/proxy/acl_store.h"
#include "sip/proxy/processor.h"

namespace sipproxy {

class IsTrustedNode : public Processor {
public:
    explicit IsTrustedNode(const AclStore& acls) : Processor("IsTrustedNode"), acls(acls) {}
    processor_action_t process(RequestContext& context) override;

private:
    const AclStore& acls;
};

}  // namespace sipproxy
