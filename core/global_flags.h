// The global "flags" word of the settings: written on the main thread when
// the global settings arrive, read by any thread without a lock.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<uint32_t> globalFlags;
