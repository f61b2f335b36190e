// Stand-ins for the trunk channels until their classes land: each reports
// the type it was created for and ignores its events. A class that lands
// takes its constructor out of this file.
#include <string>

#include "core/channel_types.h"

namespace {

class TrunkChannel : public AbstractChannel {
public:
    TrunkChannel(int ts, std::string type) : timeslot(ts), type(std::move(type)) {}
    void processEvent(channel_event_t*) override {}
    const char* getTypeName() const override { return type.c_str(); }

private:
    int timeslot;
    std::string type;
};

}  // namespace

AbstractChannel* new_INDChannel(int ts) { return new TrunkChannel(ts, "1IND"); }
AbstractChannel* new_R15Channel(int ts) { return new TrunkChannel(ts, "R1.5"); }
AbstractChannel* new_MFCR2Channel(int ts) { return new TrunkChannel(ts, "R2"); }
AbstractChannel* new_R2DtmfChannel(int ts) { return new TrunkChannel(ts, "R2DTMF"); }
AbstractChannel* new_PPSChannel(int ts) { return new TrunkChannel(ts, "PPS"); }
AbstractChannel* new_ADASEChannel(int ts) { return new TrunkChannel(ts, "\xD0\x90\xD0\x94\xD0\x90\xD0\xA1\xD0\xAD"); }
AbstractChannel* new_MBChannel(int ts) { return new TrunkChannel(ts, "\xD0\x9C\xD0\x91"); }
AbstractChannel* new_EMChannel(int ts) { return new TrunkChannel(ts, "EM"); }
AbstractChannel* new_SLChannel(int ts) { return new TrunkChannel(ts, "SL"); }
AbstractChannel* new_DSChannel(int ts) { return new TrunkChannel(ts, "DS"); }
AbstractChannel* new_SS7lnk(int ts) { return new TrunkChannel(ts, "SS7lnk"); }
AbstractChannel* new_SS7(int ts) { return new TrunkChannel(ts, "SS7"); }
AbstractChannel* new_TUNTAP(int ts) { return new TrunkChannel(ts, "TAP"); }
AbstractChannel* new_PRI(int ts) { return new TrunkChannel(ts, "PRI"); }
