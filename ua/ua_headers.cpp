// Header readers shared by the user agent's handlers, and the Contact fix-up.
#include <cctype>
#include <cstdlib>
#include <strings.h>

#include <osipparser2/osip_message.h>

#include "core/log.h"
#include "sip/core/name_addr.h"
#include "ua/call_data.h"
#include "ua/ua_context.h"
#include "ua/user_agent.h"

using sipcore::Message;
using sipcore::NameAddr;

namespace {

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string s)
{
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string upper(std::string s)
{
    for (char& c : s)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The first header of that name with a value: 0 without one, 1 with one.
int read_identity(const Message& message, const char* header, std::string& name, std::string& number)
{
    std::vector<std::string> values = message.headers(header);
    if (values.empty() || trim(values[0]).empty())
        return 0;
    NameAddr a = NameAddr::parse(values[0]);
    if (a && a.uri()) {
        name = a.displayName();
        number = a.uri().user();
    }
    return 1;
}

int location_of(const char* v, int current)
{
    static const struct {
        const char* name;
        int value;
    } names[] = {{"U", 0}, {"LPN", 1}, {"LN", 2}, {"TN", 3}, {"RLN", 4}, {"RPN", 5}, {"INTL", 7}, {"BI", 10}};
    for (const auto& n : names)
        if (strcasecmp(v, n.name) == 0)
            return n.value;
    if (strncasecmp(v, "LOC-", 4) == 0 && std::isdigit(static_cast<unsigned char>(v[4]))) {
        char* end = nullptr;
        long n = std::strtol(v + 4, &end, 10);
        if (*end == '\0' && n >= 0 && n <= 0xFFFF)
            return int(n);
    }
    return current;
}

}  // namespace

void ua_fix_contact(Message& message, bool focus)
{
    osip_message_t* m = message.raw();
    if (!m)
        return;
    auto* c = static_cast<osip_contact_t*>(osip_list_get(&m->contacts, 0));
    if (!c || !c->url)
        return;
    // osip's setters do not free what they replace
    osip_free(c->url->host);
    osip_free(c->url->port);
    osip_uri_set_host(c->url, osip_strdup(UA_LISTEN_ADDRESS));
    osip_uri_set_port(c->url, osip_strdup(std::to_string(UA_LISTEN_PORT).c_str()));
    if (focus) {
        int r = osip_contact_param_add(c, osip_strdup("isfocus"), nullptr);
        if (r != 0)
            LOG(LOGF_GENERAL, 3, "osip_contact_param_add() error %d", r);
    }
}

int ua_get_pai(const Message& message, std::string& name, std::string& number)
{
    return read_identity(message, "P-Asserted-Identity", name, number);
}

int ua_get_rpid(const Message& message, std::string& name, std::string& number)
{
    return read_identity(message, "Remote-Party-ID", name, number);
}

void ua_parse_reason(const Message* message, disconnect_event_t* event)
{
    if (!message || !message->valid() || !event)
        return;
    if (message->isResponse()) {
        event->sip_status = message->statusCode();
        event->reason = message->reason();
    }
    for (const std::string& value : message->headers("Reason")) {
        osip_accept_encoding_t* r = nullptr;
        if (osip_accept_encoding_init(&r) != 0)
            continue;
        if (osip_accept_encoding_parse(r, value.c_str()) != 0 || !r->element) {
            osip_accept_encoding_free(r);
            continue;
        }
        auto param = [&](const char* name) -> const char* {
            osip_generic_param_t* p = nullptr;
            osip_generic_param_get_byname(&r->gen_params, const_cast<char*>(name), &p);
            return p && p->gvalue ? p->gvalue : nullptr;
        };
        if (strcasecmp(r->element, "SIP") == 0) {
            if (const char* cause = param("cause"))
                event->sip_status = std::atoi(cause);
        } else if (strcasecmp(r->element, "Q.850") == 0) {
            if (const char* cause = param("cause"))
                event->q850_cause = std::atoi(cause);
            if (const char* location = param("location"))
                event->location = location_of(location, event->location);
        }
        osip_accept_encoding_free(r);
    }
}

std::string ua_unsupported_require(const Message& message)
{
    for (const std::string& raw : message.headers("Require")) {
        std::string tag = trim(raw);
        if (tag.empty())
            continue;
        if (strcasecmp(tag.c_str(), "replaces") != 0 && strcasecmp(tag.c_str(), "timer") != 0 &&
            strcasecmp(tag.c_str(), "100rel") != 0)
            return tag;
    }
    return "";
}

void ua_add_capabilities(Message& message)
{
    // As one line, exactly as written: osip would print each method as an
    // Allow header of its own.
    osip_header_t* allow = nullptr;
    if (message.raw() && osip_header_init(&allow) == 0) {
        allow->hname = osip_strdup("Allow");
        allow->hvalue = osip_strdup(UA_ALLOW);
        osip_list_add(&message.raw()->headers, allow, -1);
    }
    message.addHeader("Supported", UA_SUPPORTED);
}

void ua_learn_remote_caps(CallData& call, const Message& message, bool require)
{
    for (const std::string& v : message.headers("Supported"))
        if (std::string t = trim(v); !t.empty())
            call.remote_caps.insert(lower(t));
    for (const std::string& v : message.headers("Allow"))
        if (std::string t = trim(v); !t.empty())
            call.remote_caps.insert(upper(t));
    if (require)
        for (const std::string& v : message.headers("Require"))
            if (std::string t = trim(v); !t.empty())
                call.remote_require.insert(lower(t));
}

bool ua_call_supports(int call_id, const std::string& text)
{
    UaLock lock;
    if (!lock.ctx)
        return false;
    CallData* call = ua_call_data(call_id);
    return call && call->remote_caps.count(text) != 0;
}
