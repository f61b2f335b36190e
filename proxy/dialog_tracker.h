// The calls ringing at each subscriber, with the tags of their early
// dialogs, for call pickup: one DialogTracker in each of the proxy's chains
// records initial INVITEs, keeps the To tag of provisional answers and
// forgets the call on its final answer.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "core/mutex.h"
#include "sip/proxy/processor.h"

class MyReproRunner;

struct TrackedDialog {
    std::string callee;   // Request-URI as user@host
    std::string from;     // From URI
    std::string to;       // To URI
    std::string fromTag;
    std::string toTag;    // of the latest provisional answer with one; "" until then
    int32_t time = 0;     // when the INVITE was (last) recorded, seconds since the epoch
};

struct DialogTable {
    // (Call-ID, branch of the INVITE's top Via).
    using key_t = std::pair<std::string, std::string>;
    Mutex mutex;   // recursive; taken after proxyMutex
    std::map<key_t, TrackedDialog> dialogs;
    int32_t lastPrune = 0;   // stale entries are looked for once a minute
};

class DialogTracker : public sipproxy::Processor {
public:
    explicit DialogTracker(DialogTable* table) : sipproxy::Processor("DialogTracker"), table(table) {}
    sipproxy::processor_action_t process(sipproxy::RequestContext& context) override;

    // A call whose transaction ended without a final answer through the
    // proxy (the stack answered it itself) is dropped after this long.
    static constexpr int32_t stale_after_sec = 3600;

private:
    DialogTable* table;
};

// Adds every user whose intercept group is group to members, then picks the
// call ringing longest at one of them: the caller's URI with an embedded
// Replaces of that early dialog, or "". proxyMutex held.
std::string find_intercept_dialog(MyReproRunner* runner, const std::string& group, std::set<std::string>& members);
