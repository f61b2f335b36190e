// Stand-ins for the line, serial-port and RTP-stream channels until their
// classes land. A line is a SIP channel and a serial port a media-processor
// channel, as the classes will be: they keep their settings, so the ports'
// configuration reads back, but take no calls and drive no line. A class
// that lands takes its constructor out of this file.
#include <string>

#include "core/stand_in_channel.h"
#include "lines/line_channels.h"
#include "msp/sip_channel.h"

namespace {

class LineStandIn : public SIPChannel {
public:
    LineStandIn(int ts, const char* type_) : SIPChannel(ts), type(type_) {}
    const char* getTypeName() const override { return type; }
    const char* getStateName() const override { return "Idle"; }

private:
    const char* type;
};

class DataStandIn : public ComcertoChannel {
public:
    DataStandIn(int ts, std::string type_) : ComcertoChannel(ts), type(std::move(type_)) {}
    const char* getTypeName() const override { return type.c_str(); }

private:
    std::string type;
};

}  // namespace

AbstractChannel* new_FXSChannel(int ts) { return new LineStandIn(ts, "FXS"); }
AbstractChannel* new_FS01Channel(int ts) { return new LineStandIn(ts, "FS01"); }
AbstractChannel* new_FXOChannel(int ts) { return new LineStandIn(ts, "FXO"); }
AbstractChannel* new_FO01Channel(int ts) { return new LineStandIn(ts, "FO01"); }
AbstractChannel* new_DataChannel(int ts, const std::string& type) { return new DataStandIn(ts, type); }
AbstractChannel* new_RTPStream(int ts) { return new StandInChannel(ts, "RTP"); }
