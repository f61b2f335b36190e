#include "sip/core/stack.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <climits>
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
    unsigned gen = 0;     // of the entry in tx_due that counts
    int64_t due_at = LLONG_MAX;
    bool compacting = false;
    std::string final_text;  // the final response as sent, for the done record
    sock_addr_t final_dest;
    // A non-INVITE server transaction is the stack's own (no osip
    // transaction): its last response as sent answers retransmissions.
    bool own = false;
    // Answered by the stack itself (481 to a CANCEL that matches nothing):
    // the user never got its id, so it hears nothing more of it.
    bool unseen = false;
    std::string last_text;
    sock_addr_t last_dest;
};

struct Stack::done_t {
    std::string text;
    sock_addr_t dest;
    int64_t until = 0;  // osip_ms()
};

struct Stack::pending_2xx_t {
    Message response;
    std::string text;  // printed once
    peer_t peer;
    std::string call_id;
    int64_t interval = 0;
    int64_t give_up_at = 0;
    int timer = 0;
};

namespace {

int64_t ms_of(const timeval& tv) { return static_cast<int64_t>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000; }

std::string pending_key(const std::string& call_id, unsigned cseq, const std::string& to_tag)
{
    return call_id + "|" + std::to_string(cseq) + "|" + to_tag;
}

}  // namespace

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
    if (!now.empty() || !completing.empty())
        wait = 0;
    auto until = [&wait](int64_t at, int64_t t) {
        if (at - t < wait)
            wait = at <= t ? 0 : static_cast<int>(at - t);
    };
    if (!tx_due.empty())
        until(tx_due.top().at, osip_ms());
    if (!timer_due.empty())
        until(timer_due.top().at, nowMs());
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
    runTxTimers();
    runTimers();
    for (size_t i = 0; i < completing.size(); ++i) {
        auto it = txs.find(completing[i]);
        if (it != txs.end())
            compact(*it->second);
    }
    completing.clear();
    expireDone();
    collect();
    freeGarbage();
}

int64_t Stack::osip_ms()
{
    timeval tv;
    osip_gettimeofday(&tv, nullptr);
    return ms_of(tv);
}

// Transactions live outside osip's global lists (whose walks cost as much as
// there are transactions): the stack finds them in its own index and runs
// their timers from its own queue.
void Stack::detach(osip_transaction_t* tr) { osip_remove_transaction(osip, tr); }

// Events for one transaction run at once; events queued from inside an osip
// callback run when that callback has returned.
void Stack::dispatch(osip_transaction_t* tr, osip_event_t* evt)
{
    osip_transaction_add_event(tr, evt);
    dirty.push_back(tr);
    if (executing)
        return;
    executing = true;
    for (size_t i = 0; i < dirty.size(); ++i) {
        osip_transaction_t* t = dirty[i];
        while (auto* e = static_cast<osip_event_t*>(osip_fifo_tryget(t->transactionff)))
            osip_transaction_execute(t, e);
        // A transaction that ended is in the garbage without its tx.
        if (auto* tx = static_cast<tx_t*>(osip_transaction_get_reserved1(t)); tx && !tx->gone)
            schedule(*tx);
    }
    dirty.clear();
    executing = false;
}

// The earliest timer the transaction's state runs, into tx_due.
void Stack::schedule(tx_t& tx)
{
    osip_transaction_t* tr = tx.tr;
    if (!tr)
        return;
    int64_t at = LLONG_MAX;
    auto armed = [&at](const timeval& tv) {
        if (tv.tv_sec != -1)
            at = std::min(at, ms_of(tv));
    };
    switch (tr->state) {
    case ICT_CALLING:
        armed(tr->ict_context->timer_a_start);
        armed(tr->ict_context->timer_b_start);
        break;
    case ICT_COMPLETED:
        armed(tr->ict_context->timer_d_start);
        break;
    case IST_COMPLETED:
        armed(tr->ist_context->timer_g_start);
        armed(tr->ist_context->timer_h_start);
        break;
    case IST_CONFIRMED:
        armed(tr->ist_context->timer_i_start);
        break;
    case NICT_TRYING:
    case NICT_PROCEEDING:
        armed(tr->nict_context->timer_e_start);
        armed(tr->nict_context->timer_f_start);
        break;
    case NICT_COMPLETED:
        armed(tr->nict_context->timer_k_start);
        if (tx.client && !tx.compacting && !tx.key.empty()) {
            tx.compacting = true;
            completing.push_back(tx.id);
        }
        break;
    case NIST_COMPLETED:
        armed(tr->nist_context->timer_j_start);
        if (!tx.client && !tx.compacting && !tx.final_text.empty() && !tx.key.empty()) {
            tx.compacting = true;
            completing.push_back(tx.id);
        }
        break;
    default:
        break;
    }
    if (at == tx.due_at)
        return;
    tx.due_at = at;
    ++tx.gen;
    if (at != LLONG_MAX)
        tx_due.push(due_t{at, tx.id, tx.gen});
}

void Stack::runTxTimers()
{
    int64_t now = osip_ms();
    while (!tx_due.empty() && tx_due.top().at <= now) {
        due_t d = tx_due.top();
        tx_due.pop();
        auto it = txs.find(d.id);
        if (it == txs.end())
            continue;
        tx_t& tx = *it->second;
        if (tx.gone || !tx.tr || d.gen != tx.gen)
            continue;
        osip_transaction_t* tr = tx.tr;
        // The state's timers in osip's order: the time-out before the resend.
        struct cand_t {
            timeval* tv;
            type_t type;
        };
        cand_t cands[2] = {{nullptr, TIMEOUT_A}, {nullptr, TIMEOUT_A}};
        switch (tr->state) {
        case ICT_CALLING:
            cands[0] = {&tr->ict_context->timer_b_start, TIMEOUT_B};
            cands[1] = {&tr->ict_context->timer_a_start, TIMEOUT_A};
            break;
        case ICT_COMPLETED:
            cands[0] = {&tr->ict_context->timer_d_start, TIMEOUT_D};
            break;
        case IST_COMPLETED:
            cands[0] = {&tr->ist_context->timer_h_start, TIMEOUT_H};
            cands[1] = {&tr->ist_context->timer_g_start, TIMEOUT_G};
            break;
        case IST_CONFIRMED:
            cands[0] = {&tr->ist_context->timer_i_start, TIMEOUT_I};
            break;
        case NICT_TRYING:
        case NICT_PROCEEDING:
            cands[0] = {&tr->nict_context->timer_f_start, TIMEOUT_F};
            cands[1] = {&tr->nict_context->timer_e_start, TIMEOUT_E};
            break;
        case NICT_COMPLETED:
            cands[0] = {&tr->nict_context->timer_k_start, TIMEOUT_K};
            break;
        case NIST_COMPLETED:
            cands[0] = {&tr->nist_context->timer_j_start, TIMEOUT_J};
            break;
        default:
            break;
        }
        tx.due_at = LLONG_MAX;
        cand_t* fire = nullptr;
        for (auto& c : cands)
            if (c.tv && c.tv->tv_sec != -1 && ms_of(*c.tv) <= now) {
                fire = &c;
                break;
            }
        if (!fire) {
            schedule(tx);
            continue;
        }
        timeval before = *fire->tv;
        auto* evt = static_cast<osip_event_t*>(osip_malloc(sizeof(osip_event_t)));
        if (!evt)
            return;
        memset(evt, 0, sizeof *evt);
        evt->type = fire->type;
        evt->transactionid = tr->transactionid;
        dispatch(tr, evt);
        // A time-out the state machine ignored must not come back at once.
        auto again = txs.find(d.id);
        if (again != txs.end() && !again->second->gone && fire->tv->tv_sec == before.tv_sec &&
            fire->tv->tv_usec == before.tv_usec) {
            fire->tv->tv_sec = -1;
            schedule(*again->second);
        }
    }
}

void Stack::runTimers()
{
    int64_t t = nowMs();
    for (int guard = 0; guard < 1000 && !timer_due.empty() && timer_due.top().at <= t;) {
        due_t d = timer_due.top();
        timer_due.pop();
        auto it = timers.find(d.id);
        if (it == timers.end() || it->second.at != d.at)
            continue;  // cancelled
        auto fn = std::move(it->second.fn);
        timers.erase(it);
        ++guard;
        fn();
    }
}

int Stack::addTimer(int64_t at, std::function<void()> fn)
{
    int id = ++next_timer;
    if (next_timer == 0x7fffffff)
        next_timer = 0;
    timers[id] = timer_t_{at, std::move(fn)};
    timer_due.push(due_t{at, id, 0});
    return id;
}

int Stack::startTimer(int64_t delay_ms, std::function<void()> fn)
{
    return call([&] { return addTimer(nowMs() + delay_ms, std::move(fn)); });
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
        osip_transaction_set_reserved1(tx.tr, nullptr);
        garbage.push_back(tx.tr);
    }
    if (notify && !tx.unseen)
        user->onTerminated(tx.id);
}

// A completed non-INVITE server transaction over datagrams becomes a record
// of its key and final response until its Timer J; the transaction ends.
void Stack::compact(tx_t& tx)
{
    if (tx.gone)
        return;
    if (tx.own) {
        if (tx.type == TransportType::UDP && !tx.key.empty() && !tx.last_text.empty()) {
            auto [it, inserted] = done.try_emplace(tx.key);
            it->second.text = std::move(tx.last_text);
            it->second.dest = tx.last_dest;
            it->second.until = osip_ms() + (cfg.completed_linger_ms > 0 ? cfg.completed_linger_ms : 64LL * tx.t1);
            if (inserted)
                done_order.emplace(it->second.until, &it->first);
        }
        killTransaction(tx, true);
        return;
    }
    if (tx.tr && tx.client && tx.tr->state == NICT_COMPLETED) {
        // Until Timer K only retransmissions of the final response come,
        // and they are dropped: a key is enough for that, not the whole
        // transaction with its request and response.
        auto [it, inserted] = done.try_emplace(tx.key);
        it->second.text.clear();
        it->second.until = ms_of(tx.tr->nict_context->timer_k_start);
        if (inserted)
            done_order.emplace(it->second.until, &it->first);
        killTransaction(tx, true);
        return;
    }
    if (!tx.tr || tx.tr->state != NIST_COMPLETED)
        return;
    auto [it, inserted] = done.try_emplace(tx.key);
    it->second.text = std::move(tx.final_text);
    it->second.dest = tx.final_dest;
    it->second.until = ms_of(tx.tr->nist_context->timer_j_start);
    if (inserted)
        done_order.emplace(it->second.until, &it->first);
    killTransaction(tx, true);
}

void Stack::expireDone()
{
    if (done_order.empty())
        return;
    int64_t now = osip_ms();
    while (!done_order.empty() && done_order.top().first <= now) {
        auto it = done.find(*done_order.top().second);
        done_order.pop();
        if (it == done.end())
            continue;
        if (it->second.until > now)
            done_order.emplace(it->second.until, &it->first);  // renewed since
        else
            done.erase(it);
    }
}

// A retransmitted request of a completed transaction: its final response
// again. A retransmitted response of a completed client transaction: nothing.
bool Stack::absorb(const std::string& key)
{
    auto it = done.find(key);
    if (it == done.end() || it->second.until <= osip_ms())
        return false;
    if (it->second.text.empty())
        return true;
    int used = 0;
    transmit(it->second.text, TransportType::UDP, it->second.dest, 0, &used);
    return true;
}

// The key a message is matched to its transaction by: the top Via's branch
// (RFC 3261), or for a request whose branch lacks the magic cookie the
// RFC 2543 fields. An ACK matches its INVITE; "" matches nothing.
std::string Stack::matchKey(const Message& msg, bool request) const
{
    via_t v = msg.via();
    if (!request)
        return v.branch.empty() ? std::string() : "C|" + v.branch + "|" + msg.cseqMethod();
    std::string method = msg.method();
    if (method == "ACK")
        method = "INVITE";
    std::string sent_by = v.host + ":" + std::to_string(v.port);
    if (v.branch.rfind("z9hG4bK", 0) == 0)
        return "S|" + v.branch + "|" + sent_by + "|" + method;
    return "O|" + msg.callId() + "|" + std::to_string(msg.cseq()) + "|" + msg.fromTag() + "|" +
           msg.requestUri().toString() + "|" + sent_by + "|" + v.branch + "|" + method;
}

void Stack::queueDelay(int64_t ms)
{
    int64_t now = nowMs();
    intake_delay_ms = ms;
    // One stall (the process descheduled, a slow disk) makes one late batch;
    // only a queue that stays behind is overload. A late batch after a quiet
    // spell starts a new stretch.
    if (ms <= cfg.overload_delay_ms)
        late_since_ms = -1;
    else if (late_since_ms < 0 || now - last_intake_ms > cfg.overload_delay_ms)
        late_since_ms = now;
    last_intake_ms = now;
}

bool Stack::overloaded()
{
    return cfg.overload_delay_ms > 0 && late_since_ms >= 0 && nowMs() - late_since_ms >= cfg.overload_delay_ms;
}

void Stack::shed(const Message& request, const peer_t& from)
{
    Message r = make_response(request, 503, {.reason = "", .to_tag = "", .server = "", .copy_record_route = false});
    r.addHeader("Retry-After", std::to_string(cfg.retry_after_s));
    sendResponseNow(r, from);
    if (++shed_count == 1 || nowMs() - shed_logged_ms >= 10000) {
        LOG(LOGF_GENERAL, LOG_WARNING, "SIP stack: overloaded (requests waited %lld ms): %lu new requests refused",
            static_cast<long long>(intake_delay_ms), shed_count);
        shed_logged_ms = nowMs();
    }
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
    bool sound = framed && msg.wellFormed(&why);
    if (sound) {
        std::string where = find_bad_uri_escape(buf, mlen);
        if (!where.empty()) {
            why = "bad % escape in " + where;
            sound = false;
        }
    }
    if (!sound) {
        if (!framed)
            why = "body shorter than Content-Length";
        LOG(LOGF_GENERAL, LOG_INFO, "SIP stack: malformed %s from %s: %s", msg.isRequest() ? "request" : "response",
            from.addr.key().c_str(), why.c_str());
        // A request we can answer gets a 400; anything else is dropped.
        if (msg.isRequest() && msg.method() != "ACK" && msg.viaCount() > 0 && msg.from() && msg.to() &&
            !msg.callId().empty() && msg.cseq() > 0) {
            msg.fixTopVia(from.addr.ip(), from.addr.port());
            msg.dropBlankValues();
            Message answer = make_response(msg, 400, {.reason = why.empty() ? "Bad Request" : "Bad Request - " + why,
                                                      .to_tag = "", .server = "", .copy_record_route = false});
            // what the peer wrote may still print as text nobody reads back
            // (a blank Via host): better no answer than that one
            std::string text = answer.toString();
            if (Message::parse(text))
                sendResponseNow(answer, from);
            else
                LOG(LOGF_GENERAL, LOG_INFO, "SIP stack: request from %s left unanswered: its 400 would not parse",
                    from.addr.key().c_str());
        }
        return;
    }
    bool request = msg.isRequest();
    if (request)
        msg.fixTopVia(from.addr.ip(), from.addr.port());
    std::string method = msg.method();
    std::string key = matchKey(msg, request);

    if (!key.empty()) {
        auto hit = index.find(key);
        if (hit != index.end()) {
            auto t = txs.find(hit->second);
            if (t != txs.end() && !t->second->gone && t->second->own) {
                tx_t& tx = *t->second;
                if (!tx.last_text.empty() && tx.type == TransportType::UDP) {
                    int used = 0;
                    transmit(tx.last_text, tx.type, tx.last_dest, tx.peer.connection_id, &used);
                }
                return;
            }
            if (t != txs.end() && !t->second->gone && t->second->tr) {
                osip_event_t* evt = osip_new_outgoing_sipmessage(msg.raw());
                if (!evt)
                    return;
                evt->type = static_cast<type_t>(evt->type - (SND_REQINVITE - RCV_REQINVITE));
                (void)msg.release();  // the event owns it now
                dispatch(t->second->tr, evt);
                return;  // a retransmission or a response for a transaction we hold
            }
        }
        if (method != "ACK" && absorb(key))
            return;
    }

    if (!request) {
        user->onStrayResponse(std::move(msg), from);
        return;
    }
    if (method == "ACK") {
        handleAck(std::move(msg), from);
        return;
    }

    request_info_t info;
    info.from = from;
    if (method != "CANCEL") {
        // Past capacity new work is refused cheaply; requests within a dialog
        // (BYE, re-INVITE) still end or keep what was accepted.
        if (from.transport == TransportType::UDP && overloaded() && msg.toTag().empty()) {
            shed(msg, from);
            return;
        }
        if (user->onStatelessRequest(msg, info))
            return;
    }

    bool invite = method == "INVITE";
    if (!invite) {
        auto tx = std::make_unique<tx_t>();
        tx->id = ++next_tid;
        if (next_tid == 0x7fffffff)
            next_tid = 0;
        tx->own = true;
        tx->peer = from;
        tx->type = from.transport;
        tx->created_ms = nowMs();
        tx->t1 = t1_ms.load();
        tx->key = key;
        index[key] = tx->id;
        tx_t& ref = *tx;
        txs[tx->id] = std::move(tx);
        deliverMessage(ref, std::move(msg));
        return;
    }
    osip_event_t* evt = osip_new_outgoing_sipmessage(msg.raw());
    if (!evt)
        return;
    evt->type = static_cast<type_t>(evt->type - (SND_REQINVITE - RCV_REQINVITE));
    (void)msg.release();  // the event owns it now
    osip_transaction_t* tr = nullptr;
    if (osip_transaction_init(&tr, invite ? IST : NIST, osip, evt->sip) != 0) {
        osip_event_free(evt);
        return;
    }
    detach(tr);
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
    tx->key = key;
    index[key] = tx->id;
    txs[tx->id] = std::move(tx);
    dispatch(tr, evt);
}

void Stack::deliverRequest(tx_t& tx, osip_message_t* msg)
{
    // The user gets the request itself: a server transaction answers
    // retransmissions from its last response and never reads the request again.
    if (tx.tr->orig_request != msg)
        return;
    tx.tr->orig_request = nullptr;
    deliverMessage(tx, Message(msg));
}

void Stack::deliverMessage(tx_t& tx, Message copy)
{
    request_info_t info;
    info.from = tx.peer;
    if (copy.method() == "CANCEL") {
        // The INVITE's key: a CANCEL carries its Via, Call-ID, CSeq number,
        // From tag and Request-URI.
        std::string k = tx.key;
        size_t bar = k.rfind('|');
        if (bar != std::string::npos) {
            auto hit = index.find(k.substr(0, bar + 1) + "INVITE");
            if (hit != index.end()) {
                auto other = txs.find(hit->second);
                if (other != txs.end() && !other->second->gone && !other->second->client && other->second->invite)
                    info.cancels = hit->second;
            }
        }
        if (!info.cancels && cfg.answer_unmatched_cancel) {
            tx.unseen = true;
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
    if (!pending_2xx.empty()) {
        auto it = pending_2xx.find(pending_key(ack.callId(), ack.cseq(), ack.toTag()));
        if (it != pending_2xx.end()) {
            timers.erase(it->second->timer);
            pending_2xx.erase(it);
        }
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
    sock_addr_t dest;
    int rc = s->sendResponseNow(resp, tx->peer, &text, &dest);
    // The final response of a non-INVITE server transaction answers its
    // retransmissions from the done record, without printing again.
    if (rc == 0 && !tx->invite && resp.statusCode() >= 200 && tx->type == TransportType::UDP) {
        tx->final_text = std::move(text);
        tx->final_dest = dest;
    }
    (void)resp.release();
    return rc == 0 ? 0 : -1;
}

// ---- sending ----

int Stack::abandon(int tid)
{
    return call([this, tid] {
        auto it = txs.find(tid);
        if (it == txs.end() || it->second->gone || !it->second->client)
            return -6;
        user->onTimeout(tid);
        // the user may have ended it from onTimeout
        it = txs.find(tid);
        if (it != txs.end())
            killTransaction(*it->second, true);
        return 0;
    });
}

// Responses go back on the connection the request came in on while it is
// open, else by Via: received (or sent-by) and rport (or port).
int Stack::sendResponseNow(const Message& response, const peer_t& peer, std::string* printed, sock_addr_t* dest_out)
{
    std::string own;
    std::string& text = printed ? *printed : own;
    // cb_send printed it already.
    if (text.empty())
        text = response.toString();
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
    if (dest_out)
        *dest_out = dest;
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
    if (target.port() < 0)
        host->clear();  // a port that is no port: nowhere to send
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
            detach(tr);
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
        if (it == txs.end() || it->second->gone || (!it->second->tr && !it->second->own))
            return -6;
        tx_t& tx = *it->second;
        if (tx.client || tx.final_sent)
            return -3;
        int code = shared->statusCode();
        if (code < 100 || code > 699)
            return -2;
        if (code >= 200)
            tx.final_sent = true;
        if (tx.own) {
            std::string text;
            sock_addr_t dest;
            int rc = sendResponseNow(*shared, tx.peer, &text, &dest);
            if (text.empty())
                return -2;
            if (rc != 0) {
                if (!tx.unseen)
                    user->onTransportError(tx.id, rc);
                killTransaction(tx, true);
                return 0;
            }
            tx.last_text = std::move(text);
            tx.last_dest = dest;
            // Ends from the loop, not inside the user's call.
            if (code >= 200 && !tx.compacting) {
                tx.compacting = true;
                completing.push_back(tx.id);
            }
            return 0;
        }
        if (retransmit_2xx && tx.invite && code < 300) {
            auto p = std::make_unique<pending_2xx_t>();
            p->response = shared->clone();
            p->peer = tx.peer;
            p->call_id = shared->callId();
            p->interval = t1_ms.load();
            int64_t t = nowMs();
            p->give_up_at = t + 64LL * t1_ms.load();
            std::string k = pending_key(p->call_id, shared->cseq(), shared->toTag());
            p->timer = addTimer(std::min(t + p->interval, p->give_up_at), [this, k] { retransmit2xx(k); });
            auto& slot = pending_2xx[k];
            if (slot)
                timers.erase(slot->timer);
            slot = std::move(p);
        }
        dispatch(tx.tr, osip_new_outgoing_sipmessage(shared->release()));
        return 0;
    });
}

void Stack::retransmit2xx(const std::string& key)
{
    auto it = pending_2xx.find(key);
    if (it == pending_2xx.end())
        return;
    pending_2xx_t& p = *it->second;
    int64_t t = nowMs();
    if (t >= p.give_up_at) {
        LOG(LOGF_GENERAL, LOG_INFO, "SIP stack: no ACK for the 2xx of Call-ID %s", p.call_id.c_str());
        Message r = std::move(p.response);
        pending_2xx.erase(it);
        user->onAckTimeout(std::move(r));
        return;
    }
    sendResponseNow(p.response, p.peer, &p.text);
    p.interval = std::min<int64_t>(p.interval * 2, cfg.t2_ms);
    p.timer = addTimer(std::min(t + p.interval, p.give_up_at), [this, key] { retransmit2xx(key); });
}

int Stack::sendStatelessResponse(Message response, const peer_t& from)
{
    if (!response || response.isRequest() || response.viaCount() == 0)
        return -2;
    auto shared = std::make_shared<Message>(std::move(response));
    return call([this, shared, from] { return sendResponseNow(*shared, from); });
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
