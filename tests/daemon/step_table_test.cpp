// The step runner over probe lists: which steps run, in what order, and the
// road each kind of failure takes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/step_table.h"
#include "support/log_capture.h"

namespace {

std::vector<std::string> trace;
int failing = -1;   // index of the start-up step that fails, with -7

template <int N>
int up()
{
    trace.push_back("up" + std::to_string(N));
    return N == failing ? -7 : 0;
}
template <int N>
void down()
{
    trace.push_back("down" + std::to_string(N));
}
void reboot() { trace.push_back("reboot"); }

struct road_t {
    exit_path_t path;
    int exit_code;
    const char* trace;
};

}  // namespace

TEST(StepTable, EachExitPath)
{
    const road_t roads[] = {
        {GO_ON, 0, "up0 up1 up2 down0 down1 down2"},
        {REBOOT, 0, "up0 up1 reboot up2 down0 down1 down2"},
        {quit(1), 1, "up0 up1"},
        {shutdown_from("second"), 0, "up0 up1 down1 down2"},
        {shutdown_from("last"), 0, "up0 up1 down2"},
    };
    for (const road_t& road : roads) {
        const startup_step_t startup[] = {
            {"zero", RUNS, up<0>, LOGGED_BY_STEP, GO_ON},
            {"one", RUNS, up<1>, {LOGF_GENERAL, 3, "step one failed: error %d"}, road.path},
            {"placeholder", PLACEHOLDER, nullptr, {LOGF_GENERAL, 3, "never"}, quit(5)},
            {"two", RUNS, up<2>, LOGGED_BY_STEP, GO_ON},
        };
        const shutdown_step_t shutdown[] = {
            {"first", RUNS, down<0>},
            {"placeholder", PLACEHOLDER, nullptr},
            {"second", RUNS, down<1>},
            {"last", RUNS, down<2>},
        };
        trace.clear();
        failing = 1;
        LogCapture cap;
        EXPECT_EQ(run_steps({startup, shutdown, reboot}), road.exit_code) << road.trace;
        std::string seen;
        for (const auto& t : trace)
            seen += (seen.empty() ? "" : " ") + t;
        EXPECT_EQ(seen, road.trace);
        EXPECT_EQ(cap.count("step one failed: error 7"), 1u) << road.trace;
        EXPECT_FALSE(cap.contains("never"));
    }
}

TEST(StepTable, ExitPathsMustNameAShutdownStep)
{
    const shutdown_step_t shutdown[] = {{"queue", RUNS, nullptr}, {"log", RUNS, nullptr}};
    const startup_step_t good[] = {{"a", RUNS, nullptr, LOGGED_BY_STEP, shutdown_from("log")}};
    const startup_step_t bad[] = {{"a", RUNS, nullptr, LOGGED_BY_STEP, shutdown_from("logs")}};
    EXPECT_TRUE(exit_paths_resolve(good, shutdown));
    EXPECT_FALSE(exit_paths_resolve(bad, shutdown));
    EXPECT_EQ(shutdown_step_index(shutdown, "log"), 1);
}

namespace {
bool stop = false;
int stop_result = 0;
bool stop_requested() { return stop; }
// A signal that arrives while the step runs (the boot wait, a silent media
// processor); the step may then fail because of it.
int stopped_while_running()
{
    trace.push_back("stop");
    stop = true;
    return stop_result;
}
}  // namespace

// A stop during start-up skips the rest of start-up and runs the whole
// shutdown; the failure it causes reboots nothing; leaving at once keeps its code.
TEST(StepTable, StopRequestDuringStartUp)
{
    const struct {
        int result;
        exit_path_t path;
        int exit_code;
        const char* trace;
    } cases[] = {
        {0, GO_ON, 0, "up0 stop down0 down1 down2"},
        {-1, REBOOT, 0, "up0 stop down0 down1 down2"},
        {-1, shutdown_from("last"), 0, "up0 stop down0 down1 down2"},
        {-1, quit(1), 1, "up0 stop"},
    };
    for (const auto& c : cases) {
        const startup_step_t startup[] = {
            {"zero", RUNS, up<0>, LOGGED_BY_STEP, GO_ON},
            {"stopping", RUNS, stopped_while_running, {LOGF_GENERAL, 2, "init error"}, c.path},
            {"next", RUNS, up<2>, LOGGED_BY_STEP, REBOOT},
        };
        const shutdown_step_t shutdown[] = {
            {"first", RUNS, down<0>}, {"second", RUNS, down<1>}, {"last", RUNS, down<2>}};
        trace.clear();
        failing = -1;
        stop = false;
        stop_result = c.result;
        LogCapture cap;
        EXPECT_EQ(run_steps({startup, shutdown, reboot, stop_requested}), c.exit_code) << c.trace;
        std::string seen;
        for (const auto& t : trace)
            seen += (seen.empty() ? "" : " ") + t;
        EXPECT_EQ(seen, c.trace);
        // After a stop only leaving at once reports the step's failure.
        EXPECT_EQ(cap.contains("init error"), c.path.kind == exit_path_t::quit) << c.trace;
    }
    stop = false;
}

// A stop that comes before the step named to ask from (the log) waits for
// it: the steps up to it run, the later ones do not.
TEST(StepTable, StopBeforeTheStepToAskFromWaitsForIt)
{
    const startup_step_t startup[] = {
        {"PID file", RUNS, stopped_while_running, LOGGED_BY_STEP, quit(1)},
        {"seed", RUNS, up<1>, LOGGED_BY_STEP, GO_ON},
        {"log", RUNS, up<2>, LOGGED_BY_STEP, GO_ON},
        {"main loop", RUNS, up<3>, LOGGED_BY_STEP, GO_ON},
    };
    const shutdown_step_t shutdown[] = {{"last", RUNS, down<0>}};
    for (const char* from : {"log", "main loop"}) {
        trace.clear();
        failing = -1;
        stop = false;
        stop_result = 0;
        EXPECT_EQ(run_steps({startup, shutdown, reboot, stop_requested, from}), 0);
        std::string seen;
        for (const auto& t : trace)
            seen += (seen.empty() ? "" : " ") + t;
        EXPECT_EQ(seen, std::string(from) == "log" ? "stop up1 up2 down0" : "stop up1 up2 up3 down0") << from;
    }
    stop = false;
}
