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

// The qop list a challenge offers: "auth", "auth-int" or both.
std::string qop_offer(const challenge_t& c)
{
    return std::string(c.qop_auth ? "auth" : "") + (c.qop_auth && c.qop_auth_int ? "," : "") +
           (c.qop_auth_int ? "auth-int" : "");
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
        v += ", qop=\"" + qop_offer(c) + "\"";
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
    if (!r)
        return r;
    // Built as osip's structure, not as text osip would parse back: every
    // REGISTER and every unauthenticated request gets one.
    osip_www_authenticate_t* w = nullptr;
    if (osip_www_authenticate_init(&w) != 0)
        return r;
    auto quoted = [](const std::string& v) { return osip_strdup(("\"" + v + "\"").c_str()); };
    osip_www_authenticate_set_auth_type(w, osip_strdup("Digest"));
    osip_www_authenticate_set_realm(w, quoted(challenge.realm));
    osip_www_authenticate_set_nonce(w, quoted(challenge.nonce));
    osip_www_authenticate_set_algorithm(w, osip_strdup("MD5"));
    if (challenge.qop_auth || challenge.qop_auth_int)
        osip_www_authenticate_set_qop_options(w, quoted(qop_offer(challenge)));
    if (!challenge.opaque.empty())
        osip_www_authenticate_set_opaque(w, quoted(challenge.opaque));
    if (challenge.stale)
        osip_www_authenticate_set_stale(w, osip_strdup("true"));
    osip_message_t* m = r.raw();
    osip_list_add(code == 407 ? &m->proxy_authenticates : &m->www_authenticates, w, -1);
    return r;
}

}  // namespace sipcore
