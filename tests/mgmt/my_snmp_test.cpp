#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "mgmt/my_snmp.h"
#include "mgmt/hex.h"
#include "support/log_capture.h"

namespace {

// Input in a heap block of exactly its size, so that AddressSanitizer
// catches a decoder reading one byte too far.
struct Exact {
    explicit Exact(const Bytes& b) : n(b.size()), p(new uint8_t[b.size()])
    {
        std::copy(b.begin(), b.end(), p.get());
    }
    const uint8_t* begin() const { return p.get(); }
    const uint8_t* end() const { return p.get() + n; }
    size_t n;
    std::unique_ptr<uint8_t[]> p;
};

// Runs an encoder into a buffer of the given size; "" for -1.
template <typename F>
std::string encoded(size_t size, F encode)
{
    std::vector<uint8_t> buf(size + 1, 0xEE);
    int r = encode(buf.data(), size);
    if (r < 0)
        return "-1";
    EXPECT_LE(size_t(r), size);
    EXPECT_EQ(buf[size], 0xEE) << "wrote past the buffer";
    return to_hex(buf.data(), size_t(r));
}

}   // namespace

TEST(VarId, EncodesFoldsAndRefuses)
{
    struct Case {
        const char* text;
        const char* bytes;   // "-1" when refused
    } cases[] = {
        {".10.5.3.0", "0A 05 03 00"},
        {".30.7.1.0", "1E 07 01 00"},
        {".10.5.3", "0A 05 03 00"},        // the terminator needs no text
        {".10.256.3.0", "0B 01 03 00"},    // same bytes as .11.1.3.0
        {".10.257.1.0", "0B 02 01 00"},
        {".10.510.0", "0B FF 00"},
        {".10.511.1.0", "0C 01 01 00"},
        {".10.766.0", "0D 01 00"},
        {".5.0.7.0", "05 00"},             // a 0 component ends the ID
        {".5.x.9", "05 00"},               // so does an empty one
        {"", "00"},
        {".256.1.0", "-1"},                // nothing to fold into
        {".255.256.0", "-1"},              // the carry would turn 255 into a terminator
        {".1.99999999999.0", "-1"},
        {".5.", "-1"},
        {".5x.0", "-1"},
        {"5.0", "-1"},
        {".", "-1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(encoded(64, [&](uint8_t* b, size_t n) { return encode_var_id(b, n, c.text); }), c.bytes)
            << c.text;
}

TEST(VarId, NeedsRoomForEveryByte)
{
    auto enc = [](size_t size, const char* text) {
        return encoded(size, [&](uint8_t* b, size_t n) { return encode_var_id(b, n, text); });
    };
    EXPECT_EQ(enc(4, ".10.5.3.0"), "0A 05 03 00");
    EXPECT_EQ(enc(3, ".10.5.3.0"), "-1");
    EXPECT_EQ(enc(1, ""), "00");
    EXPECT_EQ(enc(0, ""), "-1");
    EXPECT_EQ(enc(2, ".5.0.7.0"), "05 00");
    EXPECT_EQ(enc(1, ".5.0.7.0"), "-1");
}

TEST(VarId, Decodes)
{
    struct Case {
        const char* bytes;
        const char* text;   // null when refused
        size_t used;
    } cases[] = {
        {"0A 05 03 00", ".10.5.3.0", 4},
        {"0B 01 03 00", ".11.1.3.0", 4},   // folding is not undone
        {"FF 00 07", ".255.0", 2},
        {"01 00 02 00", ".1.0", 2},
        {"00", nullptr, 0},                // no component
        {"0A 05", nullptr, 0},             // no terminator in range
        {"", nullptr, 0},
    };
    for (const auto& c : cases) {
        Exact in(hex(c.bytes));
        std::string text = "unchanged";
        const uint8_t* p = decode_var_id(text, in.begin(), in.end());
        if (c.text == nullptr) {
            EXPECT_EQ(p, nullptr) << c.bytes;
            EXPECT_EQ(text, "unchanged");
            continue;
        }
        ASSERT_NE(p, nullptr) << c.bytes;
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(size_t(p - in.begin()), c.used);
    }
}

TEST(VarId, NumericOrderAgainstListOrder)
{
    std::vector<std::string> ids = {".11.0", ".10.2.1.0", ".9.0", ".10.1.1.0", ".10.0"};
    auto numeric = ids;
    std::sort(numeric.begin(), numeric.end(), var_id_less);
    EXPECT_EQ(numeric, (std::vector<std::string>{".9.0", ".10.0", ".10.1.1.0", ".10.2.1.0", ".11.0"}));
    MyVarIdList list;
    list.insert(ids.begin(), ids.end());
    EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()),
              (std::vector<std::string>{".10.0", ".10.1.1.0", ".10.2.1.0", ".11.0", ".9.0"}));

    struct Pair {
        const char* a;
        const char* b;
        bool less;
    } pairs[] = {
        {".2.0", ".10.0", true},     {".10.0", ".2.0", false},    {".10.1", ".10.1.3.0", true},
        {".10.1.3.0", ".10.1", false}, {".10.0", ".10.0", false}, {".10.256.3.0", ".11.1.3.0", true},
        {".11.1.3.0", ".10.256.3.0", false}, {".1.0", "x", true},  {"x", ".1.0", false},
        {"", ".1.0", true},          {".1.0", "", false},
    };
    for (const auto& p : pairs)
        EXPECT_EQ(var_id_less(p.a, p.b), p.less) << p.a << " < " << p.b;
}

TEST(VarValue, EncodesEachTypeAndDecodesZeroExtended)
{
    struct Case {
        MyVarValue v;
        const char* bytes;
        int64_t decoded;   // the integer read back
    } cases[] = {
        {{MyVarValue::INT8, 7}, "00 07", 7},
        {{MyVarValue::INT8, -1}, "00 FF", 255},
        {{MyVarValue::INT16, 0x1234}, "01 34 12", 0x1234},
        {{MyVarValue::INT16, 0x51234}, "01 34 12", 0x1234},   // low bytes only
        {{MyVarValue::INT32, -1}, "02 FF FF FF FF", 4294967295},
        {{MyVarValue::INT64, 0x0102030405060708}, "03 08 07 06 05 04 03 02 01", 0x0102030405060708},
        {{MyVarValue::INT64, -2}, "03 FE FF FF FF FF FF FF FF", -2},
        {MyVarValue(std::string("ab")), "04 04 00 61 62", 0},
        {MyVarValue(std::string()), "04 02 00", 0},
    };
    for (const auto& c : cases) {
        Bytes want = hex(c.bytes);
        EXPECT_EQ(encoded(want.size(), [&](uint8_t* b, size_t n) { return c.v.encode(b, n); }), c.bytes);
        EXPECT_EQ(encoded(want.size() - 1, [&](uint8_t* b, size_t n) { return c.v.encode(b, n); }), "-1")
            << c.bytes;

        Exact in(want);
        MyVarValue d;
        ASSERT_EQ(d.decode(in.begin(), in.end()), in.end()) << c.bytes;
        EXPECT_EQ(d.type, c.v.type);
        EXPECT_EQ(d.value, c.decoded);
        EXPECT_EQ(d.text, c.v.text);
        // every byte is needed
        MyVarValue short_read;
        EXPECT_EQ(short_read.decode(in.begin(), in.end() - 1), nullptr) << c.bytes;
    }
}

TEST(VarValue, RefusesWhatHasNoEncoding)
{
    MyVarValue table(MyVarValue::TABLE, 0), odd(9, 0);
    EXPECT_EQ(encoded(16, [&](uint8_t* b, size_t n) { return table.encode(b, n); }), "-1");
    EXPECT_EQ(encoded(16, [&](uint8_t* b, size_t n) { return odd.encode(b, n); }), "-1");
    MyVarValue huge(std::string(0xFFFE, 'x'));   // length word would be 0x10000
    std::vector<uint8_t> big(0x10010);
    EXPECT_EQ(huge.encode(big.data(), big.size()), -1);
    huge.text.pop_back();
    EXPECT_EQ(huge.encode(big.data(), big.size()), 0x10000);

    const char* bad[] = {
        "05",            // TABLE
        "06 00",         // unknown type
        "04 01 00",      // length word smaller than itself
        "04 00 00",
        "04 05 00 61 62",   // longer than what is left
        "04 02",
        "",
    };
    for (const char* b : bad) {
        Exact in(hex(b));
        MyVarValue v(MyVarValue::INT16, 42);
        EXPECT_EQ(v.decode(in.begin(), in.end()), nullptr) << b;
        EXPECT_EQ(v.type, MyVarValue::INT16);
        EXPECT_EQ(v.value, 42);
    }
}

TEST(VarValue, StatusValues)
{
    MyVarValue denied(MyVarValue::INT8, 7), ok(MyVarValue::INT8, 7);
    denied.status = VAR_ACCESS_DENIED;
    EXPECT_EQ(encoded(1, [&](uint8_t* b, size_t n) { return denied.encodeWithStatus(b, n); }), "02");
    EXPECT_EQ(encoded(3, [&](uint8_t* b, size_t n) { return ok.encodeWithStatus(b, n); }), "00 00 07");
    EXPECT_EQ(encoded(2, [&](uint8_t* b, size_t n) { return ok.encodeWithStatus(b, n); }), "-1");
    EXPECT_EQ(encoded(0, [&](uint8_t* b, size_t n) { return denied.encodeWithStatus(b, n); }), "-1");

    struct Case {
        const char* bytes;
        int status;   // -1: refused
        int64_t value;
    } cases[] = {
        {"02", VAR_ACCESS_DENIED, 0}, {"01 00 07", VAR_NOT_FOUND, 0}, {"00 00 07", VAR_OK, 7},
        {"00", -1, 0},                {"00 01 34", -1, 0},            {"", -1, 0},
    };
    for (const auto& c : cases) {
        Exact in(hex(c.bytes));
        MyVarValue v;
        const uint8_t* p = v.decodeWithStatus(in.begin(), in.end());
        if (c.status < 0) {
            EXPECT_EQ(p, nullptr) << c.bytes;
            continue;
        }
        ASSERT_NE(p, nullptr) << c.bytes;
        EXPECT_EQ(v.status, c.status);
        EXPECT_EQ(v.value, c.value);
        EXPECT_EQ(size_t(p - in.begin()), c.status == VAR_OK ? 3u : 1u);
    }
}

TEST(VarLists, SerializeInByteWiseOrderWithinTheBuffer)
{
    MyVarIdList ids;
    ids.insert({".9.0", ".11.0", ".10.2.1.0", ".10.1.1.0", ".10.0"});
    const char* id_bytes = "0A 00 0A 01 01 00 0A 02 01 00 0B 00 09 00";
    auto ser = [](const auto& list, size_t size) {
        return encoded(size, [&](uint8_t* b, size_t n) { return list.serialize(b, n); });
    };
    EXPECT_EQ(ser(ids, 14), id_bytes);
    EXPECT_EQ(ser(ids, 13), "-1");
    EXPECT_EQ(ser(MyVarIdList(), 1), "");
    EXPECT_EQ(ser(MyVarIdList(), 0), "-1");

    MyVarValueList values;
    values[".14.3.2.0"] = MyVarValue(MyVarValue::INT8, 1);
    values[".10.1.3.0"] = MyVarValue(std::string("{}"));
    EXPECT_EQ(ser(values, 15), "0A 01 03 00 04 04 00 7B 7D 0E 03 02 00 00 01");
    EXPECT_EQ(ser(values, 14), "-1");
    values[".256.0"] = MyVarValue(MyVarValue::INT8, 1);   // an ID with no encoding fails the list
    EXPECT_EQ(ser(values, 64), "-1");

    MyVarStatusList statuses;
    statuses[".13.0"] = VAR_WRONG_TYPE;
    statuses[".10.256.1.0"] = VAR_OK;   // folded on the wire
    EXPECT_EQ(ser(statuses, 8), "0B 01 01 00 00 0D 00 03");
    EXPECT_EQ(ser(statuses, 7), "-1");

    // the answer to a Get of .1.0 and .2.0
    MyVarStatusValueList answer;
    answer[".1.0"] = MyVarValue(MyVarValue::INT16, 293);
    answer[".2.0"] = MyVarValue(std::string("ZR-40"));
    answer[".99.0"].status = VAR_NOT_FOUND;
    EXPECT_EQ(ser(answer, 20), "01 00 00 01 25 01 02 00 00 04 07 00 5A 52 2D 34 30 63 00 01");
    EXPECT_EQ(ser(answer, 19), "-1");
}

TEST(VarLists, ParseKeepsFirstOfDuplicates)
{
    Exact ids(hex("03 00 0A 05 03 00 03 00"));
    MyVarIdList id_list;
    ASSERT_EQ(id_list.parse(ids.begin(), int(ids.n)), 0);
    EXPECT_EQ(std::vector<std::string>(id_list.begin(), id_list.end()),
              (std::vector<std::string>{".10.5.3.0", ".3.0"}));

    Exact values(hex("03 00 00 01 03 00 00 02 0B 01 03 00 04 04 00 6F 6B"));
    MyVarValueList value_list;
    ASSERT_EQ(value_list.parse(values.begin(), int(values.n)), 0);
    ASSERT_EQ(value_list.size(), 2u);
    EXPECT_EQ(value_list[".3.0"].value, 1);
    EXPECT_EQ(value_list[".11.1.3.0"].text, "ok");

    Exact statuses(hex("0D 00 03 0D 00 00"));
    MyVarStatusList status_list;
    ASSERT_EQ(status_list.parse(statuses.begin(), int(statuses.n)), 0);
    EXPECT_EQ(status_list, (MyVarStatusList{{{".13.0", VAR_WRONG_TYPE}}}));

    Exact answer(hex("0A 00 01 0C 00 02 63 00 01 0C 00 00 00 05"));
    MyVarStatusValueList answer_list;
    ASSERT_EQ(answer_list.parse(answer.begin(), int(answer.n)), 0);
    ASSERT_EQ(answer_list.size(), 3u);
    EXPECT_EQ(answer_list[".10.0"].status, VAR_NOT_FOUND);
    EXPECT_EQ(answer_list[".12.0"].status, VAR_ACCESS_DENIED);
    EXPECT_EQ(answer_list[".99.0"].status, VAR_NOT_FOUND);

    MyVarIdList empty;
    EXPECT_EQ(empty.parse(nullptr, 0), 0);
    EXPECT_TRUE(empty.empty());
}

TEST(VarLists, MalformedInputIsRefused)
{
    struct Case {
        const char* bytes;
        bool ids, values, statuses, status_values;   // does each parser accept it?
    } cases[] = {
        {"0D 00", true, false, false, false},
        {"0D 00 00", false, false, true, false},   // "00" alone is no ID
        {"0D 00 00 07", false, true, false, false},   // 07 is no type
        {"0D 00 00 00 07", false, false, false, true},
        {"0D 00 04 05 00 61", false, false, true, true},   // status 4 carries no value
        {"0D 00 04 06 00", true, false, false, false},   // .6.0 lacks its status
        {"0D 00 05", false, false, true, true},
        {"0D", false, false, false, false},
        {"0D 00 01 34", false, false, false, false},
        {"0D 00 00 01 34", false, false, false, false},
        {"00", false, false, false, false},
    };
    for (const auto& c : cases) {
        Exact in(hex(c.bytes));
        int n = int(in.n);
        MyVarIdList ids;
        MyVarValueList values;
        MyVarStatusList statuses;
        MyVarStatusValueList status_values;
        status_values[".1.0"] = MyVarValue();
        EXPECT_EQ(ids.parse(in.begin(), n) == 0, c.ids) << c.bytes;
        EXPECT_EQ(values.parse(in.begin(), n) == 0, c.values) << c.bytes;
        EXPECT_EQ(statuses.parse(in.begin(), n) == 0, c.statuses) << c.bytes;
        EXPECT_EQ(status_values.parse(in.begin(), n) == 0, c.status_values) << c.bytes;
        if (!c.status_values) {
            EXPECT_TRUE(status_values.empty()) << c.bytes;
        }
    }
    // a length that went negative upstream is no list
    Exact one(hex("03 00"));
    MyVarIdList ids;
    MyVarValueList values;
    MyVarStatusList statuses;
    MyVarStatusValueList status_values;
    EXPECT_EQ(ids.parse(one.begin(), -2), -1);
    EXPECT_EQ(values.parse(one.begin(), -1), -1);
    EXPECT_EQ(statuses.parse(one.begin(), -1), -1);
    EXPECT_EQ(status_values.parse(one.begin(), -1), -1);
}

TEST(VarLists, Helpers)
{
    MyVarIdList ids;
    ids.insert({".3.0", ".12.0"});
    auto answer = MyVarStatusValueList::fromIds(ids, VAR_TIMEOUT);
    ASSERT_EQ(answer.size(), 2u);
    for (const auto& [id, v] : answer) {
        EXPECT_EQ(v.status, VAR_TIMEOUT);
        EXPECT_EQ(v.type, MyVarValue::INT8);
        EXPECT_EQ(v.value, 0);
    }

    MyVarStatusValueList partial;
    partial[".3.0"] = MyVarValue(MyVarValue::INT8, 9);
    partial.insertIds(ids);
    EXPECT_EQ(partial[".3.0"].value, 9);   // existing keys stay
    EXPECT_EQ(partial[".12.0"].status, VAR_OK);
    partial.withPrefix(".10.5");
    EXPECT_EQ(partial.count(".10.5.3.0"), 1u);
    EXPECT_EQ(partial.count(".10.5.12.0"), 1u);
    EXPECT_EQ(partial.size(), 2u);

    MyVarStatusList statuses;
    statuses[".3"] = VAR_ERROR;
    statuses.insertIds(ids);
    EXPECT_EQ(statuses[".3"], VAR_ERROR);
    EXPECT_EQ(statuses.size(), 3u);
    statuses.withPrefix(".10.5");
    EXPECT_EQ(statuses, (MyVarStatusList{{{".10.5.3.0", VAR_ERROR}, {".10.5.3.0.0", VAR_OK}, {".10.5.12.0.0", VAR_OK}}}));
}

TEST(VarDescriptor, EncodesAndDecodes)
{
    MyVarDescriptor d{MyVarValue::STRING, VAR_RO, "BoardName", ""};
    const char* bytes = "04 01 0B 00 42 6F 61 72 64 4E 61 6D 65 02 00";
    EXPECT_EQ(encoded(15, [&](uint8_t* b, size_t n) { return d.encode(b, n); }), bytes);
    EXPECT_EQ(encoded(14, [&](uint8_t* b, size_t n) { return d.encode(b, n); }), "-1");
    Exact in(hex(bytes));
    MyVarDescriptor back;
    ASSERT_EQ(back.decode(in.begin(), in.end()), in.end());
    EXPECT_EQ(back.type, d.type);
    EXPECT_EQ(back.access, d.access);
    EXPECT_EQ(back.name, d.name);
    EXPECT_EQ(back.description, d.description);
    for (size_t cut = 0; cut < in.n; ++cut)
        EXPECT_EQ(back.decode(in.begin(), in.begin() + cut), nullptr) << cut;
}

TEST(VarNames, CoverEveryCodeAndTheRest)
{
    const char* status[] = {"OK", "Not found", "Access denied", "Wrong type", "Timeout", "Error", "UNKNOWN"};
    const char* type[] = {"INT8", "INT16", "INT32", "INT64", "STRING", "TABLE", "UNKNOWN"};
    const char* access[] = {"NO", "RO", "WO", "RW", "UNKNOWN"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_STREQ(var_status_name(i), status[i]);
        EXPECT_STREQ(var_type_name(i), type[i]);
    }
    for (int i = 0; i < 5; ++i)
        EXPECT_STREQ(var_access_name(i), access[i]);
    EXPECT_STREQ(var_status_name(-1), "UNKNOWN");
    EXPECT_STREQ(var_type_name(255), "UNKNOWN");
    EXPECT_STREQ(var_access_name(-1), "UNKNOWN");
}

TEST(VarTableCodec, ParseRefusesWithPositionAndDump)
{
    MyVarTable one;
    one[".2.0"] = MyVarDescriptor{MyVarValue::STRING, VAR_RO, "n", "d"};
    std::string good = describe_var_table(one);
    ASSERT_EQ(to_hex(Bytes(good.begin(), good.end())), "02 00 04 01 03 00 6E 03 00 64");

    struct Case {
        std::string bytes;
        std::vector<std::string> log;
    } cases[] = {
        {good + "\x01", {"Line 2: variable ID parse error at pos 10", "Incorrect data: 01"}},
        {good + std::string("\x03\x00\x04\x01\x09\x00", 6),
         {"Line 2: variable .3.0 descriptor parse error at pos 12", "Incorrect data: 04 01 09 00"}},
        {std::string(20, '\x07'),
         {"Line 1: variable ID parse error at pos 0",
          "Incorrect data: 07 07 07 07 07 07 07 07 07 07 07 07 07 07 07 07"}},
    };
    for (const auto& c : cases) {
        LogCapture cap;
        MyVarTable table = one;
        EXPECT_EQ(parse_var_table(table, c.bytes), -1);
        EXPECT_TRUE(table.empty());
        auto lines = cap.all();
        ASSERT_EQ(lines.size(), c.log.size());
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_NE(lines[i].find(": " + c.log[i]), std::string::npos) << lines[i];
    }

    // a row present already is overwritten
    MyVarTable table;
    table[".2.0"] = MyVarDescriptor{MyVarValue::INT8, VAR_RW, "old", ""};
    table[".5.0"] = MyVarDescriptor{MyVarValue::INT8, VAR_RW, "kept", ""};
    ASSERT_EQ(parse_var_table(table, good), 0);
    EXPECT_EQ(table[".2.0"].name, "n");
    EXPECT_EQ(table[".5.0"].name, "kept");
}

TEST(VarTableCodec, DescribeRefusesIdsWithoutPlainBytes)
{
    for (const char* id : {".10.256.3.0", "1.0", ".5x.0", ".5."}) {
        MyVarTable t;
        t[".1.0"] = MyVarDescriptor{};
        t[id] = MyVarDescriptor{};
        EXPECT_EQ(describe_var_table(t), "") << id;
    }
}

TEST(VarTableCodec, ExpandsInstancesOfTableRows)
{
    struct Case {
        int access;
        const char* description;
        size_t instances;
    } cases[] = {
        {8, "E1 table", 8},   {255, "#!$n=256", 256}, {255, "#!$n=300,x=1", 300}, {8, "#!$n=256", 8},
        {255, "#!$m=256", 255}, {255, "#!$n=12", 255}, {255, "#!$n=99999999", 255}, {0, "", 1},
    };
    for (const auto& c : cases) {
        MyVarTable t;
        t[".14.0"] = MyVarDescriptor{MyVarValue::TABLE, c.access, "e1", c.description};
        t[".14.1.1.0"] = MyVarDescriptor{MyVarValue::INT8, VAR_RW, "e1num", ""};
        t[".14.1.2.0"] = MyVarDescriptor{MyVarValue::INT8, VAR_RO, "MF", ""};
        t[".14.1000.1.0"] = MyVarDescriptor{MyVarValue::INT8, VAR_RO, "not a column", ""};
        t[".14.2.2.0"] = MyVarDescriptor{MyVarValue::INT8, VAR_WO, "present", ""};
        expand_var_table(t);
        // instance 2's second column was present and stays
        EXPECT_EQ(t.size(), 5 + 2 * (c.instances - 1) - (c.instances > 1)) << c.description;
        EXPECT_EQ(t[".14.2.2.0"].name, "present");
        if (c.instances > 1) {
            std::string last = ".14." + std::to_string(c.instances) + ".1.0";
            EXPECT_EQ(t.count(last), 1u) << last;
            EXPECT_EQ(t[last].name, "e1num");
            EXPECT_EQ(t.count(".14." + std::to_string(c.instances + 1) + ".1.0"), 0u);
        }
        EXPECT_EQ(t.count(".14.2000.1.0"), 0u) << "a row of instance 1000 taken for a column";
    }
}
