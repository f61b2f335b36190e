// Constructors of the service channels that channel creation makes by "type".
// A constructor may throw.
#pragma once

#include "core/abstract_channel.h"

AbstractChannel* new_DEFLECTOR(int ts);
