// A SIP request or response over osip_message_t: parse, build, clone, print,
// and typed access to the headers our users touch.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <osipparser2/osip_message.h>

#include "sip/core/name_addr.h"
#include "sip/core/uri.h"

namespace sipcore {

// One Via entry, read out.
struct via_t {
    std::string protocol;  // "UDP", "TCP", "TLS"
    std::string host;
    int port = 0;  // 0 when absent
    std::string branch;
    std::string received;
    bool has_rport = false;
    int rport = 0;  // 0 when the parameter has no value
};

class Message {
public:
    Message() = default;
    explicit Message(osip_message_t* owned) : m(owned) {}
    ~Message();
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    Message(Message&& o) noexcept : m(std::exchange(o.m, nullptr)) {}
    Message& operator=(Message&& o) noexcept;

    // Invalid Message when the text does not parse; error says why.
    static Message parse(const char* buf, size_t len, std::string* error = nullptr);
    static Message parse(const std::string& text, std::string* error = nullptr)
    {
        return parse(text.data(), text.size(), error);
    }
    // A request with only the request line set.
    static Message request(const std::string& method, const Uri& uri);
    // A response with only the status line set ("" takes the standard reason).
    static Message response(int code, const std::string& reason = "");

    Message clone() const;
    bool valid() const { return m != nullptr; }
    explicit operator bool() const { return valid(); }
    osip_message_t* raw() const { return m; }
    osip_message_t* release() { return std::exchange(m, nullptr); }

    // Wire text with Content-Length set from the body; "" on failure.
    std::string toString() const;

    bool isRequest() const;
    bool isResponse() const { return m && !isRequest(); }
    std::string method() const;  // request method, or the CSeq method of a response
    int statusCode() const;
    std::string reason() const;
    void setStatus(int code, const std::string& reason = "");
    Uri requestUri() const;
    void setRequestUri(const Uri& uri);

    // The mandatory headers a request or response must carry, and a CSeq
    // method that matches the request line.
    bool wellFormed(std::string* why = nullptr) const;

    // Any header by name (compact forms accepted), typed or generic; each
    // entry of a comma list is one value. headers() gives them all in order.
    std::string header(const std::string& name, size_t index = 0) const;
    std::vector<std::string> headers(const std::string& name) const;
    bool hasHeader(const std::string& name) const { return !headers(name).empty(); }
    // Appends a header; typed headers are parsed. Returns 0 or <0 on a parse error.
    int addHeader(const std::string& name, const std::string& value);
    // Puts the header first among headers of that name.
    int addHeaderFirst(const std::string& name, const std::string& value);
    void removeHeader(const std::string& name);
    int setHeader(const std::string& name, const std::string& value)
    {
        removeHeader(name);
        return addHeader(name, value);
    }

    NameAddr from() const;
    NameAddr to() const;
    std::string fromTag() const;
    std::string toTag() const;
    void setToTag(const std::string& tag);
    void setFromTag(const std::string& tag);
    std::string callId() const;
    unsigned cseq() const;
    std::string cseqMethod() const;

    size_t viaCount() const;
    via_t via(size_t index = 0) const;  // empty via_t when absent
    std::string topBranch() const { return via(0).branch; }
    int pushVia(const std::string& value) { return addHeaderFirst("Via", value); }
    void popVia();
    // RFC 3581: received when the host differs from the source, rport filled
    // in when the sender asked for it.
    void fixTopVia(const std::string& source_ip, int source_port);
    // Ports and parameter values osip read as empty ("h: ", "x= ;") leave the
    // Vias, From and To: echoed as they are, they make an answer that does
    // not parse.
    void dropBlankValues();

    // Name-addr lists: Contact, Route, Record-Route, Path, P-Asserted-Identity,
    // Remote-Party-ID, P-Preferred-Identity, From, To, Refer-To.
    std::vector<NameAddr> nameAddrs(const std::string& header_name) const;
    void popRoute();

    std::string body() const;
    std::string contentType() const;
    void setBody(const std::string& content_type, const std::string& body);
    // Seconds from the Expires header, or -1.
    int expires() const;

private:
    osip_message_t* m = nullptr;
};

// The number a peer's header value starts with (RSeq, RAck, CSeq, Min-SE,
// Expires, Retry-After, ...): white space, digits, then the end, white space,
// ';' or '('. -1 when there is none, something else follows, or it exceeds max.
long long header_number(const std::string& text, long long max);

// The first place in a message's head (the Request-URI, or a header holding
// URIs) whose % escapes are not sound (see uri_escapes_sound); "" when none.
// osip has already cut such values at the NUL, so only the wire text shows it.
std::string find_bad_uri_escape(const char* buf, size_t len);

// A fresh tag, branch (with the RFC 3261 magic cookie) or Call-ID.
std::string random_token(size_t chars = 10);
std::string new_branch();

}  // namespace sipcore
