#include "sip/core/message.h"

#include "sip/core/address.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <random>
#include <strings.h>

#include <osipparser2/osip_parser.h>
#include <osipparser2/headers/osip_header.h>
#include <osipparser2/osip_port.h>

namespace sipcore {

namespace {

std::string or_empty(const char* s) { return s ? s : ""; }

std::string take(char* s)
{
    std::string r = or_empty(s);
    osip_free(s);
    return r;
}

template <typename T>
using to_str_fn = int (*)(const T*, char**);
template <typename T>
using free_fn = void (*)(T*);

// One typed list of osip_message_t, handled generically.
struct typed_list_t {
    const char* name;
    const char* compact;
    osip_list_t osip_message_t::*list;
    int (*to_str)(const void*, char**);
    void (*free)(void*);
};

template <typename T>
typed_list_t entry(const char* name, const char* compact, osip_list_t osip_message_t::*list, to_str_fn<T> ts,
                   free_fn<T> fr)
{
    return {name, compact, list, reinterpret_cast<int (*)(const void*, char**)>(ts),
            reinterpret_cast<void (*)(void*)>(fr)};
}

const std::vector<typed_list_t>& typed_lists()
{
    static const std::vector<typed_list_t> t = {
        entry<osip_via_t>("Via", "v", &osip_message_t::vias, osip_via_to_str, osip_via_free),
        entry<osip_contact_t>("Contact", "m", &osip_message_t::contacts, osip_contact_to_str, osip_contact_free),
        entry<osip_route_t>("Route", nullptr, &osip_message_t::routes, osip_route_to_str, osip_route_free),
        entry<osip_record_route_t>("Record-Route", nullptr, &osip_message_t::record_routes, osip_record_route_to_str,
                                   osip_record_route_free),
        entry<osip_allow_t>("Allow", nullptr, &osip_message_t::allows, osip_allow_to_str, osip_allow_free),
        entry<osip_accept_t>("Accept", nullptr, &osip_message_t::accepts, osip_accept_to_str, osip_accept_free),
        entry<osip_authorization_t>("Authorization", nullptr, &osip_message_t::authorizations,
                                    osip_authorization_to_str, osip_authorization_free),
        entry<osip_proxy_authorization_t>("Proxy-Authorization", nullptr, &osip_message_t::proxy_authorizations,
                                          osip_authorization_to_str, osip_authorization_free),
        entry<osip_www_authenticate_t>("WWW-Authenticate", nullptr, &osip_message_t::www_authenticates,
                                       osip_www_authenticate_to_str, osip_www_authenticate_free),
        entry<osip_proxy_authenticate_t>("Proxy-Authenticate", nullptr, &osip_message_t::proxy_authenticates,
                                         osip_www_authenticate_to_str, osip_www_authenticate_free),
        entry<osip_call_info_t>("Call-Info", nullptr, &osip_message_t::call_infos, osip_call_info_to_str,
                                osip_call_info_free),
        entry<osip_alert_info_t>("Alert-Info", nullptr, &osip_message_t::alert_infos, osip_call_info_to_str,
                                 osip_call_info_free),
        entry<osip_error_info_t>("Error-Info", nullptr, &osip_message_t::error_infos, osip_call_info_to_str,
                                 osip_call_info_free),
        entry<osip_accept_encoding_t>("Accept-Encoding", nullptr, &osip_message_t::accept_encodings,
                                      osip_accept_encoding_to_str, osip_accept_encoding_free),
        entry<osip_accept_language_t>("Accept-Language", nullptr, &osip_message_t::accept_languages,
                                      osip_accept_language_to_str, osip_accept_language_free),
        entry<osip_content_encoding_t>("Content-Encoding", "e", &osip_message_t::content_encodings,
                                       osip_content_encoding_to_str, osip_content_encoding_free),
        entry<osip_authentication_info_t>("Authentication-Info", nullptr, &osip_message_t::authentication_infos,
                                          osip_authentication_info_to_str, osip_authentication_info_free),
        entry<osip_proxy_authentication_info_t>("Proxy-Authentication-Info", nullptr,
                                                &osip_message_t::proxy_authentication_infos,
                                                osip_authentication_info_to_str,
                                                osip_authentication_info_free),
    };
    return t;
}

// Compact forms of headers osip keeps as generic ones, by letter.
const char* long_name(char compact)
{
    switch (tolower(static_cast<unsigned char>(compact))) {
    case 'f': return "From";
    case 't': return "To";
    case 'i': return "Call-ID";
    case 'c': return "Content-Type";
    case 'l': return "Content-Length";
    case 'k': return "Supported";
    case 's': return "Subject";
    case 'o': return "Event";
    case 'r': return "Refer-To";
    case 'b': return "Referred-By";
    case 'x': return "Session-Expires";
    case 'u': return "Allow-Events";
    case 'v': return "Via";
    case 'm': return "Contact";
    case 'e': return "Content-Encoding";
    default: return nullptr;
    }
}

// The long form of a name; the name itself when it is not a compact form.
const char* canonical(const char* name)
{
    const char* l = name[0] && !name[1] ? long_name(name[0]) : nullptr;
    return l ? l : name;
}

bool is(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

// Whether a header name on the wire names the canonical name.
bool names(const char* hname, const char* name)
{
    if (hname[0] && !hname[1])
        if (const char* l = long_name(hname[0]))
            return is(l, name);
    return tolower(static_cast<unsigned char>(hname[0])) == tolower(static_cast<unsigned char>(name[0])) &&
           is(hname, name);
}

// The single headers osip keeps in fields of their own.
enum class field_t { none, from, to, call_id, cseq, content_type, content_length, mime_version };

struct known_t {
    const char* name;
    const typed_list_t* list;  // or a field
    field_t field;
};

// The headers osip parses, by first letter: a lookup compares a few names.
const known_t* find_known(const char* name)
{
    using index_t = std::array<std::vector<known_t>, 26>;
    static const index_t index = [] {
        index_t ix;
        auto put = [&ix](known_t k) { ix[static_cast<size_t>(tolower(k.name[0]) - 'a')].push_back(k); };
        for (const auto& t : typed_lists())
            put({t.name, &t, field_t::none});
        put({"From", nullptr, field_t::from});
        put({"To", nullptr, field_t::to});
        put({"Call-ID", nullptr, field_t::call_id});
        put({"CSeq", nullptr, field_t::cseq});
        put({"Content-Type", nullptr, field_t::content_type});
        put({"Content-Length", nullptr, field_t::content_length});
        put({"Mime-Version", nullptr, field_t::mime_version});
        return ix;
    }();
    int c = tolower(static_cast<unsigned char>(name[0]));
    if (c < 'a' || c > 'z')
        return nullptr;
    for (const auto& k : index[static_cast<size_t>(c - 'a')])
        if (is(k.name, name))
            return &k;
    return nullptr;
}

// Whether the message has that field, and its text.
bool field_present(const osip_message_t* m, field_t f)
{
    switch (f) {
    case field_t::from: return m->from;
    case field_t::to: return m->to;
    case field_t::call_id: return m->call_id;
    case field_t::cseq: return m->cseq;
    case field_t::content_type: return m->content_type;
    case field_t::content_length: return m->content_length;
    case field_t::mime_version: return m->mime_version;
    case field_t::none: break;
    }
    return false;
}

int field_to_str(const osip_message_t* m, field_t f, char** s)
{
    if (!field_present(m, f))
        return -1;
    switch (f) {
    case field_t::from: return osip_from_to_str(m->from, s);
    case field_t::to: return osip_to_to_str(m->to, s);
    case field_t::call_id: return osip_call_id_to_str(m->call_id, s);
    case field_t::cseq: return osip_cseq_to_str(m->cseq, s);
    case field_t::content_type: return osip_content_type_to_str(m->content_type, s);
    case field_t::content_length: return osip_content_length_to_str(m->content_length, s);
    case field_t::mime_version: return osip_content_length_to_str(m->mime_version, s);
    case field_t::none: break;
    }
    return -1;
}


}  // namespace

Message::~Message()
{
    if (m)
        osip_message_free(m);
}

Message& Message::operator=(Message&& o) noexcept
{
    if (this != &o) {
        if (m)
            osip_message_free(m);
        m = std::exchange(o.m, nullptr);
    }
    return *this;
}

Message Message::parse(const char* buf, size_t len, std::string* error)
{
    parser_ready();
    auto fail = [&](const char* why) {
        if (error)
            *error = why;
        return Message();
    };
    if (!buf || len == 0)
        return fail("empty message");
    osip_message_t* p = nullptr;
    if (osip_message_init(&p) != 0)
        return fail("out of memory");
    Message msg(p);
    // osip reads up to the terminating NUL, so give it a bounded copy.
    std::string copy(buf, len);
    if (osip_message_parse(p, copy.c_str(), copy.size()) != 0)
        return fail("unparsable message");
    if (!p->sip_version && !p->status_code)
        return fail("no start line");
    return msg;
}

Message Message::request(const std::string& method, const Uri& uri)
{
    parser_ready();
    osip_message_t* p = nullptr;
    osip_message_init(&p);
    Message msg(p);
    osip_message_set_method(p, osip_strdup(method.c_str()));
    osip_message_set_version(p, osip_strdup("SIP/2.0"));
    msg.setRequestUri(uri);
    return msg;
}

Message Message::response(int code, const std::string& reason)
{
    parser_ready();
    osip_message_t* p = nullptr;
    osip_message_init(&p);
    Message msg(p);
    osip_message_set_version(p, osip_strdup("SIP/2.0"));
    msg.setStatus(code, reason);
    return msg;
}

Message Message::clone() const
{
    osip_message_t* c = nullptr;
    if (!m || osip_message_clone(m, &c) != 0)
        return {};
    return Message(c);
}

std::string Message::toString() const
{
    if (!m)
        return {};
    // osip keeps the received text and reuses it unless told the structure changed.
    osip_message_force_update(m);
    char* buf = nullptr;
    size_t len = 0;
    if (osip_message_to_str(m, &buf, &len) != 0 || !buf)
        return {};
    std::string r(buf, len);
    osip_free(buf);
    return r;
}

bool Message::isRequest() const { return m && m->sip_method; }

std::string Message::method() const
{
    if (!m)
        return {};
    return isRequest() ? or_empty(m->sip_method) : cseqMethod();
}

int Message::statusCode() const { return m ? m->status_code : 0; }
std::string Message::reason() const { return m ? or_empty(m->reason_phrase) : ""; }

void Message::setStatus(int code, const std::string& reason)
{
    if (!m)
        return;
    osip_message_set_status_code(m, code);
    const char* r = reason.empty() ? osip_message_get_reason(code) : reason.c_str();
    osip_free(m->reason_phrase);
    m->reason_phrase = osip_strdup(r ? r : "Unknown");
}

Uri Message::requestUri() const
{
    osip_uri_t* c = nullptr;
    if (!m || !m->req_uri || osip_uri_clone(m->req_uri, &c) != 0)
        return {};
    return Uri(c);
}

void Message::setRequestUri(const Uri& uri)
{
    if (!m)
        return;
    if (m->req_uri)
        osip_uri_free(m->req_uri);
    Uri copy(uri);
    m->req_uri = copy.release();
}

long long header_number(const std::string& text, long long max)
{
    size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos || !isdigit(static_cast<unsigned char>(text[i])))
        return -1;
    long long n = 0;
    for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
        n = n * 10 + (text[i] - '0');
        if (n > max)
            return -1;
    }
    if (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != ';' && text[i] != '(')
        return -1;
    return n;
}

std::string find_bad_uri_escape(const char* buf, size_t len)
{
    static const char* const uri_headers[] = {
        "From", "f", "To", "t", "Contact", "m", "Route", "Record-Route", "Refer-To", "r", "Referred-By", "b",
        "Reply-To", "P-Asserted-Identity", "P-Preferred-Identity", "Remote-Party-ID", "Path", "Service-Route",
        "Diversion"};
    const char* end = buf + len;
    auto line_end = [end](const char* p) {
        const char* eol = static_cast<const char*>(memchr(p, '\n', end - p));
        return eol ? eol : end;
    };
    auto blank = [](const char* p, const char* eol) { return p == eol || (p + 1 == eol && *p == '\r'); };

    // request line: the Request-URI is its second word; a status line has none
    const char* eol = line_end(buf);
    const char* sp = static_cast<const char*>(memchr(buf, ' ', eol - buf));
    if (sp && !(eol - buf >= 4 && memcmp(buf, "SIP/", 4) == 0)) {
        const char* uri_end = static_cast<const char*>(memchr(sp + 1, ' ', eol - sp - 1));
        if (!uri_escapes_sound(sp + 1, (uri_end ? uri_end : eol) - sp - 1))
            return "Request-URI";
    }
    for (const char* line = eol < end ? eol + 1 : end; line < end && !blank(line, eol = line_end(line));) {
        // a header runs on over the lines that start with white space
        const char* stop = eol;
        while (stop + 1 < end && (stop[1] == ' ' || stop[1] == '\t'))
            stop = line_end(stop + 1);
        const char* colon = static_cast<const char*>(memchr(line, ':', eol - line));
        if (colon && memchr(colon, '%', stop - colon)) {
            size_t name_len = colon - line;
            while (name_len && (line[name_len - 1] == ' ' || line[name_len - 1] == '\t'))
                --name_len;
            for (const char* u : uri_headers)
                if (strlen(u) == name_len && strncasecmp(line, u, name_len) == 0 &&
                    !uri_escapes_sound(colon + 1, stop - colon - 1, true))
                    return u;
        }
        line = stop < end ? stop + 1 : end;
    }
    return {};
}

namespace {

// osip trims the blanks around a port or a parameter value and prints what is
// left: "<sip:a@h: >" comes back as "<sip:a@h:>", which neither osip nor a
// peer reads. Such values are refused at intake, so no answer and no request
// of a dialog ever carries them.
bool params_print_back(const osip_list_t* params)
{
    for (int i = 0; i < osip_list_size(params); ++i) {
        auto* p = static_cast<const osip_generic_param_t*>(osip_list_get(params, i));
        if (!p || !p->gname || !*p->gname || (p->gvalue && !*p->gvalue))
            return false;
    }
    return true;
}

bool name_addr_prints_back(const osip_from_t* f)
{
    const osip_uri_t* u = f->url;
    if (u && u->host && (!*u->host || strpbrk(u->host, " \t")))
        return false;
    if (u && u->port && port_number(u->port) < 0)
        return false;
    return params_print_back(&f->gen_params);
}

bool name_addrs_print_back(const osip_list_t* list)
{
    for (int i = 0; i < osip_list_size(list); ++i)
        if (!name_addr_prints_back(static_cast<const osip_from_t*>(osip_list_get(list, i))))
            return false;
    return true;
}

}  // namespace

bool Message::wellFormed(std::string* why) const
{
    auto bad = [&](const char* w) {
        if (why)
            *why = w;
        return false;
    };
    if (!m)
        return bad("no message");
    if (!m->from || !m->from->url)
        return bad("missing From");
    if (!m->to || !m->to->url)
        return bad("missing To");
    if (!m->call_id || !m->call_id->number)
        return bad("missing Call-ID");
    if (!m->cseq || !m->cseq->number || !m->cseq->method)
        return bad("missing CSeq");
    if (header_number(m->cseq->number, 0x7fffffff) < 0)
        return bad("bad CSeq number");  // must stay below 2^31
    if (osip_list_size(&m->vias) < 1)
        return bad("missing Via");
    for (int i = 0; i < osip_list_size(&m->vias); ++i) {
        auto* v = static_cast<osip_via_t*>(osip_list_get(&m->vias, i));
        if (!v->host || !v->protocol || !*v->host || strpbrk(v->host, " \t") ||
            (strchr(v->host, ':') && !is_numeric_host(v->host)))
            return bad("bad Via");
        if (v->port && port_number(v->port) < 0)
            return bad("bad Via port");
        osip_generic_param_t* rport = nullptr;
        if (osip_via_param_get_byname(v, const_cast<char*>("rport"), &rport) == 0 && rport && rport->gvalue &&
            port_number(rport->gvalue) < 0)
            return bad("bad Via rport");
        if (!params_print_back(&v->via_params))
            return bad("bad Via parameter");
    }
    if (!name_addr_prints_back(m->from))
        return bad("bad From");
    if (!name_addr_prints_back(m->to))
        return bad("bad To");
    if (!name_addrs_print_back(&m->contacts))
        return bad("bad Contact");
    if (!name_addrs_print_back(&m->record_routes))
        return bad("bad Record-Route");
    if (isRequest()) {
        if (!m->req_uri)
            return bad("missing Request-URI");
        if (m->req_uri->port && port_number(m->req_uri->port) < 0)
            return bad("bad Request-URI port");
        if (!is(m->sip_method, m->cseq->method))
            return bad("CSeq method differs from the request method");
    } else if (m->status_code < 100 || m->status_code > 699) {
        return bad("bad status code");
    }
    return true;
}

std::vector<std::string> Message::headers(const std::string& raw_name) const
{
    std::vector<std::string> r;
    if (!m)
        return r;
    const char* name = canonical(raw_name.c_str());
    const known_t* k = find_known(name);
    if (k && k->list) {
        osip_list_t* l = &(m->*(k->list->list));
        for (int i = 0; i < osip_list_size(l); ++i) {
            char* s = nullptr;
            if (k->list->to_str(osip_list_get(l, i), &s) == 0)
                r.push_back(take(s));
        }
        return r;
    }
    char* s = nullptr;
    if (k && field_to_str(m, k->field, &s) == 0) {
        r.push_back(take(s));
        return r;
    }
    for (int i = 0; i < osip_list_size(&m->headers); ++i) {
        auto* h = static_cast<osip_header_t*>(osip_list_get(&m->headers, i));
        if (h->hname && names(h->hname, name))
            r.push_back(or_empty(h->hvalue));
    }
    return r;
}

std::string Message::header(const std::string& name, size_t index) const
{
    auto all = headers(name);
    return index < all.size() ? all[index] : std::string();
}

int Message::addHeader(const std::string& raw_name, const std::string& value)
{
    if (!m)
        return -1;
    const char* name = canonical(raw_name.c_str());
    const known_t* k = find_known(name);
    if (!k)
        return osip_message_set_header(m, name, value.c_str()) == 0 ? 0 : -1;
    if (field_present(m, k->field))
        return -1;
    std::string n = name, v = value;
    int rc = osip_message_set_multiple_header(m, n.data(), v.data());
    return rc == 0 ? 0 : -1;
}

int Message::addHeaderFirst(const std::string& raw_name, const std::string& value)
{
    if (!m)
        return -1;
    const char* name = canonical(raw_name.c_str());
    const known_t* k = find_known(name);
    if (!k || !k->list)
        return osip_message_set_topheader(m, name, value.c_str()) == 0 ? 0 : -1;
    osip_list_t* l = &(m->*(k->list->list));
    int before = osip_list_size(l);
    if (addHeader(name, value) != 0)
        return -1;
    int added = osip_list_size(l) - before;
    for (int i = 0; i < added; ++i) {
        void* e = osip_list_get(l, before + i);
        osip_list_remove(l, before + i);
        osip_list_add(l, e, i);
    }
    return 0;
}

void Message::removeHeader(const std::string& raw_name)
{
    if (!m)
        return;
    const char* name = canonical(raw_name.c_str());
    const known_t* k = find_known(name);
    if (k && k->list) {
        osip_list_t* l = &(m->*(k->list->list));
        while (osip_list_size(l) > 0) {
            void* e = osip_list_get(l, 0);
            osip_list_remove(l, 0);
            k->list->free(e);
        }
        return;
    }
    switch (k && field_present(m, k->field) ? k->field : field_t::none) {
    case field_t::content_type:
        osip_content_type_free(m->content_type);
        m->content_type = nullptr;
        break;
    case field_t::cseq:
        osip_cseq_free(m->cseq);
        m->cseq = nullptr;
        break;
    case field_t::from:
        osip_from_free(m->from);
        m->from = nullptr;
        break;
    case field_t::to:
        osip_to_free(m->to);
        m->to = nullptr;
        break;
    case field_t::call_id:
        osip_call_id_free(m->call_id);
        m->call_id = nullptr;
        break;
    case field_t::content_length:
        osip_content_length_free(m->content_length);
        m->content_length = nullptr;
        break;
    case field_t::mime_version:
    case field_t::none:
        break;
    }
    for (int i = 0; i < osip_list_size(&m->headers);) {
        auto* h = static_cast<osip_header_t*>(osip_list_get(&m->headers, i));
        if (h->hname && names(h->hname, name)) {
            osip_list_remove(&m->headers, i);
            osip_header_free(h);
        } else {
            ++i;
        }
    }
}

NameAddr Message::from() const { return m ? NameAddr::copyOf(m->from) : NameAddr(); }
NameAddr Message::to() const { return m ? NameAddr::copyOf(m->to) : NameAddr(); }

std::string Message::fromTag() const
{
    osip_generic_param_t* p = nullptr;
    if (!m || !m->from || osip_generic_param_get_byname(&m->from->gen_params, const_cast<char*>("tag"), &p) != 0 || !p)
        return {};
    return or_empty(p->gvalue);
}

std::string Message::toTag() const
{
    osip_generic_param_t* p = nullptr;
    if (!m || !m->to || osip_generic_param_get_byname(&m->to->gen_params, const_cast<char*>("tag"), &p) != 0 || !p)
        return {};
    return or_empty(p->gvalue);
}

void Message::setToTag(const std::string& tag)
{
    if (!m || !m->to)
        return;
    NameAddr view(m->to);
    view.setParam("tag", tag);
    (void)view.release();
}

void Message::setFromTag(const std::string& tag)
{
    if (!m || !m->from)
        return;
    NameAddr view(m->from);
    view.setParam("tag", tag);
    (void)view.release();
}

std::string Message::callId() const
{
    char* s = nullptr;
    if (!m || !m->call_id || osip_call_id_to_str(m->call_id, &s) != 0)
        return {};
    return take(s);
}

unsigned Message::cseq() const
{
    long long n = m && m->cseq && m->cseq->number ? header_number(m->cseq->number, 0xffffffffLL) : 0;
    return n > 0 ? static_cast<unsigned>(n) : 0;
}

std::string Message::cseqMethod() const { return m && m->cseq ? or_empty(m->cseq->method) : ""; }

size_t Message::viaCount() const { return m ? static_cast<size_t>(osip_list_size(&m->vias)) : 0; }

via_t Message::via(size_t index) const
{
    via_t v;
    if (!m || index >= viaCount())
        return v;
    auto* h = static_cast<osip_via_t*>(osip_list_get(&m->vias, static_cast<int>(index)));
    v.protocol = or_empty(h->protocol);
    v.host = or_empty(h->host);
    v.port = h->port ? std::max(port_number(h->port), 0) : 0;
    osip_generic_param_t* p = nullptr;
    if (osip_via_param_get_byname(h, const_cast<char*>("branch"), &p) == 0 && p)
        v.branch = or_empty(p->gvalue);
    p = nullptr;
    if (osip_via_param_get_byname(h, const_cast<char*>("received"), &p) == 0 && p)
        v.received = or_empty(p->gvalue);
    p = nullptr;
    if (osip_via_param_get_byname(h, const_cast<char*>("rport"), &p) == 0 && p) {
        v.has_rport = true;
        v.rport = p->gvalue ? std::max(port_number(p->gvalue), 0) : 0;
    }
    return v;
}

void Message::popVia()
{
    if (!m || osip_list_size(&m->vias) < 1)
        return;
    auto* h = static_cast<osip_via_t*>(osip_list_get(&m->vias, 0));
    osip_list_remove(&m->vias, 0);
    osip_via_free(h);
}

namespace {

void drop_blank_values(char** port, osip_list_t* params)
{
    if (port && *port && !**port) {
        osip_free(*port);
        *port = nullptr;
    }
    for (int i = 0; i < osip_list_size(params); ++i) {
        auto* p = static_cast<osip_generic_param_t*>(osip_list_get(params, i));
        if (p && p->gvalue && !*p->gvalue) {
            osip_free(p->gvalue);
            p->gvalue = nullptr;
        }
    }
}

}  // namespace

void Message::dropBlankValues()
{
    if (!m)
        return;
    for (int i = 0; i < osip_list_size(&m->vias); ++i) {
        auto* v = static_cast<osip_via_t*>(osip_list_get(&m->vias, i));
        drop_blank_values(&v->port, &v->via_params);
    }
    for (osip_from_t* f : {m->from, m->to})
        if (f)
            drop_blank_values(f->url ? &f->url->port : nullptr, &f->gen_params);
}

void Message::fixTopVia(const std::string& source_ip, int source_port)
{
    if (!m || osip_list_size(&m->vias) < 1)
        return;
    auto* h = static_cast<osip_via_t*>(osip_list_get(&m->vias, 0));
    // A received= the peer wrote itself would steer our answers to a third
    // party: only the packet's source goes there.
    for (int i = 0; i < osip_list_size(&h->via_params);) {
        auto* q = static_cast<osip_generic_param_t*>(osip_list_get(&h->via_params, i));
        if (q && q->gname && osip_strcasecmp(q->gname, "received") == 0) {
            osip_list_remove(&h->via_params, i);
            osip_generic_param_free(q);
        } else {
            ++i;
        }
    }
    if (!h->host || source_ip != h->host)
        osip_via_set_received(h, osip_strdup(source_ip.c_str()));
    osip_generic_param_t* p = nullptr;
    if (osip_via_param_get_byname(h, const_cast<char*>("rport"), &p) == 0 && p) {
        osip_free(p->gvalue);
        p->gvalue = osip_strdup(std::to_string(source_port).c_str());
    }
}

std::vector<NameAddr> Message::nameAddrs(const std::string& raw_name) const
{
    std::vector<NameAddr> r;
    if (!m)
        return r;
    const char* name = canonical(raw_name.c_str());
    osip_list_t* l = nullptr;
    if (is(name, "Contact"))
        l = &m->contacts;
    else if (is(name, "Route"))
        l = &m->routes;
    else if (is(name, "Record-Route"))
        l = &m->record_routes;
    if (l) {
        for (int i = 0; i < osip_list_size(l); ++i) {
            NameAddr n = NameAddr::copyOf(static_cast<osip_from_t*>(osip_list_get(l, i)));
            if (n)
                r.push_back(std::move(n));
        }
        return r;
    }
    for (const auto& v : headers(name)) {
        // Generic headers may carry a comma list; split outside quotes and <>.
        size_t start = 0;
        bool quoted = false;
        int angle = 0;
        for (size_t i = 0; i <= v.size(); ++i) {
            char c = i < v.size() ? v[i] : ',';
            if (c == '"' && (i == 0 || v[i - 1] != '\\'))
                quoted = !quoted;
            else if (!quoted && c == '<')
                ++angle;
            else if (!quoted && c == '>' && angle > 0)
                --angle;
            else if (!quoted && angle == 0 && c == ',') {
                std::string part = v.substr(start, i - start);
                size_t b = part.find_first_not_of(" \t"), e = part.find_last_not_of(" \t");
                if (b != std::string::npos) {
                    NameAddr n = NameAddr::parse(part.substr(b, e - b + 1));
                    if (n)
                        r.push_back(std::move(n));
                }
                start = i + 1;
            }
        }
    }
    return r;
}

void Message::popRoute()
{
    if (!m || osip_list_size(&m->routes) < 1)
        return;
    auto* h = static_cast<osip_route_t*>(osip_list_get(&m->routes, 0));
    osip_list_remove(&m->routes, 0);
    osip_route_free(h);
}

std::string Message::body() const
{
    osip_body_t* b = nullptr;
    if (!m || osip_message_get_body(m, 0, &b) != 0 || !b || !b->body)
        return {};
    return std::string(b->body, b->length);
}

std::string Message::contentType() const
{
    char* s = nullptr;
    if (!m || !m->content_type || osip_content_type_to_str(m->content_type, &s) != 0)
        return {};
    return take(s);
}

void Message::setBody(const std::string& content_type, const std::string& body)
{
    if (!m)
        return;
    osip_list_special_free(&m->bodies, reinterpret_cast<void (*)(void*)>(osip_body_free));
    removeHeader("Content-Type");
    if (!body.empty())
        osip_message_set_body(m, body.data(), body.size());
    if (!content_type.empty())
        osip_message_set_content_type(m, content_type.c_str());
}

int Message::expires() const
{
    std::string v = header("Expires");
    if (v.empty() || v.find_first_not_of("0123456789 \t") != std::string::npos)
        return -1;
    long n = strtol(v.c_str(), nullptr, 10);
    return n > 0x7fffffff ? 0x7fffffff : static_cast<int>(n);
}

std::string random_token(size_t chars)
{
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string r;
    for (size_t i = 0; i < chars; ++i)
        r += digits[rng() % 36];
    return r;
}

std::string new_branch() { return "z9hG4bK" + random_token(16); }

}  // namespace sipcore
