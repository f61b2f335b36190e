#include <gtest/gtest.h>

#include <string>

#include "core/channel_table.h"
#include "core/dispatch.h"
#include "support/log_capture.h"

namespace {

JsonValue parse(const char* text)
{
    JsonValue v;
    MemDataSource src(text);
    EXPECT_TRUE(v.parse(src)) << text;
    return v;
}

class CreateChannel : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (auto& c : channel_table) {
            delete c;
            c = nullptr;
        }
    }
    void settings(int ts, const char* json)
    {
        MutexLock lock(channel_table_mutex);
        dispatchEvent(new JsonEvent_t(ts, EV_CHANNEL_SETTINGS, parse(json)));
    }
    std::string type(int ts)
    {
        AbstractChannel* c = channel_table[ts];
        return c ? c->getTypeName() : "-";
    }
    int count()
    {
        int n = 0;
        for (auto* c : channel_table)
            n += c != nullptr;
        return n;
    }
};

}  // namespace

TEST_F(CreateChannel, EveryTypeOfTheTable)
{
    const char* types[] = {"FXS", "FS01", "FXO", "FO01", "1IND", "R1.5", "R2", "R2DTMF", "PPS",
                           "АДАСЭ", "МБ", "EM", "SL", "R232", "R422", "R485", "DS", "SS7lnk",
                           "SS7", "TAP", "RTP", "DEFLECTOR"};
    int ts = 0;
    for (const char* t : types) {
        settings(ts, (std::string("{\"type\":\"") + t + "\"}").c_str());
        EXPECT_EQ(type(ts), t);
        ts++;
    }
    EXPECT_EQ(count(), ts);
}

TEST_F(CreateChannel, KeepReplaceDelete)
{
    settings(5, R"({"type":"FXS"})");
    AbstractChannel* first = channel_table[5];
    ASSERT_NE(first, nullptr);
    settings(5, R"({"type":"FXS","x":1})");
    EXPECT_EQ(channel_table[5], first);  // same type: the object stays
    settings(5, R"({"type":"FXO"})");
    EXPECT_EQ(type(5), "FXO");
    settings(5, "{}");
    EXPECT_EQ(type(5), "-");
    settings(5, "{}");  // nothing there: nothing happens
    EXPECT_EQ(count(), 0);
    settings(255, R"({"type":"R485"})");
    EXPECT_EQ(type(255), "R485");
}

TEST_F(CreateChannel, UnknownOrMissingTypeDeletesTheOldObject)
{
    struct Case {
        const char* json;
        const char* message;
    } cases[] = {
        {R"({"type":"XYZ"})", "channel 8: unknown channel type XYZ"},
        {R"({"type":"fxs"})", "channel 8: unknown channel type fxs"},  // byte-wise: case counts
        {R"({"other":1})", "channel 8: unknown channel type "},
        {R"({"type":5})", "channel 8: unknown channel type "},
        {"[1]", "channel 8: unknown channel type "},
    };
    for (const auto& c : cases) {
        settings(7, R"({"type":"FXS"})");
        LogCapture cap;
        settings(7, c.json);
        EXPECT_EQ(type(7), "-") << c.json;
        EXPECT_TRUE(cap.contains(c.message)) << c.json;
    }
}

TEST_F(CreateChannel, PriSpans)
{
    settings(16, R"({"type":"PRI"})");
    EXPECT_EQ(count(), 31);
    EXPECT_EQ(type(0), "-");
    EXPECT_EQ(type(1), "PRI");
    EXPECT_EQ(type(31), "PRI");

    AbstractChannel* b20 = channel_table[20];
    settings(20, "{}");  // not the D-channel slot: nothing deleted
    EXPECT_EQ(channel_table[20], b20);
    EXPECT_EQ(count(), 31);
    settings(16, "{}");  // the D-channel slot takes the span down
    EXPECT_EQ(count(), 0);

    settings(32, R"({"type":"FXS"})");
    settings(40, R"({"type":"FXO"})");
    settings(48, R"({"type":"PRI"})");
    EXPECT_EQ(type(32), "FXS");  // slot 0 of the span is untouched
    EXPECT_EQ(type(40), "PRI");  // replaced
    EXPECT_EQ(type(63), "PRI");
    EXPECT_EQ(type(64), "-");
    EXPECT_EQ(count(), 32);

    settings(0, R"({"type":"PRI"})");  // from slot 0: the span, but nothing at 0
    EXPECT_EQ(type(0), "-");
    EXPECT_EQ(type(1), "PRI");
}
