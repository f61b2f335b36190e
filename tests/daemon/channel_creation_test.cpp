// Channel creation over a table of probe classes: who gets the settings, the
// order of deletion and creation, and what a failing constructor leaves behind.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/channel_table.h"
#include "daemon/create_channel.h"
#include "core/dispatch.h"
#include "support/log_capture.h"

namespace {

std::vector<std::string> life;   // "new FXS 5", "delete FXS 5", in order
int fail_at = -1;                // timeslot whose PRI constructor throws

struct Made : AbstractChannel {
    std::string type;
    int ts;
    int events = 0;
    bool bad_name = false;
    Made(int t, std::string ty) : type(std::move(ty)), ts(t) { life.push_back("new " + type + " " + std::to_string(ts)); }
    ~Made() override { life.push_back("delete " + type + " " + std::to_string(ts)); }
    void processEvent(channel_event_t*) override { events++; }
    const char* getTypeName() const override
    {
        if (bad_name)
            throw std::runtime_error("no name");
        return type.c_str();
    }
};

AbstractChannel* make(int ts, const std::string& type)
{
    if (type == "PRI" && ts == fail_at)
        throw std::runtime_error("no HDLC");
    return new Made(ts, type);
}
AbstractChannel* make_throwing(int, const std::string& type)
{
    if (type == "FAIL")
        throw std::runtime_error("module missing");
    throw 5;
}

const channel_type_t probe_types[] = {
    {"FXS", make}, {"FXO", make}, {"PRI", make}, {"FAIL", make_throwing}, {"WEIRD", make_throwing},
};

class ChannelCreation : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_types = channel_types;
        saved_count = channel_types_count;
        channel_types = probe_types;
        channel_types_count = std::size(probe_types);
        life.clear();
        fail_at = -1;
    }
    void TearDown() override
    {
        for (auto*& ch : channel_table) {
            delete ch;
            ch = nullptr;
        }
        channel_types = saved_types;
        channel_types_count = saved_count;
    }
    static void settings(int ts, const char* json)
    {
        auto* e = new JsonEvent_t(ts, EV_CHANNEL_SETTINGS);
        MemDataSource src(json);
        ASSERT_TRUE(e->value.parse(src)) << json;
        MutexLock lock(channel_table_mutex);
        dispatchEvent(e);
    }
    static Made* at(int ts) { return static_cast<Made*>(channel_table[ts]); }
    // Timeslots in [from, to] that hold an object.
    static std::vector<int> occupied(int from, int to)
    {
        std::vector<int> v;
        for (int t = from; t <= to; t++)
            if (channel_table[t])
                v.push_back(t);
        return v;
    }
    static std::vector<int> range(int from, int to)
    {
        std::vector<int> v;
        for (int t = from; t <= to; t++)
            v.push_back(t);
        return v;
    }

    const channel_type_t* saved_types;
    size_t saved_count;
    LogCapture log;
};

bool has_line(const LogCapture& log, const std::string& text)
{
    for (const auto& l : log.all())
        if (l.size() >= text.size() && l.compare(l.size() - text.size(), text.size(), text) == 0 &&
            l.find(".cpp:") != std::string::npos)
            return true;
    return false;
}

TEST_F(ChannelCreation, CreateKeepReplaceDelete)
{
    settings(5, R"({"type":"FXS"})");
    ASSERT_NE(at(5), nullptr);
    Made* fxs = at(5);
    EXPECT_EQ(fxs->type, "FXS");
    EXPECT_EQ(fxs->events, 1);   // the new object gets its first settings at once

    settings(5, R"({"type":"FXS","uri":"sip:100@gw"})");
    EXPECT_EQ(at(5), fxs);
    EXPECT_EQ(fxs->events, 2);

    settings(5, R"({"type":"FXO"})");
    EXPECT_EQ(at(5)->type, "FXO");
    EXPECT_EQ(at(5)->events, 1);
    EXPECT_EQ(life, (std::vector<std::string>{"new FXS 5", "delete FXS 5", "new FXO 5"}));

    settings(5, "{}");
    EXPECT_EQ(at(5), nullptr);
    life.clear();
    settings(5, "{}");   // nothing there: nothing happens
    EXPECT_TRUE(life.empty());
    EXPECT_TRUE(log.all().empty());
}

TEST_F(ChannelCreation, PriSpanIsBuiltAndTakenDownFromItsDChannel)
{
    settings(0, R"({"type":"FXS"})");
    settings(32, R"({"type":"FXS"})");
    settings(20, R"({"type":"FXO"})");
    settings(16, R"({"type":"PRI"})");
    ASSERT_EQ(occupied(1, 31), range(1, 31));
    for (int t = 1; t <= 31; t++)
        EXPECT_EQ(at(t)->type, "PRI") << t;
    EXPECT_EQ(at(0)->type, "FXS");
    EXPECT_EQ(at(32)->type, "FXS");
    EXPECT_EQ(at(16)->events, 1);
    EXPECT_EQ(at(17)->events, 0);

    settings(20, "{}");   // a B-channel: nothing goes, it gets the event
    ASSERT_EQ(occupied(1, 31), range(1, 31));
    EXPECT_EQ(at(20)->events, 1);

    settings(16, "{}");
    EXPECT_TRUE(occupied(1, 31).empty());
    EXPECT_NE(at(0), nullptr);
    EXPECT_NE(at(32), nullptr);
}

TEST_F(ChannelCreation, PriSpanOfTheSettingsTimeslot)
{
    settings(48, R"({"type":"PRI"})");
    EXPECT_EQ(occupied(32, 64), range(33, 63));

    // Settings for the span's unused slot 0 build the span but nobody gets them.
    settings(96, R"({"type":"PRI"})");
    ASSERT_EQ(occupied(96, 127), range(97, 127));
    for (int t = 97; t <= 127; t++)
        EXPECT_EQ(at(t)->events, 0) << t;
}

TEST_F(ChannelCreation, ConstructorExceptions)
{
    settings(5, R"({"type":"FXS"})");
    settings(5, R"({"type":"FAIL"})");
    EXPECT_EQ(at(5), nullptr);
    EXPECT_TRUE(has_line(log, "error creating channel 6: module missing"));
    settings(6, R"({"type":"WEIRD"})");
    EXPECT_EQ(at(6), nullptr);
    EXPECT_TRUE(has_line(log, "error creating channel 7"));

    // Objects built before the failing one stay; later slots keep what they had.
    settings(25, R"({"type":"FXO"})");
    fail_at = 20;
    settings(16, R"({"type":"PRI"})");
    ASSERT_EQ(occupied(1, 19), range(1, 19));
    EXPECT_EQ(at(20), nullptr);
    EXPECT_EQ(at(25)->type, "FXO");
    EXPECT_EQ(at(16)->events, 1);
    EXPECT_TRUE(has_line(log, "error creating channel 17: no HDLC"));
}

TEST_F(ChannelCreation, OtherExceptionsStillHandTheEventOn)
{
    settings(5, R"({"type":"FXS"})");
    at(5)->bad_name = true;
    settings(5, R"({"type":"FXO"})");
    EXPECT_TRUE(has_line(log, "exception caught in createChannel() channel 6: no name"));
    ASSERT_NE(at(5), nullptr);
    EXPECT_EQ(at(5)->events, 2);
    at(5)->bad_name = false;
}

}  // namespace
