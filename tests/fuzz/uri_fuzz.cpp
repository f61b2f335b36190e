// Arbitrary text as a URI and as a name-addr: parse, read every part, print
// and parse again to the same text; header values escape and unescape back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/log.h"
#include "sip/core/name_addr.h"
#include "sip/core/uri.h"

using namespace sipcore;

namespace {

void quiet(int, const char*) {}

void check(bool ok, const char* what, const std::string& text)
{
    if (!ok) {
        fprintf(stderr, "uri_fuzz: %s: [%s]\n", what, text.c_str());
        abort();
    }
}

void read_uri(const Uri& u)
{
    (void)u.scheme();
    (void)u.user();
    (void)u.host();
    (void)u.port();
    (void)u.isSecure();
    (void)u.transport();
    (void)u.hasParam("lr");
    (void)u.param("transport");
    for (const auto& [name, value] : u.embeddedHeaders())
        (void)uri_escape_header_value(value);
    (void)u.aorAsUri(TransportType::UDP);
    (void)u.aorNoPort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    log_set_sink(quiet);
    std::string text(reinterpret_cast<const char*>(data), size);
    // escapes osip would read as a NUL are refused
    bool sound = uri_escapes_sound(text.data(), text.size());
    Uri u = Uri::parse(text);
    check(sound || !u, "URI with a NUL escape parsed", text);
    if (u) {
        read_uri(u);
        std::string printed = u.toString();
        Uri again = Uri::parse(printed);
        // osip may print odd input as other text; from there on printing
        // and parsing again must not change it. A host holding '@'
        // ("sip:@@h") loses one '@' to the user part each round.
        if (again && again.host().find('@') == std::string::npos) {
            std::string second = again.toString();
            Uri third = Uri::parse(second);
            check(third && third.toString() == second, "URI print is not stable", text);
        }
        Uri edited = u;
        edited.setParam("transport", "tcp");
        edited.removeParam("lr");
        // values are C strings inside osip: a NUL ends them, and osip trims
        // the white space around them
        std::string value_in = text.substr(0, text.find('\0'));
        value_in.erase(0, value_in.find_first_not_of(" \t\r\n"));
        value_in.erase(value_in.find_last_not_of(" \t\r\n") + 1);
        edited.addEmbeddedHeader("Replaces", value_in);
        bool kept = false;
        for (const auto& [name, value] : edited.embeddedHeaders())
            kept = kept || (name == "Replaces" && value == value_in);
        // only sip and sips URIs carry headers
        check(kept || (edited.scheme() != "sip" && edited.scheme() != "sips"), "embedded header value changed", text);
        (void)edited.toString();
    }

    if (NameAddr n = NameAddr::parse(text)) {
        (void)n.displayName();
        read_uri(n.uri());
        (void)n.tag();
        std::string printed = n.toString();
        // osip's name-addr printer does not reach a fixpoint for odd
        // parameter lists ("<sips:x@h:506;1;>gamt=ab"); reading it again
        // must only be safe
        if (NameAddr again = NameAddr::parse(printed))
            (void)NameAddr::parse(again.toString());
        n.setParam("tag", "t1");
        check(n.tag() == "t1", "tag not set", text);
        (void)n.toString();
    }

    std::string escaped = uri_escape_header_value(text);
    check(uri_unescape(escaped) == text, "escape and unescape do not round trip", text);
    (void)uri_unescape(text);
    return 0;
}
