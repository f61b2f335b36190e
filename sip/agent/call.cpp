// Calls and dialogs: INVITE client and server, ACK, CANCEL, BYE, in-dialog
// requests and answers, release.
#include <algorithm>
#include <random>

#include <syslog.h>

#include "core/log.h"
#include "sip/agent/agent.h"
#include "sip/core/response.h"

namespace sipagent {

using namespace sipcore;

namespace {

bool is_sdp(const Message& m)
{
    std::string ct = m.contentType();
    std::transform(ct.begin(), ct.end(), ct.begin(), ::tolower);
    return ct.rfind("application/sdp", 0) == 0 && !m.body().empty();
}

EventType failure_type(int code, bool in_call_message)
{
    if (in_call_message)
        return code < 200   ? EventType::CallMessageProceeding
               : code < 300 ? EventType::CallMessageAnswered
               : code < 400 ? EventType::CallMessageRedirected
               : code < 500 ? EventType::CallMessageRequestFailure
               : code < 600 ? EventType::CallMessageServerFailure
                            : EventType::CallMessageGlobalFailure;
    return code < 400 ? EventType::CallRedirected
           : code < 500 ? EventType::CallRequestFailure
           : code < 600 ? EventType::CallServerFailure
                        : EventType::CallGlobalFailure;
}

}  // namespace

bool lists_token(const Message& m, const std::string& header, const std::string& token)
{
    for (auto v : m.headers(header)) {
        std::transform(v.begin(), v.end(), v.begin(), ::tolower);
        v.erase(0, v.find_first_not_of(" \t"));
        v.erase(v.find_last_not_of(" \t") + 1);
        if (v == token)
            return true;
    }
    return false;
}

void set_cseq(Message& m, unsigned n, const std::string& method)
{
    m.setHeader("CSeq", std::to_string(n) + " " + method);
}

std::string Agent::contactFor(const std::string& user, TransportType type) const
{
    std::string host = local_host.find(':') != std::string::npos ? "[" + local_host + "]" : local_host;
    int port = localPort(type);
    std::string c = "<sip:" + (user.empty() ? "" : user + "@") + host + ":" + std::to_string(port ? port : local_port);
    if (type == TransportType::TCP)
        c += ";transport=tcp";
    else if (type == TransportType::TLS)
        c += ";transport=tls";
    return c + ">";
}

call_t* Agent::callById(int cid)
{
    auto it = calls.find(cid);
    return it == calls.end() ? nullptr : it->second.get();
}

dialog_t* Agent::dialogById(int did)
{
    auto it = dialogs.find(did);
    return it == dialogs.end() ? nullptr : it->second.get();
}

// incoming: a request from the peer (To tag is ours); else a response to our
// request (From tag is ours).
dialog_t* Agent::dialogFor(const Message& msg, bool incoming)
{
    std::string call_id = msg.callId();
    std::string local = incoming ? msg.toTag() : msg.fromTag();
    std::string remote = incoming ? msg.fromTag() : msg.toTag();
    for (auto& [id, d] : dialogs)
        if (d->call_id == call_id && d->local_tag == local && d->remote_tag == remote)
            return d.get();
    return nullptr;
}

dialog_t& Agent::newDialog(call_t& call, bool uac, const Message& request, const Message* response)
{
    auto d = std::make_unique<dialog_t>();
    d->id = newId();
    d->cid = call.id;
    d->uac = uac;
    d->call_id = request.callId();
    if (uac) {
        d->local_tag = request.fromTag();
        d->remote_tag = response->toTag();
        d->local_party = request.header("From");
        d->remote_party = response->header("To");
        d->local_cseq = request.cseq();
        auto rr = response->headers("Record-Route");
        d->route_set.assign(rr.rbegin(), rr.rend());
        auto contacts = response->nameAddrs("Contact");
        d->remote_target = contacts.empty() ? request.requestUri().toString() : contacts[0].uri().toString();
        d->transport = transportFor(request, nullptr);
    } else {
        d->local_tag = random_token();
        d->remote_tag = request.fromTag();
        NameAddr to = request.to();
        to.setParam("tag", d->local_tag);
        d->local_party = to.toString();
        d->remote_party = request.header("From");
        d->remote_cseq = request.cseq();
        d->remote_cseq_known = true;
        d->local_cseq = 0;
        d->route_set = request.headers("Record-Route");
        auto contacts = request.nameAddrs("Contact");
        d->remote_target = contacts.empty() ? request.from().uri().toString() : contacts[0].uri().toString();
        d->peer_allows_update = lists_token(request, "Allow", "update");
    }
    dialog_t& ref = *d;
    call.dialogs.push_back(d->id);
    dialogs[d->id] = std::move(d);
    return ref;
}

// ---- building ----

int Agent::callBuildInitialInvite(Message* out, const std::string& to, const std::string& from,
                                  const std::string& route, const std::string& subject)
{
    NameAddr to_addr = NameAddr::parse(to);
    NameAddr from_addr = NameAddr::parse(from);
    if (!to_addr || !from_addr)
        return -2;
    Uri target = to_addr.uri();
    auto headers = target.embeddedHeaders();
    target.clearEmbeddedHeaders();
    target.removeParam("method");
    Message msg = Message::request("INVITE", target);
    NameAddr plain_to = to_addr;
    Uri to_uri = plain_to.uri();
    to_uri.clearEmbeddedHeaders();
    plain_to.setUri(to_uri);
    from_addr.setParam("tag", random_token());
    if (msg.addHeader("From", from_addr.toString()) < 0 || msg.addHeader("To", plain_to.toString()) < 0)
        return -2;
    msg.addHeader("Call-ID", random_token(16) + "@" + local_host);
    set_cseq(msg, 20, "INVITE");
    msg.addHeader("Max-Forwards", "70");
    if (!route.empty() && msg.addHeader("Route", route) < 0)
        return -2;
    msg.addHeader("Contact", contactFor(from_addr.uri().user(), transportFor(msg, nullptr)));
    if (!subject.empty())
        msg.addHeader("Subject", subject);
    // Headers carried in the target URI (an attended transfer's Replaces) become real ones.
    for (const auto& [name, value] : headers)
        msg.addHeader(name, value);
    *out = std::move(msg);
    return 0;
}

Message Agent::buildInDialog(dialog_t& d, const std::string& method)
{
    Message msg = Message::request(method, Uri::parse(d.remote_target));
    msg.addHeader("From", d.uac ? d.local_party : d.local_party);
    msg.addHeader("To", d.remote_party);
    msg.addHeader("Call-ID", d.call_id);
    set_cseq(msg, method == "ACK" ? d.ack_cseq : ++d.local_cseq, method);
    for (const auto& r : d.route_set)
        msg.addHeader("Route", r);
    msg.addHeader("Max-Forwards", "70");
    if (method == "INVITE" || method == "UPDATE" || method == "REFER" || method == "NOTIFY" ||
        method == "SUBSCRIBE") {
        NameAddr local = NameAddr::parse(d.local_party);
        msg.addHeader("Contact", contactFor(local ? local.uri().user() : "", d.transport));
    }
    if (method != "ACK")
        addKnownCredentials(msg);
    return msg;
}

int Agent::callBuildRequest(int did, const std::string& method, Message* out)
{
    dialog_t* d = dialogById(did);
    if (!d)
        return -6;
    bool live = d->state == DialogState::Confirmed && !d->bye_sent && !d->bye_received;
    bool early_ok = d->state == DialogState::Early && (method == "PRACK" || method == "UPDATE" || method == "INFO");
    if (!live && !early_ok && !(method == "NOTIFY" && subscriptionAlive(*d)))
        return -6;
    // one transaction of a kind at a time; an INVITE blocks everything else
    for (auto& [id, tx] : txs)
        if (tx->client && !tx->final_done && tx->did == did && (tx->method == method || tx->method == "INVITE"))
            return -3;
    if (method == "INVITE" && d->glare_timer)
        return -3;  // ours that met a 491 is about to go again
    *out = buildInDialog(*d, method);
    return 0;
}

int Agent::sendInDialog(dialog_t& d, Message msg, bool internal)
{
    std::string method = msg.method();
    if (method == "INVITE") {
        stampSdp(d, msg);
        if (is_sdp(msg))
            d.local_sdp = msg.body();
        d.remote_sdp.clear();
    }
    int tid = sendClient(TxKind::Call, std::move(msg), d.cid, d.id, 0);
    if (tx_t* tx = txById(tid))
        tx->internal = internal;
    if (method == "INVITE") {
        d.pending_out_invite = tid;
        d.invite_tid = tid;
    }
    if (method == "BYE")
        d.bye_sent = true;
    return tid;
}

int Agent::callSendRequest(int did, Message msg)
{
    dialog_t* d = dialogById(did);
    if (!d || !msg)
        return d ? -2 : -6;
    if (msg.method() == "INVITE" && (d->pending_out_invite || d->pending_in_invite || d->glare_timer))
        return -3;
    return sendInDialog(*d, std::move(msg), false);
}

// ---- sending the INVITE ----

int Agent::callSendInitialInvite(Message invite)
{
    if (!invite || invite.method() != "INVITE")
        return -2;
    auto call = std::make_unique<call_t>();
    call->id = newId();
    call->uac = true;
    call->invite = invite.clone();
    call->call_id = invite.callId();
    int cid = call->id;
    calls[cid] = std::move(call);
    int tid = sendClient(TxKind::Call, std::move(invite), cid, 0, 0);
    call_t& c = *calls[cid];
    c.invite_tid = tid;
    if (tx_t* tx = txById(tid))
        c.invite = tx->request.clone();
    c.timers.push_back(startTimer(cfg.ring_timeout_ms, [this, cid] {
        call_t* c = callById(cid);
        tx_t* tx = c ? txById(c->invite_tid) : nullptr;
        if (!tx || tx->final_done || c->hung_up)
            return;
        LOG(LOGF_GENERAL, LOG_INFO, "SIP agent: call %d not answered in time", cid);
        post(makeEvent(EventType::CallNoAnswer, tx));
        callTerminate(cid, 0, "");
    }));
    return cid;
}

// ---- answers to our INVITEs ----

void Agent::inviteResponse(tx_t& tx, Message response)
{
    call_t* call = callById(tx.cid);
    int code = response.statusCode();
    if (!call) {
        if (code >= 200 && code < 300)
            strayInvite2xx(response);
        return;
    }
    bool reinvite = tx.id != call->invite_tid && tx.did;
    if (reinvite) {
        reinviteResponse(tx, *call, std::move(response));
        return;
    }
    dialog_t* d = response.toTag().empty() ? nullptr : dialogFor(response, false);
    if (code < 200) {
        if (code > 100 && !response.toTag().empty() && !d) {
            d = &newDialog(*call, true, tx.request, &response);
            if (is_sdp(tx.request))
                d->local_sdp = tx.request.body();
        }
        if (d) {
            tx.did = d->id;
            if (is_sdp(response))
                d->remote_sdp = response.body();
        }
        post(makeEvent(code == 100 ? EventType::CallProceeding : EventType::CallRinging, &tx));
        return;
    }
    if (code < 300) {
        if (d && d->state == DialogState::Confirmed) {
            // a retransmission: our ACK again, if we sent one
            if (d->ack && d->ack.cseq() == response.cseq())
                sendStateless(d->ack.clone());
            return;
        }
        bool forked = false;
        for (int did : call->dialogs)
            if (dialog_t* o = dialogById(did); o && o != d && o->state == DialogState::Confirmed)
                forked = true;
        if (!d)
            d = &newDialog(*call, true, tx.request, &response);
        confirmUac(*call, *d, tx, response);
        // Early dialogs of other branches end here.
        for (int did : std::vector<int>(call->dialogs))
            if (dialog_t* o = dialogById(did); o && o != d && o->state == DialogState::Early)
                endDialog(*o, false);
        if (forked || call->hung_up) {
            // a second branch answered, or a 2xx crossed our CANCEL: ACK and hang up
            ackAndBye(*d);
            return;
        }
        tx.did = d->id;
        post(makeEvent(EventType::CallAnswered, &tx));
        return;
    }
    if (retryInvite(tx, *call, response))
        return;
    auto ev = makeEvent(failure_type(code, false), &tx);
    post(std::move(ev));
    call->failed = true;
    for (int did : std::vector<int>(call->dialogs))
        if (dialog_t* o = dialogById(did); o && o->state == DialogState::Early)
            endDialog(*o, false);
    maybeRelease(*call);
}

void Agent::reinviteResponse(tx_t& tx, call_t& call, Message response)
{
    dialog_t* d = dialogById(tx.did);
    if (!d)
        return;
    int code = response.statusCode();
    if (code < 200)
        return;
    if (code < 300) {
        if (d->pending_out_invite != tx.id) {
            if (d->ack && d->ack.cseq() == response.cseq())
                sendStateless(d->ack.clone());
            return;
        }
        d->pending_out_invite = 0;
        d->session_sdp = d->local_sdp;  // our offer is agreed now
        auto contacts = response.nameAddrs("Contact");
        if (!contacts.empty())
            d->remote_target = contacts[0].uri().toString();
        if (is_sdp(response))
            d->remote_sdp = response.body();
        d->ack_due = true;
        d->ack_cseq = response.cseq();
        sessionTimerFromAnswer(*d, response);
        if (tx.internal) {
            callSendAck(tx.id);
            return;
        }
        post(makeEvent(EventType::CallAnswered, &tx));
        return;
    }
    d->pending_out_invite = 0;
    if (code == 491 && tx.glare_tries < cfg.max_retries && !d->bye_sent && !d->bye_received) {
        if (!tx.internal) {
            auto ev = makeEvent(failure_type(code, false), &tx);
            ev->will_retry = true;
            post(std::move(ev));
        }
        glareRetryLater(*d, tx, call.uac);
        return;
    }
    int tries = tx.auth_tries, stale = tx.stale_tries;
    if ((code == 401 || code == 407) && countChallenge(response, tries, stale)) {
        Message again = tx.request.clone();
        if (answerChallenge(again, response) == 0) {
            set_cseq(again, ++d->local_cseq, "INVITE");
            bool internal = tx.internal;
            if (!internal) {
                auto ev = makeEvent(failure_type(code, false), &tx);
                ev->will_retry = true;
                post(std::move(ev));
            }
            int tid = sendInDialog(*d, std::move(again), internal);
            if (tx_t* n = txById(tid)) {
                n->auth_tries = tries;
                n->stale_tries = stale;
            }
            return;
        }
    }
    if (!tx.internal)
        post(makeEvent(failure_type(code, false), &tx));
    // The dialog is gone on the other side, or the peer stopped answering.
    if (code == 481 || code == 408) {
        if (code == 408)
            sendBye(*d, "");
        auto ev = makeEvent(EventType::CallClosed, &tx);
        ev->tid = 0;
        post(std::move(ev));
        if (code == 481)
            endDialog(*d, true);
    }
}

// Crossed re-INVITEs: ours goes again after a random pause, longer on the
// side that chose the Call-ID, so that the two sides do not cross again.
void Agent::glareRetryLater(dialog_t& d, const tx_t& tx, bool call_id_ours)
{
    static thread_local std::minstd_rand rng{std::random_device{}()};
    int64_t delay = call_id_ours ? 2100 + 10 * int64_t(rng() % 191) : 10 * int64_t(rng() % 201);
    glare_retry_t retry{std::make_shared<Message>(tx.request.clone()), tx.glare_tries + 1, tx.internal};
    int did = d.id;
    cancelTimer(d.glare_timer);
    d.glare_timer = startTimer(delay, [this, did, retry] { glareRetry(did, retry); });
}

void Agent::glareRetry(int did, const glare_retry_t& retry)
{
    dialog_t* d = dialogById(did);
    if (!d)
        return;
    d->glare_timer = 0;
    if (d->state != DialogState::Confirmed || d->bye_sent || d->bye_received)
        return;
    if (d->pending_in_invite || d->pending_out_invite) {
        // the peer's INVITE is still open: wait for it to finish
        d->glare_timer = startTimer(500, [this, did, retry] { glareRetry(did, retry); });
        return;
    }
    Message again = retry.request->clone();
    set_cseq(again, ++d->local_cseq, "INVITE");
    int tid = sendInDialog(*d, std::move(again), retry.internal);
    if (tx_t* n = txById(tid))
        n->glare_tries = retry.tries;
}

void Agent::confirmUac(call_t& call, dialog_t& d, const tx_t& tx, const Message& response)
{
    d.state = DialogState::Confirmed;
    d.remote_party = response.header("To");
    auto rr = response.headers("Record-Route");
    d.route_set.assign(rr.rbegin(), rr.rend());
    auto contacts = response.nameAddrs("Contact");
    if (!contacts.empty())
        d.remote_target = contacts[0].uri().toString();
    if (is_sdp(tx.request)) {
        Message offer = tx.request.clone();
        d.local_sdp.clear();
        stampSdp(d, offer);  // takes the offer's version as the start
        d.local_sdp = offer.body();
        d.session_sdp = d.local_sdp;
    }
    if (is_sdp(response))
        d.remote_sdp = response.body();
    d.local_cseq = std::max(d.local_cseq, tx.request.cseq());
    d.ack_due = true;
    d.ack_cseq = response.cseq();
    d.invite_tid = tx.id;
    d.authorization = tx.request.header("Proxy-Authorization");
    d.peer_allows_update = lists_token(response, "Allow", "update");
    sessionTimerFromAnswer(d, response);
}

bool Agent::retryInvite(tx_t& tx, call_t& call, const Message& response)
{
    if (call.hung_up)
        return false;
    int code = response.statusCode();
    Message again;
    EventType type = failure_type(code, false);
    int auth = tx.auth_tries, stale = tx.stale_tries, redirects = tx.redirects, se = tx.se_tries;
    if (code == 401 || code == 407) {
        if (!countChallenge(response, auth, stale))
            return false;
        again = tx.request.clone();
        if (answerChallenge(again, response) < 0)
            return false;
    } else if (code == 422 && se < cfg.max_retries) {
        std::string min_se = response.header("Min-SE");
        // kept in milliseconds later, like Session-Expires
        int value = static_cast<int>(header_number(min_se, 0x7fffffff / 1000));
        if (value <= 0)
            return false;
        again = tx.request.clone();
        again.setHeader("Session-Expires", std::to_string(value));
        again.setHeader("Min-SE", std::to_string(value));
        // credentials again with the next nonce count: a repeated one is a replay
        again.removeHeader("Authorization");
        again.removeHeader("Proxy-Authorization");
        addKnownCredentials(again);
        ++se;
    } else if (code >= 300 && code < 400 && redirects < cfg.max_retries) {
        Uri target;
        for (const auto& c : response.nameAddrs("Contact")) {
            Uri u = c.uri();
            std::string s = u.scheme();
            if (s == "sip" || s == "sips" || s == "tel") {
                target = u;
                break;
            }
        }
        if (!target)
            return false;
        again = tx.request.clone();
        again.setRequestUri(target);
        // what we answered the old target's challenge with is not for another one
        again.removeHeader("Authorization");
        again.removeHeader("Proxy-Authorization");
        answered.erase(again.callId());
        for (const auto& div : response.headers("Diversion"))
            again.addHeader("Diversion", div);
        ++redirects;
    } else {
        return false;
    }
    set_cseq(again, tx.request.cseq() + 1, "INVITE");
    auto ev = makeEvent(type, &tx);
    ev->will_retry = true;
    post(std::move(ev));
    for (int did : std::vector<int>(call.dialogs))
        if (dialog_t* o = dialogById(did); o && o->state == DialogState::Early)
            endDialog(*o, false);
    int tid = sendClient(TxKind::Call, std::move(again), call.id, 0, 0);
    tx_t* n = txById(tid);
    n->auth_tries = auth;
    n->stale_tries = stale;
    n->redirects = redirects;
    n->se_tries = se;
    call.invite_tid = tid;
    call.invite = n->request.clone();
    dropTx(tx.id);
    return true;
}

void Agent::inviteFailedNoResponse(tx_t& tx, int error)
{
    call_t* call = callById(tx.cid);
    if (!call)
        return;
    if (tx.id != call->invite_tid) {
        dialog_t* d = dialogById(tx.did);
        if (!d)
            return;
        d->pending_out_invite = 0;
        if (!tx.internal)
            post(makeEvent(EventType::CallRequestFailure, &tx));
        sendBye(*d, "");
        auto ev = makeEvent(EventType::CallClosed, &tx);
        ev->tid = 0;
        post(std::move(ev));
        return;
    }
    post(makeEvent(EventType::CallNoAnswer, &tx));
    call->failed = true;
    for (int did : std::vector<int>(call->dialogs))
        if (dialog_t* o = dialogById(did); o && o->state == DialogState::Early)
            endDialog(*o, false);
    maybeRelease(*call);
}

// ---- ACK ----

Message Agent::buildAck(dialog_t& d, const tx_t& invite_tx)
{
    Message ack = buildInDialog(d, "ACK");
    set_cseq(ack, invite_tx.request.cseq(), "ACK");
    std::string pa = invite_tx.request.header("Proxy-Authorization");
    if (!pa.empty())
        ack.addHeader("Proxy-Authorization", pa);
    std::string a = invite_tx.request.header("Authorization");
    if (!a.empty())
        ack.addHeader("Authorization", a);
    return ack;
}

int Agent::callSendAck(int tid, Message msg)
{
    tx_t* tx = txById(tid);
    if (!tx || !tx->client || tx->method != "INVITE")
        return -6;
    dialog_t* d = dialogById(tx->did);
    if (!d)
        return -6;
    if (!msg)
        msg = buildAck(*d, *tx);
    stampSdp(*d, msg);
    if (is_sdp(msg) && !is_sdp(tx->request))
        d->local_sdp = d->session_sdp = msg.body();
    addVia(msg, transportFor(msg, d));
    d->ack = msg.clone();
    d->ack_due = false;
    sendStateless(std::move(msg));
    return 0;
}

void Agent::ackAndBye(dialog_t& d)
{
    tx_t* tx = txById(d.invite_tid);
    if (tx && d.ack_due)
        callSendAck(tx->id);
    sendBye(d, "");
}

void Agent::strayInvite2xx(const Message& response)
{
    dialog_t* d = dialogFor(response, false);
    if (d) {
        if (d->ack && d->ack.cseq() == response.cseq())
            sendStateless(d->ack.clone());
        return;
    }
    // A branch we never heard of answered after another one: ACK it and hang up.
    for (auto& [cid, call] : calls) {
        if (!call->uac || call->invite.callId() != response.callId() ||
            call->invite.fromTag() != response.fromTag())
            continue;
        tx_t* tx = txById(call->invite_tid);
        if (!tx)
            return;
        dialog_t& nd = newDialog(*call, true, tx->request, &response);
        confirmUac(*call, nd, *tx, response);
        int saved = tx->did;
        tx->did = nd.id;
        ackAndBye(nd);
        tx->did = saved;
        return;
    }
}

void Agent::incomingAck(Message ack)
{
    dialog_t* d = dialogFor(ack, true);
    if (!d || !d->invite_2xx || d->invite_2xx.cseq() != ack.cseq())
        return;
    tx_t* tx = txById(d->invite_tid);
    auto ev = makeEvent(EventType::CallAck, tx);
    ev->did = d->id;
    ev->cid = d->cid;
    ev->response = d->invite_2xx.clone();
    if (is_sdp(ack))
        d->remote_sdp = ack.body();
    ev->ack = std::move(ack);
    d->invite_2xx = Message();
    post(std::move(ev));
}

void Agent::ackTimeout(const Message& response)
{
    // our 2xx: the To tag is ours
    std::string call_id = response.callId();
    for (auto& [id, d] : dialogs) {
        if (d->call_id != call_id || d->local_tag != response.toTag() || d->remote_tag != response.fromTag())
            continue;
        if (!d->invite_2xx || d->invite_2xx.cseq() != response.cseq())
            return;
        d->invite_2xx = Message();
        LOG(LOGF_GENERAL, LOG_INFO, "SIP agent: no ACK on call %d, hanging up", d->cid);
        int did = d->id, cid = d->cid;
        sendBye(*d, "");
        auto ev = makeEvent(EventType::CallClosed, nullptr);
        ev->did = did;
        ev->cid = cid;
        post(std::move(ev));
        return;
    }
}

// ---- incoming INVITE ----

void Agent::incomingInvite(tx_t& tx)
{
    // the same request again on a new branch: a merged request
    for (auto& [id, d] : dialogs)
        if (!d->uac && d->call_id == tx.request.callId() && d->remote_tag == tx.request.fromTag() &&
            d->remote_cseq == tx.request.cseq()) {
            answerBare(tx, 482);
            return;
        }
    auto call = std::make_unique<call_t>();
    call->id = newId();
    call->invite_tid = tx.id;
    call->call_id = tx.request.callId();
    int cid = call->id;
    call_t& c = *call;
    calls[cid] = std::move(call);
    dialog_t& d = newDialog(c, false, tx.request, nullptr);
    d.transport = tx.peer.transport;
    if (is_sdp(tx.request))
        d.remote_sdp = tx.request.body();
    d.invite_tid = tx.id;
    d.pending_in_invite = tx.id;
    tx.kind = TxKind::Call;
    tx.cid = cid;
    tx.did = d.id;
    int tid = tx.id;
    c.timers.push_back(startTimer(cfg.ring_timeout_ms, [this, tid] {
        tx_t* t = txById(tid);
        if (!t || t->final_done)
            return;
        LOG(LOGF_GENERAL, LOG_INFO, "SIP agent: incoming call %d not answered in time", t->cid);
        callSendAnswer(tid, 408, Message());
    }));
    post(makeEvent(EventType::CallInvite, &tx));
}

void Agent::incomingReinvite(tx_t& tx, dialog_t& d)
{
    tx.cid = d.cid;
    tx.did = d.id;
    unsigned cseq = tx.request.cseq();
    if (d.state != DialogState::Confirmed || d.bye_sent || d.bye_received) {
        answerBare(tx, 481);
        return;
    }
    if (d.remote_cseq_known && cseq <= d.remote_cseq) {
        Message r = buildAnswerFor(tx, 500, "", false);
        r.setStatus(500, "Wrong Lower CSeq");
        sendServer(tx, std::move(r), false);
        return;
    }
    d.remote_cseq = cseq;
    d.remote_cseq_known = true;
    if (d.pending_out_invite) {
        answerBare(tx, 491);
        return;
    }
    if (d.pending_in_invite) {
        Message r = buildAnswerFor(tx, 500, "", false);
        r.addHeader("Retry-After", "10");
        sendServer(tx, std::move(r), false);
        return;
    }
    auto contacts = tx.request.nameAddrs("Contact");
    if (!contacts.empty())
        d.remote_target = contacts[0].uri().toString();
    d.pending_in_invite = tx.id;
    d.invite_tid = tx.id;
    d.remote_sdp = is_sdp(tx.request) ? tx.request.body() : "";
    post(makeEvent(EventType::CallReinvite, &tx));
}

void Agent::incomingCancel(tx_t& tx, int invite_stid)
{
    tx_t* inv = txByStack(invite_stid);
    if (!inv) {
        // The INVITE's own transaction ends with our 2xx, but a CANCEL that
        // crossed that 2xx still names a request we know: 200 all the same.
        via_t v = tx.request.via();
        for (const auto& [id, t] : txs) {
            if (t->client || t->method != "INVITE" || !t->final_done || t->request.callId() != tx.request.callId())
                continue;
            via_t iv = t->request.via();
            if (iv.branch == v.branch && iv.host == v.host && iv.port == v.port) {
                inv = t.get();
                break;
            }
        }
        if (!inv) {
            answerBare(tx, 481);
            return;
        }
    }
    // The CANCEL's answer carries the To tag of the INVITE's answers.
    dialog_t* d = dialogById(inv->did);
    sendServer(tx, buildAnswerFor(tx, 200, d ? d->local_tag : "", false), false);
    if (inv->final_done)
        return;
    sendServer(*inv, buildAnswerFor(*inv, 487, d ? d->local_tag : "", false), false);
    call_t* call = callById(inv->cid);
    if (!call || !d)
        return;
    d->pending_in_invite = 0;
    if (inv->id != call->invite_tid)
        return;
    auto ev = makeEvent(EventType::CallCancelled, inv);
    ev->request = tx.request.clone();
    post(std::move(ev));
    ev = makeEvent(EventType::CallClosed, inv);
    ev->request = tx.request.clone();
    post(std::move(ev));
    endDialog(*d, true);
}

// ---- answering ----

int Agent::callBuildAnswer(int tid, int status, Message* out)
{
    tx_t* tx = nullptr;
    if (int rc = answerableTx(tid, &tx); rc < 0)
        return rc;
    if (status < 101 || status > 699)
        return -2;
    dialog_t* d = dialogById(tx->did);
    bool contact = tx->method == "INVITE" || tx->method == "UPDATE" || tx->method == "SUBSCRIBE" ||
                   tx->method == "REFER" || tx->method == "NOTIFY";
    *out = buildAnswerFor(*tx, status, d ? d->local_tag : "", contact);
    return 0;
}

int Agent::callSendAnswer(int tid, int status, Message msg)
{
    tx_t* tx = nullptr;
    if (int rc = answerableTx(tid, &tx); rc < 0)
        return rc;
    if (!msg) {
        if (tx->method == "INVITE" && status >= 200 && status < 300)
            return -2;
        int rc = callBuildAnswer(tid, status, &msg);
        if (rc < 0)
            return rc;
    }
    int code = msg.statusCode();
    if (code < 101 || code > 699)
        return -2;
    dialog_t* d = dialogById(tx->did);
    bool invite_2xx = tx->method == "INVITE" && code >= 200 && code < 300;
    if (d && code >= 200 && code < 300 && (tx->method == "INVITE" || tx->method == "UPDATE"))
        sessionTimerFromRequest(*d, tx->request, msg);
    if (d && invite_2xx) {
        stampSdp(*d, msg);
        if (is_sdp(msg))
            d->local_sdp = d->session_sdp = msg.body();
        d->invite_2xx = msg.clone();
    }
    Message copy = msg.clone();
    sendServer(*tx, std::move(msg), invite_2xx);
    if (tx->method == "INVITE")
        sentInviteAnswer(*tx, copy);
    else if (d && tx->method == "REFER" && code >= 200 && code < 300)
        armImplicitSubscription(*d, tx->request);
    return 0;
}

void Agent::sentInviteAnswer(tx_t& tx, const Message& response)
{
    int code = response.statusCode();
    dialog_t* d = dialogById(tx.did);
    call_t* call = callById(tx.cid);
    if (!d || !call || code < 200)
        return;
    d->pending_in_invite = 0;
    if (code < 300) {
        d->state = DialogState::Confirmed;
        return;
    }
    if (tx.id == call->invite_tid) {
        post(makeEvent(EventType::CallClosed, &tx));
        endDialog(*d, true);
    }
}

// ---- in-dialog requests ----

void Agent::inDialogRequest(tx_t& tx, dialog_t& d)
{
    tx.cid = d.cid;
    tx.did = d.id;
    const std::string& method = tx.method;
    unsigned cseq = tx.request.cseq();
    if (d.remote_cseq_known && cseq < d.remote_cseq && method != "PRACK") {
        Message r = buildAnswerFor(tx, 500, "", false);
        r.setStatus(500, "Wrong Lower CSeq");
        sendServer(tx, std::move(r), false);
        return;
    }
    if (method != "PRACK") {
        d.remote_cseq = cseq;
        d.remote_cseq_known = true;
    }
    if (method == "BYE") {
        incomingBye(tx, d);
        return;
    }
    bool ended = d.state == DialogState::Terminated || d.bye_sent || d.bye_received;
    if (ended && !(method == "NOTIFY" && subscriptionAlive(d))) {
        answerBare(tx, 481);
        return;
    }
    if (method == "NOTIFY")
        notifyReceived(d, tx.request);
    post(makeEvent(EventType::CallMessageNew, &tx));
    if (method == "NOTIFY" && d.state == DialogState::Terminated && !subscriptionAlive(d))
        endDialog(d, true);
}

void Agent::incomingBye(tx_t& tx, dialog_t& d)
{
    if (d.bye_received || d.state == DialogState::Terminated) {
        answerBare(tx, 481);
        return;
    }
    answerBare(tx, 200);
    d.bye_received = true;
    if (d.pending_in_invite)
        if (tx_t* inv = txById(d.pending_in_invite); inv && !inv->final_done)
            sendServer(*inv, buildAnswerFor(*inv, 487, d.local_tag, false), false);
    d.pending_in_invite = 0;
    post(makeEvent(EventType::CallMessageNew, &tx));
    post(makeEvent(EventType::CallClosed, &tx));
    endDialog(d, true);
}

void Agent::inDialogResponse(tx_t& tx, Message response)
{
    if (tx.method == "CANCEL")
        return;
    dialog_t* d = dialogById(tx.did);
    int code = response.statusCode();
    if (!d)
        return;
    int tries = tx.auth_tries, stale = tx.stale_tries;
    if ((code == 401 || code == 407) && countChallenge(response, tries, stale)) {
        Message again = tx.request.clone();
        if (answerChallenge(again, response) == 0) {
            set_cseq(again, ++d->local_cseq, tx.method);
            auto ev = makeEvent(failure_type(code, true), &tx);
            ev->will_retry = true;
            if (!tx.internal)
                post(std::move(ev));
            bool was_bye = tx.method == "BYE";
            if (was_bye)
                d->bye_sent = false;
            int tid = sendInDialog(*d, std::move(again), tx.internal);
            if (tx_t* n = txById(tid)) {
                n->auth_tries = tries;
                n->stale_tries = stale;
            }
            return;
        }
    }
    if (!tx.internal)
        post(makeEvent(failure_type(code, true), &tx));
    if (code < 200)
        return;
    if (tx.method == "BYE") {
        endDialog(*d, true);
        return;
    }
    if (tx.method == "NOTIFY" && tx.request.header("Subscription-State").rfind("terminated", 0) == 0) {
        // our last NOTIFY: the implicit subscription is over
        d->subscription_until = 0;
        cancelTimer(d->subscription_timer);
        d->subscription_timer = 0;
        if (d->state == DialogState::Terminated) {
            endDialog(*d, true);
            return;
        }
    }
    if (code < 300) {
        if (tx.method == "REFER")
            armImplicitSubscription(*d, response);
        else if (tx.method == "UPDATE")
            sessionTimerFromAnswer(*d, response);
        return;
    }
    if ((code == 481 || code == 408) && d->state == DialogState::Confirmed && !d->bye_sent && !d->bye_received) {
        if (code == 408)
            sendBye(*d, "");
        auto ev = makeEvent(EventType::CallClosed, &tx);
        ev->tid = 0;
        post(std::move(ev));
        if (code == 481)
            endDialog(*d, true);
    }
}

void Agent::inDialogFailed(tx_t& tx, int error)
{
    if (tx.method == "CANCEL")
        return;
    dialog_t* d = dialogById(tx.did);
    if (!d)
        return;
    if (!tx.internal)
        post(makeEvent(EventType::CallMessageRequestFailure, &tx));
    if (tx.method == "BYE")
        endDialog(*d, true);
}

// ---- ending ----

void Agent::sendBye(dialog_t& d, const std::string& reason)
{
    if (d.bye_sent)
        return;
    Message bye = buildInDialog(d, "BYE");
    if (!reason.empty())
        bye.addHeader("Reason", reason);
    sendInDialog(d, std::move(bye), false);
}

int Agent::callTerminate(int cid, int did, const std::string& reason)
{
    dialog_t* d = did ? dialogById(did) : nullptr;
    if (!cid && d)
        cid = d->cid;
    call_t* call = callById(cid);
    if (!call || (d && d->cid != cid))
        return -6;
    if (!d)
        for (int id : call->dialogs)
            if (dialog_t* o = dialogById(id); o && o->state == DialogState::Confirmed && !o->bye_sent)
                d = o;
    if (d && d->state == DialogState::Confirmed) {
        if (d->bye_sent || d->bye_received)
            return -6;
        call->hung_up = true;
        if (d->uac && d->ack_due)
            if (tx_t* tx = txById(d->invite_tid))
                callSendAck(tx->id);
        d->invite_2xx = Message();  // no BYE of our own when its ACK never comes
        sendBye(*d, reason);
        return 0;
    }
    tx_t* inv = txById(call->invite_tid);
    if (!inv || inv->final_done)
        return -6;
    if (call->uac) {
        if (call->cancel_sent) {
            call->hung_up = true;
            return 0;
        }
        if (!inv->last_response || inv->last_response.statusCode() >= 200)
            return -3;
        Message cancel = Message::request("CANCEL", inv->request.requestUri());
        for (const auto& v : inv->request.headers("Via"))
            cancel.addHeader("Via", v);
        cancel.addHeader("From", inv->request.header("From"));
        cancel.addHeader("To", inv->request.header("To"));
        cancel.addHeader("Call-ID", inv->request.callId());
        set_cseq(cancel, inv->request.cseq(), "CANCEL");
        for (const auto& r : inv->request.headers("Route"))
            cancel.addHeader("Route", r);
        cancel.addHeader("Max-Forwards", "70");
        if (!reason.empty())
            cancel.addHeader("Reason", reason);
        call->hung_up = true;
        call->cancel_sent = true;
        sendClient(TxKind::Call, std::move(cancel), cid, 0, 0, true);
        // A peer that never answers the INVITE would keep the call for ever:
        // 64*T1 after the CANCEL it counts as cancelled.
        call->timers.push_back(startTimer(64LL * stk->t1(), [this, cid] {
            call_t* c = callById(cid);
            tx_t* tx = c ? txById(c->invite_tid) : nullptr;
            if (!tx || tx->final_done || !tx->stid)
                return;
            LOG(LOGF_GENERAL, LOG_INFO, "SIP agent: call %d has no final answer after its CANCEL", cid);
            int stid = tx->stid;
            stk->post([this, stid] { stk->abandon(stid); });
        }));
        return 0;
    }
    call->hung_up = true;
    Message decline;
    if (callBuildAnswer(inv->id, 603, &decline) < 0)
        return -6;
    if (!reason.empty())
        decline.addHeader("Reason", reason);
    return callSendAnswer(inv->id, 603, std::move(decline));
}

// remove: forget the dialog now (a pending implicit subscription keeps it otherwise)
void Agent::endDialog(dialog_t& d, bool release)
{
    d.state = DialogState::Terminated;
    cancelTimer(d.se_timer);
    d.se_timer = 0;
    cancelTimer(d.glare_timer);
    d.glare_timer = 0;
    int cid = d.cid;
    if (subscriptionAlive(d))
        return;  // kept for the NOTIFYs of a REFER; its timer ends it
    cancelTimer(d.subscription_timer);
    int did = d.id;
    if (call_t* call = callById(cid))
        call->dialogs.erase(std::remove(call->dialogs.begin(), call->dialogs.end(), did), call->dialogs.end());
    dialogs.erase(did);
    if (release)
        if (call_t* call = callById(cid))
            maybeRelease(*call);
}

void Agent::maybeRelease(call_t& call)
{
    if (call.released || !call.dialogs.empty())
        return;
    tx_t* inv = txById(call.invite_tid);
    if (inv && !inv->final_done && !call.failed)
        return;
    releaseCall(call);
}

void Agent::releaseCall(call_t& call)
{
    call.released = true;
    answered.erase(call.call_id);
    for (int t : call.timers)
        cancelTimer(t);
    for (int did : call.dialogs)
        if (dialog_t* d = dialogById(did)) {
            cancelTimer(d->se_timer);
            cancelTimer(d->glare_timer);
            cancelTimer(d->subscription_timer);
            dialogs.erase(did);
        }
    int cid = call.id;
    for (auto it = txs.begin(); it != txs.end();) {
        if (it->second->cid == cid && it->second->method == "INVITE" && it->second->final_done) {
            if (it->second->stid)
                stack_tids.erase(it->second->stid);
            it = txs.erase(it);
        } else {
            ++it;
        }
    }
    auto ev = std::make_unique<event_t>();
    ev->type = EventType::CallReleased;
    ev->textinfo = event_type_name(ev->type);
    ev->cid = cid;
    calls.erase(cid);
    post(std::move(ev));
}

// ---- references, Replaces, SDP ----

int Agent::callSetReference(int id, void* ref)
{
    if (dialog_t* d = dialogById(id))
        id = d->cid;
    if (!callById(id))
        return -6;
    events.setReference(id, ref);
    return 0;
}

void* Agent::callGetReference(int cid)
{
    if (dialog_t* d = dialogById(cid))
        cid = d->cid;
    return callById(cid) ? events.reference(cid) : nullptr;
}

std::string Agent::localSdp(int did)
{
    dialog_t* d = dialogById(did);
    return d ? d->local_sdp : "";
}

std::string Agent::remoteSdp(int did)
{
    dialog_t* d = dialogById(did);
    return d ? d->remote_sdp : "";
}

// The o= line's session version goes up whenever we send a different SDP.
void Agent::stampSdp(dialog_t& d, Message& msg)
{
    if (!is_sdp(msg))
        return;
    std::string body = msg.body();
    size_t o = body.find("o=");
    if (o != 0 && (o = body.find("\no=")) != std::string::npos)
        ++o;
    if (o == std::string::npos)
        return;
    size_t eol = body.find_first_of("\r\n", o);
    std::string line = body.substr(o, eol == std::string::npos ? std::string::npos : eol - o);
    // o=<user> <sess-id> <sess-version> <nettype> <addrtype> <addr>
    size_t a = line.find(' ');
    size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    size_t c = b == std::string::npos ? b : line.find(' ', b + 1);
    if (c == std::string::npos)
        return;
    auto strip = [&](const std::string& sdp) {
        size_t p = sdp.find("o=");
        if (p != 0 && (p = sdp.find("\no=")) != std::string::npos)
            ++p;
        if (p == std::string::npos)
            return sdp;
        size_t e = sdp.find_first_of("\r\n", p);
        return sdp.substr(0, p) + (e == std::string::npos ? "" : sdp.substr(e));
    };
    unsigned version = d.sdp_version;
    if (d.local_sdp.empty())
        version = static_cast<unsigned>(strtoul(line.substr(b + 1, c - b - 1).c_str(), nullptr, 10));
    else if (strip(d.local_sdp) != strip(body))
        ++version;
    d.sdp_version = version;
    std::string fixed = line.substr(0, b + 1) + std::to_string(version) + line.substr(c);
    body.replace(o, line.size(), fixed);
    msg.setBody(msg.contentType(), body);
}

}  // namespace sipagent
