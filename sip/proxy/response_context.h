// The targets of one request and the branches forwarded to them. Targets
// wait in queues; the queue in front is forked in parallel, the next queue is
// tried when every branch of the current one failed. Responses are chosen
// and forwarded upstream as RFC 3261 16.7 says.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sip/core/message.h"
#include "sip/core/name_addr.h"
#include "sip/proxy/target.h"

namespace sipproxy {

class RequestContext;

class ResponseContext {
public:
    explicit ResponseContext(RequestContext& owner) : owner(owner) {}
    ~ResponseContext();
    ResponseContext(const ResponseContext&) = delete;
    ResponseContext& operator=(const ResponseContext&) = delete;

    // One queue holding one target; high_priority puts it in front.
    void addTarget(const sipcore::NameAddr& target, bool high_priority = false);
    void addTarget(std::unique_ptr<Target> target, bool high_priority = false);
    // One queue whose targets are forked in parallel.
    void addTargetBatch(std::vector<std::unique_ptr<Target>> batch, bool high_priority = false);

    using queue_t = std::vector<std::unique_ptr<Target>>;
    std::deque<queue_t>& pendingQueues() { return queues; }
    bool hasCandidates() const { return !queues.empty(); }
    bool hasActiveBranches() const;
    bool hasTargets() const { return hasCandidates() || !branches.empty(); }
    // Forwards the request to every target of the front queue; the number of
    // branches started. Nothing starts once the request is cancelled or answered.
    int beginClientTransactions();

private:
    friend class Proxy;
    struct branch_t {
        int tid = 0;
        std::unique_ptr<Target> target;
        // What a CANCEL of this branch copies from the forwarded request.
        std::string ruri, via, from, to, call_id;
        std::vector<std::string> routes;
        unsigned cseq = 0;
        bool invite = false;
        bool provisional = false;  // a 1xx above 100 came back
        bool cancel_pending = false;
        bool cancel_sent = false;
        bool done = false;  // a final response (or its stand-in) came back
        int timer_c = 0;
    };

    int startBranch(std::unique_ptr<Target> target);
    branch_t* branchOf(int tid);
    void onResponse(int tid, sipcore::Message response);
    void onFailure(int tid, int code);  // timeout or transport error, as a response with that code
    void onTimerC(int tid);
    // Cancels every branch still open (now, or once it has sent a 1xx).
    void cancelBranches();
    void sendCancel(branch_t& b);
    void branchDone(branch_t& b);
    // After a branch ended: next queue, or the best response upstream.
    void advance(size_t target_from = 0);
    void keepBest(sipcore::Message response);
    void sendBest();
    bool complete() const;

    RequestContext& owner;
    std::deque<queue_t> queues;
    std::vector<branch_t> branches;
    sipcore::Message best;
    bool forwarded_2xx = false;
    bool got_6xx = false;
    bool started = false;  // some branch was tried
};

// RFC 3261 16.7: how good a final response is for forwarding upstream;
// higher wins. 6xx beats everything; then the lowest class, with 401, 407,
// 415, 420 and 484 preferred among 4xx and 503 last among 5xx.
int response_rank(int code);

}  // namespace sipproxy
