// platform/ sits below the daemon's log: its messages go through this seam,
// which the log fills in as the process starts (core/log.cpp).
#pragma once

#include <cstdarg>
#include <cstdint>

// The families every message names (bits 0x08, 0x20 and 0x40 are none).
enum : uint32_t {
    LOGF_GENERAL = 0x01,
    LOGF_BOARD = 0x02,
    LOGF_WEB = 0x04,
    LOGF_SYSTEM = 0x10,
    LOGF_MODULE = 0x80,
};

using platform_log_writer_t = void (*)(uint32_t family, int level, const char* fmt, va_list ap);
// Null: messages go straight to syslog, unfiltered.
void platform_log_set_writer(platform_log_writer_t writer);

void platform_log(uint32_t family, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// The same "%s:%d: " prefix as the daemon's LOG.
#define PLATFORM_LOG(family, level, fmt, ...) \
    platform_log((family), (level), "%s:%d: " fmt, __FILE_NAME__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
