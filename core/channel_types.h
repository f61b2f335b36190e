// Constructors of the channel classes that createChannel makes by "type".
// Each is defined by the folder of its class (lines, trunks, services), by a
// stand-in there until the class lands. A constructor may throw.
#pragma once

#include <cstddef>
#include <string>

#include "core/abstract_channel.h"

AbstractChannel* new_FXSChannel(int ts);
AbstractChannel* new_FS01Channel(int ts);
AbstractChannel* new_FXOChannel(int ts);
AbstractChannel* new_FO01Channel(int ts);
AbstractChannel* new_INDChannel(int ts);
AbstractChannel* new_R15Channel(int ts);
AbstractChannel* new_MFCR2Channel(int ts);
AbstractChannel* new_R2DtmfChannel(int ts);
AbstractChannel* new_PPSChannel(int ts);
AbstractChannel* new_ADASEChannel(int ts);
AbstractChannel* new_MBChannel(int ts);
AbstractChannel* new_EMChannel(int ts);
AbstractChannel* new_SLChannel(int ts);
AbstractChannel* new_DataChannel(int ts, const std::string& type);  // "R232", "R422", "R485"
AbstractChannel* new_DSChannel(int ts);
AbstractChannel* new_SS7lnk(int ts);
AbstractChannel* new_SS7(int ts);
AbstractChannel* new_TUNTAP(int ts);
AbstractChannel* new_RTPStream(int ts);
AbstractChannel* new_DEFLECTOR(int ts);
AbstractChannel* new_PRI(int ts);

// What a folder's constructors return until its real class lands: a channel
// that reports the type it was made for and ignores its events.
class StandInChannel : public AbstractChannel {
public:
    StandInChannel(int ts, std::string type_) : timeslot(ts), type(std::move(type_)) {}
    void processEvent(channel_event_t*) override {}
    const char* getTypeName() const override { return type.c_str(); }

private:
    int timeslot;
    std::string type;
};

// One row of the type table: the exact "type" text and how to make it.
struct channel_type_t {
    const char* type;
    AbstractChannel* (*make)(int ts, const std::string& type);
};

// The table createChannel searches, in order. Tests put their own in place.
extern const channel_type_t* channel_types;
extern size_t channel_types_count;
