#include "mgmt/management_requests.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/channel_table.h"
#include "core/i2c_util.h"
#include "core/log.h"
#include "core/netif.h"
#include "core/rtnetlink.h"
#include "core/watchdog.h"
#include "mgmt/device_settings.h"
#include "mgmt/management_link.h"
#include "mgmt/pinger.h"
#include "mgmt/poller.h"
#include "mgmt/var_store.h"
#include "mgmt/var_table.h"
#include "mgmt/var_write.h"
#include "platform/command.h"
#include "platform/paths.h"

namespace {

constexpr int BOARD_TYPE = 293;
constexpr const char* BOARD_NAME = "ZR-40";

std::mutex hooks_mutex;
MgmtReadHooks hooks;   // guarded by hooks_mutex; copied before use

MgmtReadHooks read_hooks()
{
    std::lock_guard<std::mutex> lock(hooks_mutex);
    return hooks;
}

MyVarValue integer(int type, int64_t v) { return MyVarValue(type, v); }
MyVarValue text(std::string s) { return MyVarValue(std::move(s)); }

MyVarValue status_only(int status)
{
    MyVarValue v(MyVarValue::INT8, 0);
    v.status = status;
    return v;
}

MyVarValue not_implemented(const std::string& id)
{
    LOG(LOGF_SYSTEM, 3, "Reading variable %s not implemented", id.c_str());
    return status_only(VAR_NOT_FOUND);
}

std::string ipv4_text(const in_addr& a)
{
    char buf[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, buf, sizeof buf) ? buf : "";
}

// eth0, or ppp0 while pppd runs.
const char* wan_interface()
{
    bool (*ppp)() = read_hooks().pppdRunning;
    return ppp && ppp() ? "ppp0" : "eth0";
}

std::string interface_value(int (*get)(const char*, in_addr*))
{
    in_addr a{};
    return get(wan_interface(), &a) == 0 ? ipv4_text(a) : "";
}

std::string gateway_text()
{
    std::string configured = device_setting(&DeviceSettings::gateway);
    if (!configured.empty())
        return configured;
    in_addr a{};
    if (get_default_gateway(&a) == 0)
        return ipv4_text(a);
    if (get_if_dstaddr("ppp0", &a) == 0)
        return ipv4_text(a);
    return "";
}

std::string dns_text()
{
    std::string configured = device_setting(&DeviceSettings::dns);
    if (!configured.empty())
        return configured;
    FILE* f = fopen(platform_path("/tmp/resolv.conf.auto").c_str(), "r");
    if (!f)
        return "";
    char line[256], server[128];
    std::string found;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "nameserver %127s", server) == 1) {
            found = server;
            break;
        }
    fclose(f);
    return found;
}

std::string channel_mask()
{
    std::string mask(33, '\0');
    MutexLock lock(channel_table_mutex);
    for (int ts = 0; ts < CHANNEL_TABLE_SIZE; ts++)
        if (channel_table[ts]) {
            int k = ts + 1;
            mask[size_t(k / 8)] = char(uint8_t(mask[size_t(k / 8)]) | (1u << (k % 8)));
        }
    return mask;
}

// A PoE controller register in decimal; "" when it cannot be read (the
// controller's -1 would read as a value).
std::string poe_register(int reg)
{
    uint8_t b = 0;
    bool opened = false;
    if (i2c_read_register(POE_CONTROLLER, reg, &b, 1, &opened) < 0) {
        if (opened)
            LOG(LOGF_SYSTEM, 3, "i2c_read(0x%02x): %s", reg, strerror(errno));
        return "";
    }
    return std::to_string(b);
}

std::string poe_power()
{
    uint8_t b = 0;
    bool opened = false;
    if (i2c_read_register(POE_CONTROLLER, 0x10, &b, 1, &opened) < 0)
        return "";
    return (b & 4) ? poe_register(0x0E) : "0";
}

// .10.k.c.0 and .11.k.c.0: channel k (1..256) and column c; false for any
// other form.
bool channel_row(const std::string& id, int* k, int* c)
{
    int table = 0, used = 0;
    if (sscanf(id.c_str(), ".%d.%d.%d.%n", &table, k, c, &used) != 3 || used == 0)
        return false;
    if (id.compare(size_t(used), std::string::npos, "0") != 0)
        return false;
    if (table == 11) {
        if (id.size() <= 7)
            return false;
        *k += 255;
    } else if (table != 10) {
        return false;
    }
    return *k >= 1 && *k <= CHANNEL_TABLE_SIZE;
}

MyVarValue read_channel(const std::string& id, int k, int c)
{
    if (c >= 10 && c <= 19)
        return integer(MyVarValue::INT8, varStore.alarmLevel(id));
    if (c != 1 && c != 2 && c != 3 && c != 5)
        return not_implemented(id);
    std::string (*json)(AbstractChannel*, int) = read_hooks().channelJson;
    MutexLock lock(channel_table_mutex);
    AbstractChannel* ch = channel_table[k - 1];
    if (!ch)
        return text("{}");
    if (!json)
        return not_implemented(id);
    return text(json(ch, c));
}

// .14.n.1.0 and .14.n.2.0, n = 1..8
bool e1_row(const std::string& id, int* n, int* column)
{
    int used = 0;
    if (sscanf(id.c_str(), ".14.%d.%d.0%n", n, column, &used) != 2 || size_t(used) != id.size())
        return false;
    return *n >= 1 && *n <= 8 && (*column == 1 || *column == 2);
}

// .30.n.1.0
bool param_row(const std::string& id, int* n)
{
    int used = 0;
    return sscanf(id.c_str(), ".30.%d.1.0%n", n, &used) == 1 && size_t(used) == id.size();
}

MyVarValue read_param(const std::string& id, int n)
{
    MgmtReadHooks h = read_hooks();
    switch (n) {
    case 1:
        return text(std::to_string(device_setting(&DeviceSettings::ipv6Mode)));
    case 2:
        if (!msp_ready.load() || !h.mspIp6)
            return text("");
        return text(h.mspIp6());
    case 3:
        return text(poe_power());
    case 4:
        return text(poe_register(0x3A));
    case 5:
        return text(poe_register(0x38));
    case 6:
        return text(poller_syslog_spec());
    case 7:
        return text(pinger_status());
    case 8:
        return text(device_setting(&DeviceSettings::ntpOverride));
    default:
        return not_implemented(id);
    }
}

MyVarValue read_known(const std::string& id)
{
    MgmtReadHooks h = read_hooks();
    if (id == ".1.0")
        return integer(MyVarValue::INT16, BOARD_TYPE);
    if (id == ".2.0")
        return text(BOARD_NAME);
    if (id == ".3.0")
        return integer(MyVarValue::INT8, varStore.summary());
    if (id == ".4.0")
        return text(describe_var_table(varTableUnexpanded));
    if (id == ".5.0") {
        std::string configured = device_setting(&DeviceSettings::ipaddr);
        return text(!configured.empty() ? configured : interface_value(get_if_addr));
    }
    if (id == ".6.0")
        return text(device_setting(&DeviceSettings::SWAddress));
    if (id == ".7.0")
        return text(gateway_text());
    if (id == ".8.0") {
        std::string configured = device_setting(&DeviceSettings::netmask);
        return text(!configured.empty() ? configured : interface_value(get_if_netmask));
    }
    if (id == ".9.0")
        return text(channel_mask());
    if (id == ".11.0")
        return text(dns_text());
    if (id == ".13.0")
        return integer(MyVarValue::INT8, tdm0_mode.load());
    if (id == ".15.0") {
        uint32_t alarms = e1AlarmBits.load();
        uint32_t v = alarms | statusByteSnapshot.load() << 8 | (e1EventSnapshot.load() & ~alarms) << 16;
        return integer(MyVarValue::INT32, v);
    }
    if (id == ".16.0")
        return integer(MyVarValue::INT8, device_setting(&DeviceSettings::master));
    if (id == ".17.0")
        return integer(MyVarValue::INT8, device_setting(&DeviceSettings::syncChan));
    if (id == ".18.0")
        return h.mspInfo ? text(h.mspInfo()) : not_implemented(id);
    if (id == ".19.0")
        return h.mspLoad ? integer(MyVarValue::INT8, h.mspLoad()) : not_implemented(id);
    if (id == ".21.0")
        return h.channelUsage ? integer(MyVarValue::INT8, h.channelUsage()) : not_implemented(id);
    if (id == ".22.0")
        return integer(MyVarValue::INT8, devclk.load());
    int k = 0, c = 0;
    if (channel_row(id, &k, &c))
        return read_channel(id, k, c);
    if (e1_row(id, &k, &c))
        return c == 1 ? integer(MyVarValue::INT8, e1num[k - 1].load())
                      : integer(MyVarValue::INT8, (e1AlarmBits.load() >> (k - 1)) & 1);
    if (param_row(id, &k))
        return read_param(id, k);
    return not_implemented(id);
}

void queue(ManagementLink& link, const uint8_t* packet, int length)
{
    link.queueAnswer(std::string(reinterpret_cast<const char*>(packet), size_t(length)));
}

void handle_set_request(ManagementLink& link, const uint8_t* packet, int length)
{
    uint8_t id = packet[1];
    uint32_t age = 0;
    if (const std::string* cached = link.recentAnswer(id, MGMT_DUPLICATE_MS, &age)) {
        LOG(LOGF_BOARD, 7, "duplicate request %d (%d ms)", id, int(age));
        link.requeue(*cached);
        return;
    }
    MyVarValueList values;
    if (values.parse(packet + 2, length - 2) < 0) {
        LOG(LOGF_SYSTEM, 4, "Invalid variable list in Set request");
        return;
    }
    MyVarStatusList statuses;
    for (const auto& entry : values)
        statuses[entry.first] = poller_write_var(entry.first, entry.second, true);
    uint8_t answer[2 + MGMT_ANSWER_ROOM];
    answer[0] = MGMT_SET | MGMT_ANSWER;
    answer[1] = id;
    int n = statuses.serialize(answer + 2, MGMT_ANSWER_ROOM);
    if (n < 0) {
        LOG(LOGF_SYSTEM, 4, "MyVarStatusList::serialize() error");
        return;
    }
    queue(link, answer, 2 + n);
}

void handle_control_request(ManagementLink& link, const uint8_t* packet, int length)
{
    if (length < 3)
        return;
    uint8_t id = packet[1];
    if (packet[2] == MGMT_FIRMWARE_REVISION) {
        uint8_t answer[6] = {MGMT_CONTROL | MGMT_ANSWER, id};
        memcpy(answer + 2, firmwareRevision, 4);
        queue(link, answer, sizeof answer);
    } else if (packet[2] == MGMT_REBOOT && length == 7 && memcmp(packet + 3, MGMT_REBOOT_CODE, 4) == 0) {
        // a copy: packet lies in the link's receive buffer
        uint8_t answer[3] = {MGMT_CONTROL | MGMT_ANSWER, id, 0};
        if (run_program("/sbin/reboot", {"reboot"}) == -1)
            return;   // it could not run: nothing to report
        queue(link, answer, sizeof answer);
    }
}

}  // namespace

void mgmt_set_read_hooks(const MgmtReadHooks& h)
{
    std::lock_guard<std::mutex> lock(hooks_mutex);
    hooks = h;
}

MyVarValue poller_read_var(const std::string& id)
{
    auto row = varTable.find(id);
    if (row == varTable.end())
        return status_only(VAR_NOT_FOUND);
    if (row->second.access == VAR_WO)
        return status_only(VAR_ACCESS_DENIED);
    return read_known(id);
}

void handle_get_request(ManagementLink& link, const uint8_t* packet, int length)
{
    MyVarIdList ids;
    if (length < 2 || ids.parse(packet + 2, length - 2) < 0) {
        LOG(LOGF_SYSTEM, 4, "Invalid variable list in Get request");
        return;
    }
    MyVarStatusValueList values;
    uint8_t scratch[2048];
    int used = 0;
    for (const std::string& id : ids) {
        MyVarValue v = poller_read_var(id);
        // entries are written in the list's order: each adds its own bytes
        int idLen = encode_var_id(scratch, sizeof scratch, id);
        int valueLen = idLen < 0 ? -1 : v.encodeWithStatus(scratch + idLen, sizeof scratch - size_t(idLen));
        if (valueLen < 0 || used + idLen + valueLen > MGMT_ANSWER_ROOM)
            break;   // the rest stays unanswered
        used += idLen + valueLen;
        values.emplace(id, std::move(v));
    }
    uint8_t answer[2 + MGMT_ANSWER_ROOM];
    answer[0] = MGMT_GET | MGMT_ANSWER;
    answer[1] = packet[1];
    int n = values.serialize(answer + 2, MGMT_ANSWER_ROOM);
    if (n < 0 && !values.empty()) {
        LOG(LOGF_SYSTEM, 4, "MyVarStatusValueList::serialize() error");
        return;
    }
    queue(link, answer, 2 + (n < 0 ? 0 : n));
}

void handle_request(ManagementLink& link, const uint8_t* packet, int length)
{
    if (link.queueLength() >= MGMT_QUEUE_BUSY) {
        LOG(LOGF_BOARD, 4, "--> tx queue busy");
        return;
    }
    if (length < 2)
        return;
    switch (packet[0]) {
    case MGMT_SET:
        handle_set_request(link, packet, length);
        break;
    case MGMT_GET:
        handle_get_request(link, packet, length);
        break;
    case MGMT_CONTROL:
        handle_control_request(link, packet, length);
        break;
    default:
        LOG(LOGF_BOARD, 4, "Unknown request received: %d", packet[0]);
    }
}
