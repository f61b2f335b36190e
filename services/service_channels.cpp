// Stand-in for the redirecting channel until its class lands: it reports its
// type and ignores its events.
#include "core/channel_types.h"

namespace {

class DeflectorChannel : public AbstractChannel {
public:
    explicit DeflectorChannel(int ts) : timeslot(ts) {}
    void processEvent(channel_event_t*) override {}
    const char* getTypeName() const override { return "DEFLECTOR"; }

private:
    int timeslot;
};

}  // namespace

AbstractChannel* new_DEFLECTOR(int ts) { return new DeflectorChannel(ts); }
