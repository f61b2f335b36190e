// What must hold for any bytes given to the list parsers: no parser reads
// outside them (the caller passes a block of exactly their size), and what
// parses serialises into no more bytes and parses back to the same list.
// Shared by the seeded driver in the unit tests and the libFuzzer target.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "mgmt/my_snmp.h"

namespace var_list_checks {

inline bool same(const MyVarValue& a, const MyVarValue& b)
{
    return a.type == b.type && a.value == b.value && a.text == b.text && a.status == b.status;
}

template <typename L>
bool same_list(const L& a, const L& b)
{
    if constexpr (std::is_same_v<typename L::value_type, std::pair<const std::string, MyVarValue>>) {
        if (a.size() != b.size())
            return false;
        for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
            if (i->first != j->first || !same(i->second, j->second))
                return false;
        return true;
    } else {
        return a == b;
    }
}

template <typename L>
const char* check_list(const uint8_t* data, size_t n, const char* name)
{
    L list;
    if (list.parse(data, int(n)) != 0 || list.empty())
        return nullptr;
    std::unique_ptr<uint8_t[]> buf(new uint8_t[n]);
    int r = list.serialize(buf.get(), n);
    if (r <= 0 || size_t(r) > n)
        return name;
    L again;
    if (again.parse(buf.get(), r) != 0 || !same_list(list, again))
        return name;
    return nullptr;
}

// An ID text that encodes decodes to a text with the same bytes.
inline const char* check_id_text(const uint8_t* data, size_t n)
{
    std::string text(reinterpret_cast<const char*>(data), n);
    if (var_id_less(text, text))
        return "var_id_less is not strict";
    size_t size = n % 9;
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size]);
    int r = encode_var_id(buf.get(), size, text);
    if (r <= 1)
        return nullptr;
    std::string back;
    if (decode_var_id(back, buf.get(), buf.get() + r) != buf.get() + r)
        return "encoded ID does not decode";
    std::unique_ptr<uint8_t[]> again(new uint8_t[size]);
    if (encode_var_id(again.get(), size, back) != r || memcmp(buf.get(), again.get(), size_t(r)) != 0)
        return "decoded ID encodes differently";
    return nullptr;
}

// data must be a block of exactly n bytes. Null when everything holds.
inline const char* check_all(const uint8_t* data, size_t n)
{
    const char* e = nullptr;
    if ((e = check_list<MyVarIdList>(data, n, "MyVarIdList round trip")) ||
        (e = check_list<MyVarValueList>(data, n, "MyVarValueList round trip")) ||
        (e = check_list<MyVarStatusList>(data, n, "MyVarStatusList round trip")) ||
        (e = check_list<MyVarStatusValueList>(data, n, "MyVarStatusValueList round trip")) ||
        (e = check_id_text(data, n)))
        return e;
    MyVarTable table;
    if (parse_var_table(table, std::string(reinterpret_cast<const char*>(data), n)) != 0 && !table.empty())
        return "refused table not emptied";
    return nullptr;
}

}   // namespace var_list_checks
