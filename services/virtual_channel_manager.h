// The owner of the virtual channels (1000 and above) and the last resort of
// the claim protocol. Until its channels land it takes the global flags and
// proxy options from the global settings, keeps a record of what it was
// offered and claims nothing.
#pragma once

#include <vector>

#include "core/abstract_channel.h"

class VirtualChannelManager : public AbstractChannel {
public:
    // One offer, as the event stood when it arrived.
    struct offer_t {
        int channel;
        int code;
        int flags;
        int data;
    };
    // The record keeps the first offers only: the daemon runs for months.
    static constexpr size_t max_offers = 256;

    void processEvent(channel_event_t* event) override;
    // The virtual channel with that number, or null. Main thread.
    AbstractChannel* find(int channel);

    std::vector<offer_t> offers;
};
