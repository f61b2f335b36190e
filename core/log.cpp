#include "core/log.h"

#include <atomic>
#include <cstdio>
#include <syslog.h>

uint32_t log_family_mask = 0xFFFFFFFFu;
std::atomic<int> log_level{LOG_NOTICE};

namespace {
std::atomic<log_sink_t> sink{nullptr};

// platform/ logs through its seam; whatever links this log hears it too.
[[maybe_unused]] const bool platform_log_installed = (platform_log_set_writer(vlog), true);
}  // namespace

void log_set_sink(log_sink_t s) { sink.store(s); }

void vlog(uint32_t family, int level, const char* fmt, va_list ap)
{
    if (!(family & log_family_mask) || log_level.load(std::memory_order_relaxed) < level)
        return;
    if (log_sink_t s = sink.load()) {
        char text[2048];
        vsnprintf(text, sizeof text, fmt, ap);
        s(level, text);
        return;
    }
    vsyslog(level, fmt, ap);
}

void log(uint32_t family, int level, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vlog(family, level, fmt, ap);
    va_end(ap);
}

void log_open() { openlog("linegw", LOG_PID | LOG_PERROR, LOG_DAEMON); }

void log_close() { closelog(); }
