#include "mgmt/network_settings.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>

#include "core/hex_digit.h"
#include "core/log.h"
#include "core/netif.h"
#include "core/pcre_re.h"
#include "mgmt/config_file.h"
#include "mgmt/device_settings.h"
#include "mgmt/global_config.h"
#include "mgmt/var_store.h"
#include "platform/command.h"
#include "platform/paths.h"

namespace {

// Guards children and unwatched. Recursive: the starts stop the other
// client. Never taken before globalConfigMutex by the same thread.
std::recursive_mutex childMutex;
NetworkChildren children;
// dnsmasq restarts: nobody waits for them, they are only reaped.
std::vector<pid_t> unwatched;

std::atomic<bool> childExited{false};

constexpr const char* DHCP_FILE = "/etc/config/dhcp";
constexpr const char* UDHCPC_COMMAND = "udhcpc -i eth0 -f -p /var/run/eth0.pid -R -S -V '' ";

// A text inet_pton takes; what it took in *out.
bool to_in_addr(const std::string& text, in_addr* out)
{
    out->s_addr = 0;
    return inet_pton(AF_INET, text.c_str(), out) == 1;
}

// "%XX" stands for one byte; the hex digits are read as far as they go.
std::string percent_decode(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        int value = 0;
        size_t j = i + 1;
        for (; j < text.size() && j < i + 3; j++) {
            int d = hex_digit(text[j]);
            if (d < 0)
                break;
            value = value * 16 + d;
        }
        out += static_cast<char>(value);
        i = std::min(i + 2, text.size() - 1);
    }
    return out;
}

bool alive(pid_t pid) { return kill(pid, 0) == 0; }

// ---- the relay file ----

std::string regex_escape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (strchr("\\^$.|?*+()[]{}", c))
            out += '\\';
        out += c;
    }
    return out;
}

// A section line; the whole line matches, so that its first group replaces it.
const PcreRe& section_line()
{
    static const PcreRe re("^config[[:space:]]+(\\w+).*");
    return re;
}

// The first group of re, when line matches re.
bool first_group(const PcreRe& re, const std::string& line, std::string* group)
{
    std::string copy = line;
    if (!re.Replace("\\1", &copy))
        return false;
    *group = copy;
    return true;
}

// The file with every relay section left out.
std::string dhcp_file_without_relay()
{
    std::ifstream in(platform_path(DHCP_FILE));
    std::string out, line;
    bool relay = false;
    std::string type;
    while (std::getline(in, line)) {
        if (first_group(section_line(), line, &type))
            relay = type == "relay";
        if (!relay)
            out += line + "\n";
    }
    return out;
}

// globalConfigMutex is held.
void set_dhcp_relay(const std::string& ipaddr2)
{
    std::string server;
    if (const JsonValue* s = globalConfig.find("dhcp_server_addr"); s && s->kind == JSON_STRING)
        server = s->text;
    bool wanted = !server.empty();
    in_addr a;
    // these go into a line-oriented file: anything but an address could add lines
    if (wanted && (!to_in_addr(server, &a) || !to_in_addr(ipaddr2, &a))) {
        LOG(LOGF_SYSTEM, 4, "set_dhcp_relay(): invalid relay server %s or eth2 address %s", server.c_str(),
            ipaddr2.c_str());
        return;
    }
    bool rewrite = wanted ? read_dhcp_relay_option("local_addr") != ipaddr2 ||
                                read_dhcp_relay_option("server_addr") != server
                          : !read_dhcp_relay_option("server_addr").empty();
    if (!rewrite)
        return;
    std::string text = dhcp_file_without_relay();
    if (wanted)
        text += "config relay\n\toption server_addr\t" + server + "\n\toption local_addr\t" + ipaddr2 + "\n";
    if (write_file_atomically(platform_path(DHCP_FILE), text, 0644) < 0)
        LOG(LOGF_SYSTEM, 6, "set_dhcp_relay(): cannot rename: %s", strerror(errno));
    int pid = spawn_detached("/etc/init.d/dnsmasq", {"dnsmasq", "restart"});
    if (pid < 0) {
        LOG(LOGF_GENERAL, 3, "fork() error");
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(childMutex);
    unwatched.push_back(pid);
}

// ---- eth2, eth0 ----

void apply_eth2(const std::string& ipaddr2)
{
    if (ipaddr2.empty()) {
        if (if_down("eth2") < 0)
            LOG(LOGF_SYSTEM, 4, "error bringing interface eth2 down");
        return;
    }
    in_addr a;
    if (!to_in_addr(ipaddr2, &a))
        LOG(LOGF_SYSTEM, 4, "invalid eth2 IP address: %s", ipaddr2.c_str());
    if (set_if_addr("eth2", a) < 0)
        LOG(LOGF_SYSTEM, 4, "error setting eth2 IP address");
    if (if_up("eth2") < 0)
        LOG(LOGF_SYSTEM, 4, "error bringing interface eth2 up");
}

void apply_eth0(const DeviceSettings& s)
{
    in_addr a;
    // a text that does not convert is logged and not set
    if (!to_in_addr(s.ipaddr, &a))
        LOG(LOGF_SYSTEM, 4, "invalid eth0 IP address written: %s", s.ipaddr.c_str());
    else if (set_if_addr("eth0", a) < 0)
        LOG(LOGF_SYSTEM, 4, "error setting eth0 IP address");
    if (if_up("eth0") < 0)
        LOG(LOGF_SYSTEM, 4, "error bringing interface eth0 up");
    if (!s.netmask.empty()) {
        if (!to_in_addr(s.netmask, &a))
            LOG(LOGF_SYSTEM, 4, "invalid eth0 netmask written: %s", s.netmask.c_str());
        else if (set_if_netmask("eth0", a) < 0)
            LOG(LOGF_SYSTEM, 4, "error setting eth0 netmask");
    }
    if (!s.gateway.empty()) {
        if (!to_in_addr(s.gateway, &a))
            LOG(LOGF_SYSTEM, 4, "invalid IP gateway written: %s", s.gateway.c_str());
        else if (set_default_gateway(a) < 0)
            LOG(LOGF_SYSTEM, 4, "error setting gateway address");
    }
}

void start_sound_download(const DeviceSettings& s)
{
    if (standaloneMode.load() || s.SWAddress.empty() || s.ipaddr.empty() || s.netmask.empty() ||
        s.gateway.empty())
        return;
    std::lock_guard<std::recursive_mutex> lock(childMutex);
    // one download at a time: a second one would leave the first unreaped
    if (children.sounds_downloaded || children.sounds_pid != 0)
        return;
    std::string host = s.SWAddress.find(':') != std::string::npos ? "[" + s.SWAddress + "]" : s.SWAddress;
    std::string url = "http://" + host + "/files/zr-30/sounds";
    LOG(LOGF_SYSTEM, 5, "downloading sound files from %s...", url.c_str());
    int pid = spawn_detached("/usr/share/linegw/update-sounds", {"update-sounds", url});
    if (pid < 0) {
        LOG(LOGF_SYSTEM, 3, "fork() error");
        return;
    }
    children.sounds_pid = pid;
}

// ---- the end of a child ----

enum ChildKind { CHILD_DHCP, CHILD_PPPD, CHILD_NTP, CHILD_SOUNDS };

struct Ended {
    ChildKind kind;
    pid_t pid;
    int status;   // -1: reaped by nobody we know of
};

// childMutex is held.
void reap(int& pid, ChildKind kind, std::vector<Ended>& ended)
{
    if (pid == 0)
        return;
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) {
        ended.push_back({kind, pid, r == pid ? status : -1});
        pid = 0;
    }
}

// After the DHCP client or pppd: what waited for it, else the static settings.
void restart_after_client()
{
    enum { NOTHING, DHCP, PPPD, APPLY } action = NOTHING;
    std::string taken;
    {
        std::lock_guard<std::recursive_mutex> lock(childMutex);
        if (children.udhcpc_pid == 0 && children.dhcp_deferred_opts != "no") {
            taken = children.dhcp_deferred_opts;
            children.dhcp_deferred_opts = "no";
            action = DHCP;
        } else if (children.pppd_pid == 0 && !children.pppoe_deferred_opts.empty()) {
            taken = children.pppoe_deferred_opts;
            children.pppoe_deferred_opts.clear();
            action = PPPD;
        } else if (children.pppd_pid == 0 && children.udhcpc_pid == 0)
            action = APPLY;
    }
    // apply_network_settings takes globalConfigMutex: never under childMutex
    switch (action) {
    case DHCP: start_dhcp_client(taken); break;
    case PPPD: start_pppd(taken); break;
    case APPLY: apply_network_settings(); break;
    case NOTHING: break;
    }
}

void ended_child(const Ended& e, bool restarts)
{
    bool exited = e.status >= 0 && WIFEXITED(e.status);
    int code = exited ? WEXITSTATUS(e.status) : -1;
    switch (e.kind) {
    case CHILD_DHCP:
    case CHILD_PPPD:
        if (exited && e.kind == CHILD_DHCP)
            LOG(LOGF_SYSTEM, 3, "DHCP client (pid %d) exited with return code %d", int(e.pid), code);
        else if (exited)
            LOG(LOGF_SYSTEM, 3, "pppd (pid %d) exited with return code %d", int(e.pid), code);
        // one ended by a signal still lets the waiting start go ahead
        if (restarts)
            restart_after_client();
        break;
    case CHILD_NTP:
        if (exited)
            LOG(LOGF_SYSTEM, 3, "ntpclient exited with return code %d", code);
        break;
    case CHILD_SOUNDS:
        if (exited && code == 0) {
            LOG(LOGF_SYSTEM, 3, "download complete");
            std::lock_guard<std::recursive_mutex> lock(childMutex);
            children.sounds_downloaded = true;
        } else if (exited)
            LOG(LOGF_SYSTEM, 3, "wget exited with return code %d", code);
        break;
    }
}

}  // namespace

std::vector<std::string> split_string(const std::string& text, char separator)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string read_dhcp_relay_option(const std::string& name)
{
    std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
    std::ifstream in(platform_path(DHCP_FILE));
    PcreRe option("^[[:space:]]+option[[:space:]]+" + regex_escape(name) + "[[:space:]]+(.+)");
    std::string line, found;
    bool relay = false;
    while (std::getline(in, line)) {
        if (first_group(section_line(), line, &found))
            relay = found == "relay";
        else if (relay && first_group(option, line, &found))
            return found;
    }
    return "";
}

void apply_network_settings()
{
    std::unique_lock<std::recursive_mutex> config(globalConfigMutex);
    if (standaloneMode.load()) {
        for (auto [key, field] : {std::pair{"ipaddr2", &DeviceSettings::ipaddr2},
                 std::pair{"netmask2", &DeviceSettings::netmask2}})
            if (const JsonValue* v = globalConfig.find(key); v && v->kind == JSON_STRING)
                set_device_setting(field, v->text);
    }
    DeviceSettings s = device_settings();
    config.unlock();

    apply_eth2(s.ipaddr2);
    config.lock();
    set_dhcp_relay(s.ipaddr2);
    config.unlock();
    if (!s.netmask2.empty()) {
        in_addr a;
        if (!to_in_addr(s.netmask2, &a))
            LOG(LOGF_SYSTEM, 4, "invalid eth2 netmask: %s", s.netmask2.c_str());
        else if (set_if_netmask("eth2", a) < 0)
            LOG(LOGF_SYSTEM, 4, "error setting eth2 netmask");
    }
    if (s.ipaddr.empty())
        return;
    {
        std::lock_guard<std::recursive_mutex> lock(childMutex);
        if (children.udhcpc_pid != 0) {
            // the static settings follow at the client's exit
            start_dhcp_client("no");
            return;
        }
    }
    apply_eth0(s);
    start_sound_download(s);
}

void start_dhcp_client(const std::string& options)
{
    std::lock_guard<std::recursive_mutex> lock(childMutex);
    if (options == children.dhcp_opt)
        return;
    if (children.udhcpc_pid != 0) {
        children.dhcp_deferred_opts = options;
        stop_udhcpc();
        return;
    }
    if (options == "no")
        return;
    if (children.pppd_pid != 0) {
        children.dhcp_deferred_opts = options;
        stop_pppd();
        return;
    }
    std::string command = UDHCPC_COMMAND;
    if (!options.empty())
        command += options;
    int pid = spawn_detached("/sbin/udhcpc", command_split(command));
    if (pid < 0) {
        // left off, so that the next call tries again
        LOG(LOGF_SYSTEM, 3, "fork() error");
        return;
    }
    children.dhcp_opt = options;
    children.udhcpc_pid = pid;
    LOG(LOGF_SYSTEM, 6, "DHCP client started (pid=%d)", pid);
}

void start_pppd(const std::string& settings)
{
    std::lock_guard<std::recursive_mutex> lock(childMutex);
    if (settings == children.pppoe_opt)
        return;
    if (children.pppd_pid != 0) {
        children.pppoe_deferred_opts = settings;
        stop_pppd();
        return;
    }
    if (settings.empty())
        return;
    if (children.udhcpc_pid != 0) {
        children.pppoe_deferred_opts = settings;
        stop_udhcpc();
        return;
    }
    in_addr none{};
    if (set_if_addr("eth0", none) < 0)
        LOG(LOGF_SYSTEM, 4, "error setting eth0 IP address");
    std::vector<std::string> fields = split_string(settings, ':');
    fields.resize(std::max<size_t>(fields.size(), 4));
    for (auto& f : fields)
        f = percent_decode(f);
    std::vector<std::string> argv = {"pppd", "plugin", "rp-pppoe.so"};
    if (!fields[2].empty())
        argv.insert(argv.end(), {"rp_pppoe_service", fields[2]});
    if (!fields[3].empty())
        argv.insert(argv.end(), {"rp_pppoe_ac", fields[3]});
    argv.insert(argv.end(), {"eth0", "nodetach", "persist", "defaultroute", "replacedefaultroute", "usepeerdns",
                                "noaccomp", "noauth", "maxfail", "0", "name", fields[0], "password", fields[1]});
    int pid = spawn_detached("/usr/sbin/pppd", argv);
    if (pid < 0) {
        LOG(LOGF_SYSTEM, 3, "fork() error");
        return;
    }
    children.pppoe_opt = settings;
    children.pppd_pid = pid;
    LOG(LOGF_SYSTEM, 6, "pppd started (pid=%d)", pid);
}

void stop_udhcpc()
{
    std::lock_guard<std::recursive_mutex> lock(childMutex);
    if (children.dhcp_opt == "no" || children.udhcpc_pid == 0)
        return;
    if (kill(children.udhcpc_pid, SIGTERM) == 0)
        children.dhcp_opt = "no";
    else
        LOG(LOGF_SYSTEM, 3, "cannot kill udhcpc pid %d: %s", children.udhcpc_pid, strerror(errno));
}

void stop_pppd()
{
    std::lock_guard<std::recursive_mutex> lock(childMutex);
    if (children.pppd_pid == 0)
        return;
    if (kill(children.pppd_pid, SIGTERM) == 0)
        children.pppoe_opt.clear();
    else
        LOG(LOGF_SYSTEM, 3, "cannot kill pppd pid %d: %s", children.pppd_pid, strerror(errno));
}

void stop_ntpclient()
{
    std::lock_guard<std::recursive_mutex> lock(childMutex);
    pid_t pid = children.ntpclient_pid;
    if (pid != 0 && alive(pid) && kill(pid, SIGTERM) != 0)
        LOG(LOGF_SYSTEM, 3, "cannot kill existing ntpdate: %s", strerror(errno));
}

void on_sigchld(int sig)
{
    if (sig == SIGCHLD)
        childExited.store(true);
}

int install_sigchld_handler()
{
    struct sigaction sa{};
    sa.sa_handler = on_sigchld;
    sigemptyset(&sa.sa_mask);
    // restarted calls and no stops: only ends matter
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    return sigaction(SIGCHLD, &sa, nullptr);
}

bool child_exit_pending() { return childExited.load(); }

void child_supervision_service(bool restarts)
{
    childExited.store(false);
    std::vector<Ended> ended;
    {
        std::lock_guard<std::recursive_mutex> lock(childMutex);
        reap(children.udhcpc_pid, CHILD_DHCP, ended);
        reap(children.pppd_pid, CHILD_PPPD, ended);
        reap(children.ntpclient_pid, CHILD_NTP, ended);
        reap(children.sounds_pid, CHILD_SOUNDS, ended);
        for (auto it = unwatched.begin(); it != unwatched.end();) {
            pid_t r = waitpid(*it, nullptr, WNOHANG);
            it = r == *it || (r < 0 && errno == ECHILD) ? unwatched.erase(it) : it + 1;
        }
    }
    for (const Ended& e : ended)
        ended_child(e, restarts);
}

bool supervise_network_children(const std::string& ntpServer)
{
    std::lock_guard<std::recursive_mutex> lock(childMutex);
    if (pid_t pid = children.udhcpc_pid; pid != 0 && !alive(pid)) {
        LOG(LOGF_GENERAL, 3, "error: DHCP client process %d is missing: kill() returned error '%s'", int(pid),
            strerror(errno));
        LOG(LOGF_GENERAL, 3, "dhcp_opt='%s' dhcp_deferred_opts='%s'", children.dhcp_opt.c_str(),
            children.dhcp_deferred_opts.c_str());
        children.udhcpc_pid = 0;
        if (children.dhcp_deferred_opts != "no") {
            std::string taken = children.dhcp_deferred_opts;
            children.dhcp_deferred_opts = "no";
            start_dhcp_client(taken);
        }
    }
    if (pid_t pid = children.ntpclient_pid; pid != 0 && !alive(pid)) {
        LOG(LOGF_GENERAL, 3, "error: NTP client process %d is missing: kill() returned error '%s'", int(pid),
            strerror(errno));
        children.ntpclient_pid = 0;
    }
    if (children.ntpclient_pid != 0 || ntpServer.empty())
        return false;
    int pid = spawn_detached("/usr/sbin/ntpclient", {"ntpclient", "-h", ntpServer, "-i", "60", "-tls"});
    if (pid < 0) {
        LOG(LOGF_SYSTEM, 3, "start_ntpclient(): fork() error");
        return false;
    }
    children.ntpclient_pid = pid;
    return true;
}

void stop_network_children()
{
    {
        std::lock_guard<std::recursive_mutex> lock(childMutex);
        for (int pid : {children.udhcpc_pid, children.pppd_pid, children.ntpclient_pid, children.sounds_pid})
            if (pid != 0)
                kill(pid, SIGTERM);
        for (pid_t pid : unwatched)
            kill(pid, SIGTERM);
    }
    // Each gets two seconds to end; the ones that do not stay as they are.
    for (int i = 0; i < 200; i++) {
        child_supervision_service(false);
        NetworkChildren c = network_children();
        bool empty;
        {
            std::lock_guard<std::recursive_mutex> lock(childMutex);
            empty = unwatched.empty();
        }
        if (empty && !c.udhcpc_pid && !c.pppd_pid && !c.ntpclient_pid && !c.sounds_pid)
            return;
        usleep(10000);
    }
    LOG(LOGF_SYSTEM, 3, "child processes still running at shutdown");
}

NetworkChildren network_children()
{
    std::lock_guard<std::recursive_mutex> lock(childMutex);
    return children;
}

void network_settings_reset()
{
    std::lock_guard<std::recursive_mutex> lock(childMutex);
    children = NetworkChildren();
    unwatched.clear();
    childExited.store(false);
}
