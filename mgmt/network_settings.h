// The gateway's own network: eth0 (static address, DHCP client or PPPoE),
// eth2 with its DHCP relay, the one-time download of the sound files, and the
// background children that belong to them (udhcpc, pppd, ntpclient, dnsmasq
// restarts, the download). Those children are reaped here and nowhere else;
// every other child of the daemon is waited for by whoever started it.
#pragma once

#include <string>
#include <vector>

// Brings eth2, its relay, eth0 and the sound download up to date with the
// device settings. Any thread; takes globalConfigMutex around the
// configuration and the relay file.
void apply_network_settings();

// "no" switches the DHCP client off, any other text (re)starts it with these
// extra udhcpc options. The client and pppd never run together: a start
// that must wait for the other to end is deferred until its exit.
void start_dhcp_client(const std::string& options);
// "user:password:service:ac", each field %XX-encoded; empty stops pppd.
void start_pppd(const std::string& settings);

// The value of option name in the relay section of /etc/config/dhcp; empty
// when absent or unreadable.
std::string read_dhcp_relay_option(const std::string& name);

// The pieces between separators, empty ones included.
std::vector<std::string> split_string(const std::string& text, char separator);

// SIGCHLD: only notes that a child ended. The poller thread does the rest
// (child_supervision_service). Other signal numbers are ignored.
void on_sigchld(int sig);
// Installs on_sigchld; 0, or -1 with errno.
int install_sigchld_handler();

// True when a SIGCHLD arrived since the last service.
bool child_exit_pending();
// Reaps the supervised children that ended (and only those) and carries out
// what each end asks for: deferred restarts and the static settings after
// the DHCP client or pppd, the download's result. restarts: false once the
// poller no longer runs.
void child_supervision_service(bool restarts);

// The poller's supervision step for the DHCP and NTP clients. True when it
// started an NTP client.
bool supervise_network_children(const std::string& ntpServer);

// SIGTERM to the child, as the settings change.
void stop_udhcpc();
void stop_pppd();
void stop_ntpclient();
// Shutdown: ends every supervised child and reaps it (bounded wait).
void stop_network_children();

// For tests and the management pages.
struct NetworkChildren {
    int udhcpc_pid = 0;
    int pppd_pid = 0;
    int ntpclient_pid = 0;
    int sounds_pid = 0;
    std::string dhcp_opt = "no";
    std::string dhcp_deferred_opts = "no";
    std::string pppoe_opt;
    std::string pppoe_deferred_opts;
    bool sounds_downloaded = false;
};
NetworkChildren network_children();
// Tests: back to the start values (running children are not touched).
void network_settings_reset();
