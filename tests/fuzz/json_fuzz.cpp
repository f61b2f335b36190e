// Arbitrary bytes into the JSON parser through both sources. Beyond not
// crashing: both sources agree, and whatever parses writes text that parses
// back to the same value at any indent.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/json_value.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "json_fuzz: %s\n", what);
        abort();
    }
}

std::string rest_of(FILE* f)
{
    std::string s;
    for (int c; (c = fgetc(f)) != EOF;)
        s += static_cast<char>(c);
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A memory source stops at a NUL: give both sources the text before it.
    const char* bytes = reinterpret_cast<const char*>(data);
    std::string text(bytes, strnlen(bytes, size));

    JsonValue m;
    MemDataSource mem(text.c_str());
    bool ok = m.parse(mem);
    (void)m.toString(2, 0);   // a partly filled value is still writable

    if (!text.empty()) {
        FILE* f = fmemopen(text.data(), text.size(), "r");
        check(f != nullptr, "fmemopen failed");
        JsonValue fv;
        FileDataSource fsrc(f);
        check(fv.parse(fsrc) == ok, "memory and file sources disagree");
        if (ok) {
            check(fv.toString() == m.toString(), "memory and file values differ");
            check(rest_of(f) == mem.position(), "memory and file stop at different places");
        }
        fclose(f);
    }
    if (!ok)
        return 0;

    const std::string compact = m.toString();
    for (int indent : {0, 1, 4}) {
        const std::string written = m.toString(indent, 0);
        JsonValue back;
        MemDataSource src(written.c_str());
        check(back.parse(src), "written text does not parse");
        check(*src.position() == '\0', "written text not read to its end");
        check(back.toString() == compact, "round trip changed the value");
    }
    return 0;
}
