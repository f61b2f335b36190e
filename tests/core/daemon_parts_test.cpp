// Start-up pieces of the daemon: options, boot wait, watchdog.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <string>
#include <vector>

#include "core/boot_wait.h"
#include "core/main_loop.h"
#include "core/options.h"
#include "core/watchdog.h"
#include "platform/paths.h"
#include "support/log_capture.h"

TEST(Options, LevelsAndFlags)
{
    struct Case {
        std::vector<const char*> args;
        int level;
        bool watchdog;
        const char* pid_file;
        const char* err = "";
    } cases[] = {
        {{}, 5, true, "/var/run/linegw.pid"},
        {{"-d"}, 7, true, "/var/run/linegw.pid"},
        {{"-l", "3", "-d"}, 3, true, "/var/run/linegw.pid"},
        {{"-d", "-l", "3"}, 3, true, "/var/run/linegw.pid"},
        {{"-l", "x"}, 5, true, "/var/run/linegw.pid", "invalid log level 'x', option ignored\n"},
        {{"-l", "x", "-d"}, 7, true, "/var/run/linegw.pid", "invalid log level 'x', option ignored\n"},
        {{"-l0"}, 0, true, "/var/run/linegw.pid"},
        {{"-l", "12"}, 12, true, "/var/run/linegw.pid"},  // no range check
        {{"-w", "-p", "/tmp/x.pid"}, 5, false, "/tmp/x.pid"},
        {{"-q", "-d"}, 7, true, "/var/run/linegw.pid", "use linegw -h for help\n"},  // goes on
    };
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("linegw")};
        for (const char* a : c.args)
            argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        log_level = 5;
        pid_file_name = "/var/run/linegw.pid";
        testing::internal::CaptureStderr();
        linegw_options o = options_parse(int(argv.size() - 1), argv.data());
        std::string err = testing::internal::GetCapturedStderr();
        std::string label = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(log_level.load(), c.level) << label;
        EXPECT_EQ(o.watchdog, c.watchdog) << label;
        EXPECT_EQ(pid_file_name, c.pid_file) << label;
        EXPECT_NE(err.find(c.err), std::string::npos) << label;
        if (!*c.err) {
            EXPECT_EQ(err, "") << label;
        }
    }
    log_level = 5;
    pid_file_name = "/var/run/linegw.pid";
}

TEST(Options, HelpPrintsUsageAndExits)
{
    char* argv[] = {const_cast<char*>("./linegw"), const_cast<char*>("-h"), nullptr};
    EXPECT_EXIT(options_parse(2, argv), testing::ExitedWithCode(0),
                "^Usage: ./linegw \\[-dhw\\] \\[-l loglevel\\] \\[-p pidfile\\]\n\t-h\t\tprint help\n"
                "\t-l loglevel\tlogging level \\(0 - min, 7 - max\\)\n\t-p filename\tPID file name\n"
                "\t-d\t\tdebug mode \\(same as -l7\\)\n\t-w\t\tdon't activate watchdog timer\n$");
}

namespace {

std::vector<int> readings;  // idle ticks per reading; -1 missing file, -2 no scan
size_t next_reading;
int sleeps;
long long total;
int scripted_reader(long long* idle)
{
    int v = next_reading < readings.size() ? readings[next_reading] : 0;
    next_reading++;
    if (v < 0)
        return v;
    total += v;
    *idle = total;
    return 0;
}
void count_sleep() { sleeps++; }

void run_boot_wait(std::vector<int> r)
{
    readings = std::move(r);
    next_reading = 0;
    sleeps = 0;
    total = 1000;
    boot_wait(scripted_reader, count_sleep);
}

}  // namespace

TEST(BootWait, EndsOnCalmCpuOrAfterSixtyReadings)
{
    struct Case {
        std::vector<int> readings;  // growth of the idle counter at each reading
        size_t reads;
        int sleeps;
        size_t idle_lines;
    } cases[] = {
        {{0, 85, 88, 95}, 4, 3, 3},     // about 3 s
        {{0, 91}, 2, 1, 1},
        {{0, 90, 90}, 60, 60, 59},      // 90 is not above 90; never calm: 60 s
        {{0, -2, 95}, 3, 2, 1},         // a bad line keeps the previous reading
        {{-1, -1, 0, 100}, 4, 3, 1},    // a missing file is skipped silently
    };
    for (const auto& c : cases) {
        LogCapture cap;
        run_boot_wait(c.readings);
        EXPECT_EQ(next_reading, c.reads);
        EXPECT_EQ(sleeps, c.sleeps);
        EXPECT_EQ(cap.count(": CPU idle "), c.idle_lines);
        EXPECT_EQ(cap.count("cannot read info from /proc/stat"),
                  size_t(std::count(c.readings.begin(), c.readings.end(), -2)));
    }
    LogCapture cap;
    run_boot_wait({0, 85, 88, 95});
    auto lines = cap.all();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find(": Waiting for jffs2 scan finish and CPU idle time > 90%..."), std::string::npos);
    EXPECT_NE(lines[3].find(": CPU idle 95%"), std::string::npos);
}

namespace {

struct FakeWatchdog : Watchdog {
    std::vector<std::string>* ops;
    int busy = 0;
    int fail_errno = 0;
    bool open_ = false;
    explicit FakeWatchdog(std::vector<std::string>* o) : ops(o) {}
    int open() override
    {
        ops->push_back("open");
        if (busy > 0 || fail_errno) {
            busy--;
            errno = fail_errno ? fail_errno : EBUSY;
            return -1;
        }
        open_ = true;
        return 0;
    }
    bool isOpen() const override { return open_; }
    int setTimeout(int s) override
    {
        ops->push_back("timeout " + std::to_string(s));
        return 0;
    }
    int kick() override
    {
        ops->push_back("W");
        return 0;
    }
    int magicClose() override
    {
        ops->push_back("V");
        open_ = false;
        return 0;
    }
    int linkStatus(int, int*) override { return -1; }
};

int pauses;
int stop_at_pause = -1;   // a stop is requested during this pause
void count_pause(int ms)
{
    EXPECT_EQ(ms, 400);
    if (++pauses == stop_at_pause)
        shutdown_requested = 1;
}

}  // namespace

TEST(Watchdog, ConditionalKick)
{
    std::vector<std::string> ops;
    auto dev = std::make_unique<FakeWatchdog>(&ops);
    dev->open_ = true;
    watchdog_set_device(std::move(dev));
    struct Case {
        bool poller, ready, alive;
        bool kicked;
    } cases[] = {
        {false, false, false, false},  // poller has not read the FPGA
        {true, false, false, true},    // media processor not started
        {true, true, false, false},    // started but no good status yet
        {true, true, true, true},
        {false, true, true, false},
    };
    for (const auto& c : cases) {
        poller_alive = c.poller;
        msp_ready = c.ready;
        msp_alive = c.alive;
        ops.clear();
        EXPECT_EQ(watchdog_conditional_kick(), c.kicked);
        EXPECT_EQ(ops.size(), c.kicked ? 1u : 0u);
        if (c.kicked) {
            EXPECT_FALSE(poller_alive);
            EXPECT_FALSE(msp_alive);
        }
    }
    msp_ready = false;
    ops.clear();
    watchdog_kick();  // plain: no condition
    watchdog_stop();
    EXPECT_EQ(ops, (std::vector<std::string>{"W", "V"}));
    poller_alive = true;
    EXPECT_FALSE(watchdog_conditional_kick());  // no device any more
    poller_alive = false;
}

TEST(Watchdog, OpenAttempts)
{
    // The simulated device is chosen by environment; BUSY makes its first opens fail.
    char tmpl[] = "/tmp/lgwdXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string file = std::string(tmpl) + "/wd";
    setenv("LINEGW_SIM_WATCHDOG", file.c_str(), 1);
    struct Case {
        int busy;
        int pauses;
        size_t errors;
        bool open;
        int stop_at = -1;
    } cases[] = {
        {0, 0, 0, true},
        {5, 5, 0, true},     // opened at the sixth attempt, about 2 s later
        {25, 20, 1, false},  // busy throughout: one message, after the last attempt
        {25, 3, 0, false, 3},   // a stop ends the retries
    };
    for (const auto& c : cases) {
        setenv("LINEGW_SIM_WATCHDOG_BUSY", std::to_string(c.busy).c_str(), 1);
        LogCapture cap;
        pauses = 0;
        stop_at_pause = c.stop_at;
        watchdog_start(count_pause);
        shutdown_requested = 0;
        EXPECT_EQ(pauses, c.pauses);
        EXPECT_EQ(cap.count("error opening /dev/comcerto_wdt: Device or resource busy"), c.errors);
        EXPECT_EQ(watchdog_device() != nullptr, c.open);
        EXPECT_EQ(cap.contains("ioctl(WDIOC_SETTIMEOUT): "), !c.open);
        watchdog_kick();
        watchdog_stop();
        unlink(file.c_str());
    }
    stop_at_pause = -1;
    unsetenv("LINEGW_SIM_WATCHDOG_BUSY");
    // The record of a normal life: open, timeout, kicks, "V".
    watchdog_start(count_pause);
    watchdog_kick();
    watchdog_stop();
    FILE* f = fopen(file.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::vector<std::string> ops;
    char line[80];
    while (fgets(line, sizeof line, f))
        ops.push_back(strchr(line, ' ') + 1);
    fclose(f);
    EXPECT_EQ(ops, (std::vector<std::string>{"open\n", "timeout 32\n", "W\n", "V\n"}));
    unsetenv("LINEGW_SIM_WATCHDOG");
    std::string cmd = std::string("rm -rf ") + tmpl;
    ASSERT_EQ(system(cmd.c_str()), 0);
}

TEST(Watchdog, MissingDeviceLogsEachAttempt)
{
    setenv("LINEGW_SIM_WATCHDOG", "", 1);  // empty: the real device path
    platform_set_root("/nonexistent");
    LogCapture cap;
    pauses = 0;
    watchdog_start(count_pause);
    EXPECT_EQ(pauses, 20);
    EXPECT_EQ(cap.count("error opening /dev/comcerto_wdt: No such file or directory"), 20u);
    EXPECT_TRUE(cap.contains("ioctl(WDIOC_SETTIMEOUT): "));
    EXPECT_EQ(watchdog_device(), nullptr);
    watchdog_stop();
    unsetenv("LINEGW_SIM_WATCHDOG");
    platform_set_root("");
}
