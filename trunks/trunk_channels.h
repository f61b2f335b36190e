// Constructors of the trunk channels that channel creation makes by "type".
// A constructor may throw.
#pragma once

#include "core/abstract_channel.h"

AbstractChannel* new_INDChannel(int ts);
AbstractChannel* new_R15Channel(int ts);
AbstractChannel* new_MFCR2Channel(int ts);
AbstractChannel* new_R2DtmfChannel(int ts);
AbstractChannel* new_PPSChannel(int ts);
AbstractChannel* new_ADASEChannel(int ts);
AbstractChannel* new_MBChannel(int ts);
AbstractChannel* new_EMChannel(int ts);
AbstractChannel* new_SLChannel(int ts);
AbstractChannel* new_DSChannel(int ts);
AbstractChannel* new_SS7lnk(int ts);
AbstractChannel* new_SS7(int ts);
AbstractChannel* new_TUNTAP(int ts);
AbstractChannel* new_PRI(int ts);   // one timeslot of a whole E1 span
