// Session timers: the interval agreed in a 2xx to INVITE or UPDATE, the
// refresh when we are the refresher, and BYE when the peer stops refreshing.
#include <algorithm>
#include <cctype>

#include <syslog.h>

#include "core/log.h"
#include "sip/agent/agent.h"

namespace sipagent {

using namespace sipcore;

namespace {

// "1800;refresher=uac" -> 1800 and "uac"; -1 when the value is not a
// delta-seconds with parameters.
long parse_session_expires(const std::string& value, std::string* refresher)
{
    refresher->clear();
    size_t i = value.find_first_not_of(" \t");
    if (i == std::string::npos || !isdigit(static_cast<unsigned char>(value[i])))
        return -1;
    long interval = 0;
    for (; i < value.size() && isdigit(static_cast<unsigned char>(value[i])); ++i) {
        interval = interval * 10 + (value[i] - '0');
        if (interval > 0x7fffffffL / 1000)  // kept in milliseconds later
            return -1;
    }
    i = value.find_first_not_of(" \t", i);
    if (i != std::string::npos && value[i] != ';')
        return -1;
    std::string lower = value;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    size_t r = lower.find("refresher=");
    if (r != std::string::npos)
        *refresher = lower.substr(r + 10, 3);
    return interval;
}

}  // namespace

// An INVITE or UPDATE asking for a session shorter than our Min-SE: 422 when
// the peer supports timers (it retries with ours); otherwise the answer
// raises the interval. True when answered here.
bool Agent::refuseShortSession(tx_t& tx)
{
    std::string se = tx.request.header("Session-Expires");
    if (se.empty() || !lists_token(tx.request, "Supported", "timer"))
        return false;
    std::string refresher;
    long interval = parse_session_expires(se, &refresher);
    if (interval < 0 || interval >= cfg.min_se_s)
        return false;
    LOG(LOGF_GENERAL, LOG_INFO, "SIP agent: %s with Session-Expires %ld below %d refused", tx.method.c_str(), interval,
        cfg.min_se_s);
    Message r = buildAnswerFor(tx, 422, "", false);
    r.addHeader("Min-SE", std::to_string(cfg.min_se_s));
    sendServer(tx, std::move(r), false);
    return true;
}

// Our 2xx to an INVITE or UPDATE: when the answer says it supports timers, the
// request's interval is taken, with us refreshing unless the peer said it will.
void Agent::sessionTimerFromRequest(dialog_t& d, const Message& request, Message& answer)
{
    std::string se = request.header("Session-Expires");
    if (se.empty() || !lists_token(answer, "Supported", "timer") || answer.hasHeader("Session-Expires"))
        return;
    std::string refresher;
    long parsed = parse_session_expires(se, &refresher);
    if (parsed <= 0)
        return;
    int interval = std::max(static_cast<int>(parsed), cfg.min_se_s);
    if (refresher.empty())
        refresher = "uas";
    answer.addHeader("Session-Expires", std::to_string(interval) + ";refresher=" + refresher);
    if (lists_token(request, "Supported", "timer") && !lists_token(answer, "Require", "timer"))
        answer.addHeader("Require", "timer");
    d.se_interval = interval;
    d.se_refresher = refresher == "uas";
    if (!d.peer_allows_update)
        d.peer_allows_update = lists_token(request, "Allow", "update");
    sessionTimerArm(d);
}

// A 2xx to our INVITE or UPDATE: the refresher it names (none means us).
void Agent::sessionTimerFromAnswer(dialog_t& d, const Message& response)
{
    std::string se = response.header("Session-Expires");
    if (se.empty()) {
        cancelTimer(d.se_timer);
        d.se_timer = 0;
        d.se_interval = 0;
        return;
    }
    std::string refresher;
    long interval = parse_session_expires(se, &refresher);
    if (interval <= 0)
        return;
    // a peer naming a shorter one does not get refreshes more often than that
    d.se_interval = std::max(static_cast<int>(interval), cfg.min_se_s);
    d.se_refresher = refresher != "uas";
    sessionTimerArm(d);
}

void Agent::sessionTimerArm(dialog_t& d)
{
    cancelTimer(d.se_timer);
    d.se_timer = 0;
    if (d.se_interval <= 0)
        return;
    int did = d.id;
    int64_t interval_ms = int64_t(d.se_interval) * 1000;
    if (d.se_refresher) {
        d.se_timer = startTimer(interval_ms / 2, [this, did] { sessionRefresh(did); });
        return;
    }
    // The peer refreshes; without it the session ends shortly before expiry.
    int64_t grace = std::min<int64_t>(32000, interval_ms / 3);
    d.se_timer = startTimer(interval_ms - grace, [this, did] {
        dialog_t* d = dialogById(did);
        if (!d || d->state != DialogState::Confirmed || d->bye_sent || d->bye_received)
            return;
        d->se_timer = 0;
        LOG(LOGF_GENERAL, LOG_INFO, "SIP agent: session of call %d expired", d->cid);
        sendBye(*d, "");
        auto ev = std::make_unique<event_t>();
        ev->type = EventType::CallClosed;
        ev->textinfo = event_type_name(ev->type);
        ev->cid = d->cid;
        ev->did = did;
        post(std::move(ev));
    });
}

// UPDATE when the peer allows it, else a re-INVITE with our agreed SDP (a
// re-INVITE without one would invite a new offer in the 2xx).
void Agent::sessionRefresh(int did)
{
    dialog_t* d = dialogById(did);
    if (!d)
        return;
    d->se_timer = 0;
    if (d->state != DialogState::Confirmed || d->bye_sent || d->bye_received)
        return;
    if (d->pending_out_invite || d->pending_in_invite || d->glare_timer || txByDialogPending(did)) {
        d->se_timer = startTimer(2000, [this, did] { sessionRefresh(did); });
        return;
    }
    std::string method = d->peer_allows_update ? "UPDATE" : "INVITE";
    Message msg = buildInDialog(*d, method);
    // refresher names a role in this request, where we are the client: "uac"
    // keeps the refreshing with us whichever side set up the call.
    msg.addHeader("Session-Expires", std::to_string(d->se_interval) + ";refresher=uac");
    msg.addHeader("Supported", "timer");
    // the SDP the call runs on: a re-INVITE of ours that was refused does not count
    if (method == "INVITE" && !d->session_sdp.empty())
        msg.setBody("application/sdp", d->session_sdp);
    sendInDialog(*d, std::move(msg), true);
    // the 2xx re-arms it; this keeps refreshing if no answer comes
    d->se_timer = startTimer(int64_t(d->se_interval) * 500, [this, did] { sessionRefresh(did); });
}

}  // namespace sipagent
