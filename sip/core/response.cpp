#include "sip/core/response.h"

namespace sipcore {

namespace {

// Copies of the request's header structures: printing each one and parsing
// the text again cost a third of answering an OPTIONS.
template <typename T>
void copy_list(const osip_list_t* from, osip_list_t* to, int (*clone)(const T*, T**))
{
    for (int i = 0; i < osip_list_size(from); ++i) {
        T* c = nullptr;
        if (clone(static_cast<const T*>(osip_list_get(from, i)), &c) == 0)
            osip_list_add(to, c, -1);
    }
}

}  // namespace

Message make_response(const Message& request, int code, const response_options_t& options)
{
    Message r = Message::response(code, options.reason);
    if (!request || !r)
        return r;
    const osip_message_t* q = request.raw();
    osip_message_t* p = r.raw();
    copy_list<osip_via_t>(&q->vias, &p->vias, osip_via_clone);
    if (q->from)
        osip_from_clone(q->from, &p->from);
    if (q->to)
        osip_to_clone(q->to, &p->to);
    if (q->call_id)
        osip_call_id_clone(q->call_id, &p->call_id);
    if (q->cseq)
        osip_cseq_clone(q->cseq, &p->cseq);
    if (code > 100 && request.toTag().empty())
        r.setToTag(options.to_tag.empty() ? random_token() : options.to_tag);
    if (options.copy_record_route && code > 100 && code < 300)
        copy_list<osip_record_route_t>(&q->record_routes, &p->record_routes, osip_record_route_clone);
    if (!options.server.empty())
        r.addHeader("Server", options.server);
    return r;
}

std::string challenge_header_value(const challenge_t& c)
{
    std::string v = "Digest realm=\"" + c.realm + "\", nonce=\"" + c.nonce + "\", algorithm=MD5";
    if (c.qop_auth || c.qop_auth_int)
        v += std::string(", qop=\"") + (c.qop_auth ? "auth" : "") + (c.qop_auth && c.qop_auth_int ? "," : "") +
             (c.qop_auth_int ? "auth-int" : "") + "\"";
    if (!c.opaque.empty())
        v += ", opaque=\"" + c.opaque + "\"";
    if (c.stale)
        v += ", stale=true";
    return v;
}

Message make_challenge(const Message& request, int code, const challenge_t& challenge,
                       const response_options_t& options)
{
    Message r = make_response(request, code, options);
    r.addHeader(code == 407 ? "Proxy-Authenticate" : "WWW-Authenticate", challenge_header_value(challenge));
    return r;
}

}  // namespace sipcore
