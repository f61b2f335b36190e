// linegw with one more channel type for the end-to-end tests of the SIP
// channel base: "SIPTEST", a line that takes the calls to its "uri" user,
// rings and answers them, and places, swaps or ends calls on request.
//
// Requests come through the FIFO named by LINEGW_TEST_CONTROL, one line
// each: "<timeslot> <settings JSON>". A line becomes a "Channel settings"
// event for that timeslot; besides the settings of the channel it may hold
// "dial" (a SIP URI to call), "hangup" (true) or "swap" (true). Two more
// lines give the proxy what the lines and the controller would:
// "callgroups <JSON>" its call groups, "options <user> <JSON>" a
// subscriber's barring options.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <vector>

#include "core/channel_event.h"
#include "core/log.h"
#include "core/scheduler.h"
#include "daemon/create_channel.h"
#include "daemon/startup_steps.h"
#include "msp/sip_channel.h"
#include "platform/sim_board.h"
#include "proxy/proxy_tables.h"
#include "proxy/repro_api.h"
#include "ua/user_agent.h"

namespace {

class SipTestLine : public SIPChannel {
public:
    explicit SipTestLine(int ts) : SIPChannel(ts) {}
    ~SipTestLine() override
    {
        if (answerTimer && main_scheduler)
            sched_cancel_timer(main_scheduler, answerTimer);
    }
    const char* getTypeName() const override { return "SIPTEST"; }
    const char* getStateName() const override { return state; }

    void setSettings(const JsonValue& settings) override
    {
        SIPChannel::setSettings(settings);
        const JsonValue* v = settings.find("answer-ms");
        // The scheduler takes no timer of 0 ms: "at once" is 1 ms.
        answerMs = v && v->kind == JSON_INTEGER ? std::max<int64_t>(1, v->integer) : 100;
        if ((v = settings.find("hangup")) && v->kind == JSON_BOOL && v->boolean) {
            hangup("");
            enter("idle");
        }
        if ((v = settings.find("swap")) && v->kind == JSON_BOOL && v->boolean)
            note("swap %d", swapCalls());
        if ((v = settings.find("dial")) && v->kind == JSON_STRING)
            dial(v->text);
    }

    void processEvent(channel_event_t* event) override
    {
        if (!event)
            return;
        if (event->channel < 0) {
            if (event->code == EV_INCOMING_CALL && (event->flags & EVF_PASS1))
                claim(static_cast<call_event_t*>(event));
            else
                SIPChannel::processEvent(event);
            return;
        }
        int activeBefore = activeCall.callId;
        SIPChannel::processEvent(event);
        switch (event->code) {
        case EV_INCOMING_CALL:
            note("incoming call %d from %s", event->data, activeCall.callerAddress.get().c_str());
            sip_channel_ua_ringing(event->data);
            enter("ringing");
            sched_add_timer(main_scheduler, "test answer", answerMs, answer_later, this, &answerTimer);
            break;
        case EV_REMOTE_RINGING:
            note("remote ringing %d", event->data);
            break;
        case EV_CALL_ANSWERED:
            note("answered %d", event->data);
            if (event->data == activeCall.callId)
                enter("talking");
            break;
        case EV_RTP_PARAMETERS:
            if (event->data == activeCall.callId)
                note("media %d %s", event->data, rtp.codec.c_str());
            break;
        case EV_CALL_DISCONNECTED: {
            auto* d = dynamic_cast<disconnect_event_t*>(event);
            note("disconnected %d cause %d status %d reason %s", event->data, d ? d->q850_cause : 0,
                 d ? d->sip_status : 0, d ? d->reason.c_str() : "");
            if (event->data == activeBefore || event->data == -1) {
                if (event->data == -1)
                    hangup("");
                enter("idle");
            }
            break;
        }
        case EV_CALL_ID_REPLACED:
            note("call id replaced %d", activeCall.callId);
            break;
        case EV_ENDPOINT_REGISTERED:
            note("registered");
            break;
        default:
            break;
        }
    }

private:
    __attribute__((format(printf, 2, 3))) void note(const char* fmt, ...)
    {
        char text[512];
        va_list args;
        va_start(args, fmt);
        vsnprintf(text, sizeof text, fmt, args);
        va_end(args);
        LOG(LOGF_GENERAL, 3, "siptest ts %d: %s", timeslot, text);
    }
    void enter(const char* s)
    {
        state = s;
        publishStatus();
        note("state %s", s);
    }
    void claim(call_event_t* call)
    {
        std::string user = uri.substr(0, uri.find('@'));
        if (strcasecmp(call->called.c_str(), user.c_str()) != 0)
            return;
        call->flags |= EVF_MATCHED;
        if (activeCall.callId >= 0) {
            call->status = 486;
            return;
        }
        call->channel = timeslot;
        processEvent(call);   // the claim ends the offer: it is ours from here
    }
    static void sip_channel_ua_ringing(int call) { ua_ringing(call, false); }
    static void answer_later(void* argument)
    {
        auto* self = static_cast<SipTestLine*>(argument);
        self->answerTimer = 0;
        if (self->activeCall.callId < 0 || !self->activeCall.answerPending)
            return;
        int result = self->answer();
        self->note("answer %d", result);
        if (result == 0)
            self->enter("talking");
    }
    void dial(const std::string& to)
    {
        if (activeCall.callId >= 0 && heldCall.callId < 0)
            swapCalls();
        int call = ua_dial_out(transport, to, getLocalIdentity(), "", timeslot, codecs, nullptr);
        note("dial %s: %d", to.c_str(), call);
        if (call < 0)
            return;
        activeCall.callId = call;
        activeCall.outgoing = true;
        activeCall.startTime = time(nullptr);
        activeCall.calleeNumber.set(to);
        enter("calling");
    }

    const char* state = "idle";
    int answerMs = 100;
    uint64_t answerTimer = 0;
};

AbstractChannel* make_test(int ts, const std::string&) { return new SipTestLine(ts); }

std::vector<channel_type_t> types;

// A "callgroups" or "options" line, handed to the proxy; false for others.
bool proxy_line(const char* line)
{
    std::string user;
    const char* rest;
    if (strncmp(line, "callgroups ", 11) == 0) {
        rest = line + 11;
    } else if (strncmp(line, "options ", 8) == 0 && strchr(line + 8, ' ')) {
        rest = strchr(line + 8, ' ');
        user.assign(line + 8, rest);
    } else {
        return false;
    }
    JsonValue value;
    MemDataSource source(rest);
    if (!value.parse(source)) {
        LOG(LOGF_GENERAL, 3, "siptest: bad control line: %s", line);
        return true;
    }
    if (user.empty())
        repro_update_callgroups(value);
    else
        repro_set_user_options(user, value);
    LOG(LOGF_GENERAL, 3, "siptest: proxy %s", line);
    return true;
}

// Lines from the FIFO become settings events; the daemon's queue takes
// them from any thread. The FIFO is opened for writing too, so it never
// reads an end and is never closed: a test's next writer could otherwise
// open it just before the close and write into a FIFO with no reader.
void* control_thread(void* argument)
{
    const char* path = static_cast<const char*>(argument);
    FILE* f = fopen(path, "r+");
    if (!f)
        return nullptr;
    char line[4096];
    while (fgets(line, sizeof line, f)) {
        if (proxy_line(line))
            continue;
        char* json = nullptr;
        long ts = strtol(line, &json, 10);
        JsonValue value;
        MemDataSource source(json);
        if (json == line || ts < 0 || ts > 255 || !value.parse(source) || value.kind != JSON_HASH) {
            LOG(LOGF_GENERAL, 3, "siptest: bad control line: %s", line);
            continue;
        }
        postEvent(static_cast<int>(ts), new JsonEvent_t(static_cast<int>(ts), EV_CHANNEL_SETTINGS, value));
    }
    fclose(f);
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    if (std::string why = sim_board_refusal(); !why.empty()) {
        fprintf(stderr, "linegw: %s\n", why.c_str());
        return 1;
    }
    types.assign(channel_types, channel_types + channel_types_count);
    types.push_back({"SIPTEST", make_test});
    channel_types = types.data();
    channel_types_count = types.size();
    if (const char* control = getenv("LINEGW_TEST_CONTROL")) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, control_thread, const_cast<char*>(control)) == 0)
            pthread_detach(thread);
    }
    return run_steps(daemon_steps(argc, argv));
}
