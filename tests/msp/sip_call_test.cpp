// The calls of the SIP channel base: what each user-agent event does to the
// two call records, the operations the subclasses call, the call and RTP
// time-outs and the switch between voice and T.38.
#include <gtest/gtest.h>

#include "channel_media_fixture.h"
#include "msp/function_codes.h"
#include "core/scheduler.h"
#include "sip_channel_fixture.h"
#include "ua/ua_events.h"

namespace {

using Calls = std::vector<std::string>;

int64_t call_clock_ms = 0;
int call_clock(timespec* ts)
{
    ts->tv_sec = call_clock_ms / 1000;
    ts->tv_nsec = (call_clock_ms % 1000) * 1000000;
    return 0;
}

class SipCall : public testing::Test, public ChannelMediaFixture {
protected:
    void SetUp() override
    {
        call_clock_ms = 5000000;
        sched_set_clock(&call_clock);
        ASSERT_EQ(sched_create(&main_scheduler, "main scheduler"), 0);
        msp_open_connections = 0;
        c = std::make_unique<RecordingSipChannel>(5);
    }
    void TearDown() override
    {
        c.reset();
        drain();
        sched_destroy(&main_scheduler);
        sched_set_clock(nullptr);
    }
    void advance(int64_t ms)
    {
        call_clock_ms += ms;
        sched_run(main_scheduler);
    }
    void settings(const char* json)
    {
        JsonValue v;
        MemDataSource s(json);
        ASSERT_TRUE(v.parse(s));
        c->setSettings(v);
        ua.take();
    }
    void send(channel_event_t&& e) { c->processEvent(&e); }
    void send(channel_event_t& e) { c->processEvent(&e); }
    // An incoming call as the user agent hands it to its channel.
    void incoming(int call, const char* name = "N", const char* number = "D", const char* from = "a@h")
    {
        call_event_t e(5, call);
        e.caller_name = name;
        e.caller_number = number;
        e.from = from;
        e.called = "100";
        e.cpc = "ordinary";
        e.secure = true;
        e.is_focus = true;
        send(e);
        e.channel = -1;   // nothing to complete when it goes
        e.data = -1;
    }
    void answered(int call, const char* identity = "")
    {
        answer_event_t a;
        a.channel = 5;
        a.data = call;
        a.identity = identity;
        send(a);
    }
    void voice() { ASSERT_GE(c->plantVoice(), 0); }

    RecordingUa ua;
    std::unique_ptr<RecordingSipChannel> c;
};

TEST_F(SipCall, IncomingCallFillsTheActiveRecordAndAnswerSendsTheAnswerOnce)
{
    incoming(7);
    const CallRecord& r = c->activeCall;
    EXPECT_EQ(r.callId, 7);
    EXPECT_EQ(r.startTime, time(nullptr));
    EXPECT_EQ(r.callerName.get(), "N");
    EXPECT_EQ(r.callerNumber.get(), "D");
    EXPECT_EQ(r.callerAddress.get(), "a@h");
    EXPECT_EQ(r.calleeNumber.get(), "100");
    EXPECT_EQ(r.cpc, "ordinary");
    EXPECT_FALSE(r.outgoing);
    EXPECT_TRUE(r.secureTransport);
    EXPECT_TRUE(r.isFocus);
    EXPECT_TRUE(r.answerPending);
    EXPECT_TRUE(ua.take().empty());   // the subclass decides

    EXPECT_EQ(c->answer(), 0);
    EXPECT_EQ(ua.take(), Calls{"answer 7"});
    EXPECT_FALSE(r.answerPending);
    EXPECT_NE(r.answerTime, 0);
    EXPECT_TRUE(logs.contains("channel 5: answer"));

    // Answered already: the local tone stops instead, when there is a connection.
    voice();
    EXPECT_EQ(c->answer(), 0);
    EXPECT_TRUE(ua.take().empty());
    EXPECT_EQ(fcs_of(c->channelId), std::vector<uint16_t>{FC_TONEOFF});

    // A refused answer is returned at once and not sent twice.
    incoming(8);
    ua.result = -3;
    c->activeCall.answerTime = 0;
    EXPECT_EQ(c->answer(), -3);
    EXPECT_EQ(c->activeCall.answerTime, 0);
    EXPECT_FALSE(c->activeCall.answerPending);
    EXPECT_EQ(ua.take(), Calls{"answer 8"});
}

TEST_F(SipCall, CallRecordEventsTable)
{
    incoming(7);
    // Replaced: the new call's caller takes over what it brings.
    call_replace_t rep;
    rep.channel = 5;
    rep.data = 7;
    rep.new_call_id = 9;
    rep.caller_number = "E";
    send(rep);
    EXPECT_EQ(c->activeCall.callId, 9);
    EXPECT_FALSE(c->activeCall.answerPending);
    EXPECT_EQ(c->activeCall.callerName.get(), "N");
    EXPECT_EQ(c->activeCall.callerNumber.get(), "E");
    EXPECT_EQ(c->activeCall.callerAddress.get(), "a@h");

    // An outgoing call's callee.
    c->activeCall.outgoing = true;
    rep.data = 9;
    rep.new_call_id = 10;
    rep.caller_name = "M";
    rep.from = "m@h";
    send(rep);
    EXPECT_EQ(c->activeCall.calleeName.get(), "M");
    EXPECT_EQ(c->activeCall.calleeNumber.get(), "m@h");

    // Call id replaced, for the held call too.
    c->heldCall.callId = 20;
    c->heldCall.answerPending = true;
    cid_replace_t cid;
    cid.channel = 5;
    cid.data = 20;
    cid.new_call_id = 21;
    send(cid);
    EXPECT_EQ(c->heldCall.callId, 21);
    EXPECT_FALSE(c->heldCall.answerPending);
    cid.data = 99;   // another call: nothing
    send(cid);
    EXPECT_EQ(c->activeCall.callId, 10);

    // Redirected: active call only.
    redirect_event_t red;
    red.channel = 5;
    red.data = 21;
    red.contact = "x@y";
    send(red);
    EXPECT_EQ(c->heldCall.calleeNumber.get(), "");
    red.data = 10;
    send(red);
    EXPECT_EQ(c->activeCall.calleeNumber.get(), "x@y");

    // Answered: time, focus flag, asserted identity.
    answered(10, "300@h");
    EXPECT_NE(c->activeCall.answerTime, 0);
    EXPECT_FALSE(c->activeCall.isFocus);
    EXPECT_EQ(c->activeCall.calleeNumber.get(), "300@h");
    answered(10, "");
    EXPECT_EQ(c->activeCall.calleeNumber.get(), "300@h");

    // Disconnected: a call that is not ours changes nothing, ours is reset
    // as ended by the remote side, a second time changes nothing.
    send(disconnect_event_t(5, 99));
    EXPECT_EQ(c->activeCall.callId, 10);
    EXPECT_EQ(c->heldCall.callId, 21);
    send(disconnect_event_t(5, 21));
    EXPECT_EQ(c->heldCall.callId, -1);
    EXPECT_EQ(c->heldCall.disconnectSide, 0);   // reset after it was marked
    send(disconnect_event_t(5, 10));
    EXPECT_EQ(c->activeCall.callId, -1);
    EXPECT_EQ(c->activeCall.callerNumber.get(), "");
    EXPECT_TRUE(c->activeCall.outgoing);
    send(disconnect_event_t(5, 10));
    EXPECT_TRUE(ua.take().empty());
    EXPECT_STREQ(CallRecord::disconnectSideName(2), "Remote disconnect");
    EXPECT_STREQ(CallRecord::disconnectSideName(1), "Local disconnect");
    EXPECT_STREQ(CallRecord::disconnectSideName(0), "Unknown");
}

TEST_F(SipCall, UnboundDisconnectIsClaimedOnlyForOwnCalls)
{
    incoming(7);
    c->heldCall.callId = 8;
    for (int call : {7, 8, 9}) {
        disconnect_event_t d(-1, call);
        d.flags = EVF_PASS1;
        c->processEvent(&d);
        EXPECT_EQ(d.channel, call == 9 ? -1 : 5) << call;
    }
    // Claimed means handled: nothing offers the event again.
    EXPECT_EQ(c->activeCall.callId, -1);
    EXPECT_EQ(c->heldCall.callId, -1);
    incoming(7);
    disconnect_event_t pass2(-1, 7);
    pass2.flags = EVF_PASS2;
    c->processEvent(&pass2);
    EXPECT_EQ(pass2.channel, -1);
    // Other unbound events, incoming calls included, are the subclass's.
    call_event_t offered(-1, 3);
    offered.flags = EVF_PASS1;
    c->processEvent(&offered);
    EXPECT_EQ(offered.channel, -1);
    offered.data = -1;
    EXPECT_EQ(c->activeCall.callId, 7);
}

TEST_F(SipCall, HangupEndsBothCallsAndKeepsTheConnection)
{
    EXPECT_EQ(c->hangup("x"), 0);   // no calls: nothing sent
    EXPECT_TRUE(ua.take().empty());

    voice();
    int id = c->channelId;
    incoming(7);
    c->heldCall.callId = 8;
    c->streamRunning = true;
    ua.result = -1;   // a refused hang-up is logged, the records still go
    EXPECT_EQ(c->hangup("Q.850;cause=16"), 0);
    EXPECT_EQ(ua.take(), (Calls{"hangup 7 Q.850;cause=16", "hangup 8 Q.850;cause=16"}));
    EXPECT_EQ(logs.count("ts 5: ua_hangup() error -1"), 2u);
    EXPECT_EQ(c->activeCall.callId, -1);
    EXPECT_EQ(c->heldCall.callId, -1);
    EXPECT_FALSE(c->streamRunning);
    EXPECT_EQ(c->channelId, id);

    // EV_HANGUP is a hang-up without a reason.
    incoming(9);
    send(channel_event_t(5, EV_HANGUP, 0));
    EXPECT_EQ(ua.take(), Calls{"hangup 9"});
}

TEST_F(SipCall, SwapCallsHoldsAndResumes)
{
    incoming(7);
    EXPECT_EQ(c->swapCalls(), 0);
    EXPECT_EQ(ua.take(), Calls{"reinvite 7 inactive"});
    EXPECT_EQ(c->activeCall.callId, -1);
    EXPECT_EQ(c->heldCall.callId, 7);
    EXPECT_EQ(c->heldCall.callerName.get(), "N");
    EXPECT_FALSE(c->heldCall.outgoing);

    incoming(8, "O");
    EXPECT_EQ(c->swapCalls(), 0);
    EXPECT_EQ(ua.take(), (Calls{"reinvite 8 inactive", "reinvite 7 sendrecv"}));
    EXPECT_EQ(c->activeCall.callId, 7);
    EXPECT_EQ(c->heldCall.callId, 8);
    EXPECT_EQ(c->heldCall.callerName.get(), "O");

    // A refused hold swaps nothing.
    ua.result = -3;
    EXPECT_EQ(c->swapCalls(), -3);
    EXPECT_EQ(ua.take(), Calls{"reinvite 7 inactive"});
    EXPECT_EQ(c->activeCall.callId, 7);
}

TEST_F(SipCall, ConnectionLimitEndsTheCallItWasArmedForEvenAfterASwap)
{
    settings(R"({"conn-limit":2})");
    incoming(7);
    answered(7);
    uint64_t timer = c->activeCall.callTimer;
    EXPECT_NE(timer, 0u);
    answered(7);   // armed once
    EXPECT_EQ(c->activeCall.callTimer, timer);

    advance(60000);
    EXPECT_EQ(c->swapCalls(), 0);
    incoming(8);
    EXPECT_EQ(c->answer(), 0);   // the second call gets its own limit
    ua.take();
    advance(59999);
    EXPECT_TRUE(ua.take().empty());
    advance(1);
    EXPECT_EQ(ua.take(), Calls{"hangup 7"});   // the held call, with an empty reason
    EXPECT_TRUE(logs.contains("ts 5: connection timer expired"));
    EXPECT_EQ(c->heldCall.callTimer, 0u);
    advance(60000);
    EXPECT_EQ(ua.take(), Calls{"hangup 8"});

    // The record ends with the user agent's disconnect; a reset cancels a timer.
    incoming(9);
    answered(9);
    send(disconnect_event_t(5, 9));
    advance(200000);
    EXPECT_TRUE(ua.take().empty());

    // A channel deleted with a timer armed leaves nothing behind to run.
    incoming(10);
    answered(10);
    c.reset();
    ua.take();
    advance(200000);
    EXPECT_TRUE(ua.take().empty());
}

TEST_F(SipCall, RtpParametersOfTheHeldCallAreIgnored)
{
    incoming(7);
    c->heldCall.callId = 8;
    rtp_event_t p;
    p.channel = 5;
    p.data = 8;
    send(p);
    EXPECT_EQ(c->rtpApplied, 0);
    p.data = 7;
    send(p);
    EXPECT_EQ(c->rtpApplied, 1);
}

// Tones and call-progress tones on an answered voice call.
TEST_F(SipCall, SwitchToT38AndBackTable)
{
    struct Row {
        const char* settings;
        std::vector<std::pair<int, int>> events;   // code, data
        Calls calls;
    } rows[] = {
        {R"({"codecs":"8 991"})", {{EV_TONE_DETECTED, 0x10}, {EV_TONE_DETECTED, 0x22}}, {"reinvite 7 t38"}},
        {R"({"codecs":"8 991"})", {{EV_TONE_DETECTED, 0x22}}, {}},                        // no answer tone first
        {R"({"codecs":"8"})", {{EV_TONE_DETECTED, 0x10}, {EV_TONE_DETECTED, 0x22}}, {}},  // no 991
        {R"({"codecs":"8 991","sipflags":8})", {{EV_TONE_DETECTED, 0x10}, {EV_TONE_DETECTED, 0x22}}, {}},
        {R"({"codecs":"8 991"})",
         {{EV_TONE_DETECTED, 0x10}, {EV_TONE_DETECTED, 0x22}, {EV_TONE_DETECTED, 0x22}},
         {"reinvite 7 t38"}},   // the answer tone is used up
        {R"({"codecs":"8 991","sipflags":4})", {{EV_CALL_PROGRESS_DETECTED, 0x41}}, {"reinvite 7 t38"}},
        {R"({"codecs":"8 991"})", {{EV_CALL_PROGRESS_DETECTED, 0x41}}, {}},
        {R"({"codecs":"8 991","sipflags":4})", {{EV_CALL_PROGRESS_DETECTED, 0x40}}, {}},
        {R"({"codecs":"8 991"})", {{EV_TONE_DETECTED, 0x31}}, {}},   // voice already
    };
    voice();
    for (const Row& row : rows) {
        settings(row.settings);
        incoming(7);
        answered(7);
        for (auto [code, data] : row.events)
            send(Timestamped_event_t(5, code, data, 0));
        EXPECT_EQ(ua.take(), row.calls) << row.settings << " " << row.events.size();
        send(disconnect_event_t(5, 7));
    }

    // Not answered yet: the answer tone does not count.
    settings(R"({"codecs":"8 991"})");
    incoming(7);
    send(Timestamped_event_t(5, EV_TONE_DETECTED, 0x10, 0));
    EXPECT_FALSE(c->faxToneSeen);

    // On T.38, tone 0x31 goes back to voice.
    c->destroyConnection();
    ASSERT_GE(c->plant(MSP_CONN_T38), 0);
    send(Timestamped_event_t(5, EV_TONE_DETECTED, 0x31, 0));
    EXPECT_EQ(ua.take(), Calls{"reinvite 7 sendrecv"});
}

TEST_F(SipCall, FaxStatesNameTheRateAndADcnThenIdleGoesBackToVoice)
{
    ASSERT_GE(c->plant(MSP_CONN_T38), 0);
    incoming(7);
    c->codecStatus.set("T38");
    auto fax = [&](int state, bool sending, int message) {
        send(channel_event_t(5, EV_FAX_STATE, (sending ? 1 : 0) | state << 1 | message << 8));
    };
    fax(14, true, 0);
    EXPECT_EQ(c->codecStatus.get(), "T38/TX/14400");
    EXPECT_TRUE(logs.contains("ts 5: sending V.17 14400 short train"));
    fax(5, false, 0);
    EXPECT_EQ(c->codecStatus.get(), "T38/RX/4800");
    fax(3, true, 0x22);
    EXPECT_TRUE(logs.contains("ts 5: T.30/0x22 (FTT) message sent"));
    EXPECT_EQ(c->codecStatus.get(), "T38");
    fax(0, false, 0);   // idle without a DCN: stays on T.38
    EXPECT_TRUE(ua.take().empty());
    fax(3, false, 0xDF);   // DCN received (bit 7 set)
    EXPECT_TRUE(logs.contains("ts 5: T.30/0xdf (DCN) message received"));
    EXPECT_TRUE(c->faxDcnSeen);
    EXPECT_TRUE(ua.take().empty());
    fax(0, false, 0);
    EXPECT_EQ(ua.take(), Calls{"reinvite 7 sendrecv"});
    fax(99, false, 0);
    EXPECT_TRUE(logs.contains("ts 5: receiving ???"));

    // A voice connection ignores fax states.
    c->destroyConnection();
    voice();
    c->codecStatus.set("PCMA");
    fax(14, true, 0);
    EXPECT_EQ(c->codecStatus.get(), "PCMA");
}

// Statistics every few seconds; the counter in element 48 stops moving.
TEST_F(SipCall, RtpTimeoutHangsUpWithItsReasonOrRaisesTheDisconnectItself)
{
    auto stats = [&](int counter, int kind = 6) {
        auto e = std::make_unique<JsonEvent_t>(5, EV_STATISTICS_RECEIVED);
        JsonValue& info = e->value["RTPinfo"];
        info.kind = JSON_ARRAY;
        info.items.resize(50);
        for (auto& v : info.items)
            v.kind = JSON_INTEGER;
        info.items[0].integer = kind;
        info.items[48].integer = counter;
        c->processEvent(e.get());
    };
    settings(R"({"rtp-timeout":30})");
    voice();
    incoming(7);
    c->lastRtpActivity = sched_get_time_sec();
    stats(1);   // the first report only gets stored
    advance(10000);
    stats(2);   // moving: activity now
    advance(29000);
    stats(2);
    EXPECT_TRUE(ua.take().empty());
    advance(1000);
    stats(2);
    EXPECT_EQ(ua.take(), Calls{"hangup 7 SIP;cause=408;text=\"RTP timeout\""});
    EXPECT_TRUE(logs.contains("ts 5: RTP timeout"));
    EXPECT_TRUE(drain().empty());

    // Refused: the channel raises the disconnect for its subclass.
    ua.result = -1;
    stats(2);
    EXPECT_TRUE(logs.contains("ts 5: ua_hangup() error -1"));
    auto raised = drain();
    ASSERT_EQ(raised.size(), 1u);
    auto* d = dynamic_cast<disconnect_event_t*>(raised[0].get());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->channel, 5);
    EXPECT_EQ(d->data, 7);
    EXPECT_EQ(d->q850_cause, 102);
    EXPECT_EQ(d->location, 10);
    EXPECT_EQ(d->sip_status, 0);
    ua.result = 0;
    ua.take();

    // Not an info report of kind 6, a time-out of 0 or below, or no call: never.
    stats(2, 5);
    stats(2);
    settings(R"({"rtp-timeout":-5})");
    advance(100000);
    stats(2);
    stats(2);
    settings(R"({"rtp-timeout":0})");
    stats(2);
    stats(2);
    settings(R"({"rtp-timeout":30})");
    send(disconnect_event_t(5, 7));
    stats(2);
    EXPECT_TRUE(ua.take().empty());

    // A T.38 connection never times out.
    c->destroyConnection();
    ASSERT_GE(c->plant(MSP_CONN_T38), 0);
    incoming(8);
    stats(2);
    stats(2);
    EXPECT_TRUE(ua.take().empty());
}

TEST_F(SipCall, CallerInfoIsRewrittenByCidReplace)
{
    struct {
        const char* cid;
        const char* number;
        const char* stored;
    } cases[] = {
        {"/^0/+49", "0301234", "+49301234"},
        {"/^0/+49", "301234", "301234"},
        {"^0", "0301234", "0301234"},            // no replacement part
        {"/^(\\d\\d)/[\\1]", "0301", "[03]01"},
        {"/(^0/+49", "0301", "0301"},             // did not compile
        {"", "0301", "0301"},
    };
    incoming(7);
    for (const auto& k : cases) {
        JsonValue v;
        v.kind = JSON_HASH;
        v["cid-replace"].setString(k.cid);
        c->setSettings(v);
        caller_info_t info(5);
        info.caller_number = k.number;
        info.caller_name = "Name";
        send(info);
        EXPECT_EQ(c->activeCall.callerNumber.get(), k.stored) << k.cid;
        EXPECT_EQ(c->activeCall.callerName.get(), "Name");
    }
}

TEST_F(SipCall, ReferGoesToTheUserAgentAndAFailureBecomesADisconnect)
{
    settings(R"({"uri":"100@h","realname":"Al","codecs":"8 0"})");
    incoming(7);
    refer_event_t r;
    r.channel = 5;
    r.data = 7;
    r.refer_to = "<sip:200@h>";
    r.refer_user = "200";
    r.refer_uri = "sip:200@h";
    r.did = 3;
    r.referred_by = "<sip:a@h>";
    send(r);
    EXPECT_EQ(ua.take(), Calls{"refer_to 0 7 5 \"Al\" <sip:100@h> <sip:200@h> [8 0] 3 <sip:a@h>"});
    EXPECT_EQ(c->activeCall.callerName.get(), "");
    EXPECT_EQ(c->activeCall.callerNumber.get(), "200");
    EXPECT_EQ(c->activeCall.callerAddress.get(), "sip:200@h");
    EXPECT_FALSE(c->activeCall.answerPending);
    EXPECT_TRUE(drain().empty());

    ua.result = -1;
    c->activeCall.outgoing = true;
    send(r);
    EXPECT_EQ(c->activeCall.calleeNumber.get(), "200");
    auto posted = drain();
    ASSERT_EQ(posted.size(), 1u);
    auto* d = dynamic_cast<disconnect_event_t*>(posted[0].get());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->channel, 5);
    EXPECT_EQ(d->data, -1);
    EXPECT_EQ(d->q850_cause, 0);
    EXPECT_EQ(d->location, -1);

    // Only for the active call.
    ua.take();
    r.data = 99;
    send(r);
    EXPECT_TRUE(ua.take().empty());
}

// Parameters the base applied on a voice connection turn the DTMF relay on
// with their event payload (off without one) and forget a fax DCN.
TEST_F(SipCall, AppliedParametersSetTheDtmfOptionsAndForgetTheFaxDcn)
{
    constexpr uint16_t FC_DTMFOPT = 0x8002;
    struct Row {
        int eventPt;
        int family;   // of the peer's address; 0: none, which the base refuses
        int dtmf;     // last DTMFOPT word sent, -1: none
        bool dcnAfter;
    } rows[] = {{101, AF_INET, 0x0026, false}, {-1, AF_INET, 0x0035, false}, {101, 0, -1, true}};
    voice();
    c->applyRtp = true;
    incoming(7);
    for (const Row& row : rows) {
        c->faxDcnSeen = true;
        size_t from = sim->commands().size();
        rtp_event_t p;   // a hold (no address): no route needed
        p.channel = 5;
        p.data = 7;
        p.codec = "PCMA";
        p.tx_pt = p.rx_pt = 8;
        p.tx_event_pt = p.rx_event_pt = row.eventPt;
        p.remote_addr.ss_family = static_cast<sa_family_t>(row.family);
        send(p);
        int dtmf = -1;
        for (size_t i = from; i < sim->commands().size(); i++)
            if (sim->commands()[i].fc == FC_DTMFOPT && sim->commands()[i].channelId == c->channelId)
                dtmf = word(sim->commands()[i], 8);
        EXPECT_EQ(dtmf, row.dtmf) << row.eventPt << " " << row.family;
        EXPECT_EQ(c->faxDcnSeen, row.dcnAfter) << row.eventPt << " " << row.family;
    }
}

TEST_F(SipCall, AnswerToARequestOfACallNoLongerHeldHangsItUp)
{
    incoming(7);
    struct {
        int call;
        const char* method;
        Calls calls;
    } cases[] = {
        {9, "INVITE", {"hangup 9"}}, {9, "update", {"hangup 9"}}, {9, "INFO", {}}, {7, "INVITE", {}},
    };
    for (const auto& k : cases) {
        message_answer_t m;
        m.channel = 5;
        m.data = k.call;
        m.method = k.method;
        send(m);
        EXPECT_EQ(ua.take(), k.calls) << k.method << " " << k.call;
    }
    EXPECT_TRUE(logs.contains("ts 5: disconnecting stale call 9"));
}

}  // namespace
