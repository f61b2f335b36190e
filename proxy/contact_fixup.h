// The first of the gateway's request processors, right before the proxy
// decides whether a request is its own: local callers barred from calling
// out ("blout") reach an announcement instead of the dialled number, and the
// Contact of INVITEs from local callers is moved to the caller's own address
// when the global flags ask for it.
#pragma once

#include "sip/proxy/processor.h"

// The gateway's user agent answers this user with the "no outgoing calls"
// announcement.
inline constexpr const char* barred_caller_target = "sip:ivr-no_money.raw@127.0.0.1:6060;transport=udp";

class ContactFixup : public sipproxy::Processor {
public:
    ContactFixup() : sipproxy::Processor("ContactFixup") {}
    sipproxy::processor_action_t process(sipproxy::RequestContext& context) override;
};
