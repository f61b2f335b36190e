// The user-directory feed against the recording stand-in of the proxy's
// user store: chunks, commits as a diff in name order, malformed elements,
// "end" without "clear", and the domain following the gateway's address.
#include <gtest/gtest.h>

#include "sip/agent/agent.h"
#include "support/log_capture.h"
#include "ua/user_directory.h"

namespace {

JsonValue parse(const char* text)
{
    JsonValue v;
    MemDataSource s(text);
    EXPECT_TRUE(v.parse(s)) << text;
    return v;
}

class UserDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ua_user_directory_reset();
        sipagent::Agent::setLocalIpOverride("192.0.2.7");
    }
    void TearDown() override
    {
        sipagent::Agent::setLocalIpOverride("");
        ua_user_directory_reset();
    }
    using Lines = std::vector<std::string>;
};

TEST_F(UserDirectoryTest, CommitsTheDifferenceInNameOrder)
{
    ua_update_user_directory(parse(R"([{"n":"b","p":"pb"},{"n":"a","p":"pa","ig":"b","gb":3}])"), true, false);
    EXPECT_TRUE(ua_user_store_recorded().empty());
    ua_update_user_directory(parse(R"([{"n":"c","p":"pc"}])"), false, true);
    EXPECT_EQ(ua_user_store_recorded(), (Lines{"add a 192.0.2.7 pa b 3", "add b 192.0.2.7 pb  0",
                                               "add c 192.0.2.7 pc  0"}));
}

TEST_F(UserDirectoryTest, SecondListErasesUpdatesAndAddsUnderTheCurrentAddress)
{
    ua_update_user_directory(parse(R"([{"n":"a","p":"pa"},{"n":"b","p":"pb"},{"n":"c","p":"pc"}])"), true, true);
    sipagent::Agent::setLocalIpOverride("192.0.2.8");
    ua_update_user_directory(parse(R"([{"n":"d","p":"pd"},{"n":"b","p":"new","gb":5}])"), true, true);
    Lines all = ua_user_store_recorded();
    Lines second(all.begin() + 3, all.end());
    EXPECT_EQ(second, (Lines{"erase a 192.0.2.8", "update b 192.0.2.8 new  5", "erase c 192.0.2.8",
                             "add d 192.0.2.8 pd  0"}));
}

TEST_F(UserDirectoryTest, MalformedElementsAreSkippedAndLaterDuplicatesWin)
{
    ua_update_user_directory(parse(R"([{"n":"a","p":1},"x",{"n":"b"},{"n":"c","p":"pc","gb":"7","ig":5},
                                        {"n":"d","p":"old","ig":"g"},{"n":"d","p":"new"}])"),
                             true, true);
    EXPECT_EQ(ua_user_store_recorded(), (Lines{"add c 192.0.2.7 pc  0", "add d 192.0.2.7 new  0"}));
}

TEST_F(UserDirectoryTest, EndWithoutClearCommitsNothing)
{
    LogCapture log;
    ua_update_user_directory(parse(R"([{"n":"a","p":"pa"}])"), false, true);
    EXPECT_TRUE(ua_user_store_recorded().empty());
    EXPECT_TRUE(log.contains("userlist: got 'end' without 'clear'"));
    // a commit closes the list: a further "end" is refused the same way
    ua_update_user_directory(parse(R"([{"n":"a","p":"pa"}])"), true, true);
    ua_update_user_directory(parse("[]"), false, true);
    EXPECT_EQ(ua_user_store_recorded(), Lines{"add a 192.0.2.7 pa  0"});
}

TEST_F(UserDirectoryTest, PluggedStoreReceivesTheChanges)
{
    Lines seen;
    ua_user_store_t store;
    store.add_user = [&](const std::string& n, const std::string& d, const std::string&, const std::string&, int) {
        seen.push_back("add " + n + "@" + d);
    };
    store.update_user = [&](const std::string& n, const std::string&, const std::string&, const std::string&,
                            int) { seen.push_back("update " + n); };
    store.erase_user = [&](const std::string& n, const std::string&) { seen.push_back("erase " + n); };
    ua_set_user_store(store);
    ua_update_user_directory(parse(R"([{"n":"a","p":"pa"}])"), true, true);
    ua_set_user_store({});
    EXPECT_EQ(seen, Lines{"add a@192.0.2.7"});
    EXPECT_TRUE(ua_user_store_recorded().empty());
}

}  // namespace
