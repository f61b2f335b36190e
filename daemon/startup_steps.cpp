// The life of linegw as two ordered lists of named steps. Each subsystem owns
// its step; adding one is one row here. A PLACEHOLDER row is a subsystem that
// is not built yet: its stand-in (or nothing) runs in its place, and its
// failure text is the one it will log.
#include "daemon/startup_steps.h"

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

#include "core/board_link.h"
#include "core/boot_wait.h"
#include "core/channel_table.h"
#include "core/dispatch.h"
#include "core/event_queue.h"
#include "core/ip_check.h"
#include "core/log.h"
#include "core/main_loop.h"
#include "core/main_thread.h"
#include "core/netif.h"
#include "core/options.h"
#include "core/pid_file.h"
#include "core/scheduler.h"
#include "core/settle_pause.h"
#include "core/watchdog.h"
#include "daemon/create_channel.h"
#include "daemon/management_hooks.h"
#include "mgmt/media_proxy.h"
#include "mgmt/poller.h"
#include "msp/comcerto_device.h"
#include "msp/msp_transaction.h"
#include "msp/sip_channel.h"
#include "ua/user_agent.h"
#include "platform/paths.h"
#include "services/virtual_channel_manager.h"
#include "proxy/repro_api.h"
#include "proxy/repro_runner.h"
#include "proxy/reg_sync_thread.h"
#include "ua/user_directory.h"

namespace {

// The process's own state, main thread only.
int arg_count = 0;
char** arg_values = nullptr;
linegw_options options;
bool ares_second = false;   // the second c-ares initialisation succeeded
pthread_t ua_thread_id{};
bool ua_started = false;

void install_signal(int sig, void (*handler)(int))
{
    if (signal(sig, handler) == SIG_ERR)
        perror("signal");
}

int signals()
{
    install_signal(SIGTERM, shutdown_signal_handler);
    install_signal(SIGINT, shutdown_signal_handler);
    install_signal(SIGPIPE, SIG_IGN);
    // Nobody stops the daemon with these: left at their default they would end
    // it without its shutdown, leaving the watchdog and the media processor running.
    install_signal(SIGHUP, SIG_IGN);
    install_signal(SIGUSR1, SIG_IGN);
    install_signal(SIGUSR2, SIG_IGN);
    return 0;
}

int single_instance()
{
    if (!pid_file_names_running_instance(platform_path(pid_file_name)))
        return 0;
    fprintf(stderr, "linegw already running\n");
    return -1;
}

int write_pid_file()
{
    main_pid = getpid();
    return pid_file_write(platform_path(pid_file_name), main_pid);
}

int seed_random()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    srand(unsigned(tv.tv_sec * tv.tv_usec));
    return 0;
}

int open_log()
{
    log_open();
    LOG(LOGF_GENERAL, 6, "starting linegw");
    LOG(LOGF_GENERAL, 6, "main thread PID is %d", main_pid);
    return 0;
}

int ares_first()
{
    int ares = ares_library_init(ARES_LIB_INIT_ALL);
    if (ares == ARES_SUCCESS) {
        ares_library_ready = true;
        return 0;
    }
    LOG(LOGF_BOARD, 3, "c-ares library initialization error: %s", ares_strerror(ares));
    return -1;
}

int ares_again()
{
    int ares = ares_library_init(ARES_LIB_INIT_ALL);
    ares_second = ares == ARES_SUCCESS;
    if (ares_second)
        return 0;
    LOG(LOGF_GENERAL, 3, "c-ares library initialization error: %s", ares_strerror(ares));
    return -1;
}

int ssl_directory()
{
    if (mkdir(platform_path("/tmp/ssl").c_str(), 0755) == 0 || errno == EEXIST)
        return 0;
    LOG(LOGF_GENERAL, 3, "error creating /tmp/ssl: %s", strerror(errno));
    return -1;
}

int create_event_queue()
{
    if (std_queue_create(&event_queue, 2048) != 0)
        return -1;
    Interrupt* wakeup = nullptr;
    std_queue_get_interrupt(event_queue, &wakeup);
    main_pollfds[POLLFD_QUEUE].fd = wakeup->readFd();
    return 0;
}

int start_ua_thread()
{
    // The user agent knows a channel's account only through this reader.
    sip_channel_install_account_reader();
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err)
        LOG(LOGF_GENERAL, 3, "pthread_attr_init() error: %d", err);
    err = pthread_attr_setstacksize(&attr, 1048576);
    if (err)
        LOG(LOGF_GENERAL, 3, "pthread_attr_setstacksize() error: %d", err);
    err = pthread_create(&ua_thread_id, &attr, ua_thread, nullptr);
    pthread_attr_destroy(&attr);
    ua_started = err == 0;
    return -err;
}

// No limit and no kicks meanwhile, as the watchdog expects; only a stop ends
// the wait for a layer that never comes up.
int wait_for_ua()
{
    watchdog_kick();
    while (!ua_is_ready() && !shutdown_requested)
        usleep(200000);
    watchdog_kick();
    return 0;
}

int ip_baseline()
{
    last_ip_check_ms = sched_get_time_ms();
    ip_check_baseline();
    return 0;
}

int start_reg_sync()
{
    regSyncThread = new RegSyncThread;
    regSyncThread->start(9071);
    return 0;
}

// After the registration-sync thread made the loop's epoll instance.
int start_media_proxy()
{
    mediaProxy = new MediaProxy;
    mediaProxy->start();
    return 0;
}

void stop_media_proxy()
{
    if (!mediaProxy)
        return;
    mediaProxy->stop();
    delete mediaProxy;
    mediaProxy = nullptr;
}

void stop_reg_sync()
{
    if (!regSyncThread)
        return;
    regSyncThread->stop();
    delete regSyncThread;
    regSyncThread = nullptr;
}

void delete_manager()
{
    delete virtualChannelManager;
    virtualChannelManager = nullptr;
}

void delete_channels()
{
    for (int ts = 0; ts < CHANNEL_TABLE_SIZE; ts++) {
        MutexLock lock(channel_table_mutex);
        if (AbstractChannel* ch = channel_table[ts]) {
            channel_table[ts] = nullptr;
            delete ch;
        }
    }
}

void kicks_five_seconds()
{
    for (int i = 0; i < 5; i++) {
        settle_pause_ms(1000);
        watchdog_kick();
    }
}

void stop_ua()
{
    ua_stop();
    if (ua_started)
        pthread_join(ua_thread_id, nullptr);
    ua_started = false;
}

// Every thread that posts has stopped; what the main loop did not take is dropped.
void destroy_event_queue()
{
    if (!event_queue)   // a stop came first
        return;
    while (channel_event_t* event = std_queue_dequeue(event_queue))
        delete event;
    std_queue_destroy(&event_queue);
}

void schedule_down()
{
    if (ares_second)
        ares_library_cleanup();
    if (main_scheduler)   // absent when a stop came first
        sched_destroy(&main_scheduler);
}

// Between start-up steps: a stop request is logged as the main loop would.
bool stop_requested()
{
    main_loop_report_signal();
    return shutdown_requested != 0;
}

void final_steps()
{
    if (ares_library_ready)
        ares_library_cleanup();
    log_close();
    watchdog_stop();
}

constexpr startup_step_t startup_list[] = {
    // name                      state        step
    //     failure: what it logs                                              exit path
    {"hooks", RUNS, [] { daemon_install_hooks(); return 0; },
         LOGGED_BY_STEP, GO_ON},
    {"main thread", RUNS, [] { main_thread_set(); return 0; },
         LOGGED_BY_STEP, GO_ON},
    {"signal handlers", RUNS, signals,
         LOGGED_BY_STEP, GO_ON},   // perror("signal")
    {"options", RUNS, [] { options = options_parse(arg_count, arg_values); return 0; },
         LOGGED_BY_STEP, GO_ON},
    {"single instance", RUNS, single_instance,
         LOGGED_BY_STEP, quit(1)},   // "linegw already running" on stderr
    {"PID file", RUNS, write_pid_file,
         LOGGED_BY_STEP, quit(1)},   // why on stderr; a daemon without its PID file is a failure
    {"random seed", RUNS, seed_random,
         LOGGED_BY_STEP, GO_ON},
    {"log", RUNS, open_log,
         LOGGED_BY_STEP, GO_ON},
    {"boot wait", RUNS, [] { boot_wait(); return 0; },
         LOGGED_BY_STEP, GO_ON},
    {"watchdog", RUNS, [] { if (options.watchdog) watchdog_start(); return 0; },
         LOGGED_BY_STEP, GO_ON},
    {"c-ares", RUNS, ares_first,
         LOGGED_BY_STEP, GO_ON},   // "c-ares library initialization error: %s"
    {"/tmp/ssl", RUNS, ssl_directory,
         LOGGED_BY_STEP, GO_ON},   // "error creating /tmp/ssl: %s"
    {"scheduler", RUNS, [] { return sched_init() == 0 ? 0 : -1; },
         {LOGF_GENERAL, 2, "Cannot initialize sheduler"}, shutdown_from("log and watchdog")},
    {"main scheduler", RUNS, [] { return sched_create(&main_scheduler, "main scheduler") == 0 ? 0 : -1; },
         {LOGF_GENERAL, 2, "Cannot create main sheduler"}, shutdown_from("log and watchdog")},
    {"poll set", RUNS, [] { main_pollfds_init(); return 0; },
         LOGGED_BY_STEP, GO_ON},
    {"event queue", RUNS, create_event_queue,
         LOGGED_BY_STEP, shutdown_from("schedule")},
    {"c-ares again", RUNS, ares_again,
         LOGGED_BY_STEP, GO_ON},   // "c-ares library initialization error: %s"
    {"eth0 up", RUNS, [] { return if_up("eth0") < 0 ? -1 : 0; },
         {LOGF_SYSTEM, 4, "error bringing interface UP"}, GO_ON},
    {"media processor", RUNS, [] { return comcerto_init() < 0 ? -1 : 0; },
         {LOGF_SYSTEM, 2, "Comcerto init error!!! Rebooting..."}, REBOOT},
    {"registration sync", RUNS, start_reg_sync,   // without its thread the daemon runs on
         LOGGED_BY_STEP, GO_ON},
    {"eth0 address cleared", RUNS, [] { set_if_addr("eth0", in_addr{INADDR_ANY}); return 0; },
         LOGGED_BY_STEP, GO_ON},
    {"proxy", RUNS, [] { repro_start(); return 0; },   // result ignored: start-up goes on without a proxy
         LOGGED_BY_STEP, GO_ON},
    // The poller thread also brings up the configuration, the management link,
    // the network settings, the pinger, and the web server of a standalone board.
    {"poller thread", RUNS, [] { return start_poller() ? 0 : -1; },
         {LOGF_GENERAL, 3, "error starting poller thread"}, shutdown_from("event queue")},
    {"media proxy", RUNS, start_media_proxy,   // result ignored: the daemon runs on without the relay
         LOGGED_BY_STEP, GO_ON},
    {"user-agent thread", RUNS, start_ua_thread,   // 1 MiB stack
         {LOGF_GENERAL, 3, "cannot create polling thread: error %d"}, shutdown_from("media processor again")},
    {"user agent ready", RUNS, wait_for_ua,
         LOGGED_BY_STEP, GO_ON},
    {"trunks", PLACEHOLDER, nullptr,   // ssp_create_all, result ignored
         LOGGED_BY_STEP, GO_ON},
    {"virtual channel manager", RUNS, [] { virtualChannelManager = new VirtualChannelManager; return 0; },
         LOGGED_BY_STEP, GO_ON},
    {"IP baseline", RUNS, ip_baseline,
         LOGGED_BY_STEP, GO_ON},
    {"board housekeeping", RUNS, [] { board_link_init(); return 0; },   // PoE controller, board PHY id
         LOGGED_BY_STEP, GO_ON},
    {"main loop", RUNS, [] { main_loop_run(); return 0; },
         LOGGED_BY_STEP, GO_ON},
};

constexpr shutdown_step_t shutdown_list[] = {
    {"kick", RUNS, watchdog_kick},
    {"channels", RUNS, delete_channels},
    {"media proxy", RUNS, stop_media_proxy},
    {"virtual channel manager", RUNS, delete_manager},
    {"media processor", RUNS, comcerto_destroy},
    {"five seconds of kicks", RUNS, kicks_five_seconds},
    {"trunks", PLACEHOLDER, nullptr},                   // ssp_destroy_all
    {"proxy", RUNS, [] { repro_stop(); }},
    {"registration sync", RUNS, stop_reg_sync},
    {"user agent", RUNS, stop_ua},
    {"kick after user agent", RUNS, watchdog_kick},
    {"poller thread", RUNS, stop_poller},
    {"kick after poller", RUNS, watchdog_kick},
    {"media processor again", RUNS, comcerto_destroy},  // nothing when it is already down
    {"event queue", RUNS, destroy_event_queue},
    {"schedule", RUNS, schedule_down},                  // with the second c-ares
    {"log and watchdog", RUNS, final_steps},            // with the first c-ares
};

static_assert(exit_paths_resolve(startup_list, shutdown_list), "an exit path names no shutdown step");

// A stop before the log is open would be reported to nobody (a supervisor
// may signal as soon as the PID file is there): it waits for the log.
constexpr const char* stops_from = "log";
static_assert(startup_step_index(startup_list, stops_from) > startup_step_index(startup_list, "PID file"));

}  // namespace

void daemon_install_hooks()
{
    dispatch_set_channel_maker(createChannel);
    daemon_install_management_link();
    main_loop_set_msp_reader(comcerto_process_socket);
    board_link_set_media({MDOI_read, set_gemac_mode});
    main_loop_set_link_housekeeping(board_link_housekeeping);   // SFP, GEMAC0, GEMAC1
    ua_set_user_store({repro_add_user, repro_update_user, repro_erase_user});
    ip_check_set_steps({
        .proxy_remove_domain = repro_remove_domain,
        .proxy_add_domain = repro_add_domain,
        .proxy_ip_changed = repro_ip_changed,
        .msp_set_ip6 = [](const in6_addr& address, int prefix) { comcerto_set_ip6(address.s6_addr, prefix); },
    });
}

step_lists_t daemon_steps(int argc, char** argv)
{
    arg_count = argc;
    arg_values = argv;
    return {startup_list, shutdown_list, poller_reboot, stop_requested, stops_from};
}
