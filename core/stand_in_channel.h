// What a folder's channel constructors return until the real class lands: a
// channel that reports the type it was made for and ignores its events.
#pragma once

#include <string>
#include <utility>

#include "core/abstract_channel.h"

class StandInChannel : public AbstractChannel {
public:
    StandInChannel(int /*timeslot*/, std::string type_) : type(std::move(type_)) {}
    void processEvent(channel_event_t*) override {}
    const char* getTypeName() const override { return type.c_str(); }

private:
    std::string type;
};
