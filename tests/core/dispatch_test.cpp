#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/channel_table.h"
#include "core/dispatch.h"
#include "core/event_queue.h"
#include "support/log_capture.h"

namespace {

std::vector<std::string> trace;

// Records every offer as "<who>:<flags in hex>" and then runs its script.
struct Recorder : AbstractChannel {
    std::string who;
    std::function<void(channel_event_t*)> script;
    explicit Recorder(std::string w) : who(std::move(w)) {}
    void processEvent(channel_event_t* e) override
    {
        char buf[64];
        snprintf(buf, sizeof buf, "%s:%02x", who.c_str(), e->flags);
        trace.push_back(buf);
        if (script)
            script(e);
    }
};

struct Completion {
    static std::vector<std::string> calls;
    static void set_ts(int call, int ch) { calls.push_back("set_ts " + std::to_string(call) + " " + std::to_string(ch)); }
    static void response(int call, int status, const std::string& contact)
    {
        calls.push_back("response " + std::to_string(call) + " " + std::to_string(status) + " '" + contact + "'");
    }
};
std::vector<std::string> Completion::calls;
const call_completion_t completion = {Completion::set_ts, Completion::response};

std::vector<std::string> dhcp_modes;

class Dispatch : public ::testing::Test {
public:
    void SetUp() override
    {
        trace.clear();
        Completion::calls.clear();
        dhcp_modes.clear();
        call_completion_register(&completion);
        dispatch_set_dhcp_client([](const std::string& m) { dhcp_modes.push_back(m); });
        virtualChannelManager = &vcm;
        for (int ts : {2, 5, 9}) {
            chans.emplace_back(std::make_unique<Recorder>(std::to_string(ts)));
            channel_table[ts] = chans.back().get();
        }
    }
    void TearDown() override
    {
        for (auto& c : channel_table)
            c = nullptr;
        virtualChannelManager = nullptr;
        call_completion_register(nullptr);
        dispatch_set_dhcp_client(nullptr);
    }
    Recorder& at(int ts) { return *static_cast<Recorder*>(channel_table[ts]); }
    void dispatch(channel_event_t* e)
    {
        MutexLock lock(channel_table_mutex);
        dispatchEvent(e);
    }
    Recorder vcm{"vcm"};
    std::vector<std::unique_ptr<Recorder>> chans;
};

using Trace = std::vector<std::string>;

}  // namespace

TEST(EventName, Table)
{
    EXPECT_STREQ(eventName(0), "CAS event");
    EXPECT_STREQ(eventName(27), "Participant leave the conference");
    EXPECT_STREQ(eventName(39), "MSP ALERT received");
    EXPECT_STREQ(eventName(40), "Unknown event");
    EXPECT_STREQ(eventName(-1), "Unknown event");
}

TEST_F(Dispatch, ClaimProtocolTraces)
{
    struct Case {
        const char* name;
        int code;
        std::function<void(Dispatch&)> setup;
        Trace trace;
        std::vector<std::string> completion;
    } cases[] = {
        {"nobody claims a call", EV_INCOMING_CALL, [](Dispatch&) {},
         {"2:01", "5:01", "9:01", "vcm:01", "2:02", "5:02", "9:02", "vcm:02"},
         {"response 77 404 ''"}},
        {"matched and refused in pass 1", EV_INCOMING_CALL,
         [](Dispatch& d) {
             d.at(5).script = [](channel_event_t* e) {
                 if (e->flags & EVF_PASS1) {
                     e->flags |= EVF_MATCHED;
                     static_cast<call_event_t*>(e)->status = 486;
                 }
             };
         },
         {"2:01", "5:01", "9:05"},
         {"response 77 486 ''"}},
        {"retry leads to pass 3", EV_INCOMING_CALL,
         [](Dispatch& d) {
             d.at(2).script = [](channel_event_t* e) {
                 if (e->flags & (EVF_PASS1 | EVF_PASS2))
                     e->flags |= EVF_MATCHED | EVF_RETRY;
             };
         },
         {"2:01", "5:0d", "9:0d", "2:06", "5:0e", "9:0e", "2:1e", "5:1e", "9:1e"},
         {"response 77 404 ''"}},
        {"claim in pass 1 stops the pass", EV_INCOMING_CALL,
         [](Dispatch& d) { d.at(5).script = [](channel_event_t* e) { e->channel = 5; }; },
         {"2:01", "5:01"},
         {"set_ts 77 5"}},
        {"manager claims after pass 1", EV_INCOMING_CALL,
         [](Dispatch& d) { d.vcm.script = [](channel_event_t* e) { e->channel = 1003; }; },
         {"2:01", "5:01", "9:01", "vcm:01"},
         {"set_ts 77 1003"}},
        {"redirect written in pass 2", EV_INCOMING_CALL,
         [](Dispatch& d) {
             d.at(9).script = [](channel_event_t* e) {
                 if (e->flags & EVF_PASS2) {
                     auto* c = static_cast<call_event_t*>(e);
                     c->status = 302;
                     c->redirect_contact = "sip:123";
                 }
             };
         },
         {"2:01", "5:01", "9:01", "vcm:01", "2:02", "5:02", "9:02", "vcm:02"},
         {"response 77 302 'sip:123'"}},
        {"manager retries after pass 2", EV_DVO,
         [](Dispatch& d) {
             d.vcm.script = [](channel_event_t* e) {
                 if (e->flags & EVF_PASS2)
                     e->flags |= EVF_RETRY;
             };
         },
         {"2:01", "5:01", "9:01", "vcm:01", "2:02", "5:02", "9:02", "vcm:02", "2:1a", "5:1a", "9:1a"},
         {}},
        {"other codes: no second look", EV_IP_ADDRESS_CHANGED, [](Dispatch&) {},
         {"2:01", "5:01", "9:01", "vcm:01", "2:02", "5:02", "9:02"},
         {}},
    };
    for (auto& c : cases) {
        trace.clear();
        Completion::calls.clear();
        for (int ts : {2, 5, 9})
            at(ts).script = nullptr;
        vcm.script = nullptr;
        c.setup(*this);
        channel_event_t* e = c.code == EV_INCOMING_CALL ? new call_event_t(-1, 77) : new channel_event_t(-1, c.code);
        e->flags = EVF_PASS2;  // stale bits from a poster do not leak into pass 1
        dispatch(e);
        EXPECT_EQ(trace, c.trace) << c.name;
        EXPECT_EQ(Completion::calls, c.completion) << c.name;
    }
}

TEST_F(Dispatch, ByChannelNumber)
{
    struct Case {
        int channel;
        Trace trace;
    } cases[] = {
        {5, {"5:00"}},
        {3, {}},       // no object: deleted unhandled
        {300, {}},     // dropped
        {1005, {"vcm:00"}},
    };
    for (const auto& c : cases) {
        trace.clear();
        dispatch(new channel_event_t(c.channel, EV_HANGUP));
        EXPECT_EQ(trace, c.trace) << c.channel;
    }
    // A channel that hands its event on to a virtual channel.
    trace.clear();
    at(5).script = [](channel_event_t* e) { e->channel = 1001; };
    dispatch(new channel_event_t(5, EV_HANGUP));
    EXPECT_EQ(trace, (Trace{"5:00", "vcm:00"}));
}

TEST_F(Dispatch, HandlerExceptionsAreLoggedAndDispatchGoesOn)
{
    LogCapture cap;
    at(2).script = [](channel_event_t*) { throw std::runtime_error("oops"); };
    vcm.script = [](channel_event_t*) { throw 42; };
    dispatch(new channel_event_t(-1, EV_HANGUP, 7));
    EXPECT_EQ(trace.size(), 7u);  // every offer still made
    EXPECT_EQ(cap.count("exception caught in processEvent(Hangup, data=7) channel 3: oops"), 2u);
    EXPECT_EQ(cap.count("unknown exception caught in processEvent(Hangup, data=7) virtual channel"), 1u);
    dispatch(new channel_event_t(1002, EV_HANGUP, 8));
    EXPECT_TRUE(cap.contains("unknown exception caught in processEvent(Hangup, data=8) virtual channel 1002"));
}

TEST_F(Dispatch, GlobalSettingsSwitchDhcpFirst)
{
    JsonValue without;
    without["flags"].setString("3");
    JsonValue with;
    with["dhcp"].setString("yes");
    dispatch(new JsonEvent_t(-1, EV_CHANNEL_SETTINGS, without));
    dispatch(new JsonEvent_t(-1, EV_CHANNEL_SETTINGS, with));
    EXPECT_EQ(dhcp_modes, (std::vector<std::string>{"no", "yes"}));
    EXPECT_EQ(trace.size(), 14u);  // then offered like any unbound event
}

TEST(PostEvent, FullQueueDeletesAndCompletesTheCall)
{
    ASSERT_EQ(std_queue_create(&event_queue, 1), 0);
    Completion::calls.clear();
    call_completion_register(&completion);
    EXPECT_EQ(postEvent(4, new channel_event_t(-1, EV_HANGUP)), 0);
    LogCapture cap;
    EXPECT_EQ(postChannelEvent(new call_event_t(-1, 9)), -1);
    EXPECT_TRUE(cap.contains("std_queue_enqueue() failed (result=-1)"));
    EXPECT_EQ(Completion::calls, (std::vector<std::string>{"response 9 404 ''"}));
    channel_event_t* e = std_queue_dequeue(event_queue);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->channel, 4);
    delete e;
    call_completion_register(nullptr);
    std_queue_destroy(&event_queue);
}
