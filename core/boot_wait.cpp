#include "core/boot_wait.h"

#include <cstdio>
#include <unistd.h>

#include "core/log.h"
#include "core/main_loop.h"
#include "platform/paths.h"

int boot_wait_read_proc_stat(long long* idle)
{
    FILE* f = fopen(platform_path("/proc/stat").c_str(), "r");
    if (!f)
        return -1;
    // 64-bit: the idle counter of a long-running many-core host passes 2^31.
    int n = fscanf(f, "cpu %*d %*d %*d %lld %*d %*d %*d %*d\n", idle);
    fclose(f);
    return n == 1 ? 0 : -2;
}

namespace {
void sleep_one_second() { sleep(1); }
}  // namespace

void boot_wait(boot_wait_reader_t reader, void (*sleep_s)())
{
    if (!reader)
        reader = boot_wait_read_proc_stat;
    if (!sleep_s)
        sleep_s = sleep_one_second;
    LOG(LOGF_GENERAL, 6, "Waiting for jffs2 scan finish and CPU idle time > 90%%...");
    bool have_previous = false;
    long long previous = 0;
    // A stop request ends the wait: start-up then goes no further.
    for (int i = 0; i < 60 && !shutdown_requested; i++) {
        long long idle = 0;
        int r = reader(&idle);
        if (r == -2) {
            LOG(LOGF_GENERAL, 3, "cannot read info from /proc/stat");
        } else if (r == 0) {
            if (have_previous) {
                // Ticks are 1/100 s, so the difference over one second is the idle percentage.
                long long diff = idle - previous;
                LOG(LOGF_GENERAL, 6, "CPU idle %lld%%", diff);
                if (diff > 90)
                    return;
            }
            previous = idle;
            have_previous = true;
        }
        sleep_s();
    }
}
