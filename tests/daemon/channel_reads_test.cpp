// What the management link reads of the channels the daemon makes: the
// module ports' short configuration shows their type, coding and account.
#include <gtest/gtest.h>

#include <string>

#include "core/channel_table.h"
#include "core/dispatch.h"
#include "mgmt/management_requests.h"
#include "mgmt/var_table.h"
#include "msp/sip_channel.h"

namespace {

// Accounts stay in the test: nothing registers.
const sip_channel_ua_t no_ua = {
    [](const AbstractChannel*) { return -1; },
    [](int, const std::string&, const std::string&) { return 0; },
    [](const std::string&) { return std::string(); },
    [](int, const std::string&) { return 0; },
    [](int) { return 0; },
    [](int, const char*) { return 0; },
    [](int, int, int, const std::string&, const std::string&, const std::string&, int, const std::string&) {
        return 0;
    },
};

class ChannelReads : public ::testing::Test {
protected:
    void SetUp() override
    {
        var_table_init();
        sip_channel_set_ua(&no_ua);
    }
    void TearDown() override
    {
        for (auto& c : channel_table) {
            delete c;
            c = nullptr;
        }
        sip_channel_set_ua(nullptr);
    }
    static void settings(int ts, const char* json)
    {
        JsonValue v;
        MemDataSource src(json);
        ASSERT_TRUE(v.parse(src)) << json;
        MutexLock lock(channel_table_mutex);
        dispatchEvent(new JsonEvent_t(ts, EV_CHANNEL_SETTINGS, v));
    }
    static std::string read(const char* id)
    {
        MyVarValue v = poller_read_var(id);
        EXPECT_EQ(v.status, VAR_OK) << id;
        return v.text;
    }
};

}  // namespace

TEST_F(ChannelReads, ModulePortsShowTheirTypeCodingAndAccount)
{
    settings(254, R"({"type":"FS01","pcmCode":3,"uri":"11@127.0.0.1","realname":"Hall","dial-regexp":"^1."})");
    settings(255, R"({"type":"R232","pcmCode":0,"uri":"12@127.0.0.1"})");
    EXPECT_EQ(read(".10.255.2.0"), R"({"pcmCode":1,"realname":"Hall","type":"FS01","uri":"11@127.0.0.1"})");
    EXPECT_EQ(read(".11.1.2.0"), R"({"pcmCode":0,"type":"R232"})");   // no SIP account
    EXPECT_EQ(read(".10.1.2.0"), "{}");                                // no channel

    // a line port forced to its module's type keeps no account of its own
    settings(255, R"({"type":"FO01"})");
    EXPECT_EQ(read(".11.1.2.0"), R"({"pcmCode":0,"realname":"","type":"FO01","uri":""})");
    EXPECT_NE(read(".10.255.1.0").find(R"("uri":"11@127.0.0.1")"), std::string::npos);
}
