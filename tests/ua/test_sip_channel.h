// A test-only channel with a SIP account: it records the events it gets,
// claims unbound incoming calls for its account user and acts on them as the
// test tells it (from a timer, as real channels do, once the call is bound).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/abstract_channel.h"
#include "ua/user_agent.h"

class TestSipChannel : public AbstractChannel {
public:
    // uri: the "uri" setting, user "@" host.
    TestSipChannel(int ts, std::string uri) : timeslot(ts), account(std::move(uri)) {}
    void processEvent(channel_event_t* event) override;
    const char* getTypeName() const override { return type_name; }

    int timeslot;
    std::string account;
    // The rest of the account as the user agent reads it (timeslot and uri
    // come from the members above).
    ua_sip_account_t settings;
    const char* type_name = "TEST";
    // Run 1 ms after an incoming call reached this channel, with the call id.
    std::function<void(int call_id)> on_call;
    std::vector<std::string> seen;  // describe() of every event, main thread only

    // Makes the user agent see these channels as SIP channels.
    static void registerAccountReader();
};

// One line per event: its name, channel, data and the fields of its record.
std::string describe(const channel_event_t* event);
