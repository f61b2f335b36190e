// Stand-ins for the line, serial-port and RTP-stream channels until their
// classes land: each reports the type it was created for and ignores its
// events. A class that lands takes its constructor out of this file.
#include <string>

#include "core/channel_types.h"

namespace {

class LineChannel : public AbstractChannel {
public:
    LineChannel(int ts, std::string type) : timeslot(ts), type(std::move(type)) {}
    void processEvent(channel_event_t*) override {}
    const char* getTypeName() const override { return type.c_str(); }

private:
    int timeslot;
    std::string type;
};

}  // namespace

AbstractChannel* new_FXSChannel(int ts) { return new LineChannel(ts, "FXS"); }
AbstractChannel* new_FS01Channel(int ts) { return new LineChannel(ts, "FS01"); }
AbstractChannel* new_FXOChannel(int ts) { return new LineChannel(ts, "FXO"); }
AbstractChannel* new_FO01Channel(int ts) { return new LineChannel(ts, "FO01"); }
AbstractChannel* new_DataChannel(int ts, const std::string& type) { return new LineChannel(ts, type); }
AbstractChannel* new_RTPStream(int ts) { return new LineChannel(ts, "RTP"); }
