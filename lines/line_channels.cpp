// Stand-ins for the line, serial-port and RTP-stream channels until their
// classes land: each reports the type it was created for and ignores its
// events. A class that lands takes its constructor out of this file.
#include <string>

#include "core/stand_in_channel.h"
#include "lines/line_channels.h"

AbstractChannel* new_FXSChannel(int ts) { return new StandInChannel(ts, "FXS"); }
AbstractChannel* new_FS01Channel(int ts) { return new StandInChannel(ts, "FS01"); }
AbstractChannel* new_FXOChannel(int ts) { return new StandInChannel(ts, "FXO"); }
AbstractChannel* new_FO01Channel(int ts) { return new StandInChannel(ts, "FO01"); }
AbstractChannel* new_DataChannel(int ts, const std::string& type) { return new StandInChannel(ts, type); }
AbstractChannel* new_RTPStream(int ts) { return new StandInChannel(ts, "RTP"); }
