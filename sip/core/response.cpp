#include "sip/core/response.h"

namespace sipcore {

Message make_response(const Message& request, int code, const response_options_t& options)
{
    Message r = Message::response(code, options.reason);
    if (!request)
        return r;
    for (const auto& v : request.headers("Via"))
        r.addHeader("Via", v);
    r.addHeader("From", request.header("From"));
    r.addHeader("To", request.header("To"));
    r.addHeader("Call-ID", request.header("Call-ID"));
    r.addHeader("CSeq", request.header("CSeq"));
    if (code > 100 && request.toTag().empty())
        r.setToTag(options.to_tag.empty() ? random_token() : options.to_tag);
    if (options.copy_record_route && code > 100 && code < 300)
        for (const auto& rr : request.headers("Record-Route"))
            r.addHeader("Record-Route", rr);
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
