#include "mgmt/standalone.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <sys/stat.h>

#include "core/channel_event.h"
#include "core/log.h"
#include "mgmt/config_file.h"
#include "mgmt/device_settings.h"
#include "mgmt/fpga.h"
#include "mgmt/global_config.h"
#include "mgmt/module.h"
#include "mgmt/var_store.h"
#include "mgmt/var_write.h"
#include "platform/paths.h"

namespace {

constexpr mode_t STAGING_MODE = 0640;   // a private key passes through

// Writes the default file when there is none.
void write_default_when_missing(const std::string& path)
{
    struct stat st{};
    if (stat(path.c_str(), &st) == 0 || errno != ENOENT)
        return;
    LOG(LOGF_SYSTEM, 3, "config file %s does not exist", CONFIG_FILE);
    LOG(LOGF_SYSTEM, 3, "creating default config file");
    write_file_atomically(path, DEFAULT_CONFIG_TEXT, 0644);
}

void apply_addresses(const JsonValue& config)
{
    struct Key {
        const char* name;
        std::string DeviceSettings::*field;
    };
    static const Key keys[] = {
        {"ipaddr", &DeviceSettings::ipaddr},   {"ntp", &DeviceSettings::SWAddress},
        {"netmask", &DeviceSettings::netmask}, {"ipaddr2", &DeviceSettings::ipaddr2},
        {"netmask2", &DeviceSettings::netmask2}, {"gateway", &DeviceSettings::gateway},
        {"dns", &DeviceSettings::dns},
    };
    for (const Key& k : keys) {
        const JsonValue* v = json_member(config, k.name, JSON_STRING);
        if (!v)
            continue;
        if (k.field == &DeviceSettings::SWAddress) {
            set_device_setting(&DeviceSettings::SWAddress, v->text);
            set_device_setting(&DeviceSettings::ntpServer, v->text);
            continue;
        }
        // they reach files and commands: nothing but an address goes there
        if (!ipv4_setting_valid(v->text)) {
            LOG(LOGF_SYSTEM, 3, "%s: \"%s\" is not an IPv4 address: ignored", CONFIG_FILE, k.name);
            continue;
        }
        set_device_setting(k.field, v->text);
        if (k.field == &DeviceSettings::dns && !v->text.empty())
            write_resolver_file(v->text);
    }
    if (const JsonValue* v = json_member(config, "stName", JSON_STRING))
        set_station_name(v->text);
}

void write_tls_staging(const JsonValue& config)
{
    for (const char* name : TLS_FILES) {
        const JsonValue* v = json_member(config, name, JSON_STRING);
        if (!v)
            continue;
        if (make_tls_dir() < 0)
            return;
        std::string staging = platform_path(std::string(TLS_DIR) + name + ".tmp");
        write_file_atomically(staging, v->text, STAGING_MODE);
    }
}

void apply_authorized_keys(const JsonValue& config)
{
    const JsonValue* v = json_member(config, "authorized_keys", JSON_STRING);
    if (!v || make_tls_dir() < 0)
        return;
    write_file_atomically(platform_path(std::string(TLS_DIR) + "authorized_keys"), v->text, 0644);
}

// The module ports 254 and 255; the URIs of the ports configured as given.
std::set<std::string> apply_module_ports(const JsonValue& config)
{
    std::set<std::string> uris;
    const JsonValue* channels = json_member(config, "channels", JSON_HASH);
    for (int t = 254; t <= 255; t++) {
        int slot = t - 254;
        int type = moduleSlotTypes[slot].load();
        const char* name = module_port_type(type);
        if (!name)
            continue;
        module_driver_for(slot, type, true);

        std::string typeName = name;
        const JsonValue* port = channels ? json_member(*channels, std::to_string(t).c_str(), JSON_HASH) : nullptr;
        const JsonValue* configured = port ? json_member(*port, "type", JSON_STRING) : nullptr;
        JsonValue settings;
        if (configured && type == MODULE_EM01 && configured->text == "EM")
            typeName = "EM";
        if (configured && configured->text == typeName) {
            settings = *port;
            if (const JsonValue* uri = json_member(*port, "uri", JSON_STRING))
                uris.insert(uri->text);
        } else {
            settings["type"].setString(typeName);
        }
        postEvent(t, new JsonEvent_t(t, EV_CHANNEL_SETTINGS, std::move(settings)));
    }
    return uris;
}

// Service settings of subscribers that are no module port's are dropped
// from the configuration; the others go to their subscribers.
void apply_dvo(JsonValue& config, const std::set<std::string>& uris)
{
    JsonValue* dvo = config.find("dvo");
    if (!dvo || dvo->kind != JSON_HASH)
        return;
    std::erase_if(dvo->members, [&](const auto& m) { return !uris.count(m.first); });
    for (const auto& [name, value] : dvo->members) {
        JsonValue settings = value;
        settings["uri"].setString(name);
        postChannelEvent(new DVOEvent_t(name, std::move(settings)));
    }
}

// globalConfigMutex is held.
void apply_config(JsonValue& config)
{
    MgmtWriteHooks hooks = mgmt_write_hooks();
    apply_addresses(config);
    if (const JsonValue* global = json_member(config, "globalconf", JSON_HASH))
        postChannelEvent(new JsonEvent_t(-1, EV_CHANNEL_SETTINGS, *global));
    fpga_write_reg(FPGA_TDM0_MODE, 1);
    if (const JsonValue* master = json_member(config, "master", JSON_INTEGER))
        write_master(master->integer, true);
    write_tls_staging(config);
    apply_tls_files();
    apply_authorized_keys(config);
    if (hooks.applyNetworkSettings)
        hooks.applyNetworkSettings();
    std::set<std::string> uris = apply_module_ports(config);
    if (const JsonValue* users = json_member(config, "userlist", JSON_ARRAY); users && hooks.updateUserDirectory)
        hooks.updateUserDirectory(*users, true, true);
    apply_dvo(config, uris);
}

}  // namespace

const char* module_port_type(int moduleType)
{
    switch (moduleType) {
    case MODULE_R485: return "R485";
    case MODULE_R232: return "R232";
    case MODULE_R422: return "R422";
    case MODULE_FO01: return "FO01";
    case MODULE_FS01: return "FS01";
    case MODULE_EM01: return "RTP";
    default: return nullptr;
    }
}

void module_driver_for(int slot, int moduleType, bool restart)
{
    if (Module* driver = moduleTable[slot].load()) {
        if (restart)
            driver->restart();
        return;
    }
    auto create = mgmt_write_hooks().createModule;
    if (!create)
        return;
    // web writes race the poller here: the first driver stored stays
    Module* fresh = create(slot, moduleType);
    Module* none = nullptr;
    if (fresh && !moduleTable[slot].compare_exchange_strong(none, fresh))
        delete fresh;
}

int make_tls_dir()
{
    std::error_code ec;
    std::filesystem::create_directories(platform_path("/tmp/ssl"), ec);
    if (ec) {
        LOG(LOGF_SYSTEM, 3, "cannot create /tmp/ssl: %s", ec.message().c_str());
        return -1;
    }
    return 0;
}

bool apply_tls_files()
{
    bool changed = false;
    for (const char* name : TLS_FILES) {
        std::string live = platform_path(std::string(TLS_DIR) + name);
        changed |= rename_if_differ(live + ".tmp", live);
    }
    if (changed) {
        LOG(LOGF_SYSTEM, 6, "--> restarting repro");
        if (auto restart = mgmt_write_hooks().reproRestart)
            restart();
    }
    return changed;
}

void enter_standalone_mode()
{
    LOG(LOGF_BOARD, 6, "switching to standalone mode");
    fpga_write_reg(FPGA_MODE, device_setting(&DeviceSettings::master) > 0 ? 0x11 : 0x10);
    standaloneMode.store(true, std::memory_order_release);

    std::string path = platform_path(CONFIG_FILE);
    write_default_when_missing(path);
    FILE* f = fopen(path.c_str(), "re");
    if (!f) {
        LOG(LOGF_SYSTEM, 3, "cannot open %s: %s", CONFIG_FILE, strerror(errno));
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
    JsonValue config;
    FileDataSource source(f);
    bool parsed = config.parse(source);
    fclose(f);
    // a file that is no object has no settings either: the same as unreadable
    if (!parsed || config.kind != JSON_HASH) {
        LOG(LOGF_SYSTEM, 3, "%s: parse error", CONFIG_FILE);
        return;
    }
    globalConfig = std::move(config);
    apply_config(globalConfig);
}
