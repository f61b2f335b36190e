// REFER and NOTIFY in a call, the implicit subscription that keeps a dialog
// usable for NOTIFY after BYE, and the Replaces/Refer-To helpers.
#include <algorithm>

#include "sip/agent/agent.h"

namespace sipagent {

using namespace sipcore;

int Agent::callBuildRefer(int did, const std::string& refer_to, Message* out)
{
    int rc = callBuildRequest(did, "REFER", out);
    if (rc < 0)
        return rc;
    out->addHeader("Refer-To", refer_to);
    return 0;
}

int Agent::callBuildNotify(int did, SubscriptionState state, Message* out)
{
    int rc = callBuildRequest(did, "NOTIFY", out);
    if (rc < 0)
        return rc;
    out->addHeader("Event", "refer");
    switch (state) {
    case SubscriptionState::Pending:
        out->addHeader("Subscription-State", "pending;expires=180");
        break;
    case SubscriptionState::Active:
        out->addHeader("Subscription-State", "active;expires=180");
        break;
    case SubscriptionState::Terminated:
        out->addHeader("Subscription-State", "terminated;reason=noresource");
        break;
    }
    return 0;
}

bool Agent::subscriptionAlive(const dialog_t& d) const
{
    return d.subscription_until > nowMs();
}

void Agent::armImplicitSubscription(dialog_t& d, const Message&)
{
    d.subscription_until = nowMs() + cfg.refer_subscription_s * 1000;
    cancelTimer(d.subscription_timer);
    int did = d.id;
    d.subscription_timer = startTimer(cfg.refer_subscription_s * 1000, [this, did] {
        dialog_t* d = dialogById(did);
        if (!d)
            return;
        d->subscription_timer = 0;
        d->subscription_until = 0;
        if (d->state == DialogState::Terminated && !(d->bye_sent && txByDialogPending(did)))
            endDialog(*d, true);
    });
}

bool Agent::txByDialogPending(int did)
{
    for (auto& [id, tx] : txs)
        if (tx->did == did && tx->client && !tx->final_done)
            return true;
    return false;
}

// A NOTIFY may shorten or end the subscription.
void Agent::notifyReceived(dialog_t& d, const Message& notify)
{
    std::string state = notify.header("Subscription-State");
    std::string lower = state;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    if (lower.rfind("terminated", 0) == 0) {
        d.subscription_until = 0;
        cancelTimer(d.subscription_timer);
        d.subscription_timer = 0;
        return;
    }
    size_t e = lower.find("expires=");
    if (e != std::string::npos && d.subscription_until) {
        long s = strtol(lower.c_str() + e + 8, nullptr, 10);
        if (s > 0 && s < 600) {
            cancelTimer(d.subscription_timer);
            d.subscription_until = 0;
            Message none;
            int64_t keep = cfg.refer_subscription_s;
            cfg.refer_subscription_s = s;
            armImplicitSubscription(d, none);
            cfg.refer_subscription_s = keep;
        }
    }
}

int Agent::callFindByReplaces(const std::string& replaces)
{
    std::string call_id, to_tag, from_tag;
    bool early_only = false;
    size_t start = 0;
    bool first = true;
    while (start <= replaces.size()) {
        size_t semi = replaces.find(';', start);
        std::string part = replaces.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
        part.erase(0, part.find_first_not_of(" \t"));
        part.erase(part.find_last_not_of(" \t") + 1);
        if (first)
            call_id = part;
        else if (part.rfind("to-tag=", 0) == 0)
            to_tag = part.substr(7);
        else if (part.rfind("from-tag=", 0) == 0)
            from_tag = part.substr(9);
        else if (part == "early-only")
            early_only = true;
        first = false;
        if (semi == std::string::npos)
            break;
        start = semi + 1;
    }
    if (call_id.empty())
        return -2;
    for (auto& [id, d] : dialogs) {
        if (d->call_id != call_id || d->state == DialogState::Terminated)
            continue;
        bool match = (d->local_tag == to_tag && d->remote_tag == from_tag) ||
                     (d->local_tag == from_tag && d->remote_tag == to_tag);
        if (!match)
            continue;
        if (early_only && d->state == DialogState::Confirmed)
            return -3;
        if (d->state == DialogState::Early && !d->uac)
            return -2;
        return d->cid;
    }
    return -6;
}

int Agent::callGetReferTo(int did, std::string* out)
{
    dialog_t* d = dialogById(did);
    if (!d)
        return -6;
    NameAddr remote = NameAddr::parse(d->remote_party);
    if (!remote)
        return -2;
    *out = remote.uri().toString() + "?Replaces=" + uri_escape_header_value(d->call_id) + "%3Bto-tag%3D" +
           d->remote_tag + "%3Bfrom-tag%3D" + d->local_tag;
    return 0;
}

}  // namespace sipagent
