#include "proxy/dialog_tracker.h"

#include <syslog.h>

#include <ctime>

#include "core/log.h"
#include "proxy/repro_api.h"
#include "proxy/repro_runner.h"
#include "sip/proxy/request_context.h"

using sipproxy::processor_action_t;

namespace {

void record(DialogTable& table, const sipcore::Message& invite)
{
    sipcore::via_t via = invite.via(0);
    std::string call_id = invite.callId();
    if (invite.viaCount() == 0 || call_id.empty()) {
        LOG(LOGF_GENERAL, LOG_ERR, "DialogTracker::process(): no Via header in initial INVITE!");
        return;
    }
    if (via.branch.empty()) {
        LOG(LOGF_GENERAL, LOG_ERR, "DialogTracker::process(): no branch in top Via header in initial INVITE!");
        return;
    }
    auto now = static_cast<int32_t>(time(nullptr));
    MutexLock g(table.mutex);
    if (now - table.lastPrune >= 60 || now < table.lastPrune) {
        table.lastPrune = now;
        for (auto it = table.dialogs.begin(); it != table.dialogs.end();)
            it = now - it->second.time > DialogTracker::stale_after_sec ? table.dialogs.erase(it) : std::next(it);
    }
    TrackedDialog& d = table.dialogs[{call_id, via.branch}];
    d.callee = invite.requestUri().aorNoPort();
    d.time = now;
    sipcore::NameAddr from = invite.from(), to = invite.to();
    sipcore::Uri from_uri = from ? from.uri() : sipcore::Uri(), to_uri = to ? to.uri() : sipcore::Uri();
    if (from_uri && to_uri) {
        d.from = from_uri.toString();
        d.fromTag = from.tag();
        d.to = to_uri.toString();
    }
}

void answer(DialogTable& table, const sipcore::Message& response)
{
    std::string call_id = response.callId();
    if (call_id.empty())
        return;
    int code = response.statusCode();
    sipcore::NameAddr to = response.to();
    sipcore::Uri to_uri = to ? to.uri() : sipcore::Uri();
    for (size_t i = 0; i < response.viaCount(); ++i) {
        sipcore::via_t via = response.via(i);
        if (via.branch.empty())
            continue;
        MutexLock g(table.mutex);
        auto it = table.dialogs.find({call_id, via.branch});
        if (it == table.dialogs.end())
            continue;
        if (code >= 200)
            table.dialogs.erase(it);
        else if (code >= 100 && to_uri && to_uri.toString() == it->second.to && !to.tag().empty())
            it->second.toTag = to.tag();
    }
}

}  // namespace

processor_action_t DialogTracker::process(sipproxy::RequestContext& context)
{
    const sipcore::Message* response = context.getCurrentResponse();
    const sipcore::Message& msg = response ? *response : context.getOriginalRequest();
    if (!msg || msg.method() != "INVITE")
        return processor_action_t::Continue;
    if (msg.isResponse())
        answer(*table, msg);
    else if (msg.toTag().empty())
        record(*table, msg);
    return processor_action_t::Continue;
}

std::string find_intercept_dialog(MyReproRunner* runner, const std::string& group, std::set<std::string>& members)
{
    auto& users = runner->stores().users;
    for (std::string key = users.getFirstKey(); !key.empty(); key = users.getNextKey(key)) {
        sipproxy::user_record_t r;
        if (users.getUserInfo(key, &r) && r.email == group)
            members.insert(key);
    }
    if (members.empty())
        return {};
    DialogTable& table = runner->dialogTable();
    MutexLock g(table.mutex);
    const DialogTable::key_t* best = nullptr;
    const TrackedDialog* winner = nullptr;
    for (const auto& [key, d] : table.dialogs) {
        if (d.toTag.empty() || !members.count(d.callee))
            continue;
        // the call ringing longest; on a tie the later one in key order
        if (!winner || d.time <= winner->time) {
            best = &key;
            winner = &d;
        }
    }
    if (!winner)
        return {};
    sipcore::Uri uri = sipcore::Uri::parse(winner->from);
    if (!uri)
        return {};
    // the tags as the caller's side sees the dialog
    uri.addEmbeddedHeader("Replaces",
                          best->first + ";to-tag=" + winner->fromTag + ";from-tag=" + winner->toTag + ";early-only");
    return uri.toString();
}

std::string repro_find_dialog(const std::string& group, std::set<std::string>& members)
{
    MutexLock g(proxyMutex);
    if (!reproRunner || !reproRunner->running())
        return {};
    return find_intercept_dialog(reproRunner, group, members);
}
