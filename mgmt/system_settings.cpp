#include "mgmt/system_settings.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "core/if_inet6.h"
#include "core/log.h"
#include "core/netif.h"
#include "mgmt/config_file.h"
#include "mgmt/device_settings.h"
#include "mgmt/poller.h"
#include "mgmt/var_write.h"
#include "platform/command.h"
#include "platform/paths.h"

namespace {

// A whole number in text (decimal, "0x" hexadecimal or "0" octal with base 0).
bool whole_number(const std::string& text, int base, long* out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = v;
    return true;
}

// The log type goes into the logger's configuration file as a word.
bool log_type_valid(const std::string& t)
{
    if (t.empty() || t.size() > 32)
        return false;
    for (char c : t)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
            return false;
    return true;
}

void rewrite_system_config(const std::string& type, long priority)
{
    std::string path = platform_path("/etc/config/system");
    std::string kept;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        bool ours = false;
        for (const char* key : {"log_type", "log_file", "log_size", "log_prio"})
            ours |= line.find(key) != std::string::npos;
        if (!ours)
            kept += line + "\n";
    }
    kept += "        option log_type " + type + "\n";
    kept += "        option log_file /www/messages\n";
    kept += "        option log_size 10240\n";
    kept += "        option log_prio " + std::to_string(priority) + "\n";
    write_file_atomically(path, kept, 0644);
}

void restart_syslogd(const std::string& type)
{
    const char* line = type == "file" ? "killall syslogd; syslogd -s 10240 -O /www/messages -b 10 -S"
                                      : "killall syslogd; syslogd -C1024";
    // resolved like every helper: the root's shell on the simulated board
    run_program("/bin/sh", {"sh", "-c", line});
}

}  // namespace

void write_syslog_settings(const std::string& id, const std::string& text)
{
    if (text == poller_syslog_spec())
        return;
    std::string first = text.substr(0, text.find(','));
    std::string type = text.find(',') == std::string::npos ? "circular" : text.substr(text.find(',') + 1);
    type = type.substr(0, type.find(','));
    long priority = 5;
    if (!text.empty() && !whole_number(first, 0, &priority)) {
        LOG(LOGF_SYSTEM, 4, "set %s: invalid log priority (%s)", id.c_str(), text.c_str());
        return;
    }
    if (!log_type_valid(type)) {
        LOG(LOGF_SYSTEM, 4, "set %s: invalid log type (%s)", id.c_str(), text.c_str());
        return;
    }
    std::string oldType = poller_syslog_type();
    poller_set_syslog(text, oldType);
    if (priority >= 0 && priority <= 7)
        log_level = static_cast<int>(priority);
    rewrite_system_config(type, priority);
    if (type != oldType) {
        restart_syslogd(type);
        poller_set_syslog(text, type);
    }
}

void write_ipv6_mode(const std::string& id, const std::string& text)
{
    long m = 0;
    if (!whole_number(text, 10, &m)) {
        LOG(LOGF_SYSTEM, 3, "set %s: invalid IPv6 mode (%s)", id.c_str(), text.c_str());
        return;
    }
    int old = device_setting(&DeviceSettings::ipv6Mode);
    if (m == old)
        return;
    if (old == 2 && poller_restore_link_local() < 0)
        LOG(LOGF_SYSTEM, 3, "cannot set link-local address on eth0: %s", strerror(errno));
    set_device_setting(&DeviceSettings::ipv6Mode, static_cast<int>(m));
    const char* proc = "/proc/sys/net/ipv6/conf/eth0/accept_ra_pinfo";
    FILE* f = fopen(platform_path(proc).c_str(), "we");
    if (!f) {
        LOG(LOGF_SYSTEM, 3, "cannot open %s: %s", proc, strerror(errno));
        return;
    }
    fputs(m == 0 ? "1\n" : "0\n", f);
    fclose(f);
    if (m != 2)
        return;
    if (auto setIp6 = mgmt_write_hooks().setIp6) {
        const uint8_t none[16] = {};
        setIp6(none, -1);
    }
    if (flush_ipv6_addrs("eth0", true) < 0)
        LOG(LOGF_SYSTEM, 3, "cannot drop IPv6 address on eth0: %s", strerror(errno));
}

void write_ipv6_address(const std::string& id, const std::string& text)
{
    if (device_setting(&DeviceSettings::ipv6Mode) != 1)
        return;
    size_t slash = text.find('/');
    std::string address = text.substr(0, slash);
    long prefix = 128;
    in6_addr a{};
    if (inet_pton(AF_INET6, address.c_str(), &a) != 1 ||
        (slash != std::string::npos && (!whole_number(text.substr(slash + 1), 10, &prefix) || prefix < 0 ||
                                        prefix > 128))) {
        LOG(LOGF_SYSTEM, 3, "invalid IPv6 address received: %s", text.c_str());
        return;
    }
    if (flush_ipv6_addrs("eth0", false) < 0)
        LOG(LOGF_SYSTEM, 3, "cannot drop IPv6 address on eth0: %s", strerror(errno));
    if (set_if_addr6("eth0", &a, static_cast<int>(prefix)) < 0)
        LOG(LOGF_SYSTEM, 3, "cannot set address %s on eth0: %s", text.c_str(), strerror(errno));
}
