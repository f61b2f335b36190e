#include "sip/core/stack.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <poll.h>
#include <sys/eventfd.h>
#include <syslog.h>
#include <unistd.h>

#include <osip2/osip.h>

#include "core/log.h"
#include "sip/core/resolver.h"
#include "sip/core/response.h"
#include "sip/core/tcp_transport.h"
#include "sip/core/udp_transport.h"

namespace sipcore {

namespace {

// osip's process-wide set-up is reference counted but not meant for
// concurrent first use.
std::mutex& osip_global_lock()
{
    static std::mutex m;
    return m;
}

void add_ms(timeval* tv, int64_t ms)
{
    int64_t us = tv->tv_usec + (ms % 1000) * 1000;
    tv->tv_sec += ms / 1000 + us / 1000000;
    tv->tv_usec = us % 1000000;
}

bool is_reliable(TransportType t) { return t != TransportType::UDP; }

void quiet(const char*, int, osip_trace_level_t, const char*, va_list) {}

}  // namespace

struct Stack::tx_t {
    int id = 0;
    osip_transaction_t* tr = nullptr;
    bool client = false;
    bool invite = false;
    peer_t peer;  // server: where the request came from; client: where it goes
    TransportType type = TransportType::UDP;
    int64_t created_ms = 0;
    bool final_sent = false;
    bool gone = false;
    int t1 = DEFAULT_T1;  // this transaction's T1
    int resends = 0;      // retransmissions so far, for the doubling timers
    std::string key;      // in the index
};

struct Stack::pending_2xx_t {
    Message response;
    peer_t peer;
    std::string call_id, to_tag;
    unsigned cseq = 0;
    int64_t interval = 0;
    int64_t next_at = 0;
    int64_t give_up_at = 0;
};

Stack::Stack(StackUser* u, stack_config_t config) : user(u), cfg(std::move(config)), t1_ms(cfg.t1_ms)
{
    if (!cfg.clock_ms)
        cfg.clock_ms = [] {
            return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now().time_since_epoch())
                                            .count());
        };
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    watch(wake_fd, POLLIN, [this](short) {
        uint64_t v;
        while (read(wake_fd, &v, sizeof v) > 0) {
        }
    });
    {
        std::lock_guard<std::mutex> g(osip_global_lock());
        parser_ready();
        // osip's own trace would print remote-triggered parse errors to stderr.
        osip_trace_initialize_func(TRACE_LEVEL0, quiet);
        if (osip_init(&osip) != 0)
            throw std::runtime_error("osip_init failed");
    }
    osip_set_application_context(osip, this);
    for (int t = 0; t < OSIP_MESSAGE_CALLBACK_COUNT; ++t)
        osip_set_message_callback(osip, t, &Stack::cb_message);
    for (int t = 0; t < OSIP_KILL_CALLBACK_COUNT; ++t)
        osip_set_kill_transaction_callback(osip, t, &Stack::cb_kill);
    for (int t = 0; t < OSIP_TRANSPORT_ERROR_CALLBACK_COUNT; ++t)
        osip_set_transport_error_callback(osip, t, &Stack::cb_transport_error);
    osip_set_cb_send_message(osip, &Stack::cb_send);
    resolv = std::make_unique<Resolver>(this);
    last_housekeeping = nowMs();
}

Stack::~Stack()
{
    stop();
    resolv.reset();
    for (auto& [id, tx] : txs)
        if (tx->tr && !tx->gone) {
            osip_remove_transaction(osip, tx->tr);
            garbage.push_back(tx->tr);
            tx->gone = true;
        }
    freeGarbage();
    txs.clear();
    transports.clear();
    {
        std::lock_guard<std::mutex> g(osip_global_lock());
        osip_release(osip);
    }
    close(wake_fd);
}

int64_t Stack::nowMs() { return cfg.clock_ms(); }

bool Stack::onStackThread() const { return stack_thread_id.load() == std::this_thread::get_id(); }

void Stack::start()
{
    if (running.exchange(true))
        return;
    thread = std::thread([this] {
        stack_thread_id = std::this_thread::get_id();
        while (running.load())
            runOnce(1000);
        // Calls posted while stopping still get their answer.
        runOnce(0);
    });
}

void Stack::stop()
{
    if (!running.exchange(false))
        return;
    uint64_t one = 1;
    (void)!write(wake_fd, &one, sizeof one);
    thread.join();
    stack_thread_id = std::thread::id();
}

void Stack::post(std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> g(task_lock);
        tasks.push_back(std::move(fn));
    }
    uint64_t one = 1;
    (void)!write(wake_fd, &one, sizeof one);
}

int Stack::call(const std::function<int()>& fn)
{
    if (!running.load() || onStackThread())
        return fn();
    std::promise<int> result;
    auto f = result.get_future();
    post([&] { result.set_value(fn()); });
    return f.get();
}

void Stack::watch(int fd, short events, std::function<void(short)> cb) { ios[fd] = io_t{events, std::move(cb)}; }
void Stack::unwatch(int fd) { ios.erase(fd); }

void Stack::runOnce(int max_wait_ms)
{
    std::deque<std::function<void()>> now;
    {
        std::lock_guard<std::mutex> g(task_lock);
        now.swap(tasks);
    }
    for (auto& t : now)
        t();

    int wait = max_wait_ms;
    if (!now.empty())
        wait = 0;
    int64_t rt = real_ms();
    if (next_osip_at - rt < wait)
        wait = next_osip_at <= rt ? 0 : static_cast<int>(next_osip_at - rt);
    int64_t t = nowMs();
    for (const auto& [id, tm] : timers)
        if (tm.at - t < wait)
            wait = tm.at <= t ? 0 : static_cast<int>(tm.at - t);
    for (const auto& p : pending_2xx) {
        int64_t at = std::min(p->next_at, p->give_up_at);
        if (at - t < wait)
            wait = at <= t ? 0 : static_cast<int>(at - t);
    }
    int rw = resolv->timeoutMs();
    if (rw >= 0 && rw < wait)
        wait = rw;
    {
        std::lock_guard<std::mutex> g(task_lock);
        if (!tasks.empty())
            wait = 0;
    }

    std::vector<pollfd> fds;
    fds.reserve(ios.size());
    for (const auto& [fd, io] : ios)
        fds.push_back(pollfd{fd, io.events, 0});
    int n = poll(fds.data(), fds.size(), wait);
    if (n > 0)
        for (const auto& p : fds) {
            if (!p.revents)
                continue;
            auto it = ios.find(p.fd);
            if (it == ios.end())
                continue;
            auto cb = it->second.cb;  // the callback may unwatch itself
            cb(p.revents);
        }

    resolv->process();
    // osip's timer scans walk every transaction: at most one per scan_ms.
    rt = real_ms();
    if (rt >= next_osip_at) {
        osip_timers_ict_execute(osip);
        osip_timers_ist_execute(osip);
        osip_timers_nict_execute(osip);
        osip_timers_nist_execute(osip);
        executeOsip();
        timeval lower{1, 0};
        osip_timers_gettimeout(osip, &lower);
        int64_t next = lower.tv_sec * 1000 + (lower.tv_usec + 999) / 1000;
        next_osip_at = rt + std::max<int64_t>(next, scanMs());
    }
    runTimers();
    retransmit2xx();
    collect();
    freeGarbage();
}

// Events for one transaction run at once; events queued from inside an osip
// callback run when that callback has returned.
int64_t Stack::real_ms()
{
    return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count());
}

int Stack::scanMs() const { return std::clamp(t1_ms.load() / 4, 1, 10); }

void Stack::dispatch(osip_transaction_t* tr, osip_event_t* evt)
{
    // New timers may be due before the next planned scan.
    next_osip_at = std::min(next_osip_at, real_ms() + scanMs());
    osip_transaction_add_event(tr, evt);
    dirty.push_back(tr);
    events_queued = true;
    if (executing)
        return;
    executing = true;
    for (size_t i = 0; i < dirty.size(); ++i) {
        osip_transaction_t* t = dirty[i];
        while (auto* e = static_cast<osip_event_t*>(osip_fifo_tryget(t->transactionff)))
            osip_transaction_execute(t, e);
    }
    dirty.clear();
    events_queued = false;
    executing = false;
}

// Every transaction's queue: after osip's timers, which queue time-outs.
void Stack::executeOsip()
{
    // Callbacks that send queue events; the running pass picks them up.
    if (executing)
        return;
    executing = true;
    // Callbacks may queue new events; a few passes settle them.
    for (int i = 0; i < 4; ++i) {
        events_queued = false;
        osip_ict_execute(osip);
        osip_ist_execute(osip);
        osip_nict_execute(osip);
        osip_nist_execute(osip);
        if (!events_queued)
            break;
    }
    osip_retransmissions_execute(osip);
    dirty.clear();  // every queue was drained above
    executing = false;
}

void Stack::runTimers()
{
    int64_t t = nowMs();
    for (int guard = 0; guard < 1000; ++guard) {
        auto it = timers.end();
        for (auto i = timers.begin(); i != timers.end(); ++i)
            if (i->second.at <= t && (it == timers.end() || i->second.at < it->second.at))
                it = i;
        if (it == timers.end())
            return;
        auto fn = std::move(it->second.fn);
        timers.erase(it);
        fn();
    }
}

int Stack::startTimer(int64_t delay_ms, std::function<void()> fn)
{
    return call([&] {
        int id = ++next_timer;
        if (next_timer == 0x7fffffff)
            next_timer = 0;
        timers[id] = timer_t_{nowMs() + delay_ms, std::move(fn)};
        return id;
    });
}

void Stack::cancelTimer(int id)
{
    call([&] {
        timers.erase(id);
        return 0;
    });
}

void Stack::setT1(int ms)
{
    if (ms > 0)
        t1_ms = ms;
}

void Stack::collect()
{
    int64_t t = nowMs();
    if (t - last_housekeeping < 1000)
        return;
    last_housekeeping = t;
    for (auto& tp : transports)
        tp->housekeeping(t);
    for (auto& [id, tx] : txs) {
        // Non-INVITE requests the user never answered would stay for ever.
        if (!tx->client && !tx->invite && !tx->final_sent && !tx->gone && t - tx->created_ms >= cfg.server_gc_ms) {
            LOG(LOGF_GENERAL, LOG_INFO, "SIP stack: dropping unanswered server transaction %d", id);
            killTransaction(*tx, true);
        }
    }
}

void Stack::freeGarbage()
{
    for (osip_transaction_t* tr : garbage)
        osip_transaction_free(tr);
    garbage.clear();
    for (int id : gone_ids)
        txs.erase(id);
    gone_ids.clear();
}

void Stack::killTransaction(tx_t& tx, bool notify)
{
    if (tx.gone)
        return;
    tx.gone = true;
    gone_ids.push_back(tx.id);
    if (!tx.key.empty()) {
        auto it = index.find(tx.key);
        if (it != index.end() && it->second == tx.id)
            index.erase(it);
    }
    if (tx.tr) {
        osip_remove_transaction(osip, tx.tr);
        osip_transaction_set_reserved1(tx.tr, nullptr);
        garbage.push_back(tx.tr);
    }
    if (notify)
        user->onTerminated(tx.id);
}

Stack* Stack::of(osip_transaction_t* tr)
{
    return static_cast<Stack*>(osip_get_application_context(static_cast<osip_t*>(tr->config)));
}

// ---- transports ----

int Stack::addTransport(TransportType type, const std::string& ip, int port, const tls_options_t* tls)
{
    return call([&] {
        int error = 0;
        std::unique_ptr<Transport> t;
        if (type == TransportType::UDP)
            t = UdpTransport::open(this, ip, port, &error);
        else
            t = TcpTransport::open(this, type, ip, port, tls, &error, cfg.idle_connection_ms);
        if (!t)
            return error ? error : -EINVAL;
        t->transport_id = ++next_transport;
        transports.push_back(std::move(t));
        return next_transport;
    });
}

sock_addr_t Stack::localAddress(int transport_id)
{
    sock_addr_t r;
    call([&] {
        for (auto& t : transports)
            if (t->id() == transport_id)
                r = t->local();
        return 0;
    });
    return r;
}

size_t Stack::connectionCount(int transport_id)
{
    size_t n = 0;
    call([&] {
        for (auto& t : transports)
            if (t->id() == transport_id)
                n = t->connectionCount();
        return 0;
    });
    return n;
}

int Stack::setReceiveBuffer(int transport_id, int bytes)
{
    return call([&] {
        for (auto& t : transports)
            if (t->id() == transport_id)
                return t->setReceiveBuffer(bytes);
        return -6;
    });
}

Transport* Stack::pickTransport(TransportType type, int family)
{
    for (auto& t : transports)
        if (t->type() == type && t->local().family() == family)
            return t.get();
    return nullptr;
}

int Stack::transmit(const std::string& text, TransportType type, const sock_addr_t& dest, int connection_id,
                    int* used_connection)
{
    Transport* t = pickTransport(type, dest.family());
    if (!t) {
        LOG(LOGF_GENERAL, LOG_WARNING, "SIP stack: no %s transport for %s", transport_name(type), dest.key().c_str());
        return -ENETUNREACH;
    }
    return t->send(text, dest, connection_id, used_connection);
}

std::string Stack::localHostFor(Transport* t, const sock_addr_t& dest) const
{
    std::string ip = t->local().ip();
    if (ip != "0.0.0.0" && ip != "::")
        return t->local().family() == AF_INET6 ? "[" + ip + "]" : ip;
    // Bound to every address: the one the kernel would use for dest.
    int fd = socket(dest.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sock_addr_t src;
    src.len = sizeof src.ss;
    if (fd >= 0 && connect(fd, dest.sa(), dest.len) == 0 && getsockname(fd, src.sa(), &src.len) == 0)
        ip = src.ip();
    if (fd >= 0)
        close(fd);
    return dest.family() == AF_INET6 ? "[" + ip + "]" : ip;
}

void Stack::connectionFailed(int connection_id, int error)
{
    for (auto& [id, tx] : txs) {
        if (tx->gone || tx->peer.connection_id != connection_id)
            continue;
        if (tx->client) {
            user->onTransportError(tx->id, error);
            killTransaction(*tx, true);
        } else {
            // The response may still go back by Via on a new connection.
            tx->peer.connection_id = 0;
        }
    }
}

// ---- receiving ----

void Stack::received(const char* buf, size_t len, const peer_t& from)
{
    size_t mlen = len;
    bool framed = frame_datagram(buf, len, &mlen) == 0;
    std::string why;
    Message msg = Message::parse(buf, framed ? mlen : len, &why);
    if (!msg) {
        LOG(LOGF_GENERAL, LOG_DEBUG, "SIP stack: dropped %zu bytes from %s: %s", len, from.addr.key().c_str(),
            why.c_str());
        return;
    }
    if (!framed || !msg.wellFormed(&why)) {
        if (!framed)
            why = "body shorter than Content-Length";
        LOG(LOGF_GENERAL, LOG_INFO, "SIP stack: malformed %s from %s: %s", msg.isRequest() ? "request" : "response",
            from.addr.key().c_str(), why.c_str());
        // A request we can answer gets a 400; anything else is dropped.
        if (msg.isRequest() && msg.method() != "ACK" && msg.viaCount() > 0 && msg.from() && msg.to() &&
            !msg.callId().empty() && msg.cseq() > 0) {
            msg.fixTopVia(from.addr.ip(), from.addr.port());
            sendResponseNow(make_response(msg, 400, {.reason = why.empty() ? "Bad Request" : "Bad Request - " + why,
                                                     .to_tag = "", .server = "", .copy_record_route = false}),
                            from);
        }
        return;
    }
    if (msg.isRequest())
        msg.fixTopVia(from.addr.ip(), from.addr.port());

    bool request = msg.isRequest();
    std::string method = msg.method();
    osip_message_t* raw = msg.raw();
    osip_event_t* evt = osip_new_outgoing_sipmessage(raw);
    if (!evt)
        return;
    evt->type = static_cast<type_t>(evt->type - (SND_REQINVITE - RCV_REQINVITE));
    (void)msg.release();  // the event owns it now

    // Our index replaces osip's linear search for RFC 3261 branches; osip
    // matches the older kind itself.
    std::string key;
    {
        Message view(evt->sip);
        via_t v = view.via();
        if (v.branch.rfind("z9hG4bK", 0) == 0) {
            if (request)
                key = "S|" + v.branch + "|" + v.host + ":" + std::to_string(v.port) + "|" +
                      (method == "ACK" ? std::string("INVITE") : method);
            else
                key = "C|" + v.branch + "|" + view.cseqMethod();
        }
        (void)view.release();
    }
    if (!key.empty()) {
        auto hit = index.find(key);
        if (hit != index.end()) {
            auto t = txs.find(hit->second);
            if (t != txs.end() && !t->second->gone && t->second->tr) {
                dispatch(t->second->tr, evt);
                return;  // a retransmission or a response for a transaction we hold
            }
        }
    } else if (osip_find_transaction_and_add_event(osip, evt) == 0) {
        executeOsip();
        return;
    }

    if (!request) {
        Message stray(evt->sip);
        evt->sip = nullptr;
        osip_event_free(evt);
        user->onStrayResponse(std::move(stray), from);
        return;
    }
    if (method == "ACK") {
        Message ack(evt->sip);
        evt->sip = nullptr;
        osip_event_free(evt);
        handleAck(std::move(ack), from);
        return;
    }

    bool invite = method == "INVITE";
    osip_transaction_t* tr = nullptr;
    if (osip_transaction_init(&tr, invite ? IST : NIST, osip, evt->sip) != 0) {
        osip_event_free(evt);
        return;
    }
    auto tx = std::make_unique<tx_t>();
    tx->id = ++next_tid;
    if (next_tid == 0x7fffffff)
        next_tid = 0;
    tx->tr = tr;
    tx->invite = invite;
    tx->peer = from;
    tx->type = from.transport;
    tx->created_ms = nowMs();
    osip_transaction_set_reserved1(tr, tx.get());
    applyTimers(tr);
    if (!key.empty()) {
        tx->key = key;
        index[key] = tx->id;
    }
    txs[tx->id] = std::move(tx);
    dispatch(tr, evt);
}

void Stack::deliverRequest(tx_t& tx, osip_message_t* msg)
{
    Message copy;
    {
        osip_message_t* c = nullptr;
        if (osip_message_clone(msg, &c) != 0)
            return;
        copy = Message(c);
    }
    request_info_t info;
    info.from = tx.peer;
    if (copy.method() == "CANCEL") {
        std::string branch = copy.topBranch();
        via_t v = copy.via();
        for (auto& [id, other] : txs) {
            if (other->gone || other->client || !other->invite || !other->tr || !other->tr->orig_request)
                continue;
            Message view(other->tr->orig_request);
            via_t ov = view.via();
            (void)view.release();
            if (ov.branch == branch && ov.host == v.host && ov.port == v.port) {
                info.cancels = id;
                break;
            }
        }
        if (!info.cancels && cfg.answer_unmatched_cancel) {
            sendResponse(tx.id, make_response(copy, 481));
            return;
        }
    }
    if (tx.invite && cfg.auto_trying)
        sendResponse(tx.id, make_response(copy, 100));
    user->onRequest(tx.id, std::move(copy), info);
}

void Stack::handleAck(Message ack, const peer_t& from)
{
    std::string call_id = ack.callId(), to_tag = ack.toTag();
    unsigned cseq = ack.cseq();
    for (auto it = pending_2xx.begin(); it != pending_2xx.end(); ++it)
        if ((*it)->call_id == call_id && (*it)->cseq == cseq && (*it)->to_tag == to_tag) {
            pending_2xx.erase(it);
            break;
        }
    user->onAck(std::move(ack), from);
}

// ---- osip callbacks ----

void Stack::cb_message(int type, osip_transaction_t* tr, osip_message_t* msg)
{
    Stack* s = of(tr);
    auto* tx = static_cast<tx_t*>(osip_transaction_get_reserved1(tr));
    if (!tx || tx->gone)
        return;
    switch (type) {
    case OSIP_IST_INVITE_RECEIVED:
    case OSIP_NIST_REGISTER_RECEIVED:
    case OSIP_NIST_BYE_RECEIVED:
    case OSIP_NIST_OPTIONS_RECEIVED:
    case OSIP_NIST_INFO_RECEIVED:
    case OSIP_NIST_CANCEL_RECEIVED:
    case OSIP_NIST_NOTIFY_RECEIVED:
    case OSIP_NIST_SUBSCRIBE_RECEIVED:
    case OSIP_NIST_UNKNOWN_REQUEST_RECEIVED:
        s->deliverRequest(*tx, msg);
        break;
    case OSIP_ICT_STATUS_1XX_RECEIVED:
    case OSIP_ICT_STATUS_2XX_RECEIVED:
    case OSIP_ICT_STATUS_3XX_RECEIVED:
    case OSIP_ICT_STATUS_4XX_RECEIVED:
    case OSIP_ICT_STATUS_5XX_RECEIVED:
    case OSIP_ICT_STATUS_6XX_RECEIVED:
    case OSIP_ICT_STATUS_2XX_RECEIVED_AGAIN:
    case OSIP_NICT_STATUS_1XX_RECEIVED:
    case OSIP_NICT_STATUS_2XX_RECEIVED:
    case OSIP_NICT_STATUS_3XX_RECEIVED:
    case OSIP_NICT_STATUS_4XX_RECEIVED:
    case OSIP_NICT_STATUS_5XX_RECEIVED:
    case OSIP_NICT_STATUS_6XX_RECEIVED: {
        osip_message_t* c = nullptr;
        if (osip_message_clone(msg, &c) == 0)
            s->user->onResponse(tx->id, Message(c));
        break;
    }
    case OSIP_ICT_STATUS_TIMEOUT:
    case OSIP_NICT_STATUS_TIMEOUT:
        s->user->onTimeout(tx->id);
        break;
    default:
        break;
    }
}

void Stack::cb_kill(int, osip_transaction_t* tr)
{
    Stack* s = of(tr);
    auto* tx = static_cast<tx_t*>(osip_transaction_get_reserved1(tr));
    if (!tx) {
        osip_remove_transaction(s->osip, tr);
        s->garbage.push_back(tr);
        return;
    }
    s->killTransaction(*tx, true);
}

void Stack::cb_transport_error(int, osip_transaction_t* tr, int error)
{
    Stack* s = of(tr);
    auto* tx = static_cast<tx_t*>(osip_transaction_get_reserved1(tr));
    if (tx && !tx->gone)
        s->user->onTransportError(tx->id, error);
}

int Stack::cb_send(osip_transaction_t* tr, osip_message_t* msg, char*, int, int)
{
    Stack* s = of(tr);
    auto* tx = static_cast<tx_t*>(osip_transaction_get_reserved1(tr));
    if (!tx)
        return -1;
    Message view(msg);
    std::string text = view.toString();
    bool is_request = view.isRequest();
    (void)view.release();
    if (text.empty())
        return -1;
    s->retimeResend(*tx);
    if (tx->client || is_request) {
        int used = 0;
        int rc = s->transmit(text, tx->type, tx->peer.addr, tx->peer.connection_id, &used);
        if (rc == 0)
            tx->peer.connection_id = used;
        return rc == 0 ? 0 : -1;
    }
    Message resp(msg);
    int rc = s->sendResponseNow(resp, tx->peer);
    (void)resp.release();
    return rc == 0 ? 0 : -1;
}

// ---- sending ----

// Responses go back on the connection the request came in on while it is
// open, else by Via: received (or sent-by) and rport (or port).
int Stack::sendResponseNow(const Message& response, const peer_t& peer)
{
    std::string text = response.toString();
    if (text.empty())
        return -EINVAL;
    via_t v = response.via();
    TransportType type = peer.transport;
    if (!v.protocol.empty())
        transport_from_name(v.protocol, &type);
    if (is_reliable(type) && peer.connection_id) {
        int used = 0;
        if (transmit(text, type, peer.addr, peer.connection_id, &used) == 0)
            return 0;
    }
    std::string host = !v.received.empty() ? v.received : v.host;
    int port = v.rport > 0 ? v.rport : (v.port > 0 ? v.port : transport_default_port(type));
    sock_addr_t dest = make_addr(host, port);
    if (!dest.valid()) {
        // A name in sent-by without received: answer where the request came from.
        dest = peer.addr;
    }
    int used = 0;
    return transmit(text, type, dest, 0, &used);
}

void Stack::nextHop(const Message& msg, const send_options_t& o, std::string* host, int* port,
                    TransportType* type) const
{
    if (!o.host.empty()) {
        *host = o.host;
        *type = o.transport.value_or(TransportType::UDP);
        *port = o.port > 0 ? o.port : transport_default_port(*type);
        return;
    }
    auto routes = msg.nameAddrs("Route");
    Uri target = routes.empty() ? msg.requestUri() : routes[0].uri();
    *host = target.host();
    *type = o.transport.value_or(target.transport());
    std::string maddr = target.param("maddr");
    if (!maddr.empty())
        *host = maddr;
    *port = target.port() > 0 ? target.port() : transport_default_port(*type);
}

// osip arms its doubling timers (A, E, G) with compile-time T1 and T2 before a
// retransmission is sent; put this transaction's own values in their place.
void Stack::retimeResend(tx_t& tx)
{
    osip_transaction_t* tr = tx.tr;
    if (!tr || tx.t1 == DEFAULT_T1)
        return;
    int* length = nullptr;
    timeval* start = nullptr;
    bool capped = true;
    if (tr->ict_context && tr->state == ICT_CALLING) {
        length = &tr->ict_context->timer_a_length;
        start = &tr->ict_context->timer_a_start;
        capped = false;
    } else if (tr->nict_context && (tr->state == NICT_TRYING || tr->state == NICT_PROCEEDING)) {
        length = &tr->nict_context->timer_e_length;
        start = &tr->nict_context->timer_e_start;
    } else if (tr->ist_context && tr->state == IST_COMPLETED) {
        length = &tr->ist_context->timer_g_length;
        start = &tr->ist_context->timer_g_start;
    }
    if (!length || *length <= 0 || start->tv_sec == -1)
        return;  // first send: osip arms the timer afterwards with our length
    ++tx.resends;
    int64_t next = static_cast<int64_t>(tx.t1) << std::min(tx.resends, 20);
    if (capped && next > cfg.t2_ms)
        next = cfg.t2_ms;
    if (tr->nict_context && tr->state == NICT_PROCEEDING)
        next = cfg.t2_ms;
    *length = static_cast<int>(next);
    osip_gettimeofday(start, nullptr);
    add_ms(start, next);
}

void Stack::applyTimers(osip_transaction_t* tr)
{
    int t1 = t1_ms.load();
    if (auto* tx = static_cast<tx_t*>(osip_transaction_get_reserved1(tr)))
        tx->t1 = t1;
    if (t1 == DEFAULT_T1)
        return;
    timeval now;
    osip_gettimeofday(&now, nullptr);
    auto restart = [&](int* length, timeval* start, int value) {
        if (*length <= 0)
            return;  // disabled on reliable transports
        *length = value;
        if (start->tv_sec != -1) {
            *start = now;
            add_ms(start, value);
        }
    };
    if (tr->ict_context) {
        restart(&tr->ict_context->timer_a_length, &tr->ict_context->timer_a_start, t1);
        restart(&tr->ict_context->timer_b_length, &tr->ict_context->timer_b_start, 64 * t1);
    }
    if (tr->nict_context) {
        restart(&tr->nict_context->timer_e_length, &tr->nict_context->timer_e_start, t1);
        restart(&tr->nict_context->timer_f_length, &tr->nict_context->timer_f_start, 64 * t1);
    }
    if (tr->ist_context) {
        restart(&tr->ist_context->timer_g_length, &tr->ist_context->timer_g_start, t1);
        restart(&tr->ist_context->timer_h_length, &tr->ist_context->timer_h_start, 64 * t1);
    }
    if (tr->nist_context)
        restart(&tr->nist_context->timer_j_length, &tr->nist_context->timer_j_start, 64 * t1);
}

int Stack::sendRequest(Message request, const send_options_t& options)
{
    if (!request || !request.isRequest() || request.method() == "ACK" || !request.from() || !request.to() ||
        request.callId().empty() || request.cseq() == 0)
        return -2;
    auto shared = std::make_shared<Message>(std::move(request));
    return call([this, shared, options] {
        int tid = ++next_tid;
        if (next_tid == 0x7fffffff)
            next_tid = 0;
        std::string host;
        int port = 0;
        TransportType type = TransportType::UDP;
        nextHop(*shared, options, &host, &port, &type);
        auto tx = std::make_unique<tx_t>();
        tx->id = tid;
        tx->client = true;
        tx->invite = shared->method() == "INVITE";
        tx->type = type;
        tx->peer.transport = type;
        tx->peer.connection_id = options.connection_id;
        tx->created_ms = nowMs();
        txs[tid] = std::move(tx);
        bool push = options.push_via || shared->viaCount() == 0;
        resolv->resolve(host, port, [this, tid, shared, type, push](int error, std::vector<sock_addr_t> addrs) {
            auto it = txs.find(tid);
            if (it == txs.end() || it->second->gone)
                return;
            tx_t& tx = *it->second;
            Transport* t = nullptr;
            sock_addr_t dest;
            for (const auto& a : addrs)
                if ((t = pickTransport(type, a.family()))) {
                    dest = a;
                    break;
                }
            if (error || !t) {
                user->onTransportError(tid, error ? error : -ENETUNREACH);
                killTransaction(tx, true);
                return;
            }
            tx.peer.addr = dest;
            tx.peer.transport_id = t->id();
            if (push) {
                std::string via = std::string("SIP/2.0/") + transport_name(type) + " " + localHostFor(t, dest) +
                                  ":" + std::to_string(t->local().port()) + ";branch=" + new_branch() + ";rport";
                shared->pushVia(via);
            }
            osip_transaction_t* tr = nullptr;
            if (osip_transaction_init(&tr, tx.invite ? ICT : NICT, osip, shared->raw()) != 0) {
                user->onTransportError(tid, -EINVAL);
                killTransaction(tx, true);
                return;
            }
            tx.tr = tr;
            osip_transaction_set_reserved1(tr, &tx);
            applyTimers(tr);
            tx.key = "C|" + shared->topBranch() + "|" + shared->method();
            index[tx.key] = tid;
            dispatch(tr, osip_new_outgoing_sipmessage(shared->release()));
        });
        return tid;
    });
}

int Stack::sendResponse(int tid, Message response, bool retransmit_2xx)
{
    if (!response || response.isRequest())
        return -2;
    auto shared = std::make_shared<Message>(std::move(response));
    return call([this, tid, shared, retransmit_2xx] {
        auto it = txs.find(tid);
        if (it == txs.end() || it->second->gone || !it->second->tr)
            return -6;
        tx_t& tx = *it->second;
        if (tx.client || tx.final_sent)
            return -3;
        int code = shared->statusCode();
        if (code < 100 || code > 699)
            return -2;
        if (code >= 200)
            tx.final_sent = true;
        if (retransmit_2xx && tx.invite && code < 300) {
            auto p = std::make_unique<pending_2xx_t>();
            p->response = shared->clone();
            p->peer = tx.peer;
            p->call_id = shared->callId();
            p->to_tag = shared->toTag();
            p->cseq = shared->cseq();
            p->interval = t1_ms.load();
            int64_t t = nowMs();
            p->next_at = t + p->interval;
            p->give_up_at = t + 64LL * t1_ms.load();
            pending_2xx.push_back(std::move(p));
        }
        dispatch(tx.tr, osip_new_outgoing_sipmessage(shared->release()));
        return 0;
    });
}

void Stack::retransmit2xx()
{
    int64_t t = nowMs();
    for (auto it = pending_2xx.begin(); it != pending_2xx.end();) {
        pending_2xx_t& p = **it;
        if (t >= p.give_up_at) {
            LOG(LOGF_GENERAL, LOG_INFO, "SIP stack: no ACK for the 2xx of Call-ID %s", p.call_id.c_str());
            Message r = std::move(p.response);
            it = pending_2xx.erase(it);
            user->onAckTimeout(std::move(r));
            continue;
        }
        if (t >= p.next_at) {
            sendResponseNow(p.response, p.peer);
            p.interval = std::min<int64_t>(p.interval * 2, cfg.t2_ms);
            p.next_at = t + p.interval;
        }
        ++it;
    }
}

int Stack::sendStateless(Message message, const send_options_t& options)
{
    if (!message)
        return -2;
    auto shared = std::make_shared<Message>(std::move(message));
    return call([this, shared, options] {
        if (shared->isResponse()) {
            peer_t peer;
            peer.connection_id = options.connection_id;
            via_t v = shared->via();
            if (v.protocol.empty())
                return -2;
            transport_from_name(v.protocol, &peer.transport);
            return sendResponseNow(*shared, peer);
        }
        std::string host;
        int port = 0;
        TransportType type = TransportType::UDP;
        nextHop(*shared, options, &host, &port, &type);
        bool push = options.push_via || shared->viaCount() == 0;
        int connection = options.connection_id;
        resolv->resolve(host, port, [this, shared, type, push, connection](int error, std::vector<sock_addr_t> addrs) {
            for (const auto& a : addrs)
                if (Transport* t = pickTransport(type, a.family())) {
                    if (push)
                        shared->pushVia(std::string("SIP/2.0/") + transport_name(type) + " " + localHostFor(t, a) +
                                        ":" + std::to_string(t->local().port()) + ";branch=" + new_branch() + ";rport");
                    int used = 0;
                    transmit(shared->toString(), type, a, connection, &used);
                    return;
                }
            LOG(LOGF_GENERAL, LOG_WARNING, "SIP stack: stateless %s not sent (error %d)", shared->method().c_str(),
                error);
        });
        return 0;
    });
}

}  // namespace sipcore
