#include "core/watchdog.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "core/log.h"
#include "core/main_loop.h"

std::atomic<bool> poller_alive{false};
std::atomic<bool> msp_ready{false};
std::atomic<bool> msp_alive{false};

namespace {

std::unique_ptr<Watchdog> device;  // main thread only

void default_sleep(int ms) { usleep(ms * 1000); }

}  // namespace

Watchdog* watchdog_device() { return device && device->isOpen() ? device.get() : nullptr; }

void watchdog_set_device(std::unique_ptr<Watchdog> d) { device = std::move(d); }

void watchdog_start(void (*sleep_ms)(int))
{
    if (!sleep_ms)
        sleep_ms = default_sleep;
    device = watchdog_create();
    // A stop ends the retries: eight seconds of a busy device would delay it.
    for (int attempt = 1; attempt <= 20 && !shutdown_requested; attempt++) {
        if (device->open() == 0)
            break;
        int err = errno;
        if (err != EBUSY || attempt == 20)
            LOG(LOGF_GENERAL, 3, "error opening /dev/comcerto_wdt: %s", strerror(err));
        sleep_ms(400);
    }
    int err = EBADF;
    if (device->isOpen()) {
        if (device->setTimeout(32) == 0)
            return;
        err = errno;
    }
    LOG(LOGF_GENERAL, 5, "ioctl(WDIOC_SETTIMEOUT): %s", strerror(err));
}

void watchdog_kick()
{
    if (Watchdog* w = watchdog_device())
        w->kick();
}

bool watchdog_conditional_kick()
{
    Watchdog* w = watchdog_device();
    if (!w || !poller_alive || (msp_ready && !msp_alive))
        return false;
    w->kick();
    poller_alive = false;
    msp_alive = false;
    return true;
}

void watchdog_stop()
{
    if (Watchdog* w = watchdog_device())
        w->magicClose();
    device.reset();
}
