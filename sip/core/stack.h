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
    int64_t idle_connection_ms = 300000;  // stream connections with no traffic are closed then
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
    // Outside any transaction: an ACK for a 2xx, or a response forwarded by Via.
    int sendStateless(Message message, const send_options_t& options = {});

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
    void connectionFailed(int connection_id, int error) override;
    int64_t nowMs() override;

private:
    struct tx_t;
    struct pending_2xx_t;
    struct io_t {
        short events;
        std::function<void(short)> cb;
    };

    static void cb_message(int type, osip_transaction* tr, osip_message_t* msg);
    static void cb_kill(int type, osip_transaction* tr);
    static void cb_transport_error(int type, osip_transaction* tr, int error);
    static int cb_send(osip_transaction* tr, osip_message_t* msg, char* host, int port, int out_socket);
    static Stack* of(osip_transaction* tr);

    void executeOsip();
    void dispatch(osip_transaction* tr, osip_event* evt);
    static int64_t real_ms();  // osip's timers run on real time
    int scanMs() const;
    void runTimers();
    void collect();
    void freeGarbage();
    void startClient(int tid, const sock_addr_t& dest, TransportType type);
    Transport* pickTransport(TransportType type, int family);
    int transmit(const std::string& text, TransportType type, const sock_addr_t& dest, int connection_id,
                 int* used_connection);
    int sendResponseNow(const Message& response, const peer_t& peer);
    void killTransaction(tx_t& tx, bool notify);
    void nextHop(const Message& msg, const send_options_t& options, std::string* host, int* port,
                 TransportType* type) const;
    std::string localHostFor(Transport* t, const sock_addr_t& dest) const;
    void applyTimers(osip_transaction* tr);
    void retimeResend(tx_t& tx);
    void deliverRequest(tx_t& tx, osip_message_t* msg);
    void handleAck(Message ack, const peer_t& from);
    void retransmit2xx();

    StackUser* user;
    stack_config_t cfg;
    std::atomic<int> t1_ms;
    struct osip* osip = nullptr;
    int wake_fd = -1;
    std::unique_ptr<Resolver> resolv;

    // Everything below belongs to the stack thread.
    std::map<int, io_t> ios;
    std::vector<std::unique_ptr<Transport>> transports;
    std::map<int, std::unique_ptr<tx_t>> txs;
    std::vector<osip_transaction*> garbage;
    std::vector<std::unique_ptr<pending_2xx_t>> pending_2xx;
    struct timer_t_ {
        int64_t at;
        std::function<void()> fn;
    };
    std::map<int, timer_t_> timers;
    int next_tid = 0;
    int next_timer = 0;
    int next_transport = 0;
    int64_t last_housekeeping = 0;
    bool executing = false;
    bool events_queued = false;
    int64_t next_osip_at = 0;  // real_ms() of the next timer scan
    std::vector<int> gone_ids;
    std::vector<osip_transaction*> dirty;       // transactions with queued events
    std::unordered_map<std::string, int> index;           // branch keys of live transactions

    std::mutex task_lock;  // guards tasks
    std::deque<std::function<void()>> tasks;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<std::thread::id> stack_thread_id{};
};

}  // namespace sipcore
