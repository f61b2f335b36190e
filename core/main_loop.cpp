#include "core/main_loop.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <unistd.h>

#include "core/channel_table.h"
#include "core/dispatch.h"
#include "core/event_queue.h"
#include "core/ip_check.h"
#include "core/log.h"
#include "core/scheduler.h"
#include "core/watchdog.h"

struct pollfd main_pollfds[MAIN_POLLFDS];
std::atomic<int> shutdown_requested{0};
bool ares_library_ready = false;
uint32_t last_ip_check_ms = 0;

namespace {
// Lock-free atomics: the handler may run on any thread while the main thread reads.
std::atomic<int> pending_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<void (*)()> msp_reader{nullptr};
std::atomic<void (*)()> link_housekeeping{nullptr};
}  // namespace

void main_loop_set_msp_reader(void (*reader)()) { msp_reader.store(reader); }
void main_loop_set_link_housekeeping(void (*housekeeping)()) { link_housekeeping.store(housekeeping); }

void main_pollfds_init()
{
    for (auto& p : main_pollfds) {
        p.fd = -1;
        p.events = POLLIN;
        p.revents = 0;
    }
}

void shutdown_signal_handler(int sig)
{
    // Nothing but flags here: syslog is not safe in a signal handler.
    int saved_errno = errno;
    pending_signal = sig;
    if (sig == SIGINT || sig == SIGTERM)
        shutdown_requested = 1;
    errno = saved_errno;
}

void main_loop_report_signal()
{
    int sig = pending_signal.exchange(0);
    if (!sig)
        return;
    LOG(LOGF_GENERAL, 3, "got signal %d", sig);
    if (sig == SIGINT || sig == SIGTERM)
        LOG(LOGF_GENERAL, 6, "shutting down...");
}

int main_loop_timeout()
{
    uint32_t timeout = 0xFFFFFFFFu;
    if (sched_get_time_to_next_timer(main_scheduler, &timeout) != 0) {
        LOG(LOGF_GENERAL, 3, "sched_get_time_to_next_timer() failed");
        timeout = 0xFFFFFFFFu;
    }
    // Unsigned comparison: "no timer" (all bits set) waits 300 ms as well.
    return timeout > 300 ? 300 : int(timeout);
}

void channel_process_fd(int ts)
{
    try {
        if (AbstractChannel* ch = channel_table[ts])
            ch->processFd();
    } catch (const std::exception& e) {
        LOG(LOGF_SYSTEM, 3, "exception caught in processFd() channel %d: %s", ts + 1, e.what());
    } catch (...) {
        LOG(LOGF_SYSTEM, 3, "unknown exception caught in processFd() channel %d", ts + 1);
    }
}

namespace {

void msp_socket_readable()
{
    void (*reader)() = msp_reader.load();
    if (!reader)
        return;
    try {
        reader();
    } catch (const std::exception& e) {
        LOG(LOGF_SYSTEM, 3, "exception caught in comcerto_process_socket(): %s", e.what());
    } catch (...) {
        LOG(LOGF_SYSTEM, 3, "unknown exception caught in comcerto_process_socket()");
    }
}

void queue_readable()
{
    char buf[255];
    if (read(main_pollfds[POLLFD_QUEUE].fd, buf, sizeof buf) < 0)
        LOG(LOGF_GENERAL, 2, "reading interrupt descriptor failed (%s)", strerror(errno));
    while (channel_event_t* event = std_queue_dequeue(event_queue)) {
        watchdog_conditional_kick();
        MutexLock lock(channel_table_mutex);
        dispatchEvent(event);
    }
}

void pass()
{
    if (watchdog_conditional_kick())
        if (void (*housekeeping)() = link_housekeeping.load())
            housekeeping();

    uint32_t now = sched_get_time_ms();
    if (now - last_ip_check_ms > 1000) {
        ip_check();
        last_ip_check_ms = now;
    }

    if (sched_run(main_scheduler) != 0)
        LOG(LOGF_GENERAL, 3, "sched_run() failed");

    int timeout = main_loop_timeout();
    int n = poll(main_pollfds, MAIN_POLLFDS, timeout);
    // a child's end (SIGCHLD) interrupts the wait: only a new pass is due
    if (n < 0 && errno == EINTR)
        return;
    if (n < 0) {
        LOG(LOGF_GENERAL, 3, "std_queue_wait() failed");
        usleep(timeout * 1000);
        return;
    }
    if (n == 0)
        return;
    for (int i = 0; i < MAIN_POLLFDS; i++) {
        if (!(main_pollfds[i].revents & POLLIN))
            continue;
        if (i < CHANNEL_TABLE_SIZE)
            channel_process_fd(i);
        else if (i == POLLFD_MSP)
            msp_socket_readable();
        else
            queue_readable();
    }
}

}  // namespace

bool main_loop_pass()
{
    try {
        pass();
        return true;
    } catch (const std::exception& e) {
        LOG(LOGF_SYSTEM, 3, "exception caught: %s", e.what());
    } catch (...) {
        LOG(LOGF_SYSTEM, 3, "unknown exception caught");
    }
    return false;
}

void main_loop_run()
{
    for (;;) {
        main_loop_report_signal();
        if (shutdown_requested)
            return;
        if (!main_loop_pass())
            return;
    }
}
