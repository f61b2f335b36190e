#include "core/startup_steps.h"

#include <atomic>
#include <unistd.h>

#include "core/netif.h"
#include "core/reg_sync.h"
#include "msp/comcerto_device.h"
#include "msp/msp_transaction.h"
#include "platform/command.h"

int step_if_up_eth0() { return if_up("eth0"); }
int step_comcerto_init() { return comcerto_init(); }

// Until the poller lands: save the registrations, give the save a second,
// then reboot.
void step_poller_reboot()
{
    regsync_request_save();
    sleep(1);
    run_command_argv({"/sbin/reboot"});
}

void step_regsync_start() {}
void step_clear_eth0_address() { set_if_addr("eth0", in_addr{INADDR_ANY}); }
void step_repro_start() {}
int step_start_poller() { return 0; }
void step_mediaproxy_start() {}

namespace {
std::atomic<bool> ua_stop_requested{false};
}

void* step_ua_thread(void*)
{
    while (!ua_stop_requested)
        usleep(100000);
    return nullptr;
}

bool step_ua_is_ready() { return true; }
void step_ssp_create_all() {}
void step_vcm_create() {}
void step_board_init() {}

void step_link_housekeeping() {}
void step_repro_remove_domain(const std::string&) {}
void step_repro_add_domain(const std::string&) {}
void step_repro_ip_changed(const std::string&, const std::string&) {}
void step_comcerto_set_ip6(const in6_addr& address, int prefix) { comcerto_set_ip6(address.s6_addr, prefix); }
void step_comcerto_process_socket() { comcerto_process_socket(); }

void step_mediaproxy_stop() {}
void step_vcm_delete() {}
void step_comcerto_destroy() { comcerto_destroy(); }
void step_ssp_destroy_all() {}
void step_repro_stop() {}
void step_regsync_stop() {}
void step_ua_stop() { ua_stop_requested = true; }
void step_stop_poller() {}
