#include "platform/watchdog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <linux/watchdog.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/paths.h"

namespace {

class DeviceWatchdog : public Watchdog {
public:
    ~DeviceWatchdog() override
    {
        if (fd >= 0)
            ::close(fd);
    }
    int open() override
    {
        fd = ::open(platform_path("/dev/comcerto_wdt").c_str(), O_WRONLY | O_CLOEXEC);
        return fd >= 0 ? 0 : -1;
    }
    bool isOpen() const override { return fd >= 0; }
    int setTimeout(int seconds) override { return ioctl(fd, WDIOC_SETTIMEOUT, &seconds) < 0 ? -1 : 0; }
    int kick() override { return write(fd, "W", 1) == 1 ? 0 : -1; }
    int magicClose() override
    {
        if (fd < 0)
            return -1;
        int r = write(fd, "V", 1) == 1 ? 0 : -1;
        ::close(fd);
        fd = -1;
        return r;
    }
    int linkStatus(int port, int* status) override
    {
        // The board's driver reuses WDIOC_GETTEMP: the port goes in, the state word comes out.
        int v = port;
        if (ioctl(fd, WDIOC_GETTEMP, &v) < 0)
            return -1;
        *status = v;
        return 0;
    }

private:
    int fd = -1;
};

class SimWatchdog : public Watchdog {
public:
    explicit SimWatchdog(std::string f) : file(std::move(f))
    {
        if (const char* b = getenv("LINEGW_SIM_WATCHDOG_BUSY"))
            busy = atoi(b);
    }
    int open() override
    {
        if (busy > 0) {
            busy--;
            errno = EBUSY;
            return -1;
        }
        open_ = true;
        return record("open");
    }
    bool isOpen() const override { return open_; }
    int setTimeout(int seconds) override
    {
        if (!open_) {
            errno = EBADF;
            return -1;
        }
        return record("timeout " + std::to_string(seconds));
    }
    int kick() override { return open_ ? record("W") : (errno = EBADF, -1); }
    int magicClose() override
    {
        if (!open_) {
            errno = EBADF;
            return -1;
        }
        open_ = false;
        return record("V");
    }
    int linkStatus(int port, int* status) override
    {
        if (!open_) {
            errno = EBADF;
            return -1;
        }
        FILE* f = fopen((file + ".gemac" + std::to_string(port)).c_str(), "r");
        if (!f) {
            errno = ENOTTY;
            return -1;
        }
        int ok = fscanf(f, "%i", status);
        fclose(f);
        if (ok != 1) {
            errno = EINVAL;
            return -1;
        }
        return 0;
    }

private:
    int record(const std::string& op)
    {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        FILE* f = fopen(file.c_str(), "a");
        if (!f)
            return -1;
        fprintf(f, "%lld %s\n", (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000, op.c_str());
        return fclose(f) == 0 ? 0 : -1;
    }

    std::string file;
    int busy = 0;
    bool open_ = false;
};

}  // namespace

std::unique_ptr<Watchdog> watchdog_create()
{
    if (const char* sim = getenv("LINEGW_SIM_WATCHDOG"); sim && *sim)
        return std::make_unique<SimWatchdog>(sim);
    return std::make_unique<DeviceWatchdog>();
}
