// The user-agent layer: calls and dialogs, registrations, in-call requests,
// REFER/NOTIFY, out-of-dialog requests and the automatic behaviours around
// them, on one sip/core stack. Everything the layer reports arrives as an
// event_t on its queue.
//
// Threading: one lock (lock()/unlock()) guards the whole layer. The stack
// thread takes it for each message it processes. The application holds it
// around every call below, except listen(), quit(), eventWait() and
// guessLocalIp(), which must be called without it. Nothing here waits for the
// network while the lock is held: messages are handed to the stack thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sip/agent/credentials.h"
#include "sip/agent/dialog.h"
#include "sip/agent/event.h"
#include "sip/agent/registration.h"
#include "sip/core/stack.h"

namespace sipagent {

struct agent_config_t {
    sipcore::stack_config_t stack;
    std::function<int64_t()> clock_ms;  // the layer's own timers; monotonic by default
    std::string user_agent;             // User-Agent on our requests when set
    int64_t ring_timeout_ms = 180000;   // an unanswered call, either side
    int64_t refer_subscription_s = 60;  // a REFER's implicit subscription outlives BYE this long
    int max_retries = 3;                // credentials, Min-SE, Min-Expires, redirects
    int64_t register_retry_ms = 120000; // after a failed registration
    int min_se_s = 90;                  // shortest session interval we accept
    // false: listen() starts no stack thread; the owner drives stack().runOnce()
    // without the lock (fuzzing drives the layer this way).
    bool stack_thread = true;
};

enum class SubscriptionState { Pending = 1, Active = 2, Terminated = 3 };

// How many records the layer holds (tests look for leaks with it).
struct agent_counts_t {
    size_t calls = 0, dialogs = 0, transactions = 0, registrations = 0, timers = 0, challenges = 0;
};

class Agent : public sipcore::StackUser {
public:
    explicit Agent(agent_config_t config = {});
    ~Agent() override;
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // ---- without the lock ----
    // Listens and starts the stack thread; 0 or <0. May be called once per
    // transport; the first one gives the host of our Via and Contact. TLS
    // needs tls (certificate, key, CAs).
    int listen(sipcore::TransportType type, const std::string& ip, int port,
               const sipcore::tls_options_t* tls = nullptr);
    void quit();
    // The next event, or null after timeout_ms. Destroying it frees it.
    std::unique_ptr<event_t> eventWait(int timeout_ms);
    // Source address towards the default route, else a running interface, else
    // "127.0.0.1". An override (tests) wins; "" removes it.
    static std::string guessLocalIp(int family);
    static void setLocalIpOverride(const std::string& ip);

    void lock() { m.lock(); }
    void unlock() { m.unlock(); }
    std::mutex& mutex() { return m; }

    // ---- with the lock held ----
    // Time-driven work: refreshes, retries, time-outs. Call it every 100 ms or so.
    void automaticAction();
    int64_t nowMs() const;
    const std::string& localHost() const { return local_host; }
    int localPort() const { return local_port; }
    // The port we listen on for that transport, 0 when none.
    int localPort(sipcore::TransportType type) const;
    size_t eventCount() { return events.size(); }
    agent_counts_t counts() const
    {
        return {calls.size(), dialogs.size(), txs.size(), regs.size(), timers.size(), answered.size()};
    }

    // Credentials for 401/407 (also REGISTER).
    void addAuthenticationInfo(const std::string& username, const std::string& userid, const std::string& password,
                               const std::string& ha1, const std::string& realm);
    int removeAuthenticationInfo(const std::string& username, const std::string& realm);
    void clearAuthenticationInfo();

    // Registrations. Build returns the rid (>0) or <0.
    int registerBuildInitial(const std::string& from, const std::string& registrar, const std::string& contact,
                             int expires, Message* out);
    // A refresh or an unregistration (expires 0) of rid: -3 while its REGISTER is in flight.
    int registerBuild(int rid, int expires, Message* out);
    int registerSend(int rid, Message msg);
    // Drops rid: Expires 0 goes out (now, or once the REGISTER in flight
    // completes), then the registration is forgotten. 0 or -6.
    int registerRemove(int rid);

    // Calls. Build returns 0 or <0; sendInitialInvite returns the cid (>0).
    int callBuildInitialInvite(Message* out, const std::string& to, const std::string& from,
                               const std::string& route = "", const std::string& subject = "");
    int callSendInitialInvite(Message invite);
    // An answer to the request of server transaction tid (101-699). -3 when
    // it already has a final answer, -6 when unknown.
    int callBuildAnswer(int tid, int status, Message* out);
    // msg may be empty: a bare answer then (not allowed for a 2xx to INVITE).
    int callSendAnswer(int tid, int status, Message msg);
    // A request inside dialog did: -3 while one of that method (or an INVITE) is pending.
    int callBuildRequest(int did, const std::string& method, Message* out);
    // The new transaction's tid (>0) or <0.
    int callSendRequest(int did, Message msg);
    int callBuildRefer(int did, const std::string& refer_to, Message* out);
    int callBuildNotify(int did, SubscriptionState state, Message* out);
    int callBuildPrack(int tid, const Message& provisional, Message* out);
    int callSendPrack(int tid, Message prack);
    // ACK for the 2xx to INVITE transaction tid; msg empty builds it.
    int callSendAck(int tid, Message msg = {});
    // BYE, CANCEL (0 with the Reason on it) or 603 as the call stands; -3 when
    // our INVITE has had no answer yet (try again later), -6 unknown.
    int callTerminate(int cid, int did, const std::string& reason = "");
    // id is a cid or a did.
    int callSetReference(int id, void* ref);
    void* callGetReference(int cid);
    // "callid;to-tag=..;from-tag=..[;early-only]": the cid, or -6 not found,
    // -3 early-only on a confirmed dialog, -2 an early dialog where we are callee.
    int callFindByReplaces(const std::string& replaces);
    // <remote URI>?Replaces=... for an attended transfer of dialog did.
    int callGetReferTo(int did, std::string* out);
    // SDP bodies of the dialog's last INVITE exchange; "" when none.
    std::string localSdp(int did);
    std::string remoteSdp(int did);

    // Out-of-dialog requests (OPTIONS, MESSAGE, NOTIFY, SUBSCRIBE, REFER, ...).
    int messageBuildAnswer(int tid, int status, Message* out);
    int messageSendAnswer(int tid, int status, Message msg);
    // As above; a 2xx also gets our Contact.
    int optionsBuildAnswer(int tid, int status, Message* out);
    int optionsSendAnswer(int tid, int status, Message msg) { return messageSendAnswer(tid, status, std::move(msg)); }
    int insubscriptionBuildAnswer(int tid, int status, Message* out) { return messageBuildAnswer(tid, status, out); }
    int insubscriptionSendAnswer(int tid, int status, Message msg) { return messageSendAnswer(tid, status, std::move(msg)); }

    // The stack underneath (tests and transports).
    sipcore::Stack& stack() { return *stk; }

    // StackUser: the stack thread, without the lock.
    void onRequest(int stid, Message request, const sipcore::request_info_t& info) override;
    void onResponse(int stid, Message response) override;
    void onAck(Message ack, const sipcore::peer_t& from) override;
    void onStrayResponse(Message response, const sipcore::peer_t& from) override;
    void onTimeout(int stid) override;
    void onTransportError(int stid, int error) override;
    void onTerminated(int stid) override;
    void onAckTimeout(Message response) override;

private:
    // ---- agent.cpp ----
    int newId();
    tx_t* txById(int tid);
    int answerableTx(int tid, tx_t** out);
    tx_t* txByStack(int stid);
    tx_t& newTx(bool client, TxKind kind, const Message& request);
    void dropTx(int tid);
    void txGone(int tid);
    // Hands a request to the stack thread on a new client transaction.
    int sendClient(TxKind kind, Message request, int cid, int did, int rid, bool keep_via = false);
    void sendServer(tx_t& tx, Message response, bool retransmit_2xx);
    void sendStateless(Message msg);
    // The transport a request leaves on: the one its next hop names, else
    // the dialog's, else UDP when we listen on it, else our first one.
    sipcore::TransportType transportFor(const Message& request, const dialog_t* d) const;
    std::string newVia(sipcore::TransportType type) const;
    void addVia(Message& request, sipcore::TransportType type) const;
    void post(std::unique_ptr<event_t> ev);
    std::unique_ptr<event_t> makeEvent(EventType type, const tx_t* tx);
    int startTimer(int64_t delay_ms, std::function<void()> fn);
    void cancelTimer(int id);
    void clientFailed(tx_t& tx, int error);  // time-out or transport error: no response
    // Answers a 401/407 on request and keeps the challenge for the later
    // requests of that Call-ID; 0 or <0 (no credentials).
    int answerChallenge(Message& request, const Message& challenge);
    // Counts a 401/407 about to be answered; false when its tries are used up.
    bool countChallenge(const Message& challenge, int& tries, int& stale_tries) const;
    // Credentials up front, from the last challenge answered for its Call-ID.
    void addKnownCredentials(Message& request);
    void handleRequest(tx_t& tx, const sipcore::request_info_t& info);
    void handleResponse(tx_t& tx, Message response);
    void outOfDialogRequest(tx_t& tx);
    void messageResponse(tx_t& tx, const Message& response);
    int answerBare(tx_t& tx, int status);
    Message buildAnswerFor(const tx_t& tx, int status, const std::string& to_tag, bool contact) const;

    // ---- call.cpp ----
    call_t* callById(int cid);
    dialog_t* dialogById(int did);
    dialog_t* dialogFor(const Message& msg, bool incoming);
    dialog_t& newDialog(call_t& call, bool uac, const Message& request, const Message* response);
    void incomingInvite(tx_t& tx);
    void incomingReinvite(tx_t& tx, dialog_t& d);
    void incomingCancel(tx_t& tx, int invite_stid);
    void inDialogRequest(tx_t& tx, dialog_t& d);
    void incomingBye(tx_t& tx, dialog_t& d);
    void inviteResponse(tx_t& tx, Message response);
    void inDialogResponse(tx_t& tx, Message response);
    void inDialogFailed(tx_t& tx, int error);
    void incomingAck(Message ack);
    void stampSdp(dialog_t& d, Message& msg);
    int sendInDialog(dialog_t& d, Message msg, bool internal);
    void confirmUac(call_t& call, dialog_t& d, const tx_t& tx, const Message& response);
    bool retryInvite(tx_t& tx, call_t& call, const Message& response);
    void inviteFailedNoResponse(tx_t& tx, int error);
    void ackAndBye(dialog_t& d);
    void reinviteResponse(tx_t& tx, call_t& call, Message response);
    struct glare_retry_t {
        std::shared_ptr<Message> request;
        int tries;
        bool internal;
    };
    void glareRetryLater(dialog_t& d, const tx_t& tx, bool call_id_ours);
    void glareRetry(int did, const glare_retry_t& retry);
    void notifyReceived(dialog_t& d, const Message& notify);
    Message buildAck(dialog_t& d, const tx_t& invite_tx);
    Message buildInDialog(dialog_t& d, const std::string& method);
    void sendBye(dialog_t& d, const std::string& reason);
    // Ends the dialog; release: the call goes too when nothing of it is left.
    void endDialog(dialog_t& d, bool release);
    void maybeRelease(call_t& call);
    void releaseCall(call_t& call);
    void sentInviteAnswer(tx_t& tx, const Message& response);
    void strayInvite2xx(const Message& response);
    void ackTimeout(const Message& response);
    std::string contactFor(const std::string& user, sipcore::TransportType type) const;

    // ---- session_timer.cpp ----
    bool refuseShortSession(tx_t& tx);
    void sessionTimerFromRequest(dialog_t& d, const Message& request, Message& answer);
    void sessionTimerFromAnswer(dialog_t& d, const Message& response);
    void sessionTimerArm(dialog_t& d);
    void sessionRefresh(int did);

    // ---- refer.cpp ----
    void armImplicitSubscription(dialog_t& d, const Message& message);
    bool subscriptionAlive(const dialog_t& d) const;
    bool txByDialogPending(int did);

    // ---- registration.cpp ----
    registration_t* regById(int rid);
    void registerResponse(tx_t& tx, Message response);
    void registerFailed(tx_t& tx, int error);
    void registerRefresh(int rid);
    void registerSendNow(registration_t& r, Message msg);
    bool settleRemoval(registration_t& r);
    void forgetRegistration(int rid);

    agent_config_t cfg;
    std::mutex m;  // the layer's one lock: guards everything below
    EventQueue events;
    std::string local_host = "127.0.0.1";
    int local_port = 5060;
    sipcore::TransportType local_transport = sipcore::TransportType::UDP;
    std::map<sipcore::TransportType, int> listen_ports;  // every transport we listen on
    int next_id = 0;   // cid, did, sid, nid
    int next_tid = 0;
    int next_rid = 0;
    int next_timer = 0;
    std::map<int, std::unique_ptr<tx_t>> txs;
    std::map<int, int> stack_tids;  // core tid -> tid
    std::map<int, int> early_errors;  // core tid -> error, reported before the tid was known
    std::map<int, std::unique_ptr<call_t>> calls;
    std::map<int, std::unique_ptr<dialog_t>> dialogs;
    std::map<int, std::unique_ptr<registration_t>> regs;
    CredentialStore credentials;
    struct answered_challenge_t {
        Message challenge;
        unsigned nc = 1;
        std::string cnonce;
    };
    std::map<std::string, answered_challenge_t> answered;  // Call-ID -> the last challenge we answered
    struct timer_t_ {
        int64_t at;
        std::function<void()> fn;
    };
    std::map<int, timer_t_> timers;
    std::unique_ptr<sipcore::Stack> stk;  // last: its thread calls into the members above
};

}  // namespace sipagent
