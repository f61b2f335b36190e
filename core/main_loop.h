// The single poll() loop of the main thread: every channel, every channel
// event and every timer callback runs here.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>
#include <poll.h>

constexpr int MAIN_POLLFDS = 258;
constexpr int POLLFD_MSP = 256;     // the media processor's control socket
constexpr int POLLFD_QUEUE = 257;   // the event queue's wake-up pipe

// Entries 0..255 belong to the channel of the same number; only POLLIN is asked.
extern struct pollfd main_pollfds[MAIN_POLLFDS];

// The first c-ares initialisation succeeded: resolvers may be created.
extern bool ares_library_ready;

// Set by the signal handler; the loop ends when it is non-zero.
extern std::atomic<int> shutdown_requested;

void main_pollfds_init();

// SIGTERM and SIGINT: records the signal only. The loop logs it.
void shutdown_signal_handler(int sig);

// Logs a signal the handler recorded ("got signal %d", "shutting down...").
void main_loop_report_signal();

// Time to the next timer, capped at 300 ms (no timer: 300 ms).
int main_loop_timeout();

// processFd() of the channel at ts, if any; an exception it throws is logged
// and goes no further (the media-processor wait calls this too).
void channel_process_fd(int ts);

// One pass. False when an exception escaped it: the daemon must shut down.
bool main_loop_pass();

// Passes until shutdown is requested or a pass fails.
void main_loop_run();

// Filled in at start-up by the layers above (null: nothing to do): the
// reader of the media processor's control socket (entry 256), and the board
// link housekeeping that follows every conditional kick at the top of a pass.
void main_loop_set_msp_reader(void (*reader)());
void main_loop_set_link_housekeeping(void (*housekeeping)());

// The IP check's clock: the last time it ran (sched_get_time_ms).
extern uint32_t last_ip_check_ms;
