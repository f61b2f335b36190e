#include "platform/log_seam.h"

#include <atomic>
#include <syslog.h>

namespace {
std::atomic<platform_log_writer_t> writer{nullptr};
}

void platform_log_set_writer(platform_log_writer_t w) { writer.store(w); }

void platform_log(uint32_t family, int level, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (platform_log_writer_t w = writer.load())
        w(family, level, fmt, ap);
    else
        vsyslog(level, fmt, ap);
    va_end(ap);
}
