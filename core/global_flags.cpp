#include "core/global_flags.h"

std::atomic<uint32_t> globalFlags{0};
