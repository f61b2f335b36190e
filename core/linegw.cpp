// linegw: start-up in a fixed order, the main loop, shutdown in a fixed order.
#include <ares.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/boot_wait.h"
#include "core/channel_table.h"
#include "core/event_queue.h"
#include "core/ip_check.h"
#include "core/log.h"
#include "core/main_loop.h"
#include "core/main_thread.h"
#include "core/options.h"
#include "core/pid_file.h"
#include "core/scheduler.h"
#include "core/startup_steps.h"
#include "core/watchdog.h"
#include "platform/paths.h"

namespace {

void install_signal(int sig, void (*handler)(int))
{
    if (signal(sig, handler) == SIG_ERR)
        perror("signal");
}

// Shutdown from the step a start-up failure jumps to.
// Start: the whole list; QueueDown: from destroying the queue (failed
// poller or user-agent thread); Queue: from the c-ares and schedule clean-up;
// Final: only the very last steps.
enum class From { Start, QueueDown, Queue, Final };

void shutdown(From from, bool ua_started, pthread_t ua_thread, bool ares_second)
{
    if (from == From::Start) {
        watchdog_kick();
        for (int ts = 0; ts < CHANNEL_TABLE_SIZE; ts++) {
            MutexLock lock(channel_table_mutex);
            if (AbstractChannel* ch = channel_table[ts]) {
                channel_table[ts] = nullptr;
                delete ch;
            }
        }
        step_mediaproxy_stop();
        step_vcm_delete();
        step_comcerto_destroy();
        for (int i = 0; i < 5; i++) {
            sleep(1);
            watchdog_kick();
        }
        step_ssp_destroy_all();
        step_repro_stop();
        step_regsync_stop();
        step_ua_stop();
        if (ua_started)
            pthread_join(ua_thread, nullptr);
        watchdog_kick();
        step_stop_poller();
        watchdog_kick();
        step_comcerto_destroy();  // again: nothing when it is already down
        from = From::QueueDown;
    }
    if (from == From::QueueDown) {
        std_queue_destroy(&event_queue);
        from = From::Queue;
    }
    if (from == From::Queue) {
        if (ares_second)
            ares_library_cleanup();
        sched_destroy(&main_scheduler);
    }
    if (ares_library_ready)
        ares_library_cleanup();
    log_close();
    watchdog_stop();
}

}  // namespace

int main(int argc, char** argv)
{
    main_thread_set();
    install_signal(SIGTERM, shutdown_signal_handler);
    install_signal(SIGINT, shutdown_signal_handler);
    install_signal(SIGPIPE, SIG_IGN);

    linegw_options opts = options_parse(argc, argv);

    std::string pid_file = platform_path(pid_file_name);
    if (pid_file_names_running_instance(pid_file)) {
        fprintf(stderr, "linegw already running\n");
        return 1;
    }
    main_pid = getpid();
    if (!pid_file_write(pid_file, main_pid))
        return 0;

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    srand(unsigned(tv.tv_sec * tv.tv_usec));

    log_open();
    LOG(LOGF_GENERAL, 6, "starting linegw");
    LOG(LOGF_GENERAL, 6, "main thread PID is %d", main_pid);

    boot_wait();

    if (opts.watchdog)
        watchdog_start();

    int ares = ares_library_init(ARES_LIB_INIT_ALL);
    if (ares == ARES_SUCCESS)
        ares_library_ready = true;
    else
        LOG(LOGF_BOARD, 3, "c-ares library initialization error: %s", ares_strerror(ares));

    if (mkdir(platform_path("/tmp/ssl").c_str(), 0755) != 0 && errno != EEXIST)
        LOG(LOGF_GENERAL, 3, "error creating /tmp/ssl: %s", strerror(errno));

    pthread_t ua_thread{};
    if (sched_init() != 0) {
        LOG(LOGF_GENERAL, 2, "Cannot initialize sheduler");
        shutdown(From::Final, false, ua_thread, false);
        return 0;
    }
    if (sched_create(&main_scheduler, "main scheduler") != 0) {
        LOG(LOGF_GENERAL, 2, "Cannot create main sheduler");
        shutdown(From::Final, false, ua_thread, false);
        return 0;
    }

    main_pollfds_init();

    if (std_queue_create(&event_queue, 2048) != 0) {
        sched_destroy(&main_scheduler);
        shutdown(From::Final, false, ua_thread, false);
        return 0;
    }
    Interrupt* wakeup = nullptr;
    std_queue_get_interrupt(event_queue, &wakeup);
    main_pollfds[POLLFD_QUEUE].fd = wakeup->readFd();

    ares = ares_library_init(ARES_LIB_INIT_ALL);
    if (ares != ARES_SUCCESS)
        LOG(LOGF_GENERAL, 3, "c-ares library initialization error: %s", ares_strerror(ares));
    bool ares_second = ares == ARES_SUCCESS;

    if (step_if_up_eth0() < 0)
        LOG(LOGF_SYSTEM, 4, "error bringing interface UP");

    if (step_comcerto_init() < 0) {
        LOG(LOGF_SYSTEM, 2, "Comcerto init error!!! Rebooting...");
        step_poller_reboot();
    }

    step_regsync_start();
    step_clear_eth0_address();
    step_repro_start();

    if (step_start_poller() < 0) {
        LOG(LOGF_GENERAL, 3, "error starting poller thread");
        shutdown(From::QueueDown, false, ua_thread, ares_second);
        return 0;
    }

    step_mediaproxy_start();

    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err)
        LOG(LOGF_GENERAL, 3, "pthread_attr_init() error: %d", err);
    err = pthread_attr_setstacksize(&attr, 1048576);
    if (err)
        LOG(LOGF_GENERAL, 3, "pthread_attr_setstacksize() error: %d", err);
    err = pthread_create(&ua_thread, &attr, step_ua_thread, nullptr);
    pthread_attr_destroy(&attr);
    if (err) {
        LOG(LOGF_GENERAL, 3, "cannot create polling thread: error %d", err);
        step_comcerto_destroy();
        shutdown(From::QueueDown, false, ua_thread, ares_second);
        return 0;
    }

    watchdog_kick();
    while (!step_ua_is_ready())
        usleep(200000);
    watchdog_kick();

    step_ssp_create_all();
    step_vcm_create();

    last_ip_check_ms = sched_get_time_ms();
    ip_check_baseline();
    step_board_init();

    main_loop_run();

    shutdown(From::Start, true, ua_thread, ares_second);
    return 0;
}
