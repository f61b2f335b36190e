// The daemon's one logging path: syslog, filtered by family and level.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "platform/log_seam.h"  // the families

extern uint32_t log_family_mask;
// The syslog settings write changes it while every thread logs.
extern std::atomic<int> log_level;

void log(uint32_t family, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void vlog(uint32_t family, int level, const char* fmt, va_list ap);

void log_open();   // syslog identity "linegw", LOG_PID | LOG_PERROR, LOG_DAEMON
void log_close();

// Tests capture what would go to syslog; null restores syslog.
using log_sink_t = void (*)(int level, const char* text);
void log_set_sink(log_sink_t sink);

// Every message starts with "%s:%d: " and the file and line that log it.
#define LOG(family, level, fmt, ...) \
    log((family), (level), "%s:%d: " fmt, __FILE_NAME__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
