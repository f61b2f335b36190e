// Stand-in for the redirecting channel until its class lands: it reports its
// type and ignores its events.
#include "core/stand_in_channel.h"
#include "services/service_channels.h"

AbstractChannel* new_DEFLECTOR(int ts) { return new StandInChannel(ts, "DEFLECTOR"); }
