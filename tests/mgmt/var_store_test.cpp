#include <gtest/gtest.h>

#include "mgmt/var_store.h"

namespace {

class VarStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        standaloneMode = false;
        varStore.reset();
    }
    void TearDown() override
    {
        standaloneMode = false;
        varStore.reset();
    }
};

}   // namespace

TEST_F(VarStore, StandaloneStoresNothing)
{
    standaloneMode = true;
    poller_set_alarm(".14.3.2.0", 1);
    poller_publish_var(".10.1.3.0", MyVarValue(std::string("{}")));
    EXPECT_TRUE(varStore.alarmChanges.empty());
    EXPECT_TRUE(varStore.values.empty());
    EXPECT_EQ(varStore.alarmLevel(".14.3.2.0"), 0);
    EXPECT_EQ(varStore.alarmRepeat, 0);
    EXPECT_EQ(varStore.alarmCountdown, 0);
    EXPECT_EQ(varStore.valueCountdown, 0);
}

TEST_F(VarStore, AlarmRaisedAndClearedInOnePeriodIsOneEntry)
{
    poller_set_alarm(".14.3.2.0", 1);
    EXPECT_EQ(varStore.alarmLevel(".14.3.2.0"), 1);
    poller_set_alarm(".14.3.2.0", 0);
    ASSERT_EQ(varStore.alarmChanges.size(), 1u);
    const MyVarValue& v = varStore.alarmChanges.begin()->second;
    EXPECT_EQ(v.type, MyVarValue::INT8);
    EXPECT_EQ(v.value, 0);
    EXPECT_EQ(varStore.alarmRepeat, 4);
    EXPECT_EQ(varStore.alarmCountdown, 1);
    EXPECT_EQ(varStore.alarmLevel(".14.3.2.0"), 0);
    EXPECT_TRUE(varStore.level1.empty());
    EXPECT_TRUE(varStore.level2.empty());
}

TEST_F(VarStore, LevelsAndSummary)
{
    struct Step {
        const char* id;
        int level;
        int level_of_a;   // alarm level of .10.1.11.0 afterwards
        int summary;      // once the controller is known
    } steps[] = {
        {".10.1.11.0", 2, 2, 2},
        {".10.1.11.0", 1, 1, 1},   // 2 then 1: in both sets
        {".10.2.12.0", 7, 1, 1},   // any other level counts as 2
        {".10.1.11.0", 0, 0, 2},   // 0 clears both sets
        {".10.2.12.0", 0, 0, 0},
    };
    for (const auto& s : steps) {
        poller_set_alarm(s.id, s.level);
        EXPECT_EQ(varStore.alarmLevel(".10.1.11.0"), s.level_of_a) << s.id << " " << s.level;
        EXPECT_EQ(varStore.summary(), 255) << "unknown until the controller introduces itself";
    }
    varStore.updateSummary();
    EXPECT_EQ(varStore.summary(), 0);
    for (const auto& s : steps) {
        poller_set_alarm(s.id, s.level);
        EXPECT_EQ(varStore.summary(), s.summary) << s.id << " " << s.level;
    }
    EXPECT_EQ(varStore.alarmChanges[".10.2.12.0"].value, 0);
}

TEST_F(VarStore, SummaryReflectsAlarmsRaisedBeforeTheController)
{
    poller_set_alarm(".14.1.2.0", 2);
    EXPECT_EQ(varStore.summary(), 255);
    varStore.updateSummary();
    EXPECT_EQ(varStore.summary(), 2);
}

TEST_F(VarStore, LastPublishedValueWins)
{
    MyVarValue first(std::string("{\"state\":\"idle\"}"));
    first.repeat = 9;
    first.status = VAR_ERROR;
    poller_publish_var(".10.1.3.0", first);
    varStore.values[".10.1.3.0"].repeat = 1;   // one copy already sent
    poller_publish_var(".10.1.3.0", MyVarValue(std::string("{\"state\":\"busy\"}")));
    ASSERT_EQ(varStore.values.size(), 1u);
    const MyVarValue& v = varStore.values.begin()->second;
    EXPECT_EQ(v.text, "{\"state\":\"busy\"}");
    EXPECT_EQ(v.repeat, 2);
    EXPECT_EQ(v.status, VAR_OK);
    EXPECT_EQ(varStore.valueRepeat, 2);
    EXPECT_EQ(varStore.valueCountdown, 250);

    poller_publish_var(".3.0", MyVarValue(MyVarValue::INT16, 3));
    EXPECT_EQ(varStore.values[".3.0"].value, 3);
    EXPECT_EQ(varStore.values[".3.0"].status, VAR_OK);
}

TEST_F(VarStore, RunningCountdownsAreNotRestarted)
{
    varStore.alarmCountdown = 17;
    varStore.valueCountdown = 33;
    varStore.alarmRepeat = 1;
    poller_set_alarm(".14.2.2.0", 1);
    poller_publish_var(".2.0", MyVarValue(MyVarValue::INT32, 29));
    EXPECT_EQ(varStore.alarmCountdown, 17);
    EXPECT_EQ(varStore.valueCountdown, 33);
    EXPECT_EQ(varStore.alarmRepeat, 4);
}
