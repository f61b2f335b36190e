// Stand-in for the redirecting channel until its class lands: it reports its
// type and ignores its events.
#include "core/channel_types.h"

AbstractChannel* new_DEFLECTOR(int ts) { return new StandInChannel(ts, "DEFLECTOR"); }
