// The user agent as a small program for SIPp and sipsak: it runs the user
// agent's thread on 127.0.0.1:6060 with a main loop of its own and test SIP
// channels, prints every event it dispatches ("event ..." lines) and logs to
// stderr. Run it in a network namespace of its own.
//
//   --channel TS[:USER]   a test SIP channel at TS for the account USER (100)
//   --answer STATUS       what a channel does with a call that reaches it, in
//                         order (200 answers with SDP; 180rel rings reliably)
//   --hangup-after-ack    a channel hangs its call up when the ACK arrives
//   --flags N             the global flags word
//   --fill-queue N        N events wait in the queue that the main loop never
//                         takes (a stalled main loop)
//   --max-ms N            ends after N ms (SIGTERM ends it sooner)
//   --set TS:KEY=VALUE    an account setting of channel TS (registrar, authname,
//                         password, realm, realname, proxy, expires, transport, se)
//   --register TS         channel TS registers its account once the agent is ready
//   --unregister-after N  a channel unregisters after its Nth registration result
//   --dial TS:TO          channel TS calls TO (codecs "8 0 101 991") once ready
//   --route ROUTE         the Route of that call
//   --after-answer MODE   re-INVITE with MODE when the call is answered, once
//                         per answer, in order
//   --accept-refer        a channel acts on a REFER it receives (the transferee)
//   --tcp                 the agent also listens on TCP 127.0.0.1:6060
//   --time-scale N        the layer's timers (refreshes, retries) run N times faster
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/channel_table.h"
#include "core/dispatch.h"
#include "core/event_queue.h"
#include "core/global_flags.h"
#include "core/log.h"
#include "core/main_thread.h"
#include "core/scheduler.h"
#include "ua/test_sip_channel.h"
#include "ua/ua_context.h"
#include "ua/ua_events.h"
#include "ua/user_agent.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_signal(int)
{
    stop_requested = 1;
}

void usage()
{
    fprintf(stderr, "usage: ua_app [--channel TS[:USER]] [--answer STATUS]... [--hangup-after-ack] [--flags N] "
                    "[--fill-queue N] [--max-ms N]\n");
    exit(2);
}

std::vector<std::string> answers;
bool hangup_after_ack = false;
int unregister_after = 0;
std::vector<std::string> after_answer;
size_t answers_seen = 0;
bool accept_refer = false;

void act_on_call(int call_id)
{
    for (const std::string& a : answers) {
        int r;
        if (a == "200")
            r = ua_answer(call_id);
        else
            r = ua_response_status(call_id, atoi(a.c_str()), 0, false, "", "");
        printf("action %s call=%d result=%d\n", a.c_str(), call_id, r);
    }
    fflush(stdout);
}

class AppChannel : public TestSipChannel {
public:
    using TestSipChannel::TestSipChannel;
    void processEvent(channel_event_t* event) override
    {
        TestSipChannel::processEvent(event);
        if (event->code == EV_ACK_RECEIVED && hangup_after_ack)
            ua_hangup(event->data, "");
        if (event->code == EV_CALL_ANSWERED && event->data == dialled && answers_seen < after_answer.size()) {
            const std::string& mode = after_answer[answers_seen++];
            int r = ua_reinvite(event->data, mode.c_str());
            printf("action reinvite %s call=%d result=%d\n", mode.c_str(), event->data, r);
            fflush(stdout);
        }
        if (event->code == EV_REFER_RECEIVED && accept_refer) {
            auto* r = static_cast<refer_event_t*>(event);
            int res = ua_refer_to(0, r->data, timeslot, "<sip:" + account + ">", r->refer_to, "8 0 101", r->did,
                                  r->referred_by);
            printf("action refer_to call=%d result=%d\n", r->data, res);
            fflush(stdout);
        }
        if (event->code == EV_ENDPOINT_REGISTERED && ++registered == unregister_after) {
            int r = ua_unregister(registration, settings.authname, settings.realm);
            printf("action unregister ts=%d id=%d result=%d\n", timeslot, registration, r);
            fflush(stdout);
        }
    }
    int registration = -1;
    int registered = 0;
    int dialled = 0;
};

void set_account(ua_sip_account_t& a, const std::string& key, const std::string& value)
{
    std::string* texts[] = {&a.registrar, &a.authname, &a.password, &a.realm, &a.realname, &a.proxy};
    const char* names[] = {"registrar", "authname", "password", "realm", "realname", "proxy"};
    for (size_t i = 0; i < std::size(names); ++i)
        if (key == names[i]) {
            *texts[i] = value;
            return;
        }
    if (key == "expires")
        a.expires = atoi(value.c_str());
    else if (key == "transport")
        a.transport = atoi(value.c_str());
    else if (key == "se")
        a.se = atoi(value.c_str());
    else
        usage();
}

}  // namespace

int main(int argc, char** argv)
{
    int fill = 0;
    long max_ms = 30000;
    std::vector<std::pair<int, std::string>> channels;
    std::vector<std::pair<int, std::string>> settings;  // TS, KEY=VALUE
    std::vector<int> registering;
    int dial_ts = -1;
    std::string dial_to, route;
    long time_scale = 1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--channel") {
            std::string v = value();
            size_t colon = v.find(':');
            channels.emplace_back(atoi(v.c_str()), colon == std::string::npos ? "100" : v.substr(colon + 1));
        } else if (a == "--answer") {
            answers.push_back(value());
        } else if (a == "--hangup-after-ack") {
            hangup_after_ack = true;
        } else if (a == "--flags") {
            globalFlags = uint32_t(strtoul(value().c_str(), nullptr, 0));
        } else if (a == "--fill-queue") {
            fill = atoi(value().c_str());
        } else if (a == "--set") {
            std::string v = value();
            size_t colon = v.find(':');
            if (colon == std::string::npos || v.find('=', colon) == std::string::npos)
                usage();
            settings.emplace_back(atoi(v.c_str()), v.substr(colon + 1));
        } else if (a == "--register") {
            registering.push_back(atoi(value().c_str()));
        } else if (a == "--unregister-after") {
            unregister_after = atoi(value().c_str());
        } else if (a == "--dial") {
            std::string v = value();
            size_t colon = v.find(':');
            if (colon == std::string::npos)
                usage();
            dial_ts = atoi(v.c_str());
            dial_to = v.substr(colon + 1);
        } else if (a == "--route") {
            route = value();
        } else if (a == "--after-answer") {
            after_answer.push_back(value());
        } else if (a == "--accept-refer") {
            accept_refer = true;
        } else if (a == "--time-scale") {
            time_scale = atol(value().c_str());
        } else if (a == "--tcp") {
            ua_tcp_listener = true;
        } else if (a == "--max-ms") {
            max_ms = atol(value().c_str());
        } else {
            usage();
        }
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    log_level = 7;
    log_set_sink([](int, const char* text) { fprintf(stderr, "%s\n", text); });
    main_thread_set();
    sched_create(&main_scheduler, "main scheduler");
    std_queue_create(&event_queue, 2048);
    TestSipChannel::registerAccountReader();
    for (auto& [ts, user] : channels) {
        auto* c = new AppChannel(ts, user + "@127.0.0.1");
        c->on_call = act_on_call;
        channel_table[ts] = c;
    }
    for (auto& [ts, setting] : settings) {
        auto* c = dynamic_cast<AppChannel*>(ts >= 0 && ts < CHANNEL_TABLE_SIZE ? channel_table[ts] : nullptr);
        if (!c)
            usage();
        size_t eq = setting.find('=');
        set_account(c->settings, setting.substr(0, eq), setting.substr(eq + 1));
    }
    if (time_scale > 1) {
        auto start = std::chrono::steady_clock::now();
        ua_layer_clock = [start, time_scale] {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            return int64_t(ms.count()) * time_scale;
        };
    }
    for (int i = 0; i < fill; ++i)
        std_queue_enqueue(event_queue, new channel_event_t(-1, EV_ANY_DATA));

    if (ua_start() != 0)
        return 1;
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    };
    bool announced = false;
    while (!stop_requested && elapsed() < max_ms) {
        if (!announced && ua_is_ready()) {
            printf("ready\n");
            announced = true;
            for (int ts : registering) {
                auto* c = dynamic_cast<AppChannel*>(ts >= 0 && ts < CHANNEL_TABLE_SIZE ? channel_table[ts] : nullptr);
                if (!c)
                    continue;
                c->registration = ua_register(c);
                printf("action register ts=%d result=%d\n", ts, c->registration);
            }
            if (auto* c = dynamic_cast<AppChannel*>(dial_ts >= 0 && dial_ts < CHANNEL_TABLE_SIZE ? channel_table[dial_ts]
                                                                                              : nullptr)) {
                c->dialled = ua_dial_out(0, dial_to, "<sip:" + c->account + ">", route, dial_ts, "8 0 101 991", nullptr);
                printf("action dial ts=%d result=%d\n", dial_ts, c->dialled);
            }
            fflush(stdout);
        }
        sched_run(main_scheduler);
        if (!fill) {
            while (channel_event_t* e = std_queue_dequeue(event_queue)) {
                printf("event %s\n", describe(e).c_str());
                fflush(stdout);
                MutexLock g(channel_table_mutex);
                dispatchEvent(e);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ua_stop();
    ua_join();
    {
        MutexLock g(channel_table_mutex);
        for (auto*& c : channel_table) {
            delete c;
            c = nullptr;
        }
    }
    while (channel_event_t* e = std_queue_dequeue(event_queue)) {
        e->data = -1;
        delete e;
    }
    std_queue_destroy(&event_queue);
    sched_destroy(&main_scheduler);
    return 0;
}
