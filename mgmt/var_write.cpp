#include "mgmt/var_write.h"

#include <cstdio>
#include <mutex>

#include "core/channel_event.h"
#include "core/i2c_util.h"
#include "core/log.h"
#include "core/scheduler.h"
#include "core/watchdog.h"
#include "mgmt/config_file.h"
#include "mgmt/device_settings.h"
#include "mgmt/fpga.h"
#include "mgmt/global_config.h"
#include "mgmt/mgmt_command.h"
#include "mgmt/pinger.h"
#include "mgmt/poller.h"
#include "mgmt/standalone.h"
#include "mgmt/system_settings.h"
#include "mgmt/var_store.h"
#include "mgmt/var_table.h"
#include "platform/paths.h"

namespace {

std::mutex write_hooks_mutex;
MgmtWriteHooks write_hooks;   // guarded by write_hooks_mutex; copied before use


bool is_integer(int type) { return type >= MyVarValue::INT8 && type <= MyVarValue::INT64; }

bool type_fits(int row, int value, bool strict)
{
    if (strict)
        return row == value;
    if (row == MyVarValue::STRING)
        return value == MyVarValue::STRING;
    return is_integer(row) && is_integer(value);
}

// .10.k.c.0 (k = 1..256) and .11.k.c.0 (k + 255)
bool write_channel_row(const std::string& id, int* k, int* c)
{
    int table = 0, used = 0;
    if (sscanf(id.c_str(), ".%d.%d.%d.0%n", &table, k, c, &used) != 3 || size_t(used) != id.size())
        return false;
    if (table == 11 && id.size() > 8)
        *k += 255;
    else if (table != 10)
        return false;
    return *k >= 1 && *k <= 256;
}

void stop_ntp_client()
{
    if (auto stop = mgmt_write_hooks().stopNtpClient)
        stop();
}

// The NTP server follows, unless overridden; the poller's supervision starts
// the client again with the new one.
void set_ntp_server(const std::string& server)
{
    if (server == device_setting(&DeviceSettings::ntpServer))
        return;
    set_device_setting(&DeviceSettings::ntpServer, server);
    stop_ntp_client();
}

void write_sw_address(const std::string& address)
{
    // the controller introduced itself: the summary leaves its start value
    varStore.updateSummary();
    if (address == device_setting(&DeviceSettings::SWAddress))
        return;
    set_device_setting(&DeviceSettings::SWAddress, address);
    if (standaloneMode.load())
        global_config_store("ntp", address);
    if (device_setting(&DeviceSettings::ntpOverride).empty())
        set_ntp_server(address);
}

// .5.0, .7.0, .8.0: eth0's address, gateway and netmask.
int write_network(const std::string& id, std::string DeviceSettings::*field, const char* key,
                  const std::string& value)
{
    // they reach the network commands and, in standalone mode, the file
    if (!ipv4_setting_valid(value)) {
        LOG(LOGF_SYSTEM, 4, "set %s: not an IPv4 address (%s)", id.c_str(), value.c_str());
        return VAR_ERROR;
    }
    std::string old = device_setting(field);
    if (value == old)
        return VAR_OK;
    MgmtWriteHooks hooks = mgmt_write_hooks();
    if (field == &DeviceSettings::ipaddr && !old.empty() && hooks.reproRemoveDomain)
        hooks.reproRemoveDomain(old);
    set_device_setting(field, value);
    if (hooks.applyNetworkSettings)
        hooks.applyNetworkSettings();
    if (standaloneMode.load())
        global_config_store(key, value);
    return VAR_OK;
}

int write_dns(const std::string& id, const std::string& dns)
{
    // the text becomes a line of the resolver file: only an address may go there
    if (!ipv4_setting_valid(dns)) {
        LOG(LOGF_SYSTEM, 4, "set %s: not an IPv4 address (%s)", id.c_str(), dns.c_str());
        return VAR_ERROR;
    }
    if (dns == device_setting(&DeviceSettings::dns))
        return VAR_OK;
    set_device_setting(&DeviceSettings::dns, dns);
    if (standaloneMode.load())
        global_config_store("dns", dns);
    if (!dns.empty())
        write_resolver_file(dns);
    return VAR_OK;
}

void write_ntp_override(const std::string& text)
{
    if (text == device_setting(&DeviceSettings::ntpOverride))
        return;
    set_device_setting(&DeviceSettings::ntpOverride, text);
    set_ntp_server(text.empty() ? device_setting(&DeviceSettings::SWAddress) : text);
}

// A JSON object from the text, or false after logging.
bool parse_object(const std::string& id, const std::string& text, JsonValue& out)
{
    MemDataSource source(text.c_str());
    if (out.parse(source) && out.kind == JSON_HASH)
        return true;
    LOG(LOGF_SYSTEM, 4, "set %s: JSON parse error (%s)", id.c_str(), text.c_str());
    return false;
}

// A module port in a chassis takes its module's type whatever was sent.
void force_module_type(int ts, JsonValue& settings)
{
    int slot = ts - 254;
    int type = moduleSlotTypes[slot].load();
    const char* name = module_port_type(type);
    if (!name) {
        settings = JsonValue();
        settings.kind = JSON_HASH;
        return;
    }
    const JsonValue* sent = settings.find("type");
    bool keep = type == MODULE_EM01 && sent && sent->kind == JSON_STRING && (sent->text == "RTP" || sent->text == "EM");
    if (!keep)
        settings["type"].setString(name);
    settings["pcmCode"].kind = JSON_INTEGER;
    settings["pcmCode"].integer = 0;
    module_driver_for(slot, type, false);
}

void write_channel_config(const std::string& id, int ts, const std::string& text)
{
    JsonValue settings;
    if (!parse_object(id, text, settings))
        return;
    if (standaloneMode.load()) {
        std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
        JsonValue& channels = globalConfig["channels"];
        if (channels.kind != JSON_HASH)
            channels = JsonValue();
        channels[std::to_string(ts)] = settings;
    } else if (ts >= 254) {
        force_module_type(ts, settings);
    }
    postEvent(ts, new JsonEvent_t(ts, EV_CHANNEL_SETTINGS, std::move(settings)));
}

void write_service_settings(const std::string& id, const std::string& text)
{
    JsonValue settings;
    if (!parse_object(id, text, settings))
        return;
    const JsonValue* uri = settings.find("uri");
    std::string key = uri ? uri->text : std::string();
    postChannelEvent(new DVOEvent_t(key, std::move(settings)));
}

int write_channel(const std::string& id, int k, int c, int value, const std::string& text)
{
    int ts = k - 1;
    if (c == 4) {
        if (value == 1)
            postEvent(ts, new channel_event_t(ts, EV_HANGUP, 0));
        else
            postEvent(ts, new channel_event_t(ts, EV_CHANNEL_COMMAND, value));
        return VAR_OK;
    }
    if (c == 1)
        write_channel_config(id, ts, text);
    else if (c == 6)
        write_service_settings(id, text);
    return VAR_OK;
}

void write_sync_channel(int value)
{
    set_device_setting(&DeviceSettings::syncChan, value);
    if (auto sync = mgmt_write_hooks().setSyncChannel; sync && msp_ready.load())
        sync(value);
}

}  // namespace

void mgmt_set_write_hooks(const MgmtWriteHooks& h)
{
    std::lock_guard<std::mutex> lock(write_hooks_mutex);
    write_hooks = h;
}

MgmtWriteHooks mgmt_write_hooks()
{
    std::lock_guard<std::mutex> lock(write_hooks_mutex);
    return write_hooks;
}

void write_master(int value, bool ntg)
{
    set_device_setting(&DeviceSettings::master, value);
    fpga_write_reg(FPGA_MODE, value > 0 ? 1 : 0);
    if (auto config = mgmt_write_hooks().ntgConfig; config && ntg)
        config(value > 0, false, value > 0, false);
    fpga_write_reg(FPGA_MASTER_CLOCK, (value & 1) ? 2 : 0);
    fpga_write_reg(FPGA_MASTER_BIT1, value & 2);
}

int poller_write_var(const std::string& id, const MyVarValue& value, bool strict)
{
    auto row = varTable.find(id);
    if (row == varTable.end())
        return VAR_NOT_FOUND;
    if (row->second.access == VAR_RO)
        return VAR_ACCESS_DENIED;
    if (!type_fits(row->second.type, value.type, strict))
        return VAR_WRONG_TYPE;

    int v = int(int32_t(uint32_t(value.value)));
    int k = 0, c = 0;
    if (id == ".6.0") {
        write_sw_address(value.text);
    } else if (id == ".11.0") {
        return write_dns(id, value.text);
    } else if (id == ".12.0") {
        if (v == 1)
            poller_reboot();
    } else if (id == ".13.0") {
        tdm0_mode.store(v);
        fpga_write_reg(FPGA_TDM0_MODE, v);
    } else if (id == ".16.0") {
        write_master(v, msp_ready.load());
    } else if (id == ".17.0") {
        write_sync_channel(v);
    } else if (id == ".30.4.1.0") {
        if (value.text == "alarmTest") {
            uint64_t timer = 0;
            fpga_write_reg(FPGA_RELAY, 1);
            if (main_scheduler)
                sched_add_timer(main_scheduler, "alarmTest", 1000, finish_alarm_test, nullptr, &timer);
        } else if (value.text == "reset") {
            uint64_t timer = 0;
            i2c_write(POE_CONTROLLER, 26, 4);
            if (main_scheduler)
                sched_add_timer(main_scheduler, "reset", 1000, finish_poe_reset, nullptr, &timer);
        }
    } else if (id == ".30.8.1.0") {
        write_ntp_override(value.text);
    } else if (sscanf(id.c_str(), ".14.%d.%d.0", &k, &c) == 2 && c == 1 && k >= 1 && k <= 8) {
        e1num[k - 1].store(v);
        fpga_write_reg(FPGA_E1NUM + unsigned(k) - 1, v);
    } else if (write_channel_row(id, &k, &c)) {
        return write_channel(id, k, c, v, value.text);
    } else if (id == ".5.0") {
        return write_network(id, &DeviceSettings::ipaddr, "ipaddr", value.text);
    } else if (id == ".7.0") {
        return write_network(id, &DeviceSettings::gateway, "gateway", value.text);
    } else if (id == ".8.0") {
        return write_network(id, &DeviceSettings::netmask, "netmask", value.text);
    } else if (id == ".20.0") {
        mgmt_command(id, value.text);
    } else if (id == ".30.1.1.0") {
        write_ipv6_mode(id, value.text);
    } else if (id == ".30.2.1.0") {
        write_ipv6_address(id, value.text);
    } else if (id == ".30.6.1.0") {
        write_syslog_settings(id, value.text);
    } else if (id == ".30.7.1.0") {
        if (!pinger_start(value.text)) {
            LOG(LOGF_SYSTEM, 3, "Writing variable %s: the pinger is not running", id.c_str());
            return VAR_ERROR;
        }
    }
    return VAR_OK;
}
