// Writing each variable: its effect on the settings, the events posted, the
// files written and what the layers above are asked to do.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>

#include "core/event_queue.h"
#include "core/log.h"
#include "core/main_thread.h"
#include "core/reg_sync.h"
#include "core/watchdog.h"
#include "core/scheduler.h"
#include "mgmt/config_file.h"
#include "mgmt/device_settings.h"
#include "mgmt/fpga.h"
#include "mgmt/global_config.h"
#include "mgmt/mgmt_command.h"
#include "mgmt/module.h"
#include "mgmt/poller.h"
#include "mgmt/system_settings.h"
#include "mgmt/var_store.h"
#include "mgmt/var_table.h"
#include "mgmt/var_write.h"
#include "platform/paths.h"
#include "platform/wall_clock.h"
#include "sim/fpga/fpga_simulator.h"
#include "sim/i2c/i2c_simulator.h"
#include "support/file_text.h"
#include "support/log_capture.h"
#include "support/net_namespace.h"

namespace {

MyVarValue text(const std::string& t) { return MyVarValue(t); }
MyVarValue i8(int v) { return MyVarValue(MyVarValue::INT8, v); }

struct BareDriver : Module {};

// What the layers above were asked to do, one line a call.
std::vector<std::string> calls;
BareDriver drivers[2];
std::vector<timeval> clockSets;

void install_hooks()
{
    calls.clear();
    clockSets.clear();
    MgmtWriteHooks h;
    h.applyNetworkSettings = [] { calls.push_back("network"); };
    h.stopNtpClient = [] { calls.push_back("stop ntpclient"); };
    h.reproRestart = [] { calls.push_back("repro_restart"); };
    h.reproRemoveDomain = [](const std::string& d) { calls.push_back("remove domain " + d); };
    h.updateUserDirectory = [](const JsonValue& list, bool clear, bool end) {
        calls.push_back("users " + list.toString() + " " + std::to_string(clear) + std::to_string(end));
    };
    h.proxyChunk = [](const JsonValue& c) { calls.push_back("proxy " + c.toString()); };
    h.setIp6 = [](const uint8_t a[16], int prefix) {
        calls.push_back("msp ip6 " + std::to_string(a[0] | a[15]) + "/" + std::to_string(prefix));
        return 0;
    };
    h.ntgConfig = [](bool on, bool f1, bool f2, bool f3) {
        calls.push_back("ntg " + std::to_string(on) + std::to_string(f1) + std::to_string(f2) + std::to_string(f3));
        return 0;
    };
    h.setSyncChannel = [](int ts) { calls.push_back("sync " + std::to_string(ts)); };
    h.createModule = [](int slot, int type) -> Module* {
        calls.push_back("driver " + std::to_string(slot) + " " + std::to_string(type));
        return &drivers[slot];
    };
    mgmt_set_write_hooks(h);
    platform_set_wall_clock_setter([](const timeval* tv) {
        if (tv->tv_sec < 0) {
            errno = EINVAL;
            return -1;
        }
        clockSets.push_back(*tv);
        return 0;
    });
}

class VarWrite : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/var-write-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root = dir;
        platform_set_root(root);
        std::filesystem::create_directories(root + "/tmp");
        main_thread_set();
        if (!event_queue) {
            ASSERT_EQ(std_queue_create(&event_queue, 2048), 0);
        }
        events();
        var_table_init();
        poller_reset_state();
        varStore.reset();
        device_settings_reset();
        global_config_reset();
        tlsApplied = true;
        install_hooks();
    }
    void TearDown() override
    {
        mgmt_set_write_hooks({});
        platform_set_wall_clock_setter(nullptr);
        standaloneMode = false;
        events();
        global_config_reset();
        device_settings_reset();
        poller_reset_state();
        varStore.reset();
        platform_set_root("");
        std::filesystem::remove_all(root);
    }

    int set(const std::string& id, const MyVarValue& v, bool strict = true) { return poller_write_var(id, v, strict); }
    int command(const std::string& json) { return set(".20.0", text(json)); }

    // "<channel> <code> <data or json>", DVO events with their key.
    static std::vector<std::string> events()
    {
        std::vector<std::string> out;
        while (event_queue) {
            channel_event_t* e = std_queue_dequeue(event_queue);
            if (!e)
                break;
            std::string line = std::to_string(e->channel) + " " + std::to_string(e->code);
            if (auto* dvo = dynamic_cast<DVOEvent_t*>(e))
                line += " [" + dvo->subscriber + "]";
            if (auto* j = dynamic_cast<JsonEvent_t*>(e))
                line += " " + j->value.toString();
            else
                line += " " + std::to_string(e->data);
            out.push_back(line);
            delete e;
        }
        return out;
    }

    std::string config(const char* key)
    {
        std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
        const JsonValue* v = globalConfig.find(key);
        return v ? v->toString() : "-";
    }

    std::string root;
    LogCapture logs{7};
};

// .5.0, .7.0, .8.0 and .11.0: the address settings.
TEST_F(VarWrite, NetworkSettingsChangeOnlyOnANewValueAndAreKeptInStandalone)
{
    struct Case {
        const char* id;
        std::string DeviceSettings::*field;
        const char* key;
        std::vector<std::string> asked;   // for a first value
    };
    const Case cases[] = {
        {".5.0", &DeviceSettings::ipaddr, "ipaddr", {"network"}},
        {".7.0", &DeviceSettings::gateway, "gateway", {"network"}},
        {".8.0", &DeviceSettings::netmask, "netmask", {"network"}},
        {".11.0", &DeviceSettings::dns, "dns", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        for (bool standalone : {false, true}) {
            standaloneMode = standalone;
            device_settings_reset();
            global_config_reset();
            calls.clear();
            EXPECT_EQ(set(c.id, text("10.0.0.1")), VAR_OK);
            EXPECT_EQ(device_setting(c.field), "10.0.0.1");
            EXPECT_EQ(calls, c.asked);
            EXPECT_EQ(config(c.key), standalone ? "\"10.0.0.1\"" : "-");
            // the same value again: nothing is touched
            calls.clear();
            EXPECT_EQ(set(c.id, text("10.0.0.1")), VAR_OK);
            EXPECT_TRUE(calls.empty());
            // text that is no address never reaches a setting or a file
            EXPECT_EQ(set(c.id, text("10.0.0.2\nnameserver 6.6.6.6")), VAR_ERROR);
            EXPECT_EQ(device_setting(c.field), "10.0.0.1");
        }
    }
    EXPECT_EQ(slurp(root + "/tmp/resolv.conf.auto"), "nameserver 10.0.0.1\n");
}

TEST_F(VarWrite, ANewLocalAddressLeavesTheProxyDomainOfTheOldOne)
{
    set(".5.0", text("10.0.0.1"));
    calls.clear();
    set(".5.0", text("10.0.0.9"));
    EXPECT_EQ(calls, (std::vector<std::string>{"remove domain 10.0.0.1", "network"}));
}

// .6.0 and .30.8.1.0: the controller's address and the NTP server.
TEST_F(VarWrite, TheControllerAddressIsTheNtpServerUnlessOverridden)
{
    standaloneMode = true;
    EXPECT_EQ(set(".6.0", text("10.9.0.1")), VAR_OK);
    DeviceSettings s = device_settings();
    EXPECT_EQ(s.SWAddress, "10.9.0.1");
    EXPECT_EQ(s.ntpServer, "10.9.0.1");
    EXPECT_EQ(config("ntp"), "\"10.9.0.1\"");
    EXPECT_EQ(calls, std::vector<std::string>{"stop ntpclient"});

    calls.clear();
    set(".30.8.1.0", text("ntp.example"));
    set(".30.8.1.0", text("ntp.example"));
    set(".6.0", text("10.9.0.2"));   // the override holds
    EXPECT_EQ(device_setting(&DeviceSettings::ntpServer), "ntp.example");
    set(".30.8.1.0", text(""));      // back to the controller
    EXPECT_EQ(device_setting(&DeviceSettings::ntpServer), "10.9.0.2");
    EXPECT_EQ(calls, (std::vector<std::string>{"stop ntpclient", "stop ntpclient"}));
}

// .10.k.1.0: channel configuration.
TEST_F(VarWrite, ChannelConfigurationIsPostedAndModulePortsGetTheirModulesType)
{
    moduleSlotTypes[0] = MODULE_FS01;
    moduleSlotTypes[1] = MODULE_NONE;
    const char* sent = R"({"type":"SIP","pcmCode":1,"uri":"5@h"})";
    EXPECT_EQ(set(".10.255.1.0", text(sent)), VAR_OK);
    EXPECT_EQ(set(".10.256.1.0", text(sent)), VAR_OK);
    EXPECT_EQ(set(".10.3.1.0", text(sent)), VAR_OK);
    EXPECT_EQ(set(".11.1.1.0", text(R"({"type":"X"})")), VAR_OK);   // channel 256
    EXPECT_EQ(events(), (std::vector<std::string>{
                            R"(254 19 {"pcmCode":0,"type":"FS01","uri":"5@h"})",
                            "255 19 {}",
                            R"(2 19 {"pcmCode":1,"type":"SIP","uri":"5@h"})",
                            "255 19 {}",
                        }));
    EXPECT_EQ(calls, std::vector<std::string>{"driver 0 9"});
    EXPECT_EQ(moduleTable[0].load(), &drivers[0]);

    // EM01 keeps "RTP" and "EM"
    moduleSlotTypes[1] = MODULE_EM01;
    for (const char* type : {"EM", "RTP", "FS01"})
        set(".10.256.1.0", text(std::string(R"({"type":")") + type + "\"}"));
    EXPECT_EQ(events(), (std::vector<std::string>{R"(255 19 {"pcmCode":0,"type":"EM"})",
                                                  R"(255 19 {"pcmCode":0,"type":"RTP"})",
                                                  R"(255 19 {"pcmCode":0,"type":"RTP"})"}));

    // standalone: stored and posted as sent
    standaloneMode = true;
    set(".10.255.1.0", text(sent));
    EXPECT_EQ(events(), std::vector<std::string>{R"(254 19 {"pcmCode":1,"type":"SIP","uri":"5@h"})"});
    EXPECT_EQ(config("channels"), R"({"254":{"pcmCode":1,"type":"SIP","uri":"5@h"}})");

    // malformed text: logged, nothing posted
    EXPECT_EQ(set(".10.3.1.0", text("{\"type\":")), VAR_OK);
    EXPECT_TRUE(logs.contains("set .10.3.1.0: JSON parse error ({\"type\":)"));
    EXPECT_TRUE(events().empty());
}

// .10.k.4.0, .10.k.6.0: channel commands and service settings.
TEST_F(VarWrite, ChannelCommandsAndServiceSettingsArePosted)
{
    set(".10.5.4.0", i8(1));
    set(".10.5.4.0", i8(7));
    set(".10.5.6.0", text(R"({"uri":"7@h","cfu":"8"})"));
    set(".10.5.6.0", text(R"({"cfu":"8"})"));
    set(".10.5.6.0", text("nonsense"));
    EXPECT_EQ(events(), (std::vector<std::string>{"4 " + std::to_string(EV_HANGUP) + " 0",
                                                  "4 " + std::to_string(EV_CHANNEL_COMMAND) + " 7",
                                                  R"(-1 29 [7@h] {"cfu":"8","uri":"7@h"})",
                                                  R"(-1 29 [] {"cfu":"8"})"}));
    EXPECT_TRUE(logs.contains("set .10.5.6.0: JSON parse error (nonsense)"));
}

// .12.0, .13.0, .14.n.1.0, .16.0, .17.0 and the alarm test: the board's own
// words and registers.
TEST_F(VarWrite, BoardWordsReachTheirRegisters)
{
    FpgaSimulator fpga;
    fpga.setConfigured(true);
    spi_set_opener(fpga.opener());
    fpgaSpi.close();
    struct Restore {
        ~Restore()
        {
            fpgaSpi.close();
            spi_set_opener(nullptr);
            msp_ready = false;
        }
    } restore;

    EXPECT_EQ(set(".13.0", MyVarValue(MyVarValue::INT32, 1)), VAR_WRONG_TYPE);
    EXPECT_EQ(fpga.reg(FPGA_TDM0_MODE), -1);
    EXPECT_EQ(set(".13.0", MyVarValue(MyVarValue::INT32, 1), false), VAR_OK);
    EXPECT_EQ(tdm0_mode.load(), 1);
    EXPECT_EQ(fpga.reg(FPGA_TDM0_MODE), 1);
    set(".14.3.1.0", i8(0x21));
    set(".14.3.2.0", i8(0x55));
    EXPECT_EQ(e1num[2].load(), 0x21);
    EXPECT_EQ(fpga.reg(FPGA_E1NUM + 2), 0x21);

    // the clock master: mode, clock source and bit 1; the media processor
    // only hears of it once it is up
    struct Master {
        int value;
        bool ready;
        int mode, clock, bit1;
        std::vector<std::string> asked;
    };
    const Master masters[] = {
        {3, true, 1, 2, 2, {"ntg 1010"}},
        {2, false, 1, 0, 2, {}},
        {0, true, 0, 0, 0, {"ntg 0000"}},
    };
    for (const Master& m : masters) {
        SCOPED_TRACE(m.value);
        msp_ready = m.ready;
        calls.clear();
        EXPECT_EQ(set(".16.0", i8(m.value)), VAR_OK);
        EXPECT_EQ(device_setting(&DeviceSettings::master), m.value);
        EXPECT_EQ(fpga.reg(FPGA_MODE), m.mode);
        EXPECT_EQ(fpga.reg(FPGA_MASTER_CLOCK), m.clock);
        EXPECT_EQ(fpga.reg(FPGA_MASTER_BIT1), m.bit1);
        EXPECT_EQ(calls, m.asked);
    }

    calls.clear();
    msp_ready = false;
    set(".17.0", i8(12));
    EXPECT_EQ(device_setting(&DeviceSettings::syncChan), 12);
    msp_ready = true;
    set(".17.0", i8(13));
    EXPECT_EQ(calls, std::vector<std::string>{"sync 13"});

    EXPECT_EQ(set(".30.4.1.0", text("alarmTest")), VAR_OK);
    EXPECT_EQ(fpga.reg(FPGA_RELAY), 1);
    finish_alarm_test(nullptr);
    EXPECT_EQ(fpga.reg(FPGA_RELAY), 0);
}

// .12.0: only 1 reboots, after the registrations are saved.
TEST_F(VarWrite, OnlyOneRebootsTheBoard)
{
    struct Saves : RegSyncTarget {
        int n = 0;
        void requestSave() override { n++; }
    } saves;
    regsync_set_target(&saves);
    spill(root + "/sbin/reboot", "#!/bin/sh\necho \"$0\" >> " + root + "/rebooted\n");
    std::filesystem::permissions(root + "/sbin/reboot", std::filesystem::perms::owner_all);
    poller_set_sleep([](int) {});
    EXPECT_EQ(set(".12.0", i8(2)), VAR_OK);
    EXPECT_EQ(saves.n, 0);
    EXPECT_EQ(set(".12.0", i8(1)), VAR_OK);
    poller_set_sleep(nullptr);
    regsync_set_target(nullptr);
    EXPECT_EQ(saves.n, 1);
    EXPECT_EQ(slurp(root + "/rebooted"), root + "/sbin/reboot\n");
}

// .20.0: key file chunks.
TEST_F(VarWrite, KeyFileChunksAreWrittenInOrderWithinTheLimit)
{
    std::string staging = root + "/tmp/ssl/sslkey.tmp";
    command(R"({"file":"sslkey","off":0,"data":"ABCDEF"})");
    EXPECT_FALSE(tlsApplied.load());
    command(R"({"file":"sslkey","off":3,"data":"xy"})");
    EXPECT_EQ(slurp(staging), "ABCxy");
    EXPECT_EQ(std::filesystem::status(staging).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read);

    struct Case {
        const char* json;
        const char* log;
    };
    const Case refused[] = {
        {R"({"file":"sslkey","off":50000,"data":"$60000"})", "sslkey.tmp: size limit reached"},
        {R"({"file":"sslkey","off":-3,"data":"zz"})", "sslkey.tmp: size limit reached"},
        {R"({"file":"sslkey","off":2147483647,"data":"zz"})", "sslkey.tmp: size limit reached"},
        {R"({"file":"../../etc/passwd","off":0,"data":"zz"})", "skipping reception of unknown file '../../etc/passwd'"},
        {R"({"file":"sslkey","off":"0","data":"zz"})", nullptr},
        {R"({"file":"sslkey","data":"zz"})", nullptr},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.json);
        std::string json = c.json;
        if (size_t at = json.find("$60000"); at != std::string::npos)
            json.replace(at, 6, std::string(60000, 'k'));
        logs.clear();
        EXPECT_EQ(command(json), VAR_OK);
        EXPECT_EQ(slurp(staging), "ABCxy");
        if (c.log) {
            EXPECT_TRUE(logs.contains(c.log));
        }
    }
    EXPECT_FALSE(std::filesystem::exists(root + "/etc/passwd"));
    command(R"({"file":"sslkey","off":99998,"data":"zz"})");   // up to the limit exactly
    EXPECT_EQ(std::filesystem::file_size(staging), 100000u);
}

// .20.0 "sslapply": the received files go live once.
TEST_F(VarWrite, SslApplyPutsReceivedFilesInPlaceOnce)
{
    spill(root + "/tmp/ssl/sslcert", "OLD");
    spill(root + "/tmp/ssl/authorized_keys", "K1");
    command(R"({"file":"sslcert","off":0,"data":"NEW"})");
    command(R"({"file":"ssh_keys","off":0,"data":"K2"})");
    command(R"({"cmd":"sslapply"})");
    EXPECT_EQ(slurp(root + "/tmp/ssl/sslcert"), "NEW");
    EXPECT_EQ(slurp(root + "/tmp/ssl/authorized_keys"), "K2");
    EXPECT_TRUE(tlsApplied.load());
    EXPECT_TRUE(logs.contains("===> command sslapply received"));
    EXPECT_EQ(calls, std::vector<std::string>{"repro_restart"});
    {
        // the controller learns that the files are in place
        MutexLock lock(varStore.mutex);
        auto v = varStore.values.find(".2.0");
        ASSERT_NE(v, varStore.values.end());
        EXPECT_EQ(v->second.type, MyVarValue::INT32);
        EXPECT_EQ(v->second.value, 29);
    }

    calls.clear();
    spill(root + "/tmp/ssl/sslcert.tmp", "NEWER");
    command(R"({"cmd":"sslapply"})");   // no chunk since: nothing
    EXPECT_EQ(slurp(root + "/tmp/ssl/sslcert"), "NEW");
    EXPECT_TRUE(calls.empty());
}

// .20.0 "globalconf", "eth2", "userlist", "ctime", proxy tables.
TEST_F(VarWrite, Commands)
{
    standaloneMode = true;
    command(R"({"cmd":"globalconf","ipaddr2":"192.168.5.1","netmask2":"255.255.255.0","dhcp_server":"192.168.5.9","dhcp":"-x"})");
    DeviceSettings s = device_settings();
    EXPECT_EQ(s.ipaddr2, "192.168.5.1");
    EXPECT_EQ(config("dhcp_server_addr"), "\"192.168.5.9\"");
    EXPECT_EQ(config("ipaddr2"), "\"192.168.5.1\"");
    EXPECT_EQ(events(), std::vector<std::string>{
                            R"(-1 19 {"cmd":"globalconf","dhcp":"-x","dhcp_server":"192.168.5.9","ipaddr2":"192.168.5.1","netmask2":"255.255.255.0"})"});
    // unchanged settings and no server: the server goes, the network is applied again
    command(R"({"cmd":"globalconf","ipaddr2":"192.168.5.1"})");
    EXPECT_EQ(config("dhcp_server_addr"), "-");
    command(R"({"cmd":"globalconf"})");
    command(R"({"cmd":"globalconf","dhcp_server":"1.2.3.4\noption dhcp-script /tmp/x"})");
    EXPECT_EQ(config("dhcp_server_addr"), "-");
    EXPECT_EQ(calls, (std::vector<std::string>{"network", "network"}));
    EXPECT_EQ(events().size(), 3u);

    calls.clear();
    standaloneMode = false;
    command(R"({"cmd":"eth2","ipaddr2":"10.2.2.2"})");
    EXPECT_EQ(device_setting(&DeviceSettings::ipaddr2), "10.2.2.2");   // a chassis reads the setting
    EXPECT_EQ(config("ipaddr2"), "\"10.2.2.2\"");
    command(R"({"cmd":"userlist","list":[{"n":"a"}],"clear":true})");
    command(R"({"cmd":"userlist","list":[],"clear":1,"end":0})");
    command(R"({"cmd":"userlist","list":{}})");
    command(R"({"cmd":"routes","off":0,"data":"x"})");
    EXPECT_EQ(calls, (std::vector<std::string>{"network", "users [{\"n\":\"a\"}] 10", "users [] 01",
                                               "proxy {\"cmd\":\"routes\",\"data\":\"x\",\"off\":0}"}));

    command(R"({"cmd":"ctime","time":1700000000})");
    command(R"({"cmd":"ctime","time":-5})");
    ASSERT_EQ(clockSets.size(), 1u);
    EXPECT_EQ(clockSets[0].tv_sec, 1700000000);
    EXPECT_EQ(clockSets[0].tv_usec, 0);
    EXPECT_TRUE(logs.contains("error settimg current time: Invalid argument"));

    logs.clear();
    command("{\"cmd\":");
    command("[1]");
    EXPECT_EQ(logs.count("set .20.0: JSON parse error"), 2u);
}

// .30.4.1.0: PoE reset and the alarm test.
TEST_F(VarWrite, PoeResetAndAlarmTest)
{
    I2cSimulator i2c;
    i2c.install();
    EXPECT_EQ(set(".30.4.1.0", text("reset")), VAR_OK);
    EXPECT_EQ(i2c.writes(I2cSimulator::POE), (std::vector<std::vector<uint8_t>>{{26, 4}}));
    finish_poe_reset(nullptr);
    EXPECT_EQ(i2c.poeRegister(20), 0xFF);
    EXPECT_EQ(set(".30.4.1.0", text("other")), VAR_OK);
    EXPECT_EQ(i2c.writes(I2cSimulator::POE).size(), 2u);
}

// .30.6.1.0: syslog settings.
TEST_F(VarWrite, SyslogSettingsRewriteTheLoggerConfiguration)
{
    int level = log_level;
    poller_set_syslog("", "");
    // the logger is restarted through the root's shell, never the host's
    spill(root + "/bin/sh", "#!/bin/sh\necho \"$@\" >> " + root + "/sh.calls\n");
    std::filesystem::permissions(root + "/bin/sh", std::filesystem::perms::owner_all);
    spill(root + "/etc/config/system", "config system\n        option hostname gw\n        option log_size 64\n");
    EXPECT_EQ(set(".30.6.1.0", text("7")), VAR_OK);
    EXPECT_EQ(log_level.load(), 7);
    EXPECT_EQ(slurp(root + "/etc/config/system"),
              "config system\n        option hostname gw\n"
              "        option log_type circular\n        option log_file /www/messages\n"
              "        option log_size 10240\n        option log_prio 7\n");
    EXPECT_EQ(poller_syslog_spec(), "7");
    EXPECT_EQ(poller_syslog_type(), "circular");

    std::filesystem::remove(root + "/etc/config/system");
    EXPECT_EQ(set(".30.6.1.0", text("9,file")), VAR_OK);
    EXPECT_EQ(log_level.load(), 7);
    EXPECT_EQ(slurp(root + "/etc/config/system"),
              "        option log_type file\n        option log_file /www/messages\n"
              "        option log_size 10240\n        option log_prio 9\n");
    EXPECT_EQ(poller_syslog_type(), "file");

    // a type that would add lines to the file, a priority that is no number
    for (const char* bad : {"5,file\noption x y", "five,file", "0x,file"}) {
        EXPECT_EQ(set(".30.6.1.0", text(bad)), VAR_OK);
        EXPECT_EQ(poller_syslog_spec(), "9,file");
    }
    EXPECT_EQ(slurp(root + "/etc/config/system").find("option x"), std::string::npos);
    EXPECT_EQ(slurp(root + "/sh.calls"), "-c killall syslogd; syslogd -C1024\n"
                                         "-c killall syslogd; syslogd -s 10240 -O /www/messages -b 10 -S\n");
    log_level = level;
}

// .30.1.1.0 and .30.2.1.0: eth0's IPv6, in a network of the test's own.
class VarWriteIpv6 : public VarWrite {
protected:
    void SetUp() override
    {
        if (!NetNamespaces::usable())
            GTEST_SKIP() << "needs root for a network namespace of its own";
        net.build();
        if (HasFatalFailure())
            return;
        VarWrite::SetUp();
        std::filesystem::create_directories(root + "/proc/sys/net/ipv6/conf/eth0");
    }
    std::string eth0()
    {
        FILE* p = popen("ip -6 -o addr show dev eth0 | awk '{print $4}' | sort", "r");
        std::string out;
        char line[128];
        while (p && fgets(line, sizeof line, p))
            out += line;
        if (p)
            pclose(p);
        return out;
    }
    std::string pinfo() { return slurp(root + "/proc/sys/net/ipv6/conf/eth0/accept_ra_pinfo"); }
    NetNamespaces net;
};

TEST_F(VarWriteIpv6, ModesAndTheStaticAddress)
{
    std::string start = eth0();
    ASSERT_NE(start.find("2001:db8:1::1/64"), std::string::npos);
    ASSERT_NE(start.find("fe80::"), std::string::npos);

    set(".30.2.1.0", text("2001:db8:1::5"));   // mode 0: not taken
    EXPECT_EQ(eth0(), start);

    set(".30.1.1.0", text("1"));
    EXPECT_EQ(pinfo(), "0\n");
    set(".30.2.1.0", text("2001:db8:1::5"));
    std::string now = eth0();
    EXPECT_NE(now.find("2001:db8:1::5/128"), std::string::npos);
    EXPECT_EQ(now.find("2001:db8:1::1/64"), std::string::npos);
    EXPECT_NE(now.find("fe80::"), std::string::npos);
    set(".30.2.1.0", text("2001:db8:1::6/64"));
    EXPECT_NE(eth0().find("2001:db8:1::6/64"), std::string::npos);
    for (const char* bad : {"2001:db8::zz", "2001:db8::1/129", "2001:db8::1/", "10.0.0.1"}) {
        set(".30.2.1.0", text(bad));
        EXPECT_TRUE(logs.contains(std::string("invalid IPv6 address received: ") + bad)) << bad;
    }

    set(".30.1.1.0", text("2"));
    EXPECT_EQ(eth0(), "");
    EXPECT_EQ(calls, std::vector<std::string>{"msp ip6 0/-1"});
    set(".30.1.1.0", text("0"));
    EXPECT_EQ(pinfo(), "1\n");
    EXPECT_EQ(device_setting(&DeviceSettings::ipv6Mode), 0);
}

}  // namespace
