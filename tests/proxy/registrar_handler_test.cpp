// The user-status table and the ".1.N.0" publications of registrations.
#include <gtest/gtest.h>

#include "core/scheduler.h"
#include "mgmt/var_store.h"
#include "proxy/my_registrar_handler.h"
#include "sip/core/message.h"

namespace {

time_t clock_sec = 1000;

int fake_clock(struct timespec* ts)
{
    ts->tv_sec = clock_sec;
    ts->tv_nsec = 0;
    return 0;
}

class RegistrarHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        clock_sec = 1000;
        sched_set_clock(fake_clock);
        standaloneMode = false;
        {
            MutexLock g(varStore.mutex);
            varStore.values.clear();
        }
        MutexLock g(userStatusMutex);
        UserStatusTable.clear();
    }
    void TearDown() override
    {
        sched_set_clock(nullptr);
        MutexLock g(varStore.mutex);
        varStore.values.clear();
    }

    static sipcore::Message reg(const std::string& user, const std::string& headers)
    {
        return sipcore::Message::parse("REGISTER sip:gw.test SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.9;branch=z9hG4bKa\r\n"
                                       "From: <sip:" + user + "@gw.test>;tag=1\r\nTo: <sip:" + user +
                                       "@gw.test>\r\nCall-ID: r1\r\nCSeq: 1 REGISTER\r\n" + headers +
                                       "Content-Length: 0\r\n\r\n");
    }
    bool add(const std::string& user, const std::string& headers)
    {
        sipcore::Message m = reg(user, headers);
        EXPECT_TRUE(m);
        return handler.onAdd(m, "sip:" + user + "@gw.test");
    }
    static std::map<std::string, std::map<std::string, int32_t>> table()
    {
        MutexLock g(userStatusMutex);
        return UserStatusTable;
    }
    static std::map<std::string, std::string> published()
    {
        std::map<std::string, std::string> out;
        MutexLock g(varStore.mutex);
        for (const auto& [id, v] : varStore.values)
            out[id] = v.text;
        return out;
    }
    // N of ".1.N.0"
    static int number(const std::string& id) { return std::stoi(id.substr(3)); }
    static std::vector<std::string> texts()
    {
        std::vector<std::string> out;
        for (const auto& [id, text] : published())
            out.push_back(text);
        return out;
    }

    MyRegistrarHandler handler;
};

TEST_F(RegistrarHandlerTest, EveryContactIsStoredAndPublishedWithItsExpiry)
{
    ASSERT_TRUE(add("201", "Contact: <sip:201@192.168.1.50:5060>, <sip:201@192.168.1.51>;expires=30\r\n"
                           "Expires: 120\r\nUser-Agent: Foo-Phone 1.0\r\n"));
    std::map<std::string, int32_t> want = {{"sip:201@192.168.1.50:5060 / Foo-Phone 1.0", 1120},
                                           {"sip:201@192.168.1.51 / Foo-Phone 1.0", 1030}};
    EXPECT_EQ(table(), (std::map<std::string, std::map<std::string, int32_t>>{{"201", want}}));
    // the counter is process-wide: the names are consecutive from where it stood
    std::map<std::string, std::string> by_text;
    for (const auto& [id, text] : published())
        by_text[text] = id;
    std::string a = R"({"cont":"sip:201@192.168.1.50:5060 / Foo-Phone 1.0","exp":120,"name":"201"})";
    std::string b = R"({"cont":"sip:201@192.168.1.51 / Foo-Phone 1.0","exp":30,"name":"201"})";
    ASSERT_EQ(by_text.size(), 2u);
    ASSERT_TRUE(by_text.count(a) && by_text.count(b));
    EXPECT_EQ(number(by_text[b]), number(by_text[a]) % 255 + 1);

    // no Expires and no parameter: an hour; no User-Agent: empty agent
    {
        MutexLock g(varStore.mutex);
        varStore.values.clear();
    }
    ASSERT_TRUE(add("202", "Contact: <sip:202@10.0.0.2>\r\n"));
    EXPECT_EQ(table()["202"], (std::map<std::string, int32_t>{{"sip:202@10.0.0.2 / ", 4600}}));
    EXPECT_EQ(texts(), std::vector<std::string>{R"({"cont":"sip:202@10.0.0.2 / ","exp":3600,"name":"202"})"});
}

TEST_F(RegistrarHandlerTest, SameContactAndAgentIsOverwrittenAnotherAgentAddsOne)
{
    add("201", "Contact: <sip:201@10.0.0.1>\r\nExpires: 60\r\nUser-Agent: A\r\n");
    clock_sec += 10;
    add("201", "Contact: <sip:201@10.0.0.1>\r\nExpires: 60\r\nUser-Agent: A\r\n");
    add("201", "Contact: <sip:201@10.0.0.1>\r\nExpires: 60\r\nUser-Agent: B\r\n");
    EXPECT_EQ(table()["201"], (std::map<std::string, int32_t>{{"sip:201@10.0.0.1 / A", 1070},
                                                               {"sip:201@10.0.0.1 / B", 1070}}));
}

TEST_F(RegistrarHandlerTest, ExpiredAndRemovedContactsLeaveWithALaterRegister)
{
    add("201", "Contact: <sip:201@10.0.0.1>\r\nExpires: 60\r\n");
    add("202", "Contact: <sip:202@10.0.0.2>\r\nExpires: 600\r\n");
    add("202", "Contact: <sip:202@10.0.0.2>;expires=0\r\n");   // de-registration: expiry now
    EXPECT_EQ(table().size(), 2u);
    clock_sec += 1;   // 202's removal is now in the past
    add("203", "Contact: <sip:203@10.0.0.3>\r\n");
    EXPECT_EQ(table().count("202"), 0u);
    EXPECT_EQ(table().count("201"), 1u);
    clock_sec += 60;   // 201 expired
    add("203", "Contact: <sip:203@10.0.0.3>\r\n");
    auto t = table();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t.begin()->first, "203");
}

TEST_F(RegistrarHandlerTest, QueriesAndRemoveAllWithoutContactsChangeNothing)
{
    EXPECT_TRUE(add("201", ""));
    EXPECT_TRUE(add("201", "Contact: *\r\nExpires: 0\r\n"));
    EXPECT_TRUE(handler.onQuery(reg("201", ""), "sip:201@gw.test"));
    EXPECT_TRUE(table().empty());
    EXPECT_TRUE(published().empty());
}

TEST_F(RegistrarHandlerTest, PublicationNamesCycleThrough255)
{
    // the counter is process-wide: find where it stands, then run past 255
    add("201", "Contact: <sip:201@10.0.0.1>\r\n");
    int first = number(published().begin()->first);
    int to_wrap = 255 - first;
    for (int i = 0; i < to_wrap; ++i)
        add("201", "Contact: <sip:201@10.0.0.1>\r\n");
    EXPECT_EQ(published().count(".1.255.0"), 1u);
    {
        MutexLock g(varStore.mutex);
        varStore.values.clear();
    }
    add("201", "Contact: <sip:201@10.0.0.1>\r\n");
    EXPECT_EQ(published().begin()->first, ".1.1.0");
}

TEST_F(RegistrarHandlerTest, StandaloneBoardStillFillsTheTable)
{
    standaloneMode = true;
    add("201", "Contact: <sip:201@10.0.0.1>\r\n");
    standaloneMode = false;
    EXPECT_TRUE(published().empty());
    EXPECT_EQ(table().count("201"), 1u);
}

}  // namespace
