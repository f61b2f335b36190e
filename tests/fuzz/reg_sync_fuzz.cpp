// Arbitrary bytes as the registration-sync stream and as a registration
// database file: the framer yields the same messages however the bytes
// arrive, every message lies inside the input, and every record that parses
// is written as XML that parses again to the same record.
#include <algorithm>
#include <sstream>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/log.h"
#include "proxy/reg_info.h"
#include "sip/proxy/reg_sync_peer.h"
#include "sip/proxy/sync_framer.h"
#include "sip/proxy/xml_tree.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "reg_sync_fuzz: %s\n", what);
        abort();
    }
}

time_t fixed_clock() { return 1700000000; }

void quiet(int, const char*) {}

struct run_t {
    std::vector<std::string> messages;
    bool overflow = false;
};

run_t frame(const std::string& stream, size_t piece)
{
    sipproxy::SyncFramer f;
    run_t r;
    for (size_t at = 0; at < stream.size(); at += piece) {
        size_t n = std::min(piece, stream.size() - at);
        f.append(stream.data() + at, n);
        std::string tag, msg;
        for (;;) {
            auto res = f.next(&tag, &msg);
            if (res == sipproxy::SyncFramer::Result::Overflow)
                r.overflow = true;
            if (res != sipproxy::SyncFramer::Result::Message)
                break;
            check(!tag.empty() && msg.size() >= 2 * tag.size() + 5, "message shorter than its tags");
            check(msg.compare(0, tag.size() + 1, "<" + tag) == 0, "message does not start with its tag");
            check(msg.compare(msg.size() - tag.size() - 3, tag.size() + 3, "</" + tag + ">") == 0,
                  "message does not end with its closing tag");
            check(stream.find(msg) != std::string::npos, "message not in the input");
            r.messages.push_back(msg);
        }
        check(f.buffered() <= sipproxy::SyncFramer::max_garbage + sipproxy::SyncFramer::max_message + piece,
              "buffer unbounded");
    }
    return r;
}

std::string written(const RegInfo& r)
{
    std::ostringstream o;
    r.write(o);
    return o.str();
}

void record(const sipproxy::XmlElement& e)
{
    RegInfo first;
    first.parse(e, 1700000000);
    if (first.aor.empty())
        return;
    // Once written, a record reads back as itself.
    std::string text = written(first);
    RegInfo second;
    second.parse(sipproxy::xml_parse(text), 0);
    std::string again = written(second);
    RegInfo third;
    third.parse(sipproxy::xml_parse(again), 0);
    check(written(third) == again, "record changes when written and read again");
    check(third.aor == first.aor, "aor changes when written and read again");

    // The library's reader and writer agree as well.
    std::string aor;
    std::vector<sipproxy::contact_record_t> contacts;
    if (sipproxy::reg_sync_parse_record(e, 1700000000, &aor, &contacts)) {
        std::string lib = sipproxy::reg_sync_record(aor, contacts, 1700000000);
        std::string aor2;
        std::vector<sipproxy::contact_record_t> back;
        check(sipproxy::reg_sync_parse_record(sipproxy::xml_parse(lib), 1700000000, &aor2, &back),
              "library record does not read back");
        // The SIP parser refuses a few texts its own writer makes (such as
        // "<sip:c>"); such a contact is lost to sync, and not counted here.
        size_t readable = 0;
        for (const auto& c : contacts)
            readable += sipcore::NameAddr::parse(c.contact.toString()) ? 1 : 0;
        check(aor2 == aor && back.size() == readable, "library record changes when read back");
    }
}

void message(const std::string& text)
{
    sipproxy::XmlElement root;
    try {
        root = sipproxy::xml_parse(text);
    } catch (const sipproxy::XmlError&) {
        return;
    }
    if (root.is("reginfo"))
        record(root);
    else if (root.is("regDataBase"))
        for (const auto& c : root.children)
            if (c.is("reginfo"))
                record(c);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    log_set_sink(quiet);
    reg_set_clock(fixed_clock);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    size_t piece = 1 + data[0] % 64;
    std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    run_t whole = frame(stream, stream.size() ? stream.size() : 1);
    run_t cut = frame(stream, piece);
    if (!whole.overflow && !cut.overflow)
        check(whole.messages == cut.messages, "messages depend on how the bytes arrive");
    for (const auto& m : whole.messages)
        message(m);
    message(stream);
    return 0;
}
