#include "platform/watchdog.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <linux/watchdog.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

#include "platform/log_seam.h"
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

// Like the board's device it resets when nobody kicks it for its time-out: the
// simulated reset logs why and kills the process at once, as a reset would.
class SimWatchdog : public Watchdog {
public:
    explicit SimWatchdog(std::string f) : file(std::move(f))
    {
        if (const char* b = getenv("LINEGW_SIM_WATCHDOG_BUSY"))
            busy = atoi(b);
        if (const char* t = getenv("LINEGW_SIM_WATCHDOG_TIMEOUT_MS"); t && atoi(t) > 0)
            forced_ms = atoi(t);
    }
    ~SimWatchdog() override
    {
        {
            std::lock_guard<std::mutex> lock(m);
            leaving = true;
        }
        wakeup.notify_all();
        if (timer.joinable())
            timer.join();
    }
    int open() override
    {
        if (busy > 0) {
            busy--;
            errno = EBUSY;
            return -1;
        }
        if (record("open") < 0)
            return -1;
        arm(forced_ms > 0 ? forced_ms : DEFAULT_TIMEOUT_MS);
        if (!timer.joinable())
            timer = std::thread([this] { watch(); });
        return 0;
    }
    bool isOpen() const override
    {
        std::lock_guard<std::mutex> lock(m);
        return armed;
    }
    int setTimeout(int seconds) override
    {
        if (!isOpen() || seconds <= 0) {
            errno = isOpen() ? EINVAL : EBADF;
            return -1;
        }
        arm(forced_ms > 0 ? forced_ms : seconds * 1000);
        return record("timeout " + std::to_string(seconds));
    }
    int kick() override
    {
        if (!isOpen()) {
            errno = EBADF;
            return -1;
        }
        arm(timeout_ms);
        return record("W");
    }
    int magicClose() override
    {
        {
            std::lock_guard<std::mutex> lock(m);
            if (!armed) {
                errno = EBADF;
                return -1;
            }
            armed = false;
        }
        wakeup.notify_all();
        return record("V");
    }
    int linkStatus(int port, int* status) override
    {
        if (!isOpen()) {
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
    // A real device counts from 60 s until it is told otherwise.
    static constexpr int DEFAULT_TIMEOUT_MS = 60000;
    using Clock = std::chrono::steady_clock;

    void arm(int ms)
    {
        {
            std::lock_guard<std::mutex> lock(m);
            armed = true;
            timeout_ms = ms;
            deadline = Clock::now() + std::chrono::milliseconds(ms);
        }
        wakeup.notify_all();
    }

    void watch()
    {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            if (leaving)
                return;
            if (!armed) {
                wakeup.wait(lock);
                continue;
            }
            if (Clock::now() < deadline) {
                wakeup.wait_until(lock, deadline);
                continue;
            }
            int ms = timeout_ms;
            lock.unlock();
            reset(ms);
        }
    }

    [[noreturn]] void reset(int ms)
    {
        record("reset");
        char line[128];
        int n = snprintf(line, sizeof line, "simulated watchdog: not kicked for %d ms, resetting the board\n", ms);
        PLATFORM_LOG(LOGF_GENERAL, 2, "simulated watchdog: not kicked for %d ms, resetting the board", ms);
        if (n > 0) {
            ssize_t w = write(STDERR_FILENO, line, static_cast<size_t>(n));
            (void)w;
        }
        kill(getpid(), SIGKILL);
        _exit(137);
    }

    int record(const std::string& op)
    {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        std::lock_guard<std::mutex> lock(file_mutex);
        FILE* f = fopen(file.c_str(), "a");
        if (!f)
            return -1;
        fprintf(f, "%lld %s\n", (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000, op.c_str());
        return fclose(f) == 0 ? 0 : -1;
    }

    std::string file;
    int busy = 0;
    int forced_ms = 0;          // tests shorten the time-out the daemon sets
    std::mutex file_mutex;      // the reset's line comes from the timer thread
    mutable std::mutex m;       // guards the fields below
    std::condition_variable wakeup;
    bool armed = false;
    bool leaving = false;
    int timeout_ms = DEFAULT_TIMEOUT_MS;
    Clock::time_point deadline;
    std::thread timer;
};

}  // namespace

std::unique_ptr<Watchdog> watchdog_create()
{
    if (const char* sim = getenv("LINEGW_SIM_WATCHDOG"); sim && *sim)
        return std::make_unique<SimWatchdog>(sim);
    return std::make_unique<DeviceWatchdog>();
}
