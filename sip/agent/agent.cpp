#include "sip/agent/agent.h"

#include <arpa/inet.h>
#include <chrono>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <syslog.h>

#include "core/log.h"
#include "sip/core/response.h"

namespace sipagent {

using namespace sipcore;

namespace {

std::mutex override_lock;  // guards local_ip_override
std::string local_ip_override;

int64_t steady_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Agent::Agent(agent_config_t config) : cfg(std::move(config))
{
    if (!cfg.clock_ms)
        cfg.clock_ms = steady_ms;
    // The layer answers every CANCEL itself: one that crossed our 2xx gets 200.
    cfg.stack.answer_unmatched_cancel = false;
    stk = std::make_unique<Stack>(this, cfg.stack);
}

Agent::~Agent()
{
    quit();
}

int Agent::listen(TransportType type, const std::string& ip, int port, const tls_options_t* tls)
{
    int id = stk->addTransport(type, ip, port, tls);
    if (id < 0) {
        LOG(LOGF_GENERAL, LOG_ERR, "cannot listen on %s %s:%d (%d)", transport_name(type), ip.c_str(), port, id);
        return id;
    }
    sock_addr_t a = stk->localAddress(id);
    {
        std::lock_guard<std::mutex> g(m);
        if (listen_ports.empty()) {
            local_transport = type;
            local_port = a.port();
            local_host = ip;
            if (ip.empty() || ip == "0.0.0.0" || ip == "::")
                local_host = guessLocalIp(ip == "::" ? AF_INET6 : AF_INET);
        }
        listen_ports.emplace(type, a.port());
    }
    if (cfg.stack_thread)
        stk->start();
    return 0;
}

int Agent::localPort(TransportType type) const
{
    auto it = listen_ports.find(type);
    return it == listen_ports.end() ? 0 : it->second;
}

void Agent::quit()
{
    stk->stop();
    std::lock_guard<std::mutex> g(m);
    timers.clear();
}

std::unique_ptr<event_t> Agent::eventWait(int timeout_ms)
{
    return events.wait(timeout_ms);
}

void Agent::setLocalIpOverride(const std::string& ip)
{
    std::lock_guard<std::mutex> g(override_lock);
    local_ip_override = ip;
}

std::string Agent::guessLocalIp(int family)
{
    {
        std::lock_guard<std::mutex> g(override_lock);
        if (!local_ip_override.empty())
            return local_ip_override;
    }
    // The source address the kernel picks towards a public address; nothing is sent.
    int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        sock_addr_t to = family == AF_INET6 ? make_addr("2001:db8::1", 11111) : make_addr("217.12.3.11", 11111);
        sock_addr_t me;
        me.len = sizeof me.ss;
        bool ok = connect(fd, to.sa(), to.len) == 0 && getsockname(fd, me.sa(), &me.len) == 0;
        close(fd);
        if (ok)
            return me.ip();
    }
    ifaddrs* list = nullptr;
    std::string found;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != family || !(i->ifa_flags & IFF_RUNNING) ||
                (i->ifa_flags & IFF_LOOPBACK))
                continue;
            char buf[INET6_ADDRSTRLEN] = "";
            const void* src = family == AF_INET6
                                  ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr)
                                  : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr);
            if (inet_ntop(family, src, buf, sizeof buf))
                found = buf;
        }
        freeifaddrs(list);
    }
    if (!found.empty())
        return found;
    return family == AF_INET6 ? "::1" : "127.0.0.1";
}

int64_t Agent::nowMs() const
{
    return cfg.clock_ms();
}

// ---- timers ----

int Agent::startTimer(int64_t delay_ms, std::function<void()> fn)
{
    int id = ++next_timer;
    if (next_timer == 0x7fffffff)
        next_timer = 0;
    timers[id] = timer_t_{nowMs() + delay_ms, std::move(fn)};
    return id;
}

void Agent::cancelTimer(int id)
{
    if (id)
        timers.erase(id);
}

void Agent::automaticAction()
{
    int64_t t = nowMs();
    for (;;) {
        auto due = timers.end();
        for (auto it = timers.begin(); it != timers.end(); ++it)
            if (it->second.at <= t && (due == timers.end() || it->second.at < due->second.at))
                due = it;
        if (due == timers.end())
            return;
        auto fn = std::move(due->second.fn);
        timers.erase(due);
        fn();
    }
}

// ---- credentials ----

void Agent::addAuthenticationInfo(const std::string& username, const std::string& userid, const std::string& password,
                                  const std::string& ha1, const std::string& realm)
{
    credentials.add({username, userid, password, ha1, realm});
}

int Agent::removeAuthenticationInfo(const std::string& username, const std::string& realm)
{
    return credentials.remove(username, realm);
}

void Agent::clearAuthenticationInfo()
{
    credentials.clear();
}

int Agent::answerChallenge(Message& request, const Message& challenge)
{
    std::string cnonce = random_token(16);
    int rc = credentials_answer(credentials, request, challenge, 1, cnonce);
    if (rc == 0)
        answered[request.callId()] = answered_challenge_t{challenge.clone(), 1, cnonce};
    return rc;
}

// A stale nonce is answered with the new one without counting as a failed
// attempt; it has a bound of its own against a peer that says stale for ever.
bool Agent::countChallenge(const Message& challenge, int& tries, int& stale_tries) const
{
    int& counter = credentials_stale(challenge) ? stale_tries : tries;
    if (counter >= cfg.max_retries)
        return false;
    ++counter;
    return true;
}

void Agent::addKnownCredentials(Message& request)
{
    auto it = answered.find(request.callId());
    if (it == answered.end())
        return;
    answered_challenge_t& a = it->second;
    if (credentials_answer(credentials, request, a.challenge, a.nc + 1, a.cnonce) == 0)
        ++a.nc;
}

// ---- ids, transactions, sending ----

int Agent::newId()
{
    if (next_id == 0x7fffffff)
        next_id = 0;
    return ++next_id;
}

tx_t* Agent::txById(int tid)
{
    auto it = txs.find(tid);
    return it == txs.end() ? nullptr : it->second.get();
}

tx_t* Agent::txByStack(int stid)
{
    auto it = stack_tids.find(stid);
    return it == stack_tids.end() ? nullptr : txById(it->second);
}

tx_t& Agent::newTx(bool client, TxKind kind, const Message& request)
{
    auto tx = std::make_unique<tx_t>();
    if (next_tid == 0x7fffffff)
        next_tid = 0;
    tx->id = ++next_tid;
    tx->client = client;
    tx->kind = kind;
    tx->method = request.method();
    tx->request = request.clone();
    tx_t& ref = *tx;
    txs[tx->id] = std::move(tx);
    return ref;
}

void Agent::dropTx(int tid)
{
    auto it = txs.find(tid);
    if (it == txs.end())
        return;
    if (it->second->stid)
        stack_tids.erase(it->second->stid);
    txs.erase(it);
}

TransportType Agent::transportFor(const Message& request, const dialog_t* d) const
{
    auto routes = request.nameAddrs("Route");
    Uri target = routes.empty() ? request.requestUri() : routes[0].uri();
    if (!target.param("transport").empty() || target.isSecure())
        return target.transport();
    if (d)
        return d->transport;
    if (listen_ports.empty() || listen_ports.count(TransportType::UDP))
        return TransportType::UDP;
    return local_transport;
}

std::string Agent::newVia(TransportType type) const
{
    int port = localPort(type);
    return std::string("SIP/2.0/") + transport_name(type) + " " +
           (local_host.find(':') != std::string::npos ? "[" + local_host + "]" : local_host) + ":" +
           std::to_string(port ? port : local_port) + ";branch=" + new_branch() + ";rport";
}

void Agent::addVia(Message& request, TransportType type) const
{
    request.removeHeader("Via");
    request.pushVia(newVia(type));
}

namespace {

// The transport named by the top Via; UDP when there is none.
TransportType via_transport(const Message& msg)
{
    TransportType t = TransportType::UDP;
    if (msg.viaCount())
        transport_from_name(msg.via().protocol, &t);
    return t;
}

}  // namespace

int Agent::sendClient(TxKind kind, Message request, int cid, int did, int rid, bool keep_via)
{
    TransportType type = keep_via && request.viaCount() ? via_transport(request)
                                                        : transportFor(request, dialogById(did));
    if (!keep_via || request.viaCount() == 0)
        addVia(request, type);
    if (!cfg.user_agent.empty() && !request.hasHeader("User-Agent"))
        request.addHeader("User-Agent", cfg.user_agent);
    tx_t& tx = newTx(true, kind, request);
    tx.cid = cid;
    tx.did = did;
    tx.rid = rid;
    tx.peer.transport = type;
    int tid = tx.id;
    auto shared = std::make_shared<Message>(std::move(request));
    stk->post([this, tid, shared, type] {
        send_options_t options;
        options.transport = type;
        int stid = stk->sendRequest(std::move(*shared), options);
        std::lock_guard<std::mutex> g(m);
        int error = stid > 0 ? 0 : stid ? stid : -EINVAL;
        if (auto e = early_errors.find(stid); stid > 0 && e != early_errors.end()) {
            error = e->second;  // failed and gone before sendRequest returned
            early_errors.erase(e);
        }
        tx_t* t = txById(tid);
        if (!t)
            return;
        if (error) {
            clientFailed(*t, error);
            txGone(tid);
            return;
        }
        t->stid = stid;
        stack_tids[stid] = tid;
    });
    return tid;
}

void Agent::sendServer(tx_t& tx, Message response, bool retransmit_2xx)
{
    if (response.statusCode() >= 200)
        tx.final_done = true;
    tx.last_response = response.clone();
    int stid = tx.stid;
    auto shared = std::make_shared<Message>(std::move(response));
    stk->post([this, stid, shared, retransmit_2xx] {
        int rc = stk->sendResponse(stid, std::move(*shared), retransmit_2xx);
        if (rc < 0)
            LOG(LOGF_GENERAL, LOG_INFO, "SIP agent: response on transaction %d not sent (%d)", stid, rc);
    });
}

void Agent::sendStateless(Message msg)
{
    send_options_t options;
    options.transport = via_transport(msg);
    auto shared = std::make_shared<Message>(std::move(msg));
    stk->post([this, shared, options] { stk->sendStateless(std::move(*shared), options); });
}

// ---- events ----

std::unique_ptr<event_t> Agent::makeEvent(EventType type, const tx_t* tx)
{
    auto ev = std::make_unique<event_t>();
    ev->type = type;
    ev->textinfo = event_type_name(type);
    if (tx) {
        ev->tid = tx->id;
        ev->cid = tx->cid;
        ev->did = tx->did;
        ev->rid = tx->rid;
        if (tx->request)
            ev->request = tx->request.clone();
        if (tx->last_response)
            ev->response = tx->last_response.clone();
    }
    return ev;
}

void Agent::post(std::unique_ptr<event_t> ev)
{
    // Nothing of a call follows its release.
    if (ev->cid && ev->type != EventType::CallReleased && !calls.count(ev->cid))
        return;
    LOG(LOGF_GENERAL, LOG_DEBUG, "SIP agent: event %d (%s): cid=%d did=%d tid=%d rid=%d", static_cast<int>(ev->type),
        ev->textinfo.c_str(), ev->cid, ev->did, ev->tid, ev->rid);
    events.push(std::move(ev));
}

// ---- stack callbacks ----

void Agent::onRequest(int stid, Message request, const request_info_t& info)
{
    std::lock_guard<std::mutex> g(m);
    TxKind kind = TxKind::Message;
    tx_t& tx = newTx(false, kind, request);
    tx.stid = stid;
    tx.peer = info.from;
    stack_tids[stid] = tx.id;
    handleRequest(tx, info);
}

void Agent::handleRequest(tx_t& tx, const request_info_t& info)
{
    const std::string& method = tx.method;
    if (method == "CANCEL") {
        incomingCancel(tx, info.cancels);
        return;
    }
    if ((method == "INVITE" || method == "UPDATE") && refuseShortSession(tx))
        return;
    bool has_tag = !tx.request.toTag().empty();
    if (method == "INVITE" && !has_tag) {
        incomingInvite(tx);
        return;
    }
    dialog_t* d = dialogFor(tx.request, true);
    if (d) {
        tx.kind = TxKind::Call;
        if (method == "INVITE")
            incomingReinvite(tx, *d);
        else
            inDialogRequest(tx, *d);
        return;
    }
    if (has_tag || method == "BYE" || method == "PRACK" || method == "UPDATE" || method == "INVITE") {
        answerBare(tx, 481);
        return;
    }
    outOfDialogRequest(tx);
}

void Agent::outOfDialogRequest(tx_t& tx)
{
    if (tx.method == "SUBSCRIBE" || tx.method == "REFER") {
        auto ev = makeEvent(EventType::InSubscriptionNew, &tx);
        ev->sid = newId();
        post(std::move(ev));
        return;
    }
    post(makeEvent(EventType::MessageNew, &tx));
}

void Agent::onResponse(int stid, Message response)
{
    std::lock_guard<std::mutex> g(m);
    tx_t* tx = txByStack(stid);
    if (!tx || !tx->client)
        return;
    int code = response.statusCode();
    if (tx->final_done && !(code >= 200 && code < 300 && tx->method == "INVITE"))
        return;
    if (code >= 200)
        tx->final_done = true;
    tx->last_response = response.clone();
    handleResponse(*tx, std::move(response));
}

void Agent::handleResponse(tx_t& tx, Message response)
{
    switch (tx.kind) {
    case TxKind::Register:
        registerResponse(tx, std::move(response));
        break;
    case TxKind::Call:
        if (tx.method == "INVITE")
            inviteResponse(tx, std::move(response));
        else
            inDialogResponse(tx, std::move(response));
        break;
    case TxKind::Message:
        messageResponse(tx, response);
        break;
    }
}

void Agent::messageResponse(tx_t& tx, const Message& response)
{
    int code = response.statusCode();
    EventType t = code < 200   ? EventType::MessageProceeding
                  : code < 300 ? EventType::MessageAnswered
                  : code < 400 ? EventType::MessageRedirected
                  : code < 500 ? EventType::MessageRequestFailure
                  : code < 600 ? EventType::MessageServerFailure
                               : EventType::MessageGlobalFailure;
    post(makeEvent(t, &tx));
}

void Agent::onAck(Message ack, const peer_t&)
{
    std::lock_guard<std::mutex> g(m);
    incomingAck(std::move(ack));
}

void Agent::onStrayResponse(Message response, const peer_t&)
{
    std::lock_guard<std::mutex> g(m);
    int code = response.statusCode();
    if (code >= 200 && code < 300 && response.cseqMethod() == "INVITE")
        strayInvite2xx(response);
}

void Agent::onTimeout(int stid)
{
    std::lock_guard<std::mutex> g(m);
    if (tx_t* tx = txByStack(stid))
        clientFailed(*tx, -ETIMEDOUT);
}

void Agent::onTransportError(int stid, int error)
{
    std::lock_guard<std::mutex> g(m);
    tx_t* tx = txByStack(stid);
    if (!tx) {
        early_errors[stid] = error;
        return;
    }
    if (tx->client)
        clientFailed(*tx, error);
}

void Agent::onTerminated(int stid)
{
    std::lock_guard<std::mutex> g(m);
    auto it = stack_tids.find(stid);
    if (it == stack_tids.end())
        return;  // an early error, if any, waits for the sender (sendClient)
    int tid = it->second;
    stack_tids.erase(it);
    tx_t* tx = txById(tid);
    if (!tx)
        return;
    tx->stid = 0;
    if (tx->client && !tx->final_done)
        clientFailed(*tx, -ETIMEDOUT);  // gone without a final answer and without a time-out report
    txGone(tid);
}

// The core's transaction is over.
void Agent::txGone(int tid)
{
    tx_t* tx = txById(tid);
    if (!tx)
        return;
    tx->stid = 0;
    // INVITE transactions stay while their call lives: ACK and answers refer to them.
    if (tx->kind == TxKind::Call && tx->method == "INVITE" && calls.count(tx->cid))
        return;
    txs.erase(tid);
}

void Agent::onAckTimeout(Message response)
{
    std::lock_guard<std::mutex> g(m);
    ackTimeout(response);
}

void Agent::clientFailed(tx_t& tx, int error)
{
    if (tx.final_done)
        return;
    tx.final_done = true;
    LOG(LOGF_GENERAL, LOG_INFO, "SIP agent: %s got no answer (%d)", tx.method.c_str(), error);
    switch (tx.kind) {
    case TxKind::Register:
        registerFailed(tx, error);
        break;
    case TxKind::Call:
        if (tx.method == "INVITE")
            inviteFailedNoResponse(tx, error);
        else
            inDialogFailed(tx, error);
        break;
    case TxKind::Message:
        post(makeEvent(EventType::MessageRequestFailure, &tx));
        break;
    }
}

// ---- answers outside calls ----

Message Agent::buildAnswerFor(const tx_t& tx, int status, const std::string& to_tag, bool contact) const
{
    Message r = make_response(tx.request, status, {.reason = "", .to_tag = to_tag, .server = "",
                                                   .copy_record_route = contact});
    if (contact && status > 100 && status < 300) {
        Uri ruri = tx.request.requestUri();
        std::string user = ruri.user().empty() ? tx.request.to().uri().user() : ruri.user();
        r.addHeader("Contact", contactFor(user, tx.peer.transport));
    }
    return r;
}

int Agent::answerBare(tx_t& tx, int status)
{
    if (tx.client || tx.final_done)
        return -3;
    sendServer(tx, buildAnswerFor(tx, status, "", false), false);
    return 0;
}

// A server transaction that may still be answered: 0, -6 unknown or a client
// transaction, -3 already answered with a final response.
int Agent::answerableTx(int tid, tx_t** out)
{
    tx_t* tx = txById(tid);
    if (!tx || tx->client)
        return -6;
    if (tx->final_done)
        return -3;
    *out = tx;
    return 0;
}

int Agent::messageBuildAnswer(int tid, int status, Message* out)
{
    tx_t* tx = nullptr;
    if (int rc = answerableTx(tid, &tx); rc < 0)
        return rc;
    if (status < 101 || status > 699)
        return -2;
    *out = buildAnswerFor(*tx, status, "", false);
    return 0;
}

int Agent::optionsBuildAnswer(int tid, int status, Message* out)
{
    int rc = messageBuildAnswer(tid, status, out);
    if (rc == 0 && status >= 200 && status < 300) {
        tx_t* tx = txById(tid);
        out->addHeader("Contact", contactFor(tx->request.requestUri().user(), tx->peer.transport));
    }
    return rc;
}

int Agent::messageSendAnswer(int tid, int status, Message msg)
{
    tx_t* tx = nullptr;
    if (int rc = answerableTx(tid, &tx); rc < 0)
        return rc;
    if (!msg) {
        int rc = messageBuildAnswer(tid, status, &msg);
        if (rc < 0)
            return rc;
    }
    int code = msg.statusCode();
    if (code < 101 || code > 699)
        return -2;
    sendServer(*tx, std::move(msg), false);
    return 0;
}

}  // namespace sipagent
