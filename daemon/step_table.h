// The daemon's life as two ordered lists of named steps: start-up, whose last
// step is the main loop, and shutdown. A start-up step that fails logs its
// text and takes its exit path; a shutdown entered after a failure skips the
// steps before the one its path names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// Where a failed start-up step leads.
struct exit_path_t {
    enum kind_t { go_on, reboot, quit, shutdown } kind;
    int code;           // quit: the process's exit code
    const char* from;   // shutdown: the name of the first shutdown step that runs
};
constexpr exit_path_t GO_ON{exit_path_t::go_on, 0, nullptr};
// The board reboots (registrations saved first) while start-up goes on.
constexpr exit_path_t REBOOT{exit_path_t::reboot, 0, nullptr};
// Leaves at once, nothing torn down.
constexpr exit_path_t quit(int code) { return {exit_path_t::quit, code, nullptr}; }
constexpr exit_path_t shutdown_from(const char* step) { return {exit_path_t::shutdown, 0, step}; }

// What a failure logs. The text may hold one "%d": the step's error (its
// result negated). Null text: the step logs its own cause.
struct step_log_t {
    uint32_t family;
    int level;
    const char* text;
};
constexpr step_log_t LOGGED_BY_STEP{0, 0, nullptr};

// PLACEHOLDER: the subsystem is not built yet; run is its stand-in or null.
enum step_state_t { RUNS, PLACEHOLDER };

struct startup_step_t {
    const char* name;
    step_state_t state;
    int (*run)();   // 0, or negative on failure; null: nothing to do
    step_log_t failure;
    exit_path_t on_failure;
};

struct shutdown_step_t {
    const char* name;
    step_state_t state;
    void (*run)();   // null: nothing to do
};

struct step_lists_t {
    std::span<const startup_step_t> startup;
    std::span<const shutdown_step_t> shutdown;
    void (*reboot)();   // the action of REBOOT
    // Asked after every start-up step (null: never): true when a stop was
    // requested. The rest of start-up is then skipped, a failure takes no
    // road of its own (no reboot), and the whole shutdown list runs: its
    // steps leave alone what never started.
    bool (*stop_requested)() = nullptr;
    // The start-up step after which stop_requested is first asked (null:
    // after every step). A stop that comes earlier waits for it: asking
    // reports the stop, which needs the log open.
    const char* stops_from = nullptr;
};

// The shutdown step of that name, or -1.
constexpr int shutdown_step_index(std::span<const shutdown_step_t> list, std::string_view name)
{
    for (size_t i = 0; i < list.size(); i++)
        if (name == list[i].name)
            return int(i);
    return -1;
}

// The start-up step of that name, or -1.
constexpr int startup_step_index(std::span<const startup_step_t> list, std::string_view name)
{
    for (size_t i = 0; i < list.size(); i++)
        if (name == list[i].name)
            return int(i);
    return -1;
}

// True when every shutdown exit path names a shutdown step (checked at build time).
constexpr bool exit_paths_resolve(std::span<const startup_step_t> startup, std::span<const shutdown_step_t> shutdown)
{
    for (const startup_step_t& step : startup)
        if (step.on_failure.kind == exit_path_t::shutdown && shutdown_step_index(shutdown, step.on_failure.from) < 0)
            return false;
    return true;
}

// Start-up in order; after its last step the whole shutdown list, after a
// failure the road its exit path names. The process's exit code.
int run_steps(const step_lists_t& lists);
