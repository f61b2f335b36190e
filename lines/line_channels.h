// Constructors of the line, serial-port and RTP-stream channels that channel
// creation makes by "type". A constructor may throw.
#pragma once

#include <string>

#include "core/abstract_channel.h"

AbstractChannel* new_FXSChannel(int ts);
AbstractChannel* new_FS01Channel(int ts);
AbstractChannel* new_FXOChannel(int ts);
AbstractChannel* new_FO01Channel(int ts);
AbstractChannel* new_DataChannel(int ts, const std::string& type);  // "R232", "R422", "R485"
AbstractChannel* new_RTPStream(int ts);
