// Registrations: REGISTER with digest, refresh before expiry, 423 and
// failure retries, and removal (Expires 0) even while a REGISTER is in flight.
#include "sip/agent/registration.h"

#include <algorithm>

#include <syslog.h>

#include "core/log.h"
#include "sip/agent/agent.h"
#include "sip/agent/dialog.h"

namespace sipagent {

using namespace sipcore;

namespace {

int clamp_expires(int expires)
{
    return expires > 0 && expires < 30 ? 30 : expires;
}

void next_cseq(Message& m)
{
    set_cseq(m, m.cseq() + 1, "REGISTER");
}

}  // namespace

// Before 90% of the period and at least 6 s before its end, and at least every 15 minutes.
int64_t registration_refresh_delay_ms(int period_s)
{
    int64_t p = int64_t(period_s) * 1000;
    int64_t at = std::min(p - p / 10, p - 6000);
    at = std::min<int64_t>(at, 900000);
    return std::max<int64_t>(at, 1000);
}

registration_t* Agent::regById(int rid)
{
    auto it = regs.find(rid);
    return it == regs.end() ? nullptr : it->second.get();
}

int Agent::registerBuildInitial(const std::string& from, const std::string& registrar, const std::string& contact,
                                int expires, Message* out)
{
    NameAddr f = NameAddr::parse(from);
    Uri r = Uri::parse(registrar);
    if (!f || !r || expires < 0)
        return -2;
    Message msg = Message::request("REGISTER", r);
    NameAddr to = f;
    f.setParam("tag", random_token());
    msg.addHeader("From", f.toString());
    msg.addHeader("To", to.toString());
    msg.addHeader("Call-ID", random_token(16) + "@" + local_host);
    msg.addHeader("CSeq", "1 REGISTER");
    msg.addHeader("Max-Forwards", "70");
    if (!contact.empty() && msg.addHeader("Contact", contact) < 0)
        return -2;
    msg.addHeader("Expires", std::to_string(clamp_expires(expires)));
    auto reg = std::make_unique<registration_t>();
    if (next_rid == 0x7fffffff)
        next_rid = 0;
    reg->id = ++next_rid;
    reg->last = msg.clone();
    reg->expires = clamp_expires(expires);
    int rid = reg->id;
    regs[rid] = std::move(reg);
    *out = std::move(msg);
    return rid;
}

int Agent::registerBuild(int rid, int expires, Message* out)
{
    registration_t* r = regById(rid);
    if (!r || r->removing)
        return -6;
    if (r->pending_tid)
        return -3;
    Message msg = r->last.clone();
    next_cseq(msg);
    msg.removeHeader("Authorization");
    msg.removeHeader("Proxy-Authorization");
    addKnownCredentials(msg);
    msg.setHeader("Expires", std::to_string(clamp_expires(expires)));
    *out = std::move(msg);
    return 0;
}

int Agent::registerSend(int rid, Message msg)
{
    registration_t* r = regById(rid);
    if (!r || r->removing)
        return -6;
    if (r->pending_tid)
        return -3;
    if (!msg || msg.method() != "REGISTER")
        return -2;
    r->auth_tries = r->stale_tries = 0;
    r->min_expires_tries = 0;
    int e = msg.expires();
    r->expires = e < 0 ? 3600 : e;
    registerSendNow(*r, std::move(msg));
    return 0;
}

void Agent::registerSendNow(registration_t& r, Message msg)
{
    cancelTimer(r.timer);
    r.timer = 0;
    r.last = msg.clone();
    r.sent_at = nowMs();
    r.pending_tid = sendClient(TxKind::Register, std::move(msg), 0, 0, r.id);
    if (tx_t* tx = txById(r.pending_tid))
        r.last = tx->request.clone();  // with its Via, as sent
}

int Agent::registerRemove(int rid)
{
    registration_t* r = regById(rid);
    if (!r)
        return -6;
    cancelTimer(r->timer);
    r->timer = 0;
    if (r->removing)
        return 0;
    if (r->pending_tid) {
        // Expires 0 goes once the REGISTER in flight is done.
        r->remove_after_send = true;
        return 0;
    }
    if (r->period == 0 && r->expires != 0 && !r->sent_at) {
        forgetRegistration(rid);  // never sent
        return 0;
    }
    Message msg = r->last.clone();
    next_cseq(msg);
    msg.removeHeader("Authorization");
    msg.removeHeader("Proxy-Authorization");
    addKnownCredentials(msg);
    msg.setHeader("Expires", "0");
    r->removing = true;
    r->expires = 0;
    r->auth_tries = r->stale_tries = 0;
    registerSendNow(*r, std::move(msg));
    return 0;
}

void Agent::registerRefresh(int rid)
{
    registration_t* r = regById(rid);
    if (!r)
        return;
    r->timer = 0;
    if (r->pending_tid || r->removing || r->expires == 0)
        return;
    Message msg = r->last.clone();
    next_cseq(msg);
    msg.removeHeader("Authorization");
    msg.removeHeader("Proxy-Authorization");
    addKnownCredentials(msg);
    msg.setHeader("Expires", std::to_string(r->expires));
    r->auth_tries = r->stale_tries = 0;
    r->min_expires_tries = 0;
    registerSendNow(*r, std::move(msg));
}

void Agent::registerResponse(tx_t& tx, Message response)
{
    registration_t* r = regById(tx.rid);
    int code = response.statusCode();
    if (!r || code < 200 || r->pending_tid != tx.id)
        return;
    r->pending_tid = 0;
    int rid = r->id;
    bool retry = false;
    if ((code == 401 || code == 407) && countChallenge(response, r->auth_tries, r->stale_tries)) {
        Message again = r->last.clone();
        if (answerChallenge(again, response) == 0) {
            next_cseq(again);
            retry = true;
            auto ev = makeEvent(EventType::RegistrationFailure, &tx);
            ev->will_retry = true;
            post(std::move(ev));
            registerSendNow(*r, std::move(again));
        }
    } else if (code == 423 && r->min_expires_tries < cfg.max_retries && !r->removing) {
        int min = static_cast<int>(header_number(response.header("Min-Expires"), 0x7fffffff));
        if (min > 0) {
            ++r->min_expires_tries;
            r->expires = min;
            Message again = r->last.clone();
            next_cseq(again);
            again.setHeader("Expires", std::to_string(min));
            // credentials again with the next nonce count: a repeated one is a replay
            again.removeHeader("Authorization");
            again.removeHeader("Proxy-Authorization");
            addKnownCredentials(again);
            retry = true;
            auto ev = makeEvent(EventType::RegistrationFailure, &tx);
            ev->will_retry = true;
            post(std::move(ev));
            registerSendNow(*r, std::move(again));
        }
    }
    if (retry)
        return;
    if (code < 300) {
        post(makeEvent(EventType::RegistrationSuccess, &tx));
        if (settleRemoval(*r))
            return;
        if (r->expires == 0) {
            r->period = 0;
            return;
        }
        // The registrar may grant less than asked: our Contact's expires, else the header.
        int granted = -1;
        std::string ours = r->last.header("Contact");
        NameAddr mine = NameAddr::parse(ours);
        for (const auto& c : response.nameAddrs("Contact"))
            if (mine && c.uri().toString() == mine.uri().toString() && c.hasParam("expires"))
                granted = static_cast<int>(header_number(c.param("expires"), 0x7fffffff));
        if (granted < 0)
            granted = response.expires();
        int period = r->expires;
        if (granted > 0 && granted < period - 15)
            period = granted;
        r->period = period;
        r->auth_tries = r->stale_tries = 0;
        r->min_expires_tries = 0;
        int64_t delay = registration_refresh_delay_ms(period) - (nowMs() - r->sent_at);
        r->timer = startTimer(std::max<int64_t>(delay, 0), [this, rid] { registerRefresh(rid); });
        return;
    }
    post(makeEvent(EventType::RegistrationFailure, &tx));
    if (settleRemoval(*r))
        return;
    if (r->expires == 0)
        return;
    int64_t wait = cfg.register_retry_ms;
    int after = static_cast<int>(header_number(response.header("Retry-After"), 0x7fffffff));
    if (after > 0)
        wait = int64_t(after) * 1000;
    r->timer = startTimer(wait, [this, rid] { registerRefresh(rid); });
}

void Agent::forgetRegistration(int rid)
{
    if (registration_t* r = regById(rid)) {
        cancelTimer(r->timer);
        answered.erase(r->last.callId());
    }
    regs.erase(rid);
}

// A removal asked for while a REGISTER was in flight: forget the registration,
// or send the Expires 0 that had to wait. True when it took over.
bool Agent::settleRemoval(registration_t& r)
{
    int rid = r.id;
    if (r.removing) {
        forgetRegistration(rid);
        return true;
    }
    if (r.remove_after_send) {
        r.remove_after_send = false;
        registerRemove(rid);
        return true;
    }
    return false;
}

void Agent::registerFailed(tx_t& tx, int error)
{
    registration_t* r = regById(tx.rid);
    if (!r || r->pending_tid != tx.id)
        return;
    r->pending_tid = 0;
    int rid = r->id;
    post(makeEvent(EventType::RegistrationFailure, &tx));
    if (settleRemoval(*r))
        return;
    if (r->expires != 0)
        r->timer = startTimer(cfg.register_retry_ms, [this, rid] { registerRefresh(rid); });
}

}  // namespace sipagent
