#include "mgmt/mgmt_command.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/channel_event.h"
#include "core/log.h"
#include "mgmt/config_file.h"
#include "mgmt/device_settings.h"
#include "mgmt/global_config.h"
#include "mgmt/standalone.h"
#include "mgmt/var_store.h"
#include "mgmt/var_write.h"
#include "platform/paths.h"
#include "platform/wall_clock.h"

std::atomic<bool> tlsApplied{true};

namespace {

const char* const KEY_FILES[] = {"sslcert", "sslkey", "cafile", "ssh_keys"};

bool known_key_file(const std::string& name)
{
    for (const char* f : KEY_FILES)
        if (name == f)
            return true;
    return false;
}

// Chunks come in order; one at offset 0 starts the file again.
void write_chunk(const std::string& name, long long off, const std::string& data)
{
    std::string path = platform_path(std::string(TLS_DIR) + name + ".tmp");
    // 64 bits: a large offset must not wrap below the limit
    if (off < 0 || off + static_cast<long long>(data.size()) > KEY_FILE_LIMIT) {
        LOG(LOGF_SYSTEM, 6, "%s: size limit reached", path.c_str());
        return;
    }
    if (make_tls_dir() < 0)
        return;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        LOG(LOGF_SYSTEM, 6, "Error opening %s: %s", path.c_str(), strerror(errno));
        return;
    }
    int pos = static_cast<int>(off);
    if (ftruncate(fd, off) < 0) {
        LOG(LOGF_SYSTEM, 6, "Error truncate %s at pos %d: %s", path.c_str(), pos, strerror(errno));
    } else if (off_t at = lseek(fd, off, SEEK_SET); at < 0) {
        LOG(LOGF_SYSTEM, 6, "Error lseek %s to pos %d: %s", path.c_str(), pos, strerror(errno));
    } else if (at != off) {
        LOG(LOGF_SYSTEM, 6, "invalid lseek %s result: pos %d (expected %d)", path.c_str(), int(at), pos);
    } else if (ssize_t n = write(fd, data.data(), data.size()); n < 0) {
        LOG(LOGF_SYSTEM, 6, "Error write %s: %s", path.c_str(), strerror(errno));
    } else if (size_t(n) != data.size()) {
        LOG(LOGF_SYSTEM, 6, "invalid write %s result: written %d bytes (expected %d)", path.c_str(), int(n),
            int(data.size()));
    }
    close(fd);
}

void file_chunk(const JsonValue& command)
{
    const JsonValue* file = json_member(command, "file", JSON_STRING);
    if (!file)
        return;
    if (!known_key_file(file->text)) {
        LOG(LOGF_SYSTEM, 6, "skipping reception of unknown file '%s'", file->text.c_str());
        return;
    }
    const JsonValue* off = json_member(command, "off", JSON_INTEGER);
    const JsonValue* data = json_member(command, "data", JSON_STRING);
    if (!off || !data)
        return;
    tlsApplied.store(false);
    write_chunk(file->text, off->integer, data->text);
}

// A present address member into field, when it is an address and differs.
// True when the field changed.
bool take_address(const JsonValue& command, const char* name, std::string DeviceSettings::*field)
{
    const JsonValue* v = json_member(command, name, JSON_STRING);
    if (!v)
        return false;
    if (!ipv4_setting_valid(v->text)) {
        LOG(LOGF_SYSTEM, 4, "command: \"%s\" is not an IPv4 address (%s)", name, v->text.c_str());
        return false;
    }
    if (device_setting(field) == v->text)
        return false;
    set_device_setting(field, v->text);
    // apply_network_settings reads eth2 back from the configuration in
    // standalone mode: it must hold the new value too
    if (standaloneMode.load()) {
        std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
        globalConfig[name].setString(v->text);
    }
    return true;
}

void apply_network()
{
    if (auto apply = mgmt_write_hooks().applyNetworkSettings)
        apply();
}

void global_settings(const JsonValue& command)
{
    bool changed = take_address(command, "ipaddr2", &DeviceSettings::ipaddr2);
    changed |= take_address(command, "netmask2", &DeviceSettings::netmask2);
    const JsonValue* server = json_member(command, "dhcp_server", JSON_STRING);
    if (server && !ipv4_setting_valid(server->text)) {
        LOG(LOGF_SYSTEM, 4, "command: \"dhcp_server\" is not an IPv4 address (%s)", server->text.c_str());
    } else {
        std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
        const JsonValue* stored = json_member(globalConfig, "dhcp_server_addr", JSON_STRING);
        if (server && !server->text.empty()) {
            if (!stored || stored->text != server->text) {
                globalConfig["dhcp_server_addr"].setString(server->text);
                changed = true;
            }
        } else if (globalConfig.find("dhcp_server_addr")) {
            globalConfig.members.erase("dhcp_server_addr");
            changed = true;
        }
    }
    if (changed)
        apply_network();
    postChannelEvent(new JsonEvent_t(-1, EV_CHANNEL_SETTINGS, command));
}

void ssl_apply()
{
    if (tlsApplied.load())
        return;
    apply_tls_files();
    tlsApplied.store(true);
    poller_publish_var(".2.0", MyVarValue(MyVarValue::INT32, 29));
    rename_if_differ(platform_path(std::string(TLS_DIR) + "ssh_keys.tmp"),
                     platform_path(std::string(TLS_DIR) + "authorized_keys"));
}

void user_list(const JsonValue& command)
{
    const JsonValue* list = json_member(command, "list", JSON_ARRAY);
    if (!list)
        return;
    const JsonValue* clear = json_member(command, "clear", JSON_BOOL);
    if (auto update = mgmt_write_hooks().updateUserDirectory)
        update(*list, clear && clear->boolean, command.find("end") != nullptr);
}

void set_time(const JsonValue& command)
{
    const JsonValue* t = json_member(command, "time", JSON_INTEGER);
    if (!t)
        return;
    timeval tv{};
    tv.tv_sec = t->integer;
    if (platform_set_wall_clock(&tv) < 0)
        LOG(LOGF_SYSTEM, 6, "error settimg current time: %s", strerror(errno));
}

void eth2(const JsonValue& command)
{
    for (auto [name, field] : {std::pair{"ipaddr2", &DeviceSettings::ipaddr2},
                               std::pair{"netmask2", &DeviceSettings::netmask2}}) {
        const JsonValue* v = json_member(command, name, JSON_STRING);
        if (!v)
            continue;
        if (!ipv4_setting_valid(v->text)) {
            LOG(LOGF_SYSTEM, 4, "command: \"%s\" is not an IPv4 address (%s)", name, v->text.c_str());
            continue;
        }
        {
            std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
            globalConfig[name].setString(v->text);
        }
        // in a chassis nothing reads eth2 back from the configuration
        set_device_setting(field, v->text);
    }
    apply_network();
}

}  // namespace

void mgmt_command(const std::string& id, const std::string& text)
{
    JsonValue command;
    MemDataSource source(text.c_str());
    if (!command.parse(source) || command.kind != JSON_HASH) {
        LOG(LOGF_SYSTEM, 4, "set %s: JSON parse error", id.c_str());
        return;
    }
    file_chunk(command);
    const JsonValue* cmd = json_member(command, "cmd", JSON_STRING);
    if (!cmd)
        return;
    const std::string& name = cmd->text;
    LOG(LOGF_SYSTEM, 6, "===> command %s received", name.c_str());
    if (name == "globalconf") {
        global_settings(command);
    } else if (name == "sslapply") {
        ssl_apply();
    } else if (name == "userlist") {
        user_list(command);
    } else if (name == "ctime") {
        set_time(command);
    } else if (name == "eth2") {
        eth2(command);
    } else if (name == "callgroups" || name == "routes" || name == "registrations") {
        if (auto chunk = mgmt_write_hooks().proxyChunk)
            chunk(command);
        else
            LOG(LOGF_SYSTEM, 4, "command %s: no proxy to take it", name.c_str());
    }
}
