// More of the claim protocol as a trace of offers (who was offered the event,
// with which claim bits, how the SIP side of the call was finished): marks and
// claims by the manager, claims in pass 2, no manager, and the exact texts of
// what a throwing handler costs.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/channel_table.h"
#include "core/dispatch.h"
#include "core/global_flags.h"
#include "proxy/repro_api.h"
#include "services/virtual_channel_manager.h"
#include "support/log_capture.h"

namespace {

std::vector<std::string> offer_trace;  // offers, in order
std::vector<std::string> finished;     // what the user agent was asked
std::vector<std::string> claim_dhcp_modes;

std::string bits(int flags)
{
    static const struct {
        int bit;
        const char* name;
    } names[] = {{EVF_PASS1, "P1"}, {EVF_PASS2, "P2"}, {EVF_PASS3, "P3"}, {EVF_MATCHED, "M"}, {EVF_RETRY, "R"}};
    std::string s;
    for (const auto& n : names)
        if (flags & n.bit)
            s += s.empty() ? n.name : std::string("|") + n.name;
    return s;
}

using Action = std::function<void(channel_event_t*)>;

struct Probe : AbstractChannel {
    int ts;
    Action act;
    Probe(int t, Action a) : ts(t), act(std::move(a)) {}
    void processEvent(channel_event_t* e) override
    {
        offer_trace.push_back(std::to_string(ts) + ":" + bits(e->flags));
        if (act)
            act(e);
    }
};

struct Manager : VirtualChannelManager {
    Action act;
    void processEvent(channel_event_t* e) override
    {
        VirtualChannelManager::processEvent(e);
        offer_trace.push_back("vcm:" + bits(e->flags));
        if (act)
            act(e);
    }
};

void set_ts(int call_id, int channel)
{
    finished.push_back("set_ts " + std::to_string(call_id) + " " + std::to_string(channel));
}
void response_status(int call_id, int status, const std::string& contact)
{
    finished.push_back("answer " + std::to_string(call_id) + " " + std::to_string(status) + " '" + contact + "'");
}
const call_completion_t recorder = {set_ts, response_status};

void record_dhcp(const std::string& mode) { claim_dhcp_modes.push_back(mode); }

// Reactions a handler may have.
Action claim_as(int channel) { return [channel](channel_event_t* e) { e->channel = channel; }; }
Action when(int pass, Action a)
{
    return [pass, a](channel_event_t* e) {
        if (e->flags & pass)
            a(e);
    };
}
Action set_flags(int f) { return [f](channel_event_t* e) { e->flags |= f; }; }

class ClaimProtocol : public ::testing::Test {
protected:
    void SetUp() override
    {
        offer_trace.clear();
        finished.clear();
        claim_dhcp_modes.clear();
        virtualChannelManager = &manager;
        call_completion_register(&recorder);
        dispatch_set_dhcp_client(record_dhcp);
    }
    void TearDown() override
    {
        for (auto*& ch : channel_table) {
            delete ch;
            ch = nullptr;
        }
        virtualChannelManager = nullptr;
        call_completion_register(nullptr);
        dispatch_set_dhcp_client(nullptr);
    }
    void channel(int ts, Action a = {}) { channel_table[ts] = new Probe(ts, std::move(a)); }
    void dispatch(channel_event_t* e)
    {
        MutexLock lock(channel_table_mutex);
        dispatchEvent(e);
    }
    static call_event_t* call(int channel = -1)
    {
        auto* e = new call_event_t(-1, 42);
        e->channel = channel;
        return e;
    }

    Manager manager;
    LogCapture log;
};

using Trace = std::vector<std::string>;

struct ClaimCase {
    const char* name;
    Action ch2, ch7, vcm;
    Trace offers;
    std::string finish;
};

TEST_F(ClaimProtocol, MarksRetriesAndLateClaims)
{
    const ClaimCase cases[] = {
        {"matched with retry in pass 1: pass 2 without the retry bit, no pass 3",
         when(EVF_PASS1, set_flags(EVF_MATCHED | EVF_RETRY)), {}, {},
         {"2:P1", "7:P1|M|R", "2:P2|M", "7:P2|M"},
         "answer 42 404 ''"},
        {"retry again in pass 2: pass 3 keeps the pass-2 bit",
         when(EVF_PASS1, set_flags(EVF_MATCHED | EVF_RETRY)), when(EVF_PASS2, set_flags(EVF_RETRY)), {},
         {"2:P1", "7:P1|M|R", "2:P2|M", "7:P2|M", "2:P2|P3|M|R", "7:P2|P3|M|R"},
         "answer 42 404 ''"},
        {"a pattern channel claims in pass 2",
         {}, when(EVF_PASS2, claim_as(7)), {},
         {"2:P1", "7:P1", "vcm:P1", "2:P2", "7:P2"},
         "set_ts 42 7"},
        {"the manager claims at its second offer",
         {}, {}, when(EVF_PASS2, claim_as(1004)),
         {"2:P1", "7:P1", "vcm:P1", "2:P2", "7:P2", "vcm:P2"},
         "set_ts 42 1004"},
        {"the manager marks the call: nothing more",
         {}, {}, when(EVF_PASS1, set_flags(EVF_MATCHED)),
         {"2:P1", "7:P1", "vcm:P1"},
         "answer 42 404 ''"},
        {"the manager marks with retry: pass 2, no second offer",
         {}, {}, when(EVF_PASS1, set_flags(EVF_MATCHED | EVF_RETRY)),
         {"2:P1", "7:P1", "vcm:P1", "2:P2|M", "7:P2|M"},
         "answer 42 404 ''"},
        {"the manager's second offer asks for a retry: pass 3",
         {}, {}, when(EVF_PASS2, set_flags(EVF_RETRY)),
         {"2:P1", "7:P1", "vcm:P1", "2:P2", "7:P2", "vcm:P2", "2:P2|P3|R", "7:P2|P3|R"},
         "answer 42 404 ''"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        offer_trace.clear();
        finished.clear();
        channel(2, c.ch2);
        channel(7, c.ch7);
        manager.act = c.vcm;
        dispatch(call());
        EXPECT_EQ(offer_trace, c.offers);
        EXPECT_EQ(finished, Trace{c.finish});
        TearDown();
        SetUp();
    }
}

TEST_F(ClaimProtocol, WithoutManagerTheCallStillGoesThroughBothPasses)
{
    virtualChannelManager = nullptr;
    channel(0);
    channel(255);
    dispatch(call());
    EXPECT_EQ(offer_trace, (Trace{"0:P1", "255:P1", "0:P2", "255:P2"}));
    EXPECT_EQ(finished, Trace{"answer 42 404 ''"});
}

TEST_F(ClaimProtocol, BoundEventsGoToTheirChannelOrTheManager)
{
    channel(3, [](channel_event_t* e) {
        if (e->code == EV_HANGUP)
            e->channel = 1002;   // handed on to a virtual channel
    });
    dispatch(new channel_event_t(3, EV_DTMF_DETECTED, 5));
    dispatch(new channel_event_t(3, EV_HANGUP, 9));
    dispatch(new channel_event_t(4, EV_CAS, 1));      // no object: dropped
    dispatch(new channel_event_t(300, EV_CAS, 1));    // not a channel number: dropped
    dispatch(new channel_event_t(999, EV_CAS, 1));
    dispatch(new channel_event_t(1005, EV_PLAY_FINISHED, 7));
    EXPECT_EQ(offer_trace, (Trace{"3:", "3:", "vcm:", "vcm:"}));
    ASSERT_EQ(manager.offers.size(), 2u);
    EXPECT_EQ(manager.offers[0].channel, 1002);
    EXPECT_EQ(manager.offers[0].code, EV_HANGUP);
    EXPECT_EQ(manager.offers[1].channel, 1005);
    EXPECT_EQ(manager.offers[1].data, 7);
}

TEST_F(ClaimProtocol, CallEventFinishesTheCallOnceWhenDeleted)
{
    dispatch(call(6));   // posted for a "line" channel that has no object
    EXPECT_EQ(finished, Trace{"set_ts 42 6"});
    finished.clear();
    { call_event_t placeholder; }   // no call behind it
    call_completion_register(nullptr);
    dispatch(call());                // no user agent yet: nothing to finish
    EXPECT_TRUE(finished.empty());
}

bool has_line(const LogCapture& log, const std::string& text)
{
    for (const auto& l : log.all())
        if (l.size() >= text.size() && l.compare(l.size() - text.size(), text.size(), text) == 0 &&
            l.find(".cpp:") != std::string::npos)
            return true;
    return false;
}

TEST_F(ClaimProtocol, HandlerExceptionsAreLoggedAndDispatchGoesOn)
{
    channel(2, when(EVF_PASS1, [](channel_event_t*) { throw std::runtime_error("bad state"); }));
    channel(7, when(EVF_PASS1, [](channel_event_t*) { throw 7; }));
    manager.act = [](channel_event_t* e) {
        if (e->flags & EVF_PASS2)
            throw 1;
        throw std::logic_error("no room");
    };
    dispatch(call());
    EXPECT_EQ(offer_trace, (Trace{"2:P1", "7:P1", "vcm:P1", "2:P2", "7:P2", "vcm:P2"}));
    EXPECT_EQ(finished, Trace{"answer 42 404 ''"});
    EXPECT_TRUE(has_line(log, "exception caught in processEvent(Incoming call, data=42) channel 3: bad state"));
    EXPECT_TRUE(has_line(log, "unknown exception caught in processEvent(Incoming call, data=42) channel 8"));
    EXPECT_TRUE(has_line(log, "exception caught in processEvent(Incoming call, data=42) virtual channel: no room"));
    EXPECT_TRUE(has_line(log, "unknown exception caught in processEvent(Incoming call, data=42) virtual channel"));

    log.clear();
    dispatch(new channel_event_t(1005, EV_PLAY_FINISHED, 3));
    manager.act = [](channel_event_t*) { throw 2; };
    dispatch(new channel_event_t(1006, EV_QOS_ALARM, 4));
    EXPECT_TRUE(has_line(log, "exception caught in processEvent(Play/Recording finished, data=3) virtual channel 1005: no room"));
    EXPECT_TRUE(has_line(log, "unknown exception caught in processEvent(QoS alarm, data=4) virtual channel 1006"));

    log.clear();
    dispatch_set_dhcp_client([](const std::string&) { throw std::runtime_error("fork failed"); });
    dispatch(new JsonEvent_t(-1, EV_CHANNEL_SETTINGS));
    dispatch_set_dhcp_client([](const std::string&) { throw 0; });
    dispatch(new JsonEvent_t(-1, EV_CHANNEL_SETTINGS));
    EXPECT_TRUE(has_line(log, "exception caught in start/stop DHCP: fork failed"));
    EXPECT_TRUE(has_line(log, "unknown exception caught in start/stop DHCP"));
}

}  // namespace

namespace {

// The unbound global settings give the manager the global flags (a decimal
// text, or a number) and the proxy's options; nobody claims them.
TEST_F(ClaimProtocol, GlobalSettingsSetTheFlagsAndProxyOptions)
{
    struct case_t {
        const char* settings;
        uint32_t flags;
    } cases[] = {
        {R"({"flags":"2056","blex":"^1"})", 2056},
        {R"({"flags":12})", 12},
        {R"({"flags":"4294967295"})", 0xFFFFFFFF},
        {R"({"noServ":"x"})", 0xFFFFFFFF},   // no flags: unchanged
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        JsonValue v;
        MemDataSource src(c.settings);
        ASSERT_TRUE(v.parse(src));
        auto* e = new JsonEvent_t(-1, EV_CHANNEL_SETTINGS, v);
        dispatch(e);
        EXPECT_EQ(globalFlags.load(), c.flags);
    }
    MutexLock g(proxyMutex);
    EXPECT_EQ(globalBlex, "^1");
    globalBlex.clear();
    globalFlags = 0;
}

}  // namespace
