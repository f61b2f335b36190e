// Where a request for one of the gateway's own numbers goes: SUBSCRIBEs are
// refused, a subscriber whose incoming calls are barred ("blin") is replaced
// by an announcement, a registered subscriber gets its contacts, a known but
// unregistered one a 480, and a number nobody registered rings its call
// group or goes to the gateway's user agent, which gives it to a line, trunk
// or virtual channel.
#pragma once

#include "sip/core/address.h"
#include "sip/proxy/location_db.h"
#include "sip/proxy/processor.h"
#include "sip/proxy/user_store.h"

// The gateway's user agent answers this user with the "calls barred"
// announcement.
inline constexpr const char* barred_callee_target = "sip:ivr-sorry.raw@127.0.0.1:6060;transport=udp";

class MyLocationServer : public sipproxy::Processor {
public:
    // users: where unregistered numbers are looked up; null looks nothing up
    // (such a number then gets no target here).
    MyLocationServer(sipproxy::LocationDb& db, const sipproxy::UserStore* users)
        : sipproxy::Processor("MyLocationServer"), db(db), users(users)
    {
    }
    sipproxy::processor_action_t process(sipproxy::RequestContext& context) override;

private:
    void unknownLocalUser(sipproxy::RequestContext& context);

    sipproxy::LocationDb& db;
    const sipproxy::UserStore* users;
};

// Whether a request from address came from the gateway itself: loopback, or
// the IPv4 address of eth0 (else ppp0), or the IPv6 address of ppp0 (else eth0).
bool is_local_source(const sipcore::sock_addr_t& address);
