#include "msp/sip_channel.h"

#include <cstdlib>

#include "core/json_value.h"
#include "core/log.h"
#include "ua/user_agent.h"

namespace {

const sip_channel_ua_t real_ua = {
    ua_register, ua_unregister, ua_get_host_from_uri, ua_hangup, ua_answer, ua_reinvite, ua_refer_to,
};
const sip_channel_ua_t* current_ua = &real_ua;

std::string string_key(const JsonValue& settings, const char* name, const char* fallback)
{
    const JsonValue* v = settings.find(name);
    return v && v->kind == JSON_STRING ? v->text : std::string(fallback);
}

// Stores value and tells whether it changed anything.
template <typename T>
bool store(T& member, const T& value)
{
    if (member == value)
        return false;
    member = value;
    return true;
}

bool read_account(const AbstractChannel* channel, ua_sip_account_t* account)
{
    auto* c = dynamic_cast<const SIPChannel*>(channel);
    if (!c)
        return false;
    account->timeslot = c->timeslot;
    account->uri = c->uri;
    account->registrar = c->registrar;
    account->authname = c->authName;
    account->password = c->password;
    account->realm = c->realm;
    account->realname = c->realName;
    account->proxy = c->proxy;
    account->expires = c->expires;
    account->transport = c->transport;
    account->se = c->sessionExpires;
    account->local_identity = c->getLocalIdentity();
    return true;
}

}  // namespace

void sip_channel_set_ua(const sip_channel_ua_t* ua) { current_ua = ua ? ua : &real_ua; }
const sip_channel_ua_t& sip_channel_ua() { return *current_ua; }
void sip_channel_install_account_reader() { ua_set_sip_account_reader(read_account); }

void sip_codecs_flags(const std::string& codecs, bool* vbd, bool* t38)
{
    *vbd = false;
    *t38 = false;
    const char* p = codecs.c_str();
    for (;;) {
        while (*p == ' ' || *p == '\t')
            p++;
        char* end = nullptr;
        long n = strtol(p, &end, 10);
        if (end == p)
            return;
        if (n == 98)
            *vbd = true;
        else if (n == 991)
            *t38 = true;
        p = end;
    }
}

void sip_split_cid_replace(const std::string& text, std::string* pattern, std::string* replacement)
{
    if (text.size() > 1 && text[0] == '/') {
        for (size_t i = 1; i < text.size(); i++) {
            if (text[i] == '\\') {
                i++;
                continue;
            }
            if (text[i] == '/') {
                *pattern = text.substr(1, i - 1);
                *replacement = text.substr(i + 1);
                return;
            }
        }
    }
    *pattern = text;
    replacement->clear();
}

SIPChannel::SIPChannel(int timeslot_) : ComcertoChannel(timeslot_) {}

SIPChannel::~SIPChannel()
{
    // Nothing may call back into the channel once it is gone, and calls
    // with nothing behind them must not stay up.
    for (CallRecord* r : {&activeCall, &heldCall}) {
        cancelCallTimer(*r);
        if (r->callId >= 0) {
            int result = current_ua->hangup(r->callId, "");
            if (result < 0)
                LOG(LOGF_GENERAL, 3, "ts %d: ua_hangup() error %d", timeslot, result);
            r->callId = -1;
        }
    }
    if (registrationId >= 0)
        current_ua->unreg(registrationId, authName, realm);
}

std::string SIPChannel::formatNameAddr(const std::string& name, const std::string& number)
{
    return name.empty() ? number : name + " <" + number + ">";
}

std::string SIPChannel::getLocalIdentity() const
{
    if (realName.empty())
        return "<sip:" + uri + ">";
    std::string name;
    for (char c : realName) {
        if (c == '\\' || c == '"')
            name += '\\';
        name += c;
    }
    return "\"" + name + "\" <sip:" + uri + ">";
}

void SIPChannel::setSettings(const JsonValue& settings)
{
    ComcertoChannel::setSettings(settings);
    int oldTransport = transport;
    bool changed = false;

    const JsonValue* u = settings.find("uri");
    if (u && u->kind == JSON_STRING && u->text != uri) {
        uri = u->text;
        uriHost = current_ua->host_from_uri(uri);
        changed = true;
    }
    changed |= store(transport, int_key(settings, "transport", 0));
    changed |= store(authName, string_key(settings, "authname", ""));
    changed |= store(password, string_key(settings, "password", ""));
    changed |= store(realm, string_key(settings, "realm", ""));
    changed |= store(registrar, string_key(settings, "registrar", ""));
    changed |= store(expires, int_key(settings, "expires", 3600));
    realName = string_key(settings, "realname", "");
    toDomain = string_key(settings, "to-domain", "");
    changed |= store(proxy, string_key(settings, "proxy", ""));
    sipFlags = int_key(settings, "sipflags", 0);

    codecs = string_key(settings, "codecs", SIP_DEFAULT_CODECS);
    sip_codecs_flags(codecs, &vbdAllowed, &t38Allowed);

    connLimit = int_key(settings, "conn-limit", 0);
    rtpTimeout = int_key(settings, "rtp-timeout", 0);
    if (rtpTimeout > SIP_RTP_TIMEOUT_MAX)
        rtpTimeout = SIP_RTP_TIMEOUT_MAX;
    sessionExpires = int_key(settings, "se", 0);

    cidReplace = string_key(settings, "cid-replace", "");
    std::string pattern;
    sip_split_cid_replace(cidReplace, &pattern, &cidReplacement);
    cidPattern = PcreRe(pattern);
    if (!cidPattern.ok())
        LOG(LOGF_GENERAL, 4, "ts %d: cid-replace pattern \"%s\" does not compile: %s; caller numbers stay as they are",
            timeslot, pattern.c_str(), cidPattern.error().c_str());

    if (changed)
        reregister(oldTransport);
}

void SIPChannel::unregisterAccount(int)
{
    // The user agent finds the registration by its id; the transport it was
    // made on does not name it.
    if (registrationId >= 0)
        current_ua->unreg(registrationId, authName, realm);
}

void SIPChannel::reregister(int oldTransport)
{
    unregisterAccount(oldTransport);
    reged.set(false);
    registrationId = current_ua->reg(this);
}

void SIPChannel::getSettings(JsonValue& out) const
{
    ComcertoChannel::getSettings(out);
    out["uri"] = json_string(uri);
    out["proxy"] = json_string(proxy);
    out["to-domain"] = json_string(toDomain);
    out["realname"] = json_string(realName);
    out["registrar"] = json_string(registrar);
    out["authname"] = json_string(authName);
    out["password"] = json_string(password);
    if (!realm.empty())
        out["realm"] = json_string(realm);
    out["expires"] = json_int(expires);
    out["transport"] = json_int(transport);
    if (sipFlags != 0)
        out["sipflags"] = json_int(sipFlags);
    if (connLimit != 0)
        out["conn-limit"] = json_int(connLimit);
    if (sessionExpires != 0)
        out["se"] = json_int(sessionExpires);
    if (codecs != SIP_DEFAULT_CODECS)
        out["codecs"] = json_string(codecs);
    if (rtpTimeout != 0)
        out["rtp-timeout"] = json_int(rtpTimeout);
    if (!cidReplace.empty())
        out["cid-replace"] = json_string(cidReplace);
}

void SIPChannel::getStatus(JsonValue& out) const
{
    JsonValue flag;
    flag.kind = JSON_BOOL;
    flag.boolean = secure.get();
    out["secure"] = flag;
    const char* state = getStateName();
    out["state"] = json_string(state ? state : "");
    out["codec"] = json_string(codecStatus.get());
    flag.boolean = reged.get();
    out["reged"] = flag;
    const std::string& callerAddr =
        activeCall.callerAddress.empty() ? activeCall.callerNumber.get() : activeCall.callerAddress.get();
    out["caller"] = json_string(formatNameAddr(activeCall.callerName.get(), callerAddr));
    out["callee"] = json_string(formatNameAddr(activeCall.calleeName.get(), activeCall.calleeNumber.get()));
}
