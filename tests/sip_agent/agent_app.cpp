// A small user agent on the layer, for SIPp scenarios. It answers what
// arrives the way a plain phone would (ACK on 2xx, PRACK on a reliable 1xx,
// 200 to re-INVITE and in-call requests, 202 and a first NOTIFY to REFER)
// and does what the command line asks when something happens. Every event it
// takes is printed on stdout, one line each, for the test to check:
//   event <name> cid=N did=N tid=N rid=N status=N method=M retry=0|1
//
//   agent_app --ports-file F [--t1 MS] [--clock-scale N] [--max-ms MS]
//             [--call URI [--call-count N]] [--session-expires S] [--answer CODE,...]
//             [--reinvite-delay MS] [--auth USER:PASSWORD]
//             [--register URI --user NAME --expires S]
//             [--on TRIGGER[#N]=ACTION[@MS]]... [--calls N] [--unregistered]
//
// --answer: the answers to an incoming INVITE, in order; "180rel" is a
//   reliable 180 and what follows it waits for the PRACK.
// --clock-scale N: the layer's own clock runs N times as fast (refreshes,
//   retries and time-outs come sooner); SIP timers keep --t1.
// Triggers: proceeding, ringing, up (initial 2xx acknowledged either way),
//   reinvited (our re-INVITE got its final answer), notify (one arrived),
//   closed, registered. "#N" fires on the Nth time only.
// Actions: bye, reinvite (a hold: the SDP gets a=sendonly), refer,
//   notify-done (final NOTIFY of a REFER we took), unregister; "@MS" delays
//   them.
// The app exits 0 once --calls calls were released and (with --unregistered)
// the registration is gone, after a short linger that shows late events; 3
// when --max-ms passes first, 2 on a bad command line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <syslog.h>
#include <vector>

#include "core/log.h"
#include "sip/agent/agent.h"

using namespace sipagent;
using sipcore::Message;

namespace {

int64_t steady_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void log_to_stderr(int level, const char* text)
{
    fprintf(stderr, "<%d> %s\n", level, text);
}

// The enum's own names: one word each, for the test's checks.
const char* name_of(EventType t)
{
    static const char* names[] = {
        "RegistrationSuccess", "RegistrationFailure", "CallInvite",
        "CallReinvite", "CallNoAnswer", "CallProceeding",
        "CallRinging", "CallAnswered", "CallRedirected",
        "CallRequestFailure", "CallServerFailure", "CallGlobalFailure",
        "CallAck", "CallCancelled", "CallMessageNew",
        "CallMessageProceeding", "CallMessageAnswered", "CallMessageRedirected",
        "CallMessageRequestFailure", "CallMessageServerFailure", "CallMessageGlobalFailure",
        "CallClosed", "CallReleased", "MessageNew",
        "MessageProceeding", "MessageAnswered", "MessageRedirected",
        "MessageRequestFailure", "MessageServerFailure", "MessageGlobalFailure",
    };
    int n = static_cast<int>(t);
    if (n >= 0 && n < static_cast<int>(sizeof names / sizeof names[0]))
        return names[n];
    return t == EventType::InSubscriptionNew ? "InSubscriptionNew" : "Unknown";
}

struct rule_t {
    std::string trigger;
    int nth = 0;  // 0: every time
    std::string action;
    int delay_ms = 0;
};

struct call_state_t {
    int did = 0;
    int invite_tid = 0;  // the incoming INVITE we still answer
    bool up = false;
    std::vector<std::string> answers;  // still to send
    int refer_did = 0;                 // a REFER we took in this dialog
};

struct pending_t {
    int64_t at;
    std::string action;
    int cid;
};

class App {
public:
    std::map<std::string, std::string> opt;
    std::vector<rule_t> rules;
    std::unique_ptr<Agent> agent;

    int run();

private:
    void handle(const event_t& ev);
    void fire(const std::string& trigger, int cid);
    void act(const std::string& action, int cid);
    void answerNext(int cid);
    void answerInvite(int cid, const std::string& code);
    void answerRequest(const event_t& ev, int code, const std::string& body_type = "", const std::string& body = "");
    void sendNotify(int did, SubscriptionState state, const std::string& fragment);
    static std::string sdp(bool hold = false);

    std::map<int, call_state_t> calls;
    std::map<std::string, int> counts;
    std::vector<pending_t> pending;
    int rid = 0;
    bool unregistering = false;
    bool unregistered = false;
    int released = 0;
};

// Always version 1: the layer numbers what it sends (a changed SDP goes up by one).
std::string App::sdp(bool hold)
{
    return std::string("v=0\r\no=app 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                       "m=audio 6000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n") +
           (hold ? "a=sendonly\r\n" : "");
}

void App::answerRequest(const event_t& ev, int code, const std::string& body_type, const std::string& body)
{
    Message r;
    if (agent->callBuildAnswer(ev.tid, code, &r) < 0)
        return;
    if (!body.empty())
        r.setBody(body_type, body);
    int rc = agent->callSendAnswer(ev.tid, code, std::move(r));
    if (rc < 0)
        printf("note answer %d to %s failed (%d)\n", code, ev.request.method().c_str(), rc);
}

void App::answerInvite(int cid, const std::string& code)
{
    call_state_t& c = calls[cid];
    int status = atoi(code.c_str());
    Message r;
    if (agent->callBuildAnswer(c.invite_tid, status, &r) < 0)
        return;
    if (code == "180rel") {
        r.addHeader("Require", "100rel");
        r.addHeader("RSeq", "1");
    }
    if (status >= 200 && status < 300)
        r.setBody("application/sdp", sdp());
    int rc = agent->callSendAnswer(c.invite_tid, status, std::move(r));
    if (rc < 0)
        printf("note answer %s failed (%d)\n", code.c_str(), rc);
}

// Sends the planned answers up to and including a reliable one.
void App::answerNext(int cid)
{
    call_state_t& c = calls[cid];
    while (!c.answers.empty()) {
        std::string code = c.answers.front();
        c.answers.erase(c.answers.begin());
        answerInvite(cid, code);
        if (code == "180rel")
            return;
    }
}

void App::sendNotify(int did, SubscriptionState state, const std::string& fragment)
{
    Message n;
    int rc = agent->callBuildNotify(did, state, &n);
    if (rc == 0) {
        n.setBody("message/sipfrag", fragment);
        rc = agent->callSendRequest(did, std::move(n)) > 0 ? 0 : -1;
    }
    if (rc < 0)
        printf("note NOTIFY failed (%d)\n", rc);
}

void App::act(const std::string& action, int cid)
{
    call_state_t& c = calls[cid];
    printf("action %s cid=%d\n", action.c_str(), cid);
    if (action == "bye") {
        int rc = agent->callTerminate(cid, c.did, "");
        if (rc < 0)
            printf("note terminate failed (%d)\n", rc);
    } else if (action == "reinvite") {
        Message m;
        int rc = agent->callBuildRequest(c.did, "INVITE", &m);
        if (rc == 0) {
            m.setBody("application/sdp", sdp(true));
            rc = agent->callSendRequest(c.did, std::move(m)) > 0 ? 0 : -1;
        }
        if (rc < 0)
            printf("note re-INVITE failed (%d)\n", rc);
    } else if (action == "refer") {
        Message m;
        int rc = agent->callBuildRefer(c.did, "<sip:carol@127.0.0.1>", &m);
        if (rc == 0)
            rc = agent->callSendRequest(c.did, std::move(m)) > 0 ? 0 : -1;
        if (rc < 0)
            printf("note REFER failed (%d)\n", rc);
    } else if (action == "notify-done") {
        if (c.refer_did)
            sendNotify(c.refer_did, SubscriptionState::Terminated, "SIP/2.0 200 OK\r\n");
    } else if (action == "unregister") {
        unregistering = true;
        int rc = agent->registerRemove(rid);
        if (rc < 0)
            printf("note unregister failed (%d)\n", rc);
    }
}

void App::fire(const std::string& trigger, int cid)
{
    int n = ++counts[trigger];
    for (const auto& r : rules) {
        if (r.trigger != trigger || (r.nth && r.nth != n))
            continue;
        if (r.delay_ms)
            pending.push_back({steady_ms() + r.delay_ms, r.action, cid});
        else
            act(r.action, cid);
    }
}

void App::handle(const event_t& ev)
{
    int status = ev.response ? ev.response.statusCode() : 0;
    std::string method = ev.request ? ev.request.method() : "-";
    printf("event %s cid=%d did=%d tid=%d rid=%d status=%d method=%s retry=%d\n", name_of(ev.type), ev.cid,
           ev.did, ev.tid, ev.rid, status, method.c_str(), ev.will_retry ? 1 : 0);
    call_state_t* c = ev.cid ? &calls[ev.cid] : nullptr;
    if (c && ev.did && !c->did)
        c->did = ev.did;
    switch (ev.type) {
    case EventType::CallInvite: {
        c->invite_tid = ev.tid;
        std::string list = opt.count("--answer") ? opt["--answer"] : "180,200";
        for (size_t s = 0; s <= list.size();) {
            size_t e = list.find(',', s);
            c->answers.push_back(list.substr(s, e == std::string::npos ? std::string::npos : e - s));
            if (e == std::string::npos)
                break;
            s = e + 1;
        }
        answerNext(ev.cid);
        break;
    }
    case EventType::CallReinvite: {
        int delay = opt.count("--reinvite-delay") ? atoi(opt["--reinvite-delay"].c_str()) : 0;
        if (delay) {
            pending.push_back({steady_ms() + delay, "answer-reinvite:" + std::to_string(ev.tid), ev.cid});
            break;
        }
        answerRequest(ev, 200, "application/sdp", sdp());
        break;
    }
    case EventType::CallProceeding:
    case EventType::CallRinging:
        if (ev.response && ev.response.header("Require").find("100rel") != std::string::npos) {
            Message prack;
            int rc = agent->callBuildPrack(ev.tid, ev.response, &prack);
            if (rc == 0)
                rc = agent->callSendPrack(ev.tid, std::move(prack));
            if (rc < 0)
                printf("note PRACK failed (%d)\n", rc);
        }
        fire(ev.type == EventType::CallRinging ? "ringing" : "proceeding", ev.cid);
        break;
    case EventType::CallAnswered:
        agent->callSendAck(ev.tid);
        c->did = ev.did;
        if (!c->up) {
            c->up = true;
            fire("up", ev.cid);
        } else {
            fire("reinvited", ev.cid);
        }
        break;
    case EventType::CallAck:
        if (!c->up) {
            c->up = true;
            fire("up", ev.cid);
        }
        break;
    case EventType::CallRequestFailure:
    case EventType::CallServerFailure:
    case EventType::CallGlobalFailure:
        if (c->up && !ev.will_retry)
            fire("reinvited", ev.cid);
        break;
    case EventType::CallMessageNew:
        if (method == "BYE")
            break;
        if (method == "PRACK") {
            answerRequest(ev, 200);
            answerNext(ev.cid);
        } else if (method == "REFER") {
            answerRequest(ev, 202);
            c->refer_did = ev.did;
            sendNotify(ev.did, SubscriptionState::Active, "SIP/2.0 100 Trying\r\n");
        } else {
            answerRequest(ev, 200);
            if (method == "NOTIFY")
                fire("notify", ev.cid);
        }
        break;
    case EventType::CallClosed:
        fire("closed", ev.cid);
        break;
    case EventType::CallReleased:
        ++released;
        break;
    case EventType::MessageNew: {
        Message r;
        if (agent->optionsBuildAnswer(ev.tid, method == "OPTIONS" ? 200 : 405, &r) == 0)
            agent->optionsSendAnswer(ev.tid, r.statusCode(), std::move(r));
        break;
    }
    case EventType::InSubscriptionNew:
        agent->insubscriptionSendAnswer(ev.tid, 405, Message());
        break;
    case EventType::RegistrationSuccess:
    case EventType::RegistrationFailure:
        if (ev.will_retry)
            break;
        if (unregistering)
            unregistered = true;
        else if (ev.type == EventType::RegistrationSuccess)
            fire("registered", 0);
        break;
    default:
        break;
    }
}

int App::run()
{
    agent_config_t cfg;
    int64_t s = opt.count("--clock-scale") ? atoi(opt["--clock-scale"].c_str()) : 1;
    cfg.clock_ms = [s] { return steady_ms() * s; };
    if (opt.count("--t1"))
        cfg.stack.t1_ms = atoi(opt["--t1"].c_str());
    agent = std::make_unique<Agent>(cfg);
    if (agent->listen(sipcore::TransportType::UDP, "127.0.0.1", 0) < 0)
        return 1;
    int port;
    {
        std::lock_guard<std::mutex> g(agent->mutex());
        port = agent->localPort();
    }
    if (opt.count("--ports-file")) {
        std::string tmp = opt["--ports-file"] + ".tmp";
        FILE* f = fopen(tmp.c_str(), "w");
        if (!f)
            return 1;
        fprintf(f, "%d\n", port);
        fclose(f);
        rename(tmp.c_str(), opt["--ports-file"].c_str());
    }
    {
        std::lock_guard<std::mutex> g(agent->mutex());
        if (opt.count("--auth")) {
            std::string a = opt["--auth"];
            size_t colon = a.find(':');
            if (colon == std::string::npos)
                return 2;
            agent->addAuthenticationInfo(a.substr(0, colon), a.substr(0, colon), a.substr(colon + 1), "", "");
        }
        if (opt.count("--register")) {
            std::string user = opt.count("--user") ? opt["--user"] : "app";
            std::string contact = "<sip:" + user + "@127.0.0.1:" + std::to_string(port) + ">";
            int expires = opt.count("--expires") ? atoi(opt["--expires"].c_str()) : 3600;
            Message reg;
            rid = agent->registerBuildInitial("<sip:" + user + "@127.0.0.1>", opt["--register"], contact, expires, &reg);
            if (rid <= 0 || agent->registerSend(rid, std::move(reg)) < 0) {
                fprintf(stderr, "REGISTER not sent\n");
                return 1;
            }
        }
        int calls_out = opt.count("--call") ? (opt.count("--call-count") ? atoi(opt["--call-count"].c_str()) : 1) : 0;
        for (int i = 0; i < calls_out; ++i) {
            Message inv;
            if (agent->callBuildInitialInvite(&inv, "<" + opt["--call"] + ">", "<sip:app@127.0.0.1>") < 0)
                return 2;
            if (opt.count("--session-expires")) {
                inv.addHeader("Supported", "timer");
                inv.addHeader("Session-Expires", opt["--session-expires"]);
            }
            inv.addHeader("Supported", "100rel");
            inv.setBody("application/sdp", sdp());
            if (agent->callSendInitialInvite(std::move(inv)) <= 0)
                return 1;
        }
    }
    int want_calls = opt.count("--calls") ? atoi(opt["--calls"].c_str()) : 0;
    bool want_unregistered = opt.count("--unregistered") > 0;
    int64_t deadline = steady_ms() + (opt.count("--max-ms") ? atoi(opt["--max-ms"].c_str()) : 20000);
    int64_t linger_until = 0;
    int rc = 0;
    for (;;) {
        int64_t now = steady_ms();
        if (linger_until && now >= linger_until)
            break;
        if (now >= deadline) {
            printf("timeout: %d call(s) released, registration %s\n", released,
                   unregistered ? "removed" : "not removed");
            rc = 3;
            break;
        }
        {
            std::lock_guard<std::mutex> g(agent->mutex());
            agent->automaticAction();
            for (size_t i = 0; i < pending.size();) {
                if (pending[i].at > now) {
                    ++i;
                    continue;
                }
                pending_t p = pending[i];
                pending.erase(pending.begin() + i);
                if (p.action.rfind("answer-reinvite:", 0) == 0) {
                    int tid = atoi(p.action.c_str() + 16);
                    Message r;
                    if (agent->callBuildAnswer(tid, 200, &r) == 0) {
                        r.setBody("application/sdp", sdp());
                        agent->callSendAnswer(tid, 200, std::move(r));
                    }
                } else {
                    act(p.action, p.cid);
                }
            }
        }
        auto ev = agent->eventWait(10);
        if (ev) {
            std::lock_guard<std::mutex> g(agent->mutex());
            handle(*ev);
        }
        fflush(stdout);
        if (!linger_until && released >= want_calls && (!want_unregistered || unregistered) &&
            (want_calls || want_unregistered))
            linger_until = steady_ms() + 300;
    }
    fflush(stdout);
    agent->quit();
    return rc;
}

}  // namespace

int main(int argc, char** argv)
{
    App app;
    for (int i = 1; i < argc; ++i) {
        std::string k = argv[i];
        if (k == "--unregistered") {
            app.opt[k] = "1";
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "%s wants a value\n", k.c_str());
            return 2;
        }
        std::string v = argv[++i];
        if (k != "--on") {
            app.opt[k] = v;
            continue;
        }
        // TRIGGER[#N]=ACTION[@MS]
        rule_t r;
        size_t eq = v.find('=');
        if (eq == std::string::npos) {
            fprintf(stderr, "--on wants TRIGGER=ACTION\n");
            return 2;
        }
        r.trigger = v.substr(0, eq);
        r.action = v.substr(eq + 1);
        if (size_t h = r.trigger.find('#'); h != std::string::npos) {
            r.nth = atoi(r.trigger.c_str() + h + 1);
            r.trigger.resize(h);
        }
        if (size_t at = r.action.find('@'); at != std::string::npos) {
            r.delay_ms = atoi(r.action.c_str() + at + 1);
            r.action.resize(at);
        }
        app.rules.push_back(r);
    }
    log_level = LOG_DEBUG;
    log_set_sink(log_to_stderr);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return app.run();
}
