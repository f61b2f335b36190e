// One SIP stack: transports, osip2's four transaction state machines and the
// user's callbacks, all on one stack thread. Calls from other threads are
// posted to that thread, which wakes at once; the caller waits for the result.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sip/core/message.h"
#include "sip/core/transport.h"

struct osip;
struct osip_transaction;
struct osip_event;

namespace sipcore {

class Resolver;
struct tls_options_t;

struct stack_config_t {
    int t1_ms = 500;
    int t2_ms = 4000;
    int t4_ms = 5000;
    bool auto_trying = true;            // 100 Trying to every INVITE before the user sees it
    bool answer_unmatched_cancel = true;  // 481 to a CANCEL that matches no INVITE
    int64_t server_gc_ms = 64000;       // unanswered non-INVITE server transactions are dropped then
    // How long a completed non-INVITE server transaction answers
    // retransmissions with its final response; 0: 64*T1 (Timer J).
    int64_t completed_linger_ms = 0;
    int64_t idle_connection_ms = 300000;  // stream connections with no traffic are closed then
    // Once datagrams have kept waiting longer than this in the socket's queue
    // for this long, new requests get 503 with Retry-After (no transaction);
    // retransmissions of accepted ones are still absorbed. 0: never.
    int overload_delay_ms = 300;
    int retry_after_s = 5;
    std::function<int64_t()> clock_ms;  // the stack's own timers; monotonic by default
};

struct request_info_t {
    peer_t from;
    int cancels = 0;  // for a CANCEL: the INVITE server transaction it matches
};

// Callbacks, all on the stack thread. Messages are the user's own copies.
class StackUser {
public:
    virtual ~StackUser() = default;
    // A new server transaction (retransmissions are absorbed).
    virtual void onRequest(int tid, Message request, const request_info_t& info) = 0;
    // A new request (not ACK or CANCEL) before a transaction is made for it.
    // Returning true takes it out of the transaction layer: no transaction,
    // no 100 Trying; the user answers with Stack::sendStatelessResponse (or
    // not at all), and its retransmissions come here again. The request may
    // be moved from only when returning true.
    virtual bool onStatelessRequest(Message& /*request*/, const request_info_t& /*info*/) { return false; }
    // A response on a client transaction.
    virtual void onResponse(int tid, Message response) = 0;
    // An ACK outside any transaction (the ACK of a 2xx).
    virtual void onAck(Message /*ack*/, const peer_t& /*from*/) {}
    // A response matching no transaction (a retransmitted 2xx to INVITE).
    virtual void onStrayResponse(Message /*response*/, const peer_t& /*from*/) {}
    virtual void onTimeout(int /*tid*/) {}
    virtual void onTransportError(int /*tid*/, int /*error*/) {}
    // The transaction is gone; its tid is not used again.
    virtual void onTerminated(int /*tid*/) {}
    // A 2xx sent with retransmission gave up without an ACK.
    virtual void onAckTimeout(Message /*response*/) {}
};

struct send_options_t {
    // Next hop; by default the first Route, else the Request-URI.
    std::string host;
    int port = 0;
    std::optional<TransportType> transport;
    bool push_via = false;  // a Via is pushed anyway when the request has none
    int connection_id = 0;  // stream connection to prefer
};

class Stack : public TransportHost {
public:
    explicit Stack(StackUser* user, stack_config_t config = {});
    ~Stack() override;
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    // Runs the stack thread. Without it, the owner drives runOnce().
    void start();
    void stop();
    // One round: posted calls, I/O (waiting up to max_wait_ms), timers.
    void runOnce(int max_wait_ms);
    bool onStackThread() const;

    // Transports; the id (>0) or -errno. Listen failures are returned, never thrown.
    int addTransport(TransportType type, const std::string& ip, int port, const tls_options_t* tls = nullptr);
    sock_addr_t localAddress(int transport_id);
    size_t connectionCount(int transport_id);
    // Receive buffer of a transport's socket: 0, -6 unknown transport, or -errno.
    int setReceiveBuffer(int transport_id, int bytes);

    // A client transaction; its tid (>0) or <0. Failures after this returns
    // arrive as onTransportError/onTimeout.
    int sendRequest(Message request, const send_options_t& options = {});
    // A response on a server transaction: 0, -6 unknown tid, -3 not a server
    // transaction or already answered with a final response, -2 bad message.
    // retransmit_2xx: a 2xx to INVITE is re-sent until its ACK arrives.
    int sendResponse(int tid, Message response, bool retransmit_2xx = false);
    // Ends client transaction tid now, reported as timed out (onTimeout, then
    // onTerminated): an INVITE whose CANCEL got no final answer in 64*T1.
    // 0 or -6 unknown (or not a client transaction).
    int abandon(int tid);
    // Outside any transaction: an ACK for a 2xx, or a response forwarded by Via.
    int sendStateless(Message message, const send_options_t& options = {});
    // The answer to a request taken by onStatelessRequest: back on the stream
    // connection it came in on while open, else by its top Via. 0, -2 bad
    // message, or -errno.
    int sendStatelessResponse(Message response, const peer_t& from);

    // T1 for transactions created from now on.
    void setT1(int ms);
    int t1() const { return t1_ms.load(); }

    // Timers on the stack's clock; callbacks run on the stack thread.
    int startTimer(int64_t delay_ms, std::function<void()> fn);
    void cancelTimer(int id);

    void post(std::function<void()> fn);
    // Runs fn on the stack thread and returns its result.
    int call(const std::function<int()>& fn);

    // The resolver, for users that look names up themselves.
    Resolver& resolver() { return *resolv; }

    // TransportHost
    void watch(int fd, short events, std::function<void(short)> cb) override;
    void unwatch(int fd) override;
    void received(const char* buf, size_t len, const peer_t& from) override;
    void queueDelay(int64_t ms) override;
    void connectionFailed(int connection_id, int error) override;
    int64_t nowMs() override;

private:
    struct tx_t;
    struct pending_2xx_t;
    struct done_t;
    struct due_t {
        int64_t at;
        int id;
        unsigned gen;
        bool operator>(const due_t& o) const { return at != o.at ? at > o.at : id > o.id; }
    };
    using due_queue_t = std::priority_queue<due_t, std::vector<due_t>, std::greater<due_t>>;
    struct io_t {
        short events;
        std::function<void(short)> cb;
    };

    static void cb_message(int type, osip_transaction* tr, osip_message_t* msg);
    static void cb_kill(int type, osip_transaction* tr);
    static void cb_transport_error(int type, osip_transaction* tr, int error);
    static int cb_send(osip_transaction* tr, osip_message_t* msg, char* host, int port, int out_socket);
    static Stack* of(osip_transaction* tr);

    void dispatch(osip_transaction* tr, osip_event* evt);
    void detach(osip_transaction* tr);
    static int64_t osip_ms();  // osip's timers run on its own (real) clock
    void schedule(tx_t& tx);
    void runTxTimers();
    void runTimers();
    int addTimer(int64_t at, std::function<void()> fn);
    void compact(tx_t& tx);
    void expireDone();
    bool absorb(const std::string& key);
    std::string matchKey(const Message& msg, bool request) const;
    bool overloaded();
    void shed(const Message& request, const peer_t& from);
    void collect();
    void freeGarbage();
    void startClient(int tid, const sock_addr_t& dest, TransportType type);
    Transport* pickTransport(TransportType type, int family);
    int transmit(const std::string& text, TransportType type, const sock_addr_t& dest, int connection_id,
                 int* used_connection);
    int sendResponseNow(const Message& response, const peer_t& peer, std::string* text = nullptr,
                        sock_addr_t* dest = nullptr);
    void killTransaction(tx_t& tx, bool notify);
    void nextHop(const Message& msg, const send_options_t& options, std::string* host, int* port,
                 TransportType* type) const;
    std::string localHostFor(Transport* t, const sock_addr_t& dest) const;
    void applyTimers(osip_transaction* tr);
    void retimeResend(tx_t& tx);
    void deliverRequest(tx_t& tx, osip_message_t* msg);
    void deliverMessage(tx_t& tx, Message request);
    void handleAck(Message ack, const peer_t& from);
    void retransmit2xx(const std::string& key);

    StackUser* user;
    stack_config_t cfg;
    std::atomic<int> t1_ms;
    struct osip* osip = nullptr;
    int wake_fd = -1;
    std::unique_ptr<Resolver> resolv;

    // Everything below belongs to the stack thread.
    std::map<int, io_t> ios;
    std::vector<std::unique_ptr<Transport>> transports;
    std::unordered_map<int, std::unique_ptr<tx_t>> txs;
    std::vector<osip_transaction*> garbage;
    // 2xx sent again until their ACK, by Call-ID, CSeq and To tag.
    std::unordered_map<std::string, std::unique_ptr<pending_2xx_t>> pending_2xx;
    struct timer_t_ {
        int64_t at;
        std::function<void()> fn;
    };
    std::unordered_map<int, timer_t_> timers;
    due_queue_t timer_due;  // timers by time, on the stack's clock; cancelled ones are skipped
    due_queue_t tx_due;     // transactions' next osip timer, on osip's clock; stale ones are skipped
    // Completed non-INVITE server transactions over datagrams: the final
    // response kept as text to answer retransmissions until Timer J.
    std::unordered_map<std::string, done_t> done;
    using done_due_t = std::pair<int64_t, const std::string*>;
    // Earliest expiry first: server and client records linger differently.
    std::priority_queue<done_due_t, std::vector<done_due_t>, std::greater<done_due_t>> done_order;
    std::vector<int> completing;  // transactions to turn into done records
    int64_t intake_delay_ms = 0;  // how long the batch being received waited in the socket
    int64_t late_since_ms = -1;   // first of the late batches in a row, or -1
    int64_t last_intake_ms = 0;
    unsigned long shed_count = 0;
    int64_t shed_logged_ms = 0;
    int next_tid = 0;
    int next_timer = 0;
    int next_transport = 0;
    int64_t last_housekeeping = 0;
    bool executing = false;
    std::vector<int> gone_ids;
    std::vector<osip_transaction*> dirty;       // transactions with queued events
    std::unordered_map<std::string, int> index;  // match keys of live transactions

    std::mutex task_lock;  // guards tasks
    std::deque<std::function<void()>> tasks;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<std::thread::id> stack_thread_id{};
};

}  // namespace sipcore
