#include "mgmt/var_table.h"

MyVarTable varTable;
MyVarTable varTableUnexpanded;

namespace {

struct Row {
    const char* id;
    int type;
    int access;
    const char* name;
    const char* description;
};

constexpr int I8 = MyVarValue::INT8;
constexpr int I16 = MyVarValue::INT16;
constexpr int I32 = MyVarValue::INT32;
constexpr int STR = MyVarValue::STRING;
constexpr int TAB = MyVarValue::TABLE;

// What a controller is told about (the "mib" variable).
const Row declared_rows[] = {
    {".1.0", I16, VAR_RO, "BoardType", ""},
    {".2.0", STR, VAR_RO, "BoardName", ""},
    {".3.0", I8, VAR_RO, "Alarm", ""},
    {".4.0", STR, VAR_RO, "mib", ""},
    {".5.0", STR, VAR_RW, "LocalAddress", ""},
    {".6.0", STR, VAR_RW, "SWAddress", ""},
    {".7.0", STR, VAR_RW, "GatewayAddress", ""},
    {".8.0", STR, VAR_RW, "netmask", "network mask"},
    {".9.0", STR, VAR_RO, "channel_mask", ""},
    {".10.0", TAB, 255, "channel", "#!$n=256"},
    {".10.1.1.0", STR, VAR_RW, "fullConfig", "endpoint config"},
    {".10.1.2.0", STR, VAR_RO, "shortConfig", "short config"},
    {".10.1.3.0", STR, VAR_RO, "status", "get status"},
    {".10.1.4.0", I8, VAR_WO, "cmd", "Command register"},
    {".10.1.5.0", STR, VAR_RO, "longStat", "Long status"},
    {".10.1.6.0", STR, VAR_WO, "cmd2", "DVO register"},
    {".10.1.10.0", I8, VAR_RO, "LOS", "RTP stream lost"},
    {".10.1.11.0", I8, VAR_RO, "RTCPtimeout", "RTCP timeout"},
    {".10.1.12.0", I8, VAR_RO, "RTdelay", "excessive RT delay"},
    {".10.1.13.0", I8, VAR_RO, "LossRatio", "excessive packet loss"},
    {".10.1.14.0", I8, VAR_RO, "RemLossRatio", "excessive remote packet loss"},
    {".10.1.15.0", I8, VAR_RO, "ExJitter", "excessive jitter"},
    {".10.1.16.0", I8, VAR_RO, "RemJitter", "excessive remote jitter"},
    {".10.1.17.0", I8, VAR_RO, "RHD", "Remote host is down"},
    {".11.0", STR, VAR_RW, "dns", "DNS"},
    {".12.0", I8, VAR_WO, "cmd", "Command"},
    {".13.0", I8, VAR_RW, "tdm0_mode", "TDM0 mode"},
    {".14.0", TAB, 8, "e1", "E1 table"},
    {".14.1.1.0", I8, VAR_RW, "e1num", "E1 number"},
    {".14.1.2.0", I8, VAR_RO, "MF", "MF lost"},
    {".15.0", I32, VAR_RO, "alarms", "alarms"},
    {".16.0", I8, VAR_RW, "master", "Master mode"},
    {".17.0", I8, VAR_RW, "syncChan", "clock src channel"},
    {".18.0", STR, VAR_RO, "info", "device info"},
    {".19.0", I8, VAR_RO, "load", "device load"},
    {".20.0", STR, VAR_WO, "comm", ""},
    {".21.0", I8, VAR_RO, "chann", "channels created"},
    {".22.0", I8, VAR_RO, "devclk", "clock deviation"},
    {".30.0", TAB, 8, "params", ""},
    {".30.1.1.0", STR, VAR_RW, "p", ""},
};

// Channel 256 as a controller addresses it: its encoded IDs fold .10.256
// into .11.1, so it sends .11.1.x.0.
const Row channel_256_rows[] = {
    {".11.1.1.0", STR, VAR_RW, "fullConfig", "endpoint config"},
    {".11.1.2.0", STR, VAR_RO, "shortConfig", "short config"},
    {".11.1.3.0", STR, VAR_RO, "status", "get status"},
    {".11.1.4.0", I8, VAR_WO, "cmd", "Command register"},
    {".11.1.5.0", STR, VAR_RO, "longStat", "Long status"},
    {".11.1.6.0", STR, VAR_WO, "cmd2", "DVO register"},
    {".11.1.10.0", I8, VAR_RO, "LOS", "RTP stream lost"},
    {".11.1.11.0", I8, VAR_RO, "RTCPtimeout", "RTCP timeout"},
    {".11.1.12.0", I8, VAR_RO, "RTdelay", "excessive RT delay"},
    {".11.1.13.0", I8, VAR_RO, "LossRatio", "excessive packet loss"},
    {".11.1.14.0", I8, VAR_RO, "RemLossRatio", "excessive remote packet loss"},
    {".11.1.15.0", I8, VAR_RO, "ExJitter", "excessive jitter"},
    {".11.1.16.0", I8, VAR_RO, "RemJitter", "excessive remote jitter"},
    {".11.1.17.0", I8, VAR_RO, "RHD", "Remote host is down"},
};

void add(MyVarTable& table, const Row& r)
{
    table[r.id] = MyVarDescriptor{r.type, r.access, r.name, r.description};
}

}   // namespace

void var_table_build(MyVarTable& table, MyVarTable& unexpanded)
{
    table.clear();
    for (const Row& r : declared_rows)
        add(table, r);
    unexpanded = table;
    for (const Row& r : channel_256_rows)
        add(table, r);
    expand_var_table(table);
}

void var_table_init()
{
    if (varTable.empty())
        var_table_build(varTable, varTableUnexpanded);
}
