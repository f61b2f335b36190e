// Stand-ins for channel classes whose subsystems have not landed yet: each
// keeps its timeslot and type name and ignores its events. A subsystem that
// lands removes its lines here and defines the constructor with its class.
#include <string>

#include "core/channel_types.h"

namespace {

class StubChannel : public AbstractChannel {
public:
    StubChannel(int ts, std::string type) : timeslot(ts), type(std::move(type)) {}
    void processEvent(channel_event_t*) override {}
    const char* getTypeName() const override { return type.c_str(); }

private:
    int timeslot;
    std::string type;
};

}  // namespace

AbstractChannel* new_FXSChannel(int ts) { return new StubChannel(ts, "FXS"); }
AbstractChannel* new_FS01Channel(int ts) { return new StubChannel(ts, "FS01"); }
AbstractChannel* new_FXOChannel(int ts) { return new StubChannel(ts, "FXO"); }
AbstractChannel* new_FO01Channel(int ts) { return new StubChannel(ts, "FO01"); }
AbstractChannel* new_INDChannel(int ts) { return new StubChannel(ts, "1IND"); }
AbstractChannel* new_R15Channel(int ts) { return new StubChannel(ts, "R1.5"); }
AbstractChannel* new_MFCR2Channel(int ts) { return new StubChannel(ts, "R2"); }
AbstractChannel* new_R2DtmfChannel(int ts) { return new StubChannel(ts, "R2DTMF"); }
AbstractChannel* new_PPSChannel(int ts) { return new StubChannel(ts, "PPS"); }
AbstractChannel* new_ADASEChannel(int ts) { return new StubChannel(ts, "\xD0\x90\xD0\x94\xD0\x90\xD0\xA1\xD0\xAD"); }
AbstractChannel* new_MBChannel(int ts) { return new StubChannel(ts, "\xD0\x9C\xD0\x91"); }
AbstractChannel* new_EMChannel(int ts) { return new StubChannel(ts, "EM"); }
AbstractChannel* new_SLChannel(int ts) { return new StubChannel(ts, "SL"); }
AbstractChannel* new_DataChannel(int ts, const std::string& type) { return new StubChannel(ts, type); }
AbstractChannel* new_DSChannel(int ts) { return new StubChannel(ts, "DS"); }
AbstractChannel* new_SS7lnk(int ts) { return new StubChannel(ts, "SS7lnk"); }
AbstractChannel* new_SS7(int ts) { return new StubChannel(ts, "SS7"); }
AbstractChannel* new_TUNTAP(int ts) { return new StubChannel(ts, "TAP"); }
AbstractChannel* new_RTPStream(int ts) { return new StubChannel(ts, "RTP"); }
AbstractChannel* new_DEFLECTOR(int ts) { return new StubChannel(ts, "DEFLECTOR"); }
AbstractChannel* new_PRI(int ts) { return new StubChannel(ts, "PRI"); }
