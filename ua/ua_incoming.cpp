// Incoming INVITEs: admission, the caller's identity, the call's record and
// the incoming-call event; INVITEs that replace a call; re-INVITEs.
#include <cctype>
#include <chrono>
#include <netinet/in.h>
#include <strings.h>
#include <thread>

#include <osipparser2/osip_message.h>

#include "core/channel_table.h"
#include "core/event_queue.h"
#include "core/global_flags.h"
#include "core/log.h"
#include "ua/call_data.h"
#include "ua/ua_context.h"
#include "ua/ua_events.h"
#include "ua/user_agent.h"

using sipagent::Agent;
using sipagent::event_t;
using sipcore::Message;
using sipcore::NameAddr;
using sipcore::Uri;

namespace {

ua_sip_account_reader_t account_reader = nullptr;  // set once at start-up

// Set when the main loop stayed behind for a whole admission wait; cleared by
// the first INVITE that finds it caught up. User-agent thread only.
bool main_loop_overloaded = false;

// A burst of calls (every line rung at once) puts the main loop a few dozen
// events behind for a moment; waiting for it to catch up turns that into
// latency instead of 503s. Only a backlog that outlasts the wait is overload,
// and while it lasts INVITEs are refused at once.
bool main_queue_admits()
{
    if (std_queue_count(event_queue) < UA_QUEUE_ADMISSION_LIMIT) {
        main_loop_overloaded = false;
        return true;
    }
    if (main_loop_overloaded)
        return false;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(UA_ADMISSION_WAIT_MS);
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (std_queue_count(event_queue) < UA_QUEUE_ADMISSION_LIMIT)
            return true;
    }
    main_loop_overloaded = true;
    return false;
}

enum class IdSource { Rpid, Pai, From };

// The "line" parameter as a channel number 0..255, or -1.
int line_number(const std::string& value)
{
    if (value.empty() || value.size() > 3)
        return -1;
    int n = 0;
    for (char c : value) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return -1;
        n = n * 10 + (c - '0');
    }
    return n <= 255 ? n : -1;
}

// The channel the "line" parameter names, when it holds the called user's account.
bool line_channel_accepts(int ts, const std::string& user)
{
    AbstractChannel* channel = channel_table[ts];
    ua_sip_account_t sip;
    if (!channel || !ua_read_sip_account(channel, &sip))
        return false;
    std::string account = sip.uri.substr(0, sip.uri.find('@'));
    return strcasecmp(account.c_str(), user.c_str()) == 0;
}

void caller_identity(const Message& invite, std::string& name, std::string& number)
{
    static const std::vector<IdSource> orders[] = {
        {IdSource::Rpid, IdSource::Pai, IdSource::From},  // 0x000
        {IdSource::Pai, IdSource::Rpid, IdSource::From},  // 0x100
        {IdSource::Rpid, IdSource::From},                 // 0x200
        {IdSource::Pai, IdSource::From},                  // 0x300
        {IdSource::From},                                 // 0x400
    };
    unsigned choice = (globalFlags.load() & 0x700) >> 8;
    if (choice >= std::size(orders))
        return;
    for (IdSource s : orders[choice]) {
        bool found = false;
        switch (s) {
        case IdSource::Rpid:
            found = ua_get_rpid(invite, name, number) == 1;
            break;
        case IdSource::Pai:
            found = ua_get_pai(invite, name, number) == 1;
            break;
        case IdSource::From: {
            NameAddr from = invite.from();
            number = from ? from.uri().user() : "";
            name = from ? from.displayName() : "";
            found = true;
            break;
        }
        }
        if (found)
            break;
    }
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
}

std::string caller_address(const Message& invite)
{
    NameAddr from = invite.from();
    if (!from)
        return "";
    Uri u = from.uri();
    if (u.user().empty() || u.host().empty())
        return "";
    return u.user() + "@" + u.host();
}

void send_bare_call_answer(Agent& ctx, int tid, int status)
{
    int r = ctx.callSendAnswer(tid, status, {});
    if (r != 0)
        LOG(LOGF_GENERAL, 3, "eXosip_call_send_answer() error: %d", r);
}

}  // namespace

void ua_set_sip_account_reader(ua_sip_account_reader_t reader)
{
    account_reader = reader;
}

bool ua_read_sip_account(const AbstractChannel* channel, ua_sip_account_t* account)
{
    return channel && account_reader && account_reader(channel, account);
}

void ua_incoming_invite(Agent& ctx, const event_t& ev)
{
    const Message& invite = ev.request;
    if (!invite)
        return;
    if (!main_queue_admits()) {
        std::lock_guard<std::mutex> g(ctx.mutex());
        send_bare_call_answer(ctx, ev.tid, 503);
        return;
    }

    UaOutbox out;  // queued after both locks are released
    MutexLock table(channel_table_mutex);
    std::unique_lock<std::mutex> lock(ctx.mutex());
    std::string local_ip = ua_guess_local_ip(AF_INET);
    Uri ruri = invite.requestUri();
    std::string call_id = invite.callId();
    std::string cid_number = "-", cid_host = "-";
    if (!call_id.empty()) {
        size_t at = call_id.find('@');
        cid_number = call_id.substr(0, at);
        if (at != std::string::npos)
            cid_host = call_id.substr(at + 1);
    }
    LOG(LOGF_GENERAL, 6, "INVITE received: %s (Call-ID: %s@%s)", ruri.toString().c_str(), cid_number.c_str(),
        cid_host.c_str());

    std::string host = ruri.host();
    if (host.empty() ||
        (strcasecmp(host.c_str(), local_ip.c_str()) != 0 && strcasecmp(host.c_str(), "127.0.0.1") != 0)) {
        send_bare_call_answer(ctx, ev.tid, 403);
        return;
    }
    std::string user = ruri.user();
    if (user.empty()) {
        send_bare_call_answer(ctx, ev.tid, 404);
        return;
    }

    int ts = -1;
    int replaced = 0;
    std::string codec_list, endpoint_type;
    std::string replaces = invite.header("Replaces");
    if (invite.hasHeader("Replaces")) {
        replaced = ctx.callFindByReplaces(replaces);
        if (replaced <= 0) {
            send_bare_call_answer(ctx, ev.tid, 481);
            return;
        }
        CallData* old = ua_call_data(replaced);
        if (!old) {
            LOG(LOGF_GENERAL, 3, "connection without reference!");
            send_bare_call_answer(ctx, ev.tid, 481);
            return;
        }
        ts = old->ts;
        codec_list = old->codec_list;
        endpoint_type = old->endpoint_type;
        int old_did = old->did;
        ctx.callSetReference(replaced, nullptr);
        int r = ctx.callTerminate(replaced, old_did);
        if (r < 0)
            LOG(LOGF_GENERAL, 3, "eXosip_call_terminate(%d, %d) error %d", replaced, old_did, r);
        ua_call_data_release(replaced);
    } else if (ruri.hasParam("line") && !ruri.param("line").empty()) {
        ts = line_number(ruri.param("line"));
        if (ts < 0 || !line_channel_accepts(ts, user)) {
            send_bare_call_answer(ctx, ev.tid, 404);
            return;
        }
    }

    std::string name, number;
    caller_identity(invite, name, number);
    std::string from = caller_address(invite);
    std::vector<std::string> contacts = invite.headers("Contact");
    std::vector<NameAddr> contact_addrs = invite.nameAddrs("Contact");
    std::string contact = contacts.empty() ? "" : contacts[0];
    bool is_focus = !contact_addrs.empty() && contact_addrs[0].hasParam("isfocus");

    CallData* call = ua_call_data_create(ev.cid, ts);
    call->did = ev.did;
    call->tid = ev.tid;
    ctx.callSetReference(ev.cid, call);
    ua_learn_remote_caps(*call, invite, true);

    if (!replaced) {
        auto* e = new call_event_t(-1, ev.cid);
        NameAddr from_header = invite.from();
        e->from = from;
        e->called = user;
        e->caller_name = name;
        e->caller_number = number;
        if (from_header) {
            Uri from_uri = from_header.uri();
            e->from_uri = from_uri.toString();
            e->cpc = from_uri.param("cpc");
            e->from_params = ua_uri_params(from_uri);
        }
        e->secure = strcasecmp(invite.header("X-Secure-Transport").c_str(), "yes") == 0;
        e->status = 404;
        e->redirect_contact = "";
        e->params = ua_uri_params(ruri);
        e->is_focus = is_focus;
        out.post(call, e);
        return;
    }

    call->codec_list = codec_list;
    call->endpoint_type = endpoint_type;
    auto* r = new call_replace_t;
    r->data = replaced;
    r->from = from;
    r->caller_name = name;
    r->caller_number = number;
    r->new_call_id = ev.cid;
    out.post(call, r);
    auto* a = new answer_event_t;
    a->data = ev.cid;
    a->contact = contact;
    a->is_focus = is_focus;
    out.post(call, a);
    lock.unlock();
    out.flush();
    ua_answer(ev.cid);
}

void ua_incoming_reinvite(Agent& ctx, const event_t& ev)
{
    MutexLock table(channel_table_mutex);
    std::string codecs;
    {
        std::lock_guard<std::mutex> g(ctx.mutex());
        CallData* call = ua_call_data(ev.cid);
        if (!call)
            return;
        codecs = call->codec_list;
    }
    if (ua_checkSupportedCodec(ev.cid, codecs))
        ua_answer(ev.cid);
    else
        ua_response_status(ev.cid, 488, 0, false, "", "");
}

std::map<std::string, std::string> ua_uri_params(const Uri& uri)
{
    std::map<std::string, std::string> out;
    if (!uri)
        return out;
    osip_list_t* l = &uri.raw()->url_params;
    for (int i = 0; i < osip_list_size(l); ++i) {
        auto* p = static_cast<osip_uri_param_t*>(osip_list_get(l, i));
        if (p && p->gname && p->gvalue && *p->gname)
            out[p->gname] = p->gvalue;
    }
    return out;
}
