// The configuration file: its default text, standalone entry applying it in
// order, the TLS files replaced only on change, and saving it back.
#include <filesystem>
#include <sys/stat.h>

#include "mgmt/config_file.h"
#include "mgmt/device_settings.h"
#include "mgmt/global_config.h"
#include "mgmt/standalone.h"
#include "mgmt/var_write.h"
#include "tests/mgmt/fpga_sim_fixture.h"
#include "support/file_text.h"

namespace {

bool exists(const std::string& path) { return std::filesystem::exists(path); }

struct TestDriver : Module {
    int restarts = 0;
    void restart() override { restarts++; }
};

// What the layers above were asked to do.
struct Asked {
    static inline std::vector<std::string> calls;
    static inline std::vector<int> slots;   // drivers created, by slot
    static inline TestDriver drivers[2];

    static void reset()
    {
        calls.clear();
        slots.clear();
        drivers[0].restarts = drivers[1].restarts = 0;
        MgmtWriteHooks h;
        h.applyNetworkSettings = [] { calls.push_back("network"); };
        h.reproRestart = [] { calls.push_back("repro_restart"); };
        h.updateUserDirectory = [](const JsonValue& list, bool clear, bool end) {
            calls.push_back("users " + list.toString() + (clear ? " clear" : "") + (end ? " end" : ""));
        };
        h.ntgConfig = [](bool on, bool a, bool b, bool c) {
            calls.push_back(std::string("ntg ") + char('0' + on) + char('0' + a) + char('0' + b) + char('0' + c));
            return 0;
        };
        h.createModule = [](int slot, int) -> Module* {
            slots.push_back(slot);
            return &drivers[slot];
        };
        mgmt_set_write_hooks(h);
    }
};

class ConfigTest : public FpgaSimTest {
protected:
    void SetUp() override
    {
        FpgaSimTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        device_settings_reset();
        global_config_reset();
        Asked::reset();
        moduleSlotTypes[0] = MODULE_FS01;
        moduleSlotTypes[1] = MODULE_FS01;
        std::filesystem::create_directories(root + "/etc");
        std::filesystem::create_directories(root + "/tmp");
        conf = root + "/etc/linegw.conf";
    }
    void TearDown() override
    {
        mgmt_set_write_hooks({});
        global_config_reset();
        device_settings_reset();
        FpgaSimTest::TearDown();
    }

    // Every event posted: "<channel> <code> <json>", DVO events with their key.
    std::vector<std::string> events()
    {
        std::vector<std::string> out;
        for (auto& e : drain()) {
            std::string line = std::to_string(e->channel) + " " + std::to_string(e->code);
            if (auto* dvo = dynamic_cast<DVOEvent_t*>(e.get()))
                line += " [" + dvo->subscriber + "]";
            if (auto* j = dynamic_cast<JsonEvent_t*>(e.get()))
                line += " " + j->value.toString();
            out.push_back(line);
        }
        return out;
    }

    std::vector<std::string> registerWrites()
    {
        std::vector<std::string> out;
        char text[32];
        for (const FpgaSimAccess& a : sim->writes()) {
            snprintf(text, sizeof text, "%03x=%02x", a.reg, a.data.empty() ? 0 : a.data[0]);
            out.push_back(text);
        }
        return out;
    }

    std::string conf;
};

TEST(ConfigDefault, TheDefaultTextIsOneLineOf800BytesThatReadsBackAsAnObject)
{
    std::string text = DEFAULT_CONFIG_TEXT;
    EXPECT_EQ(text.size(), 800u);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    JsonValue v;
    MemDataSource source(text.c_str());
    ASSERT_TRUE(v.parse(source));
    EXPECT_EQ(*source.position(), '\0');
    EXPECT_EQ(v.kind, JSON_HASH);
    EXPECT_EQ(v.members.size(), 13u);
}

TEST_F(ConfigTest, WithoutAFileTheDefaultIsWrittenAndBothFs01PortsAreConfigured)
{
    enter_standalone_mode();
    EXPECT_EQ(slurp(conf), DEFAULT_CONFIG_TEXT);
    EXPECT_FALSE(exists(conf + ".tmp"));
    EXPECT_TRUE(logs->contains("config file /etc/linegw.conf does not exist"));
    EXPECT_TRUE(logs->contains("creating default config file"));
    EXPECT_TRUE(standaloneMode.load());

    DeviceSettings s = device_settings();
    EXPECT_EQ(s.ipaddr, "192.168.0.254");
    EXPECT_EQ(s.netmask, "255.255.255.0");
    EXPECT_EQ(s.ipaddr2, "192.168.1.254");
    EXPECT_EQ(s.netmask2, "255.255.255.0");
    EXPECT_EQ(s.gateway, "192.168.0.1");
    EXPECT_EQ(s.dns, "192.168.0.1");
    EXPECT_EQ(s.SWAddress, "");
    EXPECT_EQ(slurp(root + "/tmp/resolv.conf.auto"), "nameserver 192.168.0.1\n");

    EXPECT_EQ(events(), (std::vector<std::string>{
                            "-1 19 {\"confFactory\":\"\",\"dhcp\":\"no\",\"dvoKeys\":\"0123 \",\"flags\":0,"
                            "\"noServ\":\"noservice\",\"tz\":\"YEKT-5\"}",
                            "254 19 {\"dial-regexp\":\"^1.\",\"pcmCode\":0,\"type\":\"FS01\",\"uri\":\"11@127.0.0.1\"}",
                            "255 19 {\"dial-regexp\":\"^1.\",\"pcmCode\":0,\"type\":\"FS01\",\"uri\":\"12@127.0.0.1\"}",
                        }));
    EXPECT_EQ(registerWrites(), (std::vector<std::string>{"105=10", "106=01", "105=00", "109=00", "10a=00"}));
    EXPECT_EQ(Asked::calls, (std::vector<std::string>{"ntg 0000", "network", "users [] clear end"}));
    EXPECT_EQ(Asked::slots, (std::vector<int>{0, 1}));
    EXPECT_EQ(moduleTable[0].load(), &Asked::drivers[0]);

    std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
    EXPECT_EQ(globalConfig.find("tdmSelect")->items.size(), 8u);
}

TEST_F(ConfigTest, EachPortGetsTheTypeOfItsModule)
{
    struct Case {
        int module;
        const char* configured;   // port 254's configured object
        const char* event;        // null: no event for the port
    };
    const Case cases[] = {
        {MODULE_FS01, R"({"type":"FS01","uri":"7@h","x":1})", R"({"type":"FS01","uri":"7@h","x":1})"},
        {MODULE_FO01, R"({"type":"FS01","uri":"7@h"})", R"({"type":"FO01"})"},
        {MODULE_EM01, R"({"type":"EM","uri":"7@h"})", R"({"type":"EM","uri":"7@h"})"},
        {MODULE_EM01, R"({"type":"RTP","a":2})", R"({"a":2,"type":"RTP"})"},
        {MODULE_EM01, R"({"type":"FS01"})", R"({"type":"RTP"})"},
        {MODULE_R485, R"({"uri":"7@h"})", R"({"type":"R485"})"},
        {MODULE_R422, R"("text")", R"({"type":"R422"})"},
        {MODULE_R232, R"({"type":5})", R"({"type":"R232"})"},
        {MODULE_NONE, R"({"type":"FS01"})", nullptr},
        {3, R"({"type":"FS01"})", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configured);
        global_config_reset();
        standaloneMode = false;
        moduleTable[0] = nullptr;
        moduleSlotTypes[0] = c.module;
        moduleSlotTypes[1] = MODULE_NONE;
        spill(conf, std::string(R"({"channels":{"254":)") + c.configured + "}}");
        enter_standalone_mode();
        std::vector<std::string> seen = events();
        if (c.event) {
            EXPECT_EQ(seen, std::vector<std::string>{std::string("254 19 ") + c.event});
            EXPECT_EQ(moduleTable[0].load(), &Asked::drivers[0]);
        } else {
            EXPECT_TRUE(seen.empty());
            EXPECT_EQ(moduleTable[0].load(), nullptr);
        }
    }
}

TEST_F(ConfigTest, AnExistingDriverIsRestartedNotMadeAgain)
{
    moduleTable[1] = &Asked::drivers[1];
    spill(conf, "{}");
    enter_standalone_mode();
    EXPECT_EQ(Asked::slots, std::vector<int>{0});
    EXPECT_EQ(Asked::drivers[1].restarts, 1);
    EXPECT_EQ(events(), (std::vector<std::string>{"254 19 {\"type\":\"FS01\"}", "255 19 {\"type\":\"FS01\"}"}));
}

TEST_F(ConfigTest, AFileThatDoesNotParseAppliesNothingAndIsKept)
{
    for (std::string text : {std::string(R"({"ipaddr":"10.0.0.1","dns":)"), std::string("[1,2]"), std::string("")}) {
        SCOPED_TRACE(text);
        logs->clear();
        standaloneMode = false;
        spill(conf, text);
        enter_standalone_mode();
        EXPECT_TRUE(logs->contains("/etc/linegw.conf: parse error"));
        EXPECT_EQ(device_setting(&DeviceSettings::ipaddr), "");
        EXPECT_TRUE(events().empty());
        EXPECT_TRUE(Asked::calls.empty());
        EXPECT_EQ(registerWrites(), std::vector<std::string>{"105=10"});
        sim->clearLogs();
        // nothing to save over the file that is there
        EXPECT_EQ(global_config_save(), -1);
        EXPECT_EQ(slurp(conf), text);
    }
}

TEST_F(ConfigTest, AnUnreadableFileIsLoggedAndLeavesTheStartValues)
{
    std::filesystem::create_directories(conf);   // a directory cannot be read as a file
    enter_standalone_mode();
    EXPECT_TRUE(logs->contains("cannot open /etc/linegw.conf") || logs->contains("/etc/linegw.conf: parse error"));
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(device_setting(&DeviceSettings::ipaddr), "");
}

TEST_F(ConfigTest, SettingsThatAreNoAddressesAreRefusedBeforeTheyReachAFile)
{
    spill(conf, R"({"dns":"1.2.3.4\nnameserver 6.6.6.6","ipaddr2":"1.2.3.4\noption x","gateway":"10.0.0.1",)"
                R"("ntp":"ctl.example","stName":"hall","master":3})");
    enter_standalone_mode();
    DeviceSettings s = device_settings();
    EXPECT_EQ(s.dns, "");
    EXPECT_EQ(s.ipaddr2, "");
    EXPECT_EQ(s.gateway, "10.0.0.1");
    EXPECT_EQ(s.SWAddress, "ctl.example");
    EXPECT_EQ(s.ntpServer, "ctl.example");
    EXPECT_EQ(s.master, 3);
    EXPECT_EQ(station_name(), "hall");
    EXPECT_FALSE(exists(root + "/tmp/resolv.conf.auto"));
    EXPECT_TRUE(logs->contains("\"dns\" is not an IPv4 address"));
    EXPECT_TRUE(logs->contains("\"ipaddr2\" is not an IPv4 address"));
    EXPECT_EQ(registerWrites(), (std::vector<std::string>{"105=10", "106=01", "105=01", "109=02", "10a=02"}));
    EXPECT_EQ(Asked::calls.front(), "ntg 1010");
}

TEST_F(ConfigTest, OnlyTheModulePortsSubscribersKeepTheirServiceSettings)
{
    spill(conf, R"({"channels":{"254":{"type":"FS01","uri":"11@127.0.0.1"},"255":{"type":"FO01","uri":"12@h"}},)"
                R"("dvo":{"11@127.0.0.1":{"cfu":"5"},"12@h":{"cfu":"6"},"99@h":{}}})");
    enter_standalone_mode();
    std::vector<std::string> seen = events();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2], "-1 29 [11@127.0.0.1] {\"cfu\":\"5\",\"uri\":\"11@127.0.0.1\"}");
    std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
    EXPECT_EQ(globalConfig.find("dvo")->toString(), "{\"11@127.0.0.1\":{\"cfu\":\"5\"}}");
}

TEST_F(ConfigTest, TlsFilesFromTheFileReplaceTheLiveOnesOnlyWhenTheyDiffer)
{
    spill(root + "/tmp/ssl/sslcert", "CERT");
    spill(root + "/tmp/ssl/sslkey", "OLDKEY");
    spill(conf, R"({"sslcert":"CERT","sslkey":"KEY","authorized_keys":"ssh-ed25519 AAAA"})");
    enter_standalone_mode();
    EXPECT_EQ(slurp(root + "/tmp/ssl/sslcert"), "CERT");
    EXPECT_FALSE(exists(root + "/tmp/ssl/sslcert.tmp"));
    EXPECT_EQ(slurp(root + "/tmp/ssl/sslkey"), "KEY");
    EXPECT_EQ(std::filesystem::status(root + "/tmp/ssl/sslkey").permissions() & std::filesystem::perms::others_read,
              std::filesystem::perms::none);
    EXPECT_EQ(slurp(root + "/tmp/ssl/authorized_keys"), "ssh-ed25519 AAAA");
    EXPECT_EQ(std::count(Asked::calls.begin(), Asked::calls.end(), "repro_restart"), 1);
    EXPECT_TRUE(logs->contains("--> restarting repro"));

    // the same contents again: nothing restarts
    Asked::calls.clear();
    standaloneMode = false;
    spill(conf, R"({"sslcert":"CERT","sslkey":"KEY"})");
    enter_standalone_mode();
    EXPECT_EQ(std::count(Asked::calls.begin(), Asked::calls.end(), "repro_restart"), 0);

    // no "sslcert" with a live one present counts as a change and keeps it
    standaloneMode = false;
    spill(conf, R"({"sslkey":"KEY"})");
    enter_standalone_mode();
    EXPECT_EQ(std::count(Asked::calls.begin(), Asked::calls.end(), "repro_restart"), 1);
    EXPECT_EQ(slurp(root + "/tmp/ssl/sslcert"), "CERT");
}

TEST_F(ConfigTest, ASavedConfigurationIsWhatTheNextStartReads)
{
    enter_standalone_mode();
    drain();
    {
        std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
        globalConfig["channels"]["254"]["uri"].setString("21@127.0.0.1");
        globalConfig["dhcp_server_addr"].setString("192.168.1.1");
    }
    global_config_store("ipaddr", "10.1.1.1");
    ASSERT_EQ(global_config_save(), 0);
    EXPECT_FALSE(exists(conf + ".tmp"));
    std::string saved;
    {
        std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
        saved = globalConfig.toString(4);
    }
    EXPECT_EQ(slurp(conf), saved);

    global_config_reset();
    device_settings_reset();
    standaloneMode = false;
    enter_standalone_mode();
    EXPECT_EQ(device_setting(&DeviceSettings::ipaddr), "10.1.1.1");
    std::vector<std::string> seen = events();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_NE(seen[1].find("\"uri\":\"21@127.0.0.1\""), std::string::npos);
    std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
    EXPECT_EQ(globalConfig.toString(4), saved);
}

TEST_F(ConfigTest, ASaveThatCannotBeWrittenLeavesTheOldFile)
{
    enter_standalone_mode();
    global_config_store("ipaddr", "10.1.1.1");
    std::filesystem::create_directories(conf + ".tmp");   // the staging name is taken
    EXPECT_EQ(global_config_save(), -1);
    EXPECT_EQ(slurp(conf), DEFAULT_CONFIG_TEXT);
}

// rename_if_differ over every combination of the two files.
TEST(RenameIfDiffer, ReplacesOnlyOnChangeAndTellsWhetherTheOldOneChanged)
{
    char dir[] = "/tmp/rename-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string fresh = std::string(dir) + "/f.tmp", old = std::string(dir) + "/f";
    const char* MISSING = nullptr;
    std::string big(100001, 'x');
    struct Case {
        const char* fresh;
        const char* old;
        bool result;
        const char* oldAfter;   // null: missing
        bool freshStays;
    };
    const Case cases[] = {
        {MISSING, MISSING, false, MISSING, false},
        {MISSING, "", false, "", false},
        {MISSING, "A", true, "A", false},
        {"", MISSING, false, MISSING, false},
        {"", "A", true, "A", false},
        {"B", MISSING, true, "B", false},
        {"B", "A", true, "B", false},
        {"BB", "A", true, "BB", false},
        {"A", "A", false, "A", false},
        {big.c_str(), big.c_str(), true, big.c_str(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fresh ? c.fresh : "-").substr(0, 8) + " / " +
                     std::string(c.old ? c.old : "-").substr(0, 8));
        std::filesystem::remove(fresh);
        std::filesystem::remove(old);
        if (c.fresh)
            spill(fresh, c.fresh);
        if (c.old)
            spill(old, c.old);
        EXPECT_EQ(rename_if_differ(fresh, old), c.result);
        EXPECT_EQ(exists(old), c.oldAfter != nullptr);
        if (c.oldAfter) {
            EXPECT_EQ(slurp(old), c.oldAfter);
        }
        EXPECT_EQ(exists(fresh), c.freshStays);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
