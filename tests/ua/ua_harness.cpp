#include "ua/ua_harness.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "core/channel_table.h"
#include "core/dispatch.h"
#include "core/event_queue.h"
#include "core/log.h"
#include "core/main_thread.h"
#include "core/rtp_event.h"
#include "core/scheduler.h"
#include "ua/test_sip_channel.h"
#include "ua/ua_events.h"
#include "ua/user_agent.h"

int64_t UaHarness::now_ms = 1000000;

namespace {

int fake_clock(struct timespec* ts)
{
    ts->tv_sec = UaHarness::now_ms / 1000;
    ts->tv_nsec = (UaHarness::now_ms % 1000) * 1000000;
    return 0;
}

struct pending_call_t {
    TestSipChannel* channel;
    int call_id;
};

void run_on_call(void* arg)
{
    auto* p = static_cast<pending_call_t*>(arg);
    if (p->channel->on_call)
        p->channel->on_call(p->call_id);
    delete p;
}

bool reads_account(const AbstractChannel* channel, ua_sip_account_t* account)
{
    auto* c = dynamic_cast<const TestSipChannel*>(channel);
    if (!c)
        return false;
    *account = c->settings;
    account->timeslot = c->timeslot;
    account->uri = c->account;
    return true;
}

// Line breaks of bodies shown as \r and \n, so that one event stays one line.
std::string one_line(const std::string& text)
{
    std::string s;
    for (char c : text)
        s += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
    return s;
}

std::string map_text(const std::map<std::string, std::string>& m)
{
    std::string s;
    for (const auto& [k, v] : m)
        s += (s.empty() ? "" : ",") + k + "=" + v;
    return s;
}

}  // namespace

void TestSipChannel::registerAccountReader()
{
    ua_set_sip_account_reader(reads_account);
}

void TestSipChannel::processEvent(channel_event_t* event)
{
    seen.push_back(describe(event));
    if (event->code != EV_INCOMING_CALL)
        return;
    auto* call = static_cast<call_event_t*>(event);
    if (call->channel < 0) {
        if (call->called != account.substr(0, account.find('@')))
            return;
        call->channel = timeslot;
    }
    sched_add_timer(main_scheduler, "test call", 1, run_on_call, new pending_call_t{this, call->data}, nullptr);
}

std::string describe(const channel_event_t* e)
{
    std::string s = std::string(eventName(e->code)) + " ch=" + std::to_string(e->channel) +
                    " data=" + std::to_string(e->data);
    switch (e->code) {
    case EV_INCOMING_CALL: {
        auto* c = static_cast<const call_event_t*>(e);
        s += " from=" + c->from + " called=" + c->called + " name=" + c->caller_name +
             " number=" + c->caller_number + " cpc=" + c->cpc + " secure=" + std::to_string(c->secure) +
             " status=" + std::to_string(c->status) + " params=" + map_text(c->params) +
             " focus=" + std::to_string(c->is_focus);
        break;
    }
    case EV_CALL_DISCONNECTED: {
        auto* d = static_cast<const disconnect_event_t*>(e);
        s += " cause=" + std::to_string(d->q850_cause) + " location=" + std::to_string(d->location) +
             " status=" + std::to_string(d->sip_status) + " reason=" + d->reason;
        break;
    }
    case EV_REPLACE_CALL: {
        auto* r = static_cast<const call_replace_t*>(e);
        s += " from=" + r->from + " name=" + r->caller_name + " number=" + r->caller_number +
             " new=" + std::to_string(r->new_call_id);
        break;
    }
    case EV_CALL_ANSWERED: {
        auto* a = static_cast<const answer_event_t*>(e);
        s += " contact=" + a->contact + " identity=" + a->identity + " focus=" + std::to_string(a->is_focus);
        break;
    }
    case EV_NOTIFY_RECEIVED: {
        auto* n = static_cast<const call_notify_t*>(e);
        s += " state=" + n->subscription_state + " event=" + n->event + " type=" + n->content_type + "/" +
             n->content_subtype + " body=" + one_line(n->body);
        break;
    }
    case EV_REFER_RECEIVED: {
        auto* r = static_cast<const refer_event_t*>(e);
        s += " refer_to=" + r->refer_to + " user=" + r->refer_user + " uri=" + r->refer_uri +
             " params=" + map_text(r->params) + " referred_by=" + r->referred_by;
        break;
    }
    case EV_REMOTE_RINGING:
        s += " status=" + std::to_string(static_cast<const ringing_event_t*>(e)->status);
        break;
    case EV_CALL_REDIRECTED:
        s += " contact=" + static_cast<const redirect_event_t*>(e)->contact;
        break;
    case EV_MESSAGE_ANSWERED:
        s += " method=" + static_cast<const message_answer_t*>(e)->method;
        break;
    case EV_MESSAGE_FAILED:
        s += " method=" + static_cast<const message_failed_t*>(e)->method;
        break;
    case EV_CALL_ID_REPLACED:
        s += " new=" + std::to_string(static_cast<const cid_replace_t*>(e)->new_call_id);
        break;
    case EV_RTP_PARAMETERS: {
        auto* r = static_cast<const rtp_event_t*>(e);
        s += " codec=" + r->codec + " tx_pt=" + std::to_string(r->tx_pt) + " rx_pt=" + std::to_string(r->rx_pt);
        break;
    }
    case EV_ACK_RECEIVED: {
        auto* a = static_cast<const call_ack_t*>(e);
        s += " method=" + a->method + " status=" + std::to_string(a->status);
        break;
    }
    default:
        break;
    }
    return s;
}

UaHarness::UaHarness(bool fake)
{
    // UA_TEST_LOG=1 shows what the user agent logs (debugging a test).
    if (getenv("UA_TEST_LOG")) {
        log_level = 7;
        log_set_sink([](int, const char* text) { fprintf(stderr, "log: %s\n", text); });
    }
    main_thread_set();
    if (fake)
        sched_set_clock(fake_clock);
    sched_create(&main_scheduler, "main scheduler");
    std_queue_create(&event_queue, 2048);
    TestSipChannel::registerAccountReader();
}

UaHarness::~UaHarness()
{
    stop();
    {
        MutexLock g(channel_table_mutex);
        for (auto*& c : channel_table) {
            delete c;
            c = nullptr;
        }
    }
    while (channel_event_t* e = std_queue_dequeue(event_queue)) {
        e->data = -1;  // nothing to complete any more
        delete e;
    }
    std_queue_destroy(&event_queue);
    sched_destroy(&main_scheduler);
    sched_set_clock(nullptr);
}

bool UaHarness::start()
{
    if (ua_start() != 0)
        return false;
    for (int i = 0; i < 300 && !ua_is_ready(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ua_is_ready();
}

void UaHarness::stop()
{
    ua_stop();
    ua_join();
}

void UaHarness::pump(int ms)
{
    auto quiet_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < quiet_until) {
        sched_run(main_scheduler);
        bool any = false;
        while (channel_event_t* e = std_queue_dequeue(event_queue)) {
            any = true;
            events.push_back(describe(e));
            MutexLock g(channel_table_mutex);
            dispatchEvent(e);
        }
        if (any)
            quiet_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool UaHarness::sawLine(const std::string& text) const
{
    for (const auto& l : events)
        if (l.find(text) != std::string::npos)
            return true;
    return false;
}

bool UaHarness::waitFor(const std::string& text, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (sawLine(text))
            return true;
        pump(5);
    }
    return sawLine(text);
}

void UaHarness::advance(int64_t ms)
{
    now_ms += ms;
}
