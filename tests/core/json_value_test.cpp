#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "core/json_value.h"

namespace {

// The same text through a file stream, to hold both sources to one table.
struct TempFile {
    FILE* f;
    explicit TempFile(const std::string& content) : f(tmpfile())
    {
        fwrite(content.data(), 1, content.size(), f);
        rewind(f);
    }
    ~TempFile() { fclose(f); }
    std::string rest()
    {
        std::string s;
        for (int c; (c = fgetc(f)) != EOF;)
            s += static_cast<char>(c);
        return s;
    }
};

JsonValue integer(int n)
{
    JsonValue v;
    v.kind = JSON_INTEGER;
    v.integer = n;
    return v;
}

JsonValue boolean(bool b)
{
    JsonValue v;
    v.kind = JSON_BOOL;
    v.boolean = b;
    return v;
}

JsonValue string(const std::string& s)
{
    JsonValue v;
    v.setString(s);
    return v;
}

// {b:1, a:[true,"x"]}
JsonValue fixture()
{
    JsonValue v;
    v["b"] = integer(1);
    JsonValue& a = v["a"];
    a.kind = JSON_ARRAY;
    a.items.push_back(boolean(true));
    a.items.push_back(string("x"));
    return v;
}

std::string nested(int levels, const char* open, const char* close)
{
    std::string s;
    for (int i = 0; i < levels; ++i)
        s += open;
    s += "1";
    for (int i = 0; i < levels; ++i)
        s += close;
    return s;
}

} // namespace

TEST(JsonWrite, TextFormAtSeveralIndents)
{
    struct Case {
        int indent, depth;
        const char* text;
    } cases[] = {
        {0, 0, "{\"a\":[true,\"x\"],\"b\":1}"},
        {2, 0, "{\n  \"a\":[\n    true,\n    \"x\"\n  ],\n  \"b\":1\n}"},
        {4, 0, "{\n    \"a\":[\n        true,\n        \"x\"\n    ],\n    \"b\":1\n}"},
        {1, 0, "{\n \"a\":[\n  true,\n  \"x\"\n ],\n \"b\":1\n}"},
        {2, 1, "{\n    \"a\":[\n      true,\n      \"x\"\n    ],\n    \"b\":1\n  }"},
        {0, 3, "{\"a\":[true,\"x\"],\"b\":1}"},
    };
    JsonValue v = fixture();
    for (const Case& c : cases)
        EXPECT_EQ(v.toString(c.indent, c.depth), c.text) << "indent " << c.indent << " depth " << c.depth;
}

TEST(JsonWrite, ScalarsAndEmptyContainers)
{
    JsonValue empty_array, empty_hash, holder;
    empty_array.kind = JSON_ARRAY;
    empty_hash.kind = JSON_HASH;
    holder["e"] = empty_array;
    holder["h"] = empty_hash;
    holder["u"] = JsonValue();
    holder["n"] = integer(-2147483647 - 1);
    holder["m"] = integer(2147483647);
    holder["f"] = boolean(false);
    EXPECT_EQ(JsonValue().toString(4, 0), "undef");
    EXPECT_EQ(empty_array.toString(4, 2), "[]");
    EXPECT_EQ(empty_hash.toString(4, 2), "{}");
    EXPECT_EQ(holder.toString(0, 0), "{\"e\":[],\"f\":false,\"h\":{},\"m\":2147483647,\"n\":-2147483648,\"u\":undef}");
    EXPECT_EQ(holder.toString(2, 0),
              "{\n  \"e\":[],\n  \"f\":false,\n  \"h\":{},\n  \"m\":2147483647,\n  \"n\":-2147483648,\n  \"u\":undef\n}");

    // A kind change keeps the other fields; the writer looks at the kind only.
    JsonValue s = integer(5);
    s.setString("five");
    EXPECT_EQ(s.integer, 5);
    EXPECT_EQ(s.toString(), "\"five\"");
}

TEST(JsonWrite, StringEscapesAndByteOrderOfNames)
{
    // Four escapes only; CR, other control bytes, DEL, '/' and UTF-8 go raw.
    JsonValue s = string("q\"b\\n\nt\tr\r\x01\x7f/\xD0\x90\xFF");
    EXPECT_EQ(s.toString(), "\"q\\\"b\\\\n\\nt\\tr\r\x01\x7f/\xD0\x90\xFF\"");

    JsonValue h;
    for (const char* name : {"2", "10", "a", "Z", "\xC3\xA9", "z", ""})
        h[name] = integer(0);
    EXPECT_EQ(h.toString(), "{\"\":0,\"10\":0,\"2\":0,\"Z\":0,\"a\":0,\"z\":0,\"\xC3\xA9\":0}");

    // Names are escaped like strings, so that user-given keys read back.
    JsonValue odd;
    odd["a\"b\\c\nd"] = integer(1);
    odd["plain"] = integer(2);
    EXPECT_EQ(odd.toString(), "{\"a\\\"b\\\\c\\nd\":1,\"plain\":2}");
}

TEST(JsonParse, TableForBothSources)
{
    struct Case {
        std::string in;
        bool ok;
        std::string out;    // compact text of the result when ok
        std::string rest;   // what is left unread when ok
    } cases[] = {
        // numbers
        {"-17", true, "-17", ""},
        {"+5", true, "5", ""},
        {"007", true, "7", ""},
        {"-0", true, "0", ""},
        {"12abc", true, "12", "abc"},
        {"1.5", true, "1", ".5"},
        {"  \t\n\v\f42 ", true, "42", " "},
        {"2147483647", true, "2147483647", ""},
        {"-2147483648", true, "-2147483648", ""},
        {"2147483648", false, "", ""},
        {"-2147483649", false, "", ""},
        {"4294967297", false, "", ""},
        {"99999999999999999999999", false, "", ""},
        {"[9223372036854775808]", false, "", ""},
        {"-", false, "", ""},
        {"+", false, "", ""},
        {"- 1", false, "", ""},
        {"[1.5]", false, "", ""},
        // words
        {"true", true, "true", ""},
        {"falsex", true, "false", "x"},
        {"tru", false, "", ""},
        {"True", false, "", ""},
        {"fals", false, "", ""},
        {"null", false, "", ""},
        {"undef", false, "", ""},
        {"", false, "", ""},
        {"   ", false, "", ""},
        {"x", false, "", ""},
        // strings and escapes
        {"\"\"", true, "\"\"", ""},
        {"\"a b\"c", true, "\"a b\"", "c"},
        {"\"\\\"\\\\\\/\\n\\t\"", true, "\"\\\"\\\\/\\n\\t\"", ""},
        {"\"\\r\\b\\f\"", true, "\"\r\b\f\"", ""},
        {"\"\\x\\'\"", true, "\"x'\"", ""},
        {"\"raw\r\x01\xD0\x90\"", true, "\"raw\r\x01\xD0\x90\"", ""},
        {"\"\\u0041\\u00e9\\u0410\\u20AC\"", true, "\"A\xC3\xA9\xD0\x90\xE2\x82\xAC\"", ""},
        {"\"\\ud83d\\ude00\"", true, "\"\xF0\x9F\x98\x80\"", ""},
        {"\"\\uDBFF\\uDFFF\"", true, "\"\xF4\x8F\xBF\xBF\"", ""},
        {"\"\\u000a\"", true, "\"\\n\"", ""},
        {"\"\\ud83d\"", false, "", ""},
        {"\"\\ud83dx\"", false, "", ""},
        {"\"\\ud83d\\u0041\"", false, "", ""},
        {"\"\\ude00\"", false, "", ""},
        {"\"\\u12\"", false, "", ""},
        {"\"\\u00zz\"", false, "", ""},
        {"\"\\u0000\"", false, "", ""},
        {"\"abc", false, "", ""},
        {"\"abc\\", false, "", ""},
        {"\"abc\\\"", false, "", ""},
        // arrays
        {"[]", true, "[]", ""},
        {"[ \n ]", true, "[]", ""},
        {" [ 1 ,\t\"a\" , [ ] , {} ,true] x", true, "[1,\"a\",[],{},true]", " x"},
        {"[1,]", false, "", ""},
        {"[1, ]", false, "", ""},
        {"[,1]", false, "", ""},
        {"[1 2]", false, "", ""},
        {"[1", false, "", ""},
        {"[1,", false, "", ""},
        {"[", false, "", ""},
        {"[undef]", false, "", ""},
        // hashes
        {"{}", true, "{}", ""},
        {"{ \t }", true, "{}", ""},
        {"{\"b\":1,\"a\":{\"c\":[2]}}", true, "{\"a\":{\"c\":[2]},\"b\":1}", ""},
        {"{ \"a\" : 1 , \"b\" : \"x\" }", true, "{\"a\":1,\"b\":\"x\"}", ""},
        {"{\"a\":1,\"a\":2}", true, "{\"a\":2}", ""},
        {"{\"a\":1,\"b\":2,\"a\":[3]}", true, "{\"a\":[3],\"b\":2}", ""},
        {"{\"q\\\"\\\\\\u0041\":1}", true, "{\"q\\\"\\\\A\":1}", ""},
        {"{\"a\":1,}", false, "", ""},
        {"{\"a\":1, }", false, "", ""},
        {"{a:1}", false, "", ""},
        {"{\"a\" 1}", false, "", ""},
        {"{\"a\":}", false, "", ""},
        {"{\"a\":1 \"b\":2}", false, "", ""},
        {"{\"a\":1,2}", false, "", ""},
        {"{\"a", false, "", ""},
        {"{", false, "", ""},
        {"{,}", false, "", ""},
        // nesting: 64 levels are fine, 65 are refused
        {nested(64, "[", "]"), true, nested(64, "[", "]"), ""},
        {nested(65, "[", "]"), false, "", ""},
        {nested(64, "{\"k\":", "}"), true, nested(64, "{\"k\":", "}"), ""},
        {nested(65, "{\"k\":", "}"), false, "", ""},
        {nested(32, "[{\"k\":", "}]"), true, nested(32, "[{\"k\":", "}]"), ""},
        {nested(33, "[{\"k\":", "}]"), false, "", ""},
        {std::string(200000, '['), false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in.size() > 80 ? c.in.substr(0, 80) + "..." : c.in);
        JsonValue m;
        MemDataSource mem(c.in.c_str());
        ASSERT_EQ(m.parse(mem), c.ok) << "memory";

        JsonValue f;
        TempFile file(c.in);
        FileDataSource fsrc(file.f);
        ASSERT_EQ(f.parse(fsrc), c.ok) << "file";
        if (!c.ok)
            continue;
        EXPECT_EQ(m.toString(), c.out);
        EXPECT_EQ(f.toString(), c.out);
        EXPECT_EQ(std::string(mem.position()), c.rest);
        EXPECT_EQ(file.rest(), c.rest);
    }
}

TEST(JsonParse, FailureLeavesStringUndefinedAndResetsOldContent)
{
    JsonValue v;
    v["old"] = integer(1);
    v.items.push_back(integer(2));
    MemDataSource src("\"unterminated");
    EXPECT_FALSE(v.parse(src));
    EXPECT_EQ(v.kind, JSON_UNDEFINED);
    EXPECT_EQ(v.text, "");

    // parse reads into a fresh value: nothing of the old content remains.
    MemDataSource ok("7");
    ASSERT_TRUE(v.parse(ok));
    EXPECT_TRUE(v.members.empty());
    EXPECT_TRUE(v.items.empty());
    EXPECT_EQ(v.toString(), "7");
}

TEST(JsonParse, NulEndsMemoryTextButPassesThroughFiles)
{
    const std::string text("\"a\0b\"", 5);
    JsonValue m;
    MemDataSource mem(text.c_str());
    EXPECT_FALSE(m.parse(mem));

    JsonValue f;
    TempFile file(text);
    FileDataSource fsrc(file.f);
    ASSERT_TRUE(f.parse(fsrc));
    EXPECT_EQ(f.text, std::string("a\0b", 3));
}

TEST(JsonParse, RoundTripAtEveryIndent)
{
    JsonValue v = fixture();
    v["s"] = string("q\"b\\ \n\t\r\x01 \xD0\x90\xD0\x91 /");
    v["name \"with\" \\odd\\ chars\n"] = integer(-7);
    v["\xD0\xA2"]["deep"].kind = JSON_ARRAY;
    v["\xD0\xA2"]["deep"].items.push_back(fixture());
    v["empty"].kind = JSON_HASH;
    v["list"].kind = JSON_ARRAY;
    const std::string compact = v.toString();
    for (int indent : {0, 1, 2, 4, 8}) {
        SCOPED_TRACE(indent);
        const std::string text = v.toString(indent, 0);
        JsonValue back;
        MemDataSource mem(text.c_str());
        ASSERT_TRUE(back.parse(mem));
        EXPECT_EQ(*mem.position(), '\0');
        EXPECT_EQ(back.toString(), compact);
        EXPECT_EQ(back.toString(indent, 0), text);
    }
}

TEST(JsonValue, AccessorsKeepOtherFields)
{
    JsonValue v = integer(42);
    EXPECT_EQ(v.find("x"), nullptr);
    EXPECT_EQ(v.kind, JSON_INTEGER);   // find changes nothing

    v["x"];
    EXPECT_EQ(v.kind, JSON_HASH);
    EXPECT_EQ(v.integer, 42);
    ASSERT_NE(v.find("x"), nullptr);
    EXPECT_EQ(v.find("x")->kind, JSON_UNDEFINED);
    EXPECT_EQ(v.toString(), "{\"x\":undef}");

    // A value that is no longer a hash still keeps (and finds) its members.
    v.setString("s");
    const JsonValue& cv = v;
    ASSERT_NE(cv.find("x"), nullptr);
    EXPECT_EQ(v.toString(), "\"s\"");

    const char* names[] = {"undefined", "bool", "integer", "string", "array", "hash"};
    for (int k = 0; k <= 5; ++k)
        EXPECT_STREQ(JsonValue::typeName(k), names[k]);
}

TEST(JsonValue, AssignAndSwapAcrossNesting)
{
    JsonValue a = fixture();
    JsonValue b = string("b");
    b.integer = 9;
    a.swap(b);
    EXPECT_EQ(a.toString(), "\"b\"");
    EXPECT_EQ(a.integer, 9);
    EXPECT_EQ(b.toString(), "{\"a\":[true,\"x\"],\"b\":1}");

    // Taking a value from inside itself must not read freed memory.
    JsonValue outer = fixture();
    outer.assign(outer["a"]);
    EXPECT_EQ(outer.toString(), "[true,\"x\"]");
    EXPECT_TRUE(outer.members.empty());
    JsonValue again = fixture();
    again = again["a"].items[1];
    EXPECT_EQ(again.toString(), "\"x\"");
    again.assign(again);
    EXPECT_EQ(again.toString(), "\"x\"");
    JsonValue moved = fixture();
    moved = std::move(moved["a"]);
    EXPECT_EQ(moved.toString(), "[true,\"x\"]");
}

TEST(JsonDataSource, ReadIntAndUnget)
{
    MemDataSource mem("ab");
    EXPECT_EQ(mem.get(), 'a');
    EXPECT_EQ(mem.get(), 'b');
    EXPECT_EQ(mem.get(), -1);
    mem.unget(-1);   // putting back the end does not step back over text
    EXPECT_EQ(mem.get(), -1);
    mem.unget('b');
    EXPECT_EQ(mem.get(), 'b');

    MemDataSource num("  -12x");
    int n = 0;
    EXPECT_TRUE(num.readInt(&n));
    EXPECT_EQ(n, -12);
    EXPECT_EQ(num.get(), 'x');

    TempFile file("  -12x");
    FileDataSource fnum(file.f);
    n = 0;
    EXPECT_TRUE(fnum.readInt(&n));
    EXPECT_EQ(n, -12);
    EXPECT_EQ(fnum.get(), 'x');
}
