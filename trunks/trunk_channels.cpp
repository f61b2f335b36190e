// Stand-ins for the trunk channels until their classes land: each reports
// the type it was created for and ignores its events. A class that lands
// takes its constructor out of this file.
#include <string>

#include "core/stand_in_channel.h"
#include "trunks/trunk_channels.h"

AbstractChannel* new_INDChannel(int ts) { return new StandInChannel(ts, "1IND"); }
AbstractChannel* new_R15Channel(int ts) { return new StandInChannel(ts, "R1.5"); }
AbstractChannel* new_MFCR2Channel(int ts) { return new StandInChannel(ts, "R2"); }
AbstractChannel* new_R2DtmfChannel(int ts) { return new StandInChannel(ts, "R2DTMF"); }
AbstractChannel* new_PPSChannel(int ts) { return new StandInChannel(ts, "PPS"); }
AbstractChannel* new_ADASEChannel(int ts) { return new StandInChannel(ts, "\xD0\x90\xD0\x94\xD0\x90\xD0\xA1\xD0\xAD"); }
AbstractChannel* new_MBChannel(int ts) { return new StandInChannel(ts, "\xD0\x9C\xD0\x91"); }
AbstractChannel* new_EMChannel(int ts) { return new StandInChannel(ts, "EM"); }
AbstractChannel* new_SLChannel(int ts) { return new StandInChannel(ts, "SL"); }
AbstractChannel* new_DSChannel(int ts) { return new StandInChannel(ts, "DS"); }
AbstractChannel* new_SS7lnk(int ts) { return new StandInChannel(ts, "SS7lnk"); }
AbstractChannel* new_SS7(int ts) { return new StandInChannel(ts, "SS7"); }
AbstractChannel* new_TUNTAP(int ts) { return new StandInChannel(ts, "TAP"); }
AbstractChannel* new_PRI(int ts) { return new StandInChannel(ts, "PRI"); }
