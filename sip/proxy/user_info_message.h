// The two-step user lookup: a processor asks for a user's A1 and waits; the
// answer comes back to its context as this event, naming the processor that
// asked so that only that one takes it.
#pragma once

#include <memory>
#include <string>

#include "sip/proxy/processor_event.h"

namespace sipproxy {

class Processor;
class Proxy;
class UserStore;

class UserInfoMessage : public ProcessorEvent {
public:
    UserInfoMessage(const Processor* originator, int tid, std::string user, std::string realm, std::string domain)
        : originator(originator), tid(tid), user(std::move(user)), realm(std::move(realm)), domain(std::move(domain))
    {
    }
    const Processor* originator;
    int tid;
    std::string user, realm, domain;
    std::string a1;  // "" when the store has no such user
};

// Fills in the A1 and hands the message back to its context (after the
// asking processor has returned WaitingForEvent).
void lookup_user(Proxy& proxy, const UserStore& users, std::unique_ptr<UserInfoMessage> message);

}  // namespace sipproxy
