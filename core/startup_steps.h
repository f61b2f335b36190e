// The steps of start-up, the main loop and shutdown that belong to other
// subsystems (media processor, registration sync, proxy, poller, media proxy,
// user agent, trunks, virtual channels, board housekeeping, IP check).
// main calls them in their fixed order; each body is a placeholder that does
// nothing until its subsystem lands and fills it in here.
#pragma once

#include <netinet/in.h>
#include <string>

// Start-up
int step_if_up_eth0();               // 0, or negative: "error bringing interface UP"
int step_comcerto_init();            // negative: reboot
void step_poller_reboot();
void step_regsync_start();           // registration-sync thread on port 9071
void step_clear_eth0_address();      // eth0 to 0.0.0.0
void step_repro_start();
int step_start_poller();             // 0, or negative: "error starting poller thread"
void step_mediaproxy_start();
void* step_ua_thread(void* arg);     // body of the user-agent thread
bool step_ua_is_ready();
void step_ssp_create_all();
void step_vcm_create();
void step_board_init();              // PoE controller and board PHY

// Main loop
void step_link_housekeeping();       // after every conditional kick

// IP check
void step_repro_remove_domain(const std::string& address);
void step_repro_add_domain(const std::string& address);
void step_repro_ip_changed(const std::string& old_address, const std::string& new_address);
void step_comcerto_set_ip6(const in6_addr& address, int prefix);
void step_comcerto_process_socket(); // the control socket (entry 256) is readable

// Shutdown
void step_mediaproxy_stop();         // stop and delete
void step_vcm_delete();
void step_comcerto_destroy();
void step_ssp_destroy_all();
void step_repro_stop();
void step_regsync_stop();            // stop and delete
void step_ua_stop();                 // makes step_ua_thread return
void step_stop_poller();
