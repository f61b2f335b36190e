#include "proxy/my_accounting.h"

#include <syslog.h>

#include <ctime>

#include "core/global_flags.h"
#include "core/json_value.h"
#include "core/log.h"
#include "core/scheduler.h"
#include "mgmt/fpga.h"
#include "mgmt/var_store.h"
#include "proxy/repro_api.h"
#include "sip/core/name_addr.h"
#include "sip/proxy/proxy.h"
#include "sip/proxy/request_context.h"

std::map<std::string, AccountingSession> accountingSessions;
Mutex accountingMutex;

namespace {

uint64_t last_serial = 0;   // accountingMutex
int cdr_counter = 0;        // accountingMutex

int32_t now_sec() { return static_cast<int32_t>(time(nullptr)); }

std::string port_text(const sipcore::Uri& uri)
{
    int port = uri.port();
    return port > 0 ? std::to_string(port) : std::string();
}

std::string unquoted(std::string name)
{
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
    return name;
}

// The first Contact is the gateway's own user agent.
bool from_user_agent(const sipcore::Message& m)
{
    std::vector<sipcore::NameAddr> contacts = m.nameAddrs("Contact");
    if (contacts.empty() || !contacts.front())
        return false;
    sipcore::Uri u = contacts.front().uri();
    return u && u.host() == "127.0.0.1" && u.port() == 6060;
}

bool identity(const sipcore::Message& m, const char* header, std::string& name, std::string& user)
{
    std::vector<sipcore::NameAddr> list = m.nameAddrs(header);
    if (list.empty() || !list.front())
        return false;
    sipcore::Uri u = list.front().uri();
    if (!u)
        return false;
    name = unquoted(list.front().displayName());
    user = u.user();
    return true;
}

void relay_on_timeout(void* argument);

// Called with accountingMutex held when session no longer holds the relay.
void release_relay(AccountingSession& s, int level, const char* message)
{
    if (s.relayTimer) {
        sched_cancel_timer(main_scheduler, s.relayTimer);
        s.relayTimer = 0;
    }
    bool was_on = s.relayOn;
    s.relayOn = false;
    if (!was_on)
        return;
    for (const auto& [id, other] : accountingSessions)
        if (other.relayOn)
            return;
    LOG(LOGF_GENERAL, level, "%s", message);
    fpga_write_reg(BELL_RELAY_REGISTER, 0);
}

void start_relay_timer(AccountingSession& s, const sipcore::Message& invite, sipproxy::RequestContext& context)
{
    sipcore::Uri aor = invite.requestUri();
    if (!aor || !context.getProxy().isMyUri(aor))
        return;
    int delay = 0;
    {
        MutexLock g(proxyMutex);
        auto it = proxyUserOptions.find(aor.user());
        if (it == proxyUserOptions.end() || it->second.bellDelay == 0)
            return;
        delay = it->second.bellDelay;
    }
    // the serial, not the session's address: a later session may reuse it
    sched_add_timer(main_scheduler, "gb_timer", delay * 1000, relay_on_timeout,
                    reinterpret_cast<void*>(static_cast<uintptr_t>(s.serial)), &s.relayTimer);
    LOG(LOGF_GENERAL, LOG_ERR, "--->  gb timer START");
}

void relay_on_timeout(void* argument)
{
    auto serial = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(argument));
    MutexLock g(accountingMutex);
    for (auto& [id, s] : accountingSessions) {
        if (s.serial != serial)
            continue;
        s.relayTimer = 0;
        s.relayOn = true;
        LOG(LOGF_GENERAL, LOG_INFO, "relay ON");
        fpga_write_reg(BELL_RELAY_REGISTER, 1);
        return;
    }
}

void session_created(const sipcore::Message& invite, const std::string& call_id, sipproxy::RequestContext& context)
{
    std::string branch = invite.topBranch();
    MutexLock g(accountingMutex);
    auto [it, created] = accountingSessions.try_emplace(call_id);
    AccountingSession& s = it->second;
    if (created) {
        LOG(LOGF_GENERAL, LOG_INFO, "doSessionAccounting(): Session Created '%s'", branch.c_str());
        s.serial = ++last_serial;
        s.branch = branch;
        s.start = now_sec();
        if (sipcore::NameAddr to = invite.to(); to && to.uri()) {
            sipcore::Uri u = to.uri();
            if (std::string name = unquoted(to.displayName()); !name.empty())
                s.toName = name;
            s.toScheme = u.scheme();
            s.toUser = u.user();
            s.toHost = u.host();
            s.toPort = port_text(u);
        }
        switch (globalFlags.load() & 0x700) {
        case 0x000:
            get_rpid_identity(invite, s.fromName, s.fromUser) || get_pai_identity(invite, s.fromName, s.fromUser) ||
                get_from_identity(invite, s.fromName, s.fromUser);
            break;
        case 0x100:
            get_pai_identity(invite, s.fromName, s.fromUser) || get_rpid_identity(invite, s.fromName, s.fromUser) ||
                get_from_identity(invite, s.fromName, s.fromUser);
            break;
        case 0x200:
            get_rpid_identity(invite, s.fromName, s.fromUser) || get_from_identity(invite, s.fromName, s.fromUser);
            break;
        case 0x300:
            get_pai_identity(invite, s.fromName, s.fromUser) || get_from_identity(invite, s.fromName, s.fromUser);
            break;
        case 0x400:
            get_from_identity(invite, s.fromName, s.fromUser);
            break;
        default:
            break;
        }
        if (sipcore::NameAddr from = invite.from(); from && from.uri()) {
            sipcore::Uri u = from.uri();
            s.fromScheme = u.scheme();
            s.fromHost = u.host();
            s.fromPort = port_text(u);
        }
        if (from_user_agent(invite)) {
            s.fromScheme = "tel";
            if (std::string type = invite.header("X-Endpoint-Type"); !type.empty())
                s.fromType = type;
        }
    }
    if (!s.relayTimer && !s.relayOn)
        start_relay_timer(s, invite, context);
    context.sessionCreated = true;
}

void session_answered(const sipcore::Message& answer, const std::string& call_id, sipproxy::RequestContext& context)
{
    MutexLock g(accountingMutex);
    auto it = accountingSessions.find(call_id);
    if (it == accountingSessions.end()) {
        LOG(LOGF_GENERAL, LOG_ERR, "doSessionAccounting(): session %s not found", call_id.c_str());
        return;
    }
    AccountingSession& s = it->second;
    std::string branch = answer.topBranch();
    if (s.branch != branch)
        return;
    LOG(LOGF_GENERAL, LOG_INFO, "doSessionAccounting(): Session Established '%s'", branch.c_str());
    s.answer = now_sec();
    if (from_user_agent(answer)) {
        s.toScheme = "tel";
        if (std::string type = answer.header("X-Endpoint-Type"); !type.empty())
            s.toType = type;
    }
    std::vector<sipcore::NameAddr> asserted = answer.nameAddrs("P-Asserted-Identity");
    if (asserted.empty() || !asserted.front() || !asserted.front().uri())
        asserted = answer.nameAddrs("P-Preferred-Identity");
    if (!asserted.empty() && asserted.front() && asserted.front().uri()) {
        sipcore::Uri u = asserted.front().uri();
        s.toName = unquoted(asserted.front().displayName());
        s.toScheme = u.scheme();
        s.toUser = u.user();
        s.toHost = u.host();
        s.toPort = port_text(u);
    }
    context.sessionEstablished = true;
    release_relay(s, LOG_ERR, "--->  gb relay OFF");
}

enum class drop_t { Redirected, Refused, Cancelled };

// A redirect, refusal or CANCEL of the call's own INVITE ends it without a record.
void session_dropped(const std::string& call_id, const std::string& branch, drop_t why)
{
    MutexLock g(accountingMutex);
    auto it = accountingSessions.find(call_id);
    if (it == accountingSessions.end()) {
        if (why != drop_t::Refused)
            LOG(LOGF_GENERAL, why == drop_t::Cancelled ? LOG_DEBUG : LOG_ERR,
                "doSessionAccounting(): session %s not found", call_id.c_str());
        return;
    }
    if (it->second.branch != branch)
        return;
    if (why == drop_t::Redirected)
        LOG(LOGF_GENERAL, LOG_INFO, "doSessionAccounting(): Session Redirected");
    else if (why == drop_t::Cancelled)
        LOG(LOGF_GENERAL, LOG_INFO, "doSessionAccounting(): Session Cancelled '%s'", branch.c_str());
    AccountingSession s = std::move(it->second);
    accountingSessions.erase(it);
    release_relay(s, LOG_INFO, "relay OFF");
}

void session_ended(const sipcore::Message& bye, const std::string& call_id)
{
    MutexLock g(accountingMutex);
    auto it = accountingSessions.find(call_id);
    if (it == accountingSessions.end())
        return;
    AccountingSession s = std::move(it->second);
    accountingSessions.erase(it);
    LOG(LOGF_GENERAL, LOG_INFO, "doSessionAccounting(): Session Ended '%s'", bye.topBranch().c_str());
    s.hangup = now_sec();
    LOG(LOGF_GENERAL, LOG_INFO, "--> duration=%d, [%s]%s:%s@%s:%s ---> [%s]%s:%s@%s:%s", s.hangup - s.answer,
        s.fromType.c_str(), s.fromScheme.c_str(), s.fromUser.c_str(), s.fromHost.c_str(), s.fromPort.c_str(),
        s.toType.c_str(), s.toScheme.c_str(), s.toUser.c_str(), s.toHost.c_str(), s.toPort.c_str());
    write_cdr(s);
    // a call hung up while the bell still rang must not leave it ringing
    release_relay(s, LOG_INFO, "relay OFF");
}

}  // namespace

bool get_from_identity(const sipcore::Message& message, std::string& name, std::string& user)
{
    return identity(message, "From", name, user);
}

bool get_rpid_identity(const sipcore::Message& message, std::string& name, std::string& user)
{
    return identity(message, "Remote-Party-ID", name, user);
}

bool get_pai_identity(const sipcore::Message& message, std::string& name, std::string& user)
{
    return identity(message, "P-Asserted-Identity", name, user);
}

void write_cdr(const AccountingSession& s)
{
    JsonValue v;
    auto integer = [&](const char* key, int value) {
        JsonValue& m = v[key];
        m.kind = JSON_INTEGER;
        m.integer = value;
    };
    auto optional = [&](const char* key, const std::string& value) {
        if (!value.empty())
            v[key].setString(value);
    };
    v["type"].setString(s.fromType);
    integer("answer", s.answer);
    integer("hangup", s.hangup);
    integer("duration", s.hangup - s.answer);
    // one party: type, name and port only when known
    auto party = [&](const std::string& prefix, const std::string* fields) {
        static const char* const keys[] = {"type", "name", "scheme", "user", "host", "port"};
        for (int i = 0; i < 6; ++i) {
            bool always = i >= 2 && i <= 4;
            if (always)
                v[prefix + keys[i]].setString(fields[i]);
            else
                optional((prefix + keys[i]).c_str(), fields[i]);
        }
    };
    const std::string org[] = {s.fromType, s.fromName, s.fromScheme, s.fromUser, s.fromHost, s.fromPort};
    const std::string to[] = {s.toType, s.toName, s.toScheme, s.toUser, s.toHost, s.toPort};
    party("org-", org);
    party("to-", to);

    int n = ++cdr_counter;
    if (cdr_counter == 255)
        cdr_counter = 0;
    std::string text = v.toString(0);
    LOG(LOGF_GENERAL, LOG_INFO, "--> CDR: %s", text.c_str());
    poller_publish_var(".10." + std::to_string(n) + ".1.0", MyVarValue(text));
}

void MyAccountingCollector::doSessionAccounting(const sipcore::Message& m, bool received,
                                                sipproxy::RequestContext& context)
{
    std::string method = m.method();
    bool request = m.isRequest();
    bool relevant = request ? received && (method == "INVITE" ? m.toTag().empty() : method == "BYE" || method == "CANCEL")
                            : !received && method == "INVITE" && m.statusCode() >= 200 && m.statusCode() < 700;
    if (!relevant)
        return;
    std::string call_id = m.callId();
    if (call_id.empty()) {
        LOG(LOGF_GENERAL, LOG_ERR, "doSessionAccounting(): missing proper callId header");
        return;
    }
    if (request) {
        if (method == "INVITE")
            session_created(m, call_id, context);
        else if (method == "BYE")
            session_ended(m, call_id);
        else
            session_dropped(call_id, m.topBranch(), drop_t::Cancelled);
        return;
    }
    int code = m.statusCode();
    if (code < 300)
        session_answered(m, call_id, context);
    else
        session_dropped(call_id, m.topBranch(), code < 400 ? drop_t::Redirected : drop_t::Refused);
}
