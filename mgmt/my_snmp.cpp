#include "mgmt/my_snmp.h"

#include <cstring>
#include <vector>

#include "core/log.h"

namespace {

// Larger components are refused rather than wrapped.
constexpr uint64_t max_component = 0xFFFFFFFFu;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Shared by encode_var_id (fold) and the table description (no fold: a
// component above 255 is an error there).
int encode_id(uint8_t* buf, size_t size, const std::string& text, bool fold)
{
    if (buf == nullptr || size == 0)
        return -1;
    if (text.empty()) {
        buf[0] = 0;
        return 1;
    }
    if (text[0] != '.')
        return -1;
    size_t n = 0;
    size_t i = 0;
    const size_t len = text.size();
    while (i < len) {
        ++i;   // the dot
        if (i == len)
            return -1;
        uint64_t v = 0;
        while (i < len && is_digit(text[i])) {
            v = v * 10 + uint64_t(text[i] - '0');
            if (v > max_component)
                return -1;
            ++i;
        }
        if (v == 0)
            break;   // a 0 component is the terminator; the rest is ignored
        if (i < len && text[i] != '.')
            return -1;
        // keep room for the terminator after every byte
        if (n + 1 >= size)
            return -1;
        if (v <= 255) {
            buf[n++] = uint8_t(v);
            continue;
        }
        if (!fold || n == 0)
            return -1;
        uint8_t prev = uint8_t(buf[n - 1] + (v - 1) / 255);
        // a carry that wraps the previous byte to 0 would end the ID early
        if (prev == 0)
            return -1;
        buf[n - 1] = prev;
        buf[n++] = uint8_t((v - 1) % 255 + 1);
    }
    buf[n++] = 0;
    return int(n);
}

int encode_var_string(uint8_t* buf, size_t size, const std::string& text)
{
    size_t l = text.size() + 2;
    if (l >= 0x10000 || buf == nullptr || size < l)
        return -1;
    buf[0] = uint8_t(l & 0xFF);
    buf[1] = uint8_t(l >> 8);
    if (!text.empty())
        memcpy(buf + 2, text.data(), text.size());
    return int(l);
}

int int_width(int type)
{
    switch (type) {
    case MyVarValue::INT8: return 1;
    case MyVarValue::INT16: return 2;
    case MyVarValue::INT32: return 4;
    case MyVarValue::INT64: return 8;
    default: return -1;
    }
}

bool bad_range(const uint8_t* data, int length) { return length < 0 || (length > 0 && data == nullptr); }

void dump_bytes(const uint8_t* p, const uint8_t* end)
{
    std::string hex;
    char b[4];
    for (int k = 0; k < 16 && p < end; ++k, ++p) {
        snprintf(b, sizeof b, " %02x", *p);
        hex += b;
    }
    LOG(LOGF_MODULE, 4, "Incorrect data:%s", hex.c_str());
}

}   // namespace

int MyVarValue::encode(uint8_t* buf, size_t size) const
{
    if (buf == nullptr || size == 0)
        return -1;
    if (type == STRING) {
        int r = encode_var_string(buf + 1, size - 1, text);
        if (r < 0)
            return -1;
        buf[0] = STRING;
        return r + 1;
    }
    int w = int_width(type);
    if (w < 0 || size < size_t(w) + 1)
        return -1;
    buf[0] = uint8_t(type);
    uint64_t u = uint64_t(value);
    for (int k = 0; k < w; ++k)
        buf[1 + k] = uint8_t(u >> (8 * k));
    return w + 1;
}

const uint8_t* MyVarValue::decode(const uint8_t* begin, const uint8_t* end)
{
    if (begin == nullptr || begin >= end)
        return nullptr;
    int t = *begin++;
    if (t == STRING) {
        std::string s;
        const uint8_t* p = decode_var_string(s, begin, end);
        if (p == nullptr)
            return nullptr;
        type = STRING;
        value = 0;
        text = std::move(s);
        return p;
    }
    int w = int_width(t);
    if (w < 0 || end - begin < w)
        return nullptr;
    uint64_t u = 0;
    for (int k = 0; k < w; ++k)
        u |= uint64_t(begin[k]) << (8 * k);
    type = t;
    value = int64_t(u);
    text.clear();
    return begin + w;
}

int MyVarValue::encodeWithStatus(uint8_t* buf, size_t size) const
{
    if (buf == nullptr || size == 0)
        return -1;
    buf[0] = uint8_t(status);
    if (uint8_t(status) != VAR_OK)
        return 1;
    int r = encode(buf + 1, size - 1);
    return r < 0 ? -1 : r + 1;
}

const uint8_t* MyVarValue::decodeWithStatus(const uint8_t* begin, const uint8_t* end)
{
    if (begin == nullptr || begin >= end)
        return nullptr;
    int st = *begin++;
    if (st != VAR_OK) {
        status = st;
        type = INT8;
        value = 0;
        text.clear();
        return begin;
    }
    const uint8_t* p = decode(begin, end);
    if (p != nullptr)
        status = VAR_OK;
    return p;
}

const uint8_t* decode_var_string(std::string& text, const uint8_t* begin, const uint8_t* end)
{
    if (begin == nullptr || end - begin < 2)
        return nullptr;
    size_t l = size_t(begin[0]) | size_t(begin[1]) << 8;
    if (l < 2 || size_t(end - begin) < l)
        return nullptr;
    text.assign(reinterpret_cast<const char*>(begin + 2), l - 2);
    return begin + l;
}

int encode_var_id(uint8_t* buf, size_t size, const std::string& text) { return encode_id(buf, size, text, true); }

const uint8_t* decode_var_id(std::string& text, const uint8_t* begin, const uint8_t* end)
{
    if (begin == nullptr || begin >= end)
        return nullptr;
    std::string out;
    const uint8_t* p = begin;
    for (; p < end && *p != 0; ++p) {
        out += '.';
        out += std::to_string(*p);
    }
    if (p == end || out.empty())
        return nullptr;
    out += ".0";
    text = std::move(out);
    return p + 1;
}

namespace {

// Reads the component after the dot at s[i]; leaves i at the next dot or the
// end. Junk after the digits is skipped; huge numbers saturate.
uint64_t next_component(const std::string& s, size_t& i)
{
    ++i;
    uint64_t v = 0;
    for (; i < s.size() && is_digit(s[i]); ++i)
        if (v < (uint64_t(1) << 60))
            v = v * 10 + uint64_t(s[i] - '0');
    while (i < s.size() && s[i] != '.')
        ++i;
    return v;
}

}   // namespace

bool var_id_less(const std::string& a, const std::string& b)
{
    unsigned char fa = a.empty() ? 0 : a[0];
    unsigned char fb = b.empty() ? 0 : b[0];
    if (fa != '.' || fb != '.')
        return fa < fb;
    size_t i = 0, j = 0;
    for (;;) {
        bool ea = i >= a.size(), eb = j >= b.size();
        if (ea || eb)
            return ea && !eb;
        uint64_t va = next_component(a, i), vb = next_component(b, j);
        if (va != vb)
            return va < vb;
    }
}

int MyVarIdList::serialize(uint8_t* buf, size_t size) const
{
    if (buf == nullptr || size == 0)
        return -1;
    size_t n = 0;
    for (const auto& id : *this) {
        int r = encode_var_id(buf + n, size - n, id);
        if (r < 0)
            return -1;
        n += size_t(r);
    }
    return int(n);
}

int MyVarIdList::parse(const uint8_t* data, int length)
{
    if (bad_range(data, length))
        return -1;
    const uint8_t* p = data;
    const uint8_t* end = data + length;
    while (p < end) {
        std::string id;
        p = decode_var_id(id, p, end);
        if (p == nullptr)
            return -1;
        insert(std::move(id));
    }
    return 0;
}

int MyVarValueList::serialize(uint8_t* buf, size_t size) const
{
    if (buf == nullptr || size == 0)
        return -1;
    size_t n = 0;
    for (const auto& [id, v] : *this) {
        int r = encode_var_id(buf + n, size - n, id);
        if (r < 0)
            return -1;
        n += size_t(r);
        r = v.encode(buf + n, size - n);
        if (r < 0)
            return -1;
        n += size_t(r);
    }
    return int(n);
}

int MyVarValueList::parse(const uint8_t* data, int length)
{
    if (bad_range(data, length))
        return -1;
    const uint8_t* p = data;
    const uint8_t* end = data + length;
    while (p < end) {
        std::string id;
        MyVarValue v;
        p = decode_var_id(id, p, end);
        if (p != nullptr)
            p = v.decode(p, end);
        if (p == nullptr)
            return -1;
        emplace(std::move(id), std::move(v));
    }
    return 0;
}

int MyVarStatusList::serialize(uint8_t* buf, size_t size) const
{
    if (buf == nullptr || size == 0)
        return -1;
    size_t n = 0;
    for (const auto& [id, status] : *this) {
        int r = encode_var_id(buf + n, size - n, id);
        if (r < 0 || size - n - size_t(r) < 1)
            return -1;
        n += size_t(r);
        buf[n++] = uint8_t(status);
    }
    return int(n);
}

int MyVarStatusList::parse(const uint8_t* data, int length)
{
    if (bad_range(data, length))
        return -1;
    const uint8_t* p = data;
    const uint8_t* end = data + length;
    while (p < end) {
        std::string id;
        p = decode_var_id(id, p, end);
        if (p == nullptr || p >= end)
            return -1;
        emplace(std::move(id), *p++);
    }
    return 0;
}

void MyVarStatusList::insertIds(const MyVarIdList& ids)
{
    for (const auto& id : ids)
        emplace(id, VAR_OK);
}

void MyVarStatusList::withPrefix(const std::string& prefix)
{
    MyVarStatusList out;
    for (auto& [id, status] : *this)
        out.emplace(prefix + id + ".0", status);
    swap(out);
}

int MyVarStatusValueList::serialize(uint8_t* buf, size_t size) const
{
    if (buf == nullptr || size == 0)
        return -1;
    size_t n = 0;
    for (const auto& [id, v] : *this) {
        int r = encode_var_id(buf + n, size - n, id);
        if (r < 0)
            return -1;
        n += size_t(r);
        r = v.encodeWithStatus(buf + n, size - n);
        if (r < 0)
            return -1;
        n += size_t(r);
    }
    return int(n);
}

int MyVarStatusValueList::parse(const uint8_t* data, int length)
{
    if (bad_range(data, length)) {
        clear();
        return -1;
    }
    const uint8_t* p = data;
    const uint8_t* end = data + length;
    while (p < end) {
        std::string id;
        MyVarValue v;
        p = decode_var_id(id, p, end);
        if (p != nullptr)
            p = v.decodeWithStatus(p, end);
        if (p == nullptr) {
            clear();
            return -1;
        }
        emplace(std::move(id), std::move(v));
    }
    return 0;
}

MyVarStatusValueList MyVarStatusValueList::fromIds(const MyVarIdList& ids, int status)
{
    MyVarStatusValueList out;
    for (const auto& id : ids) {
        MyVarValue v(MyVarValue::INT8, 0);
        v.status = status;
        out.emplace(id, v);
    }
    return out;
}

void MyVarStatusValueList::insertIds(const MyVarIdList& ids)
{
    for (const auto& id : ids)
        emplace(id, MyVarValue());
}

void MyVarStatusValueList::withPrefix(const std::string& prefix)
{
    MyVarStatusValueList out;
    for (auto& [id, v] : *this)
        out.emplace(prefix + id, std::move(v));
    swap(out);
}

int MyVarDescriptor::encode(uint8_t* buf, size_t size) const
{
    if (buf == nullptr || size < 2)
        return -1;
    buf[0] = uint8_t(type);
    buf[1] = uint8_t(access);
    int a = encode_var_string(buf + 2, size - 2, name);
    if (a < 0)
        return -1;
    int b = encode_var_string(buf + 2 + a, size - 2 - size_t(a), description);
    if (b < 0)
        return -1;
    return 2 + a + b;
}

const uint8_t* MyVarDescriptor::decode(const uint8_t* begin, const uint8_t* end)
{
    if (begin == nullptr || end - begin < 2)
        return nullptr;
    std::string n, d;
    const uint8_t* p = decode_var_string(n, begin + 2, end);
    if (p != nullptr)
        p = decode_var_string(d, p, end);
    if (p == nullptr)
        return nullptr;
    type = begin[0];
    access = begin[1];
    name = std::move(n);
    description = std::move(d);
    return p;
}

std::string describe_var_table(const MyVarTable& table)
{
    std::string out;
    std::vector<uint8_t> buf;
    for (const auto& [id, d] : table) {
        buf.resize(id.size() + 1 + 6 + d.name.size() + d.description.size());
        int a = encode_id(buf.data(), buf.size(), id, false);
        if (a < 0)
            return {};
        int b = d.encode(buf.data() + a, buf.size() - size_t(a));
        if (b < 0)
            return {};
        out.append(reinterpret_cast<const char*>(buf.data()), size_t(a + b));
    }
    return out;
}

int parse_var_table(MyVarTable& table, const std::string& bytes)
{
    const uint8_t* begin = reinterpret_cast<const uint8_t*>(bytes.data());
    const uint8_t* end = begin + bytes.size();
    const uint8_t* p = begin;
    for (int line = 1; p < end; ++line) {
        std::string id;
        const uint8_t* q = decode_var_id(id, p, end);
        if (q == nullptr) {
            table.clear();
            LOG(LOGF_MODULE, 4, "Line %d: variable ID parse error at pos %d", line, int(p - begin));
            dump_bytes(p, end);
            return -1;
        }
        MyVarDescriptor d;
        const uint8_t* r = d.decode(q, end);
        if (r == nullptr) {
            table.clear();
            LOG(LOGF_MODULE, 4, "Line %d: variable %s descriptor parse error at pos %d", line, id.c_str(),
                int(q - begin));
            dump_bytes(q, end);
            return -1;
        }
        table[id] = std::move(d);
        p = r;
    }
    expand_var_table(table);
    return 0;
}

namespace {

// "#!$n=256": the instance count of a table with more than 255 rows, which
// the one-byte access field cannot hold.
int instance_count(const MyVarDescriptor& d)
{
    int count = d.access;
    const std::string& s = d.description;
    if (s.compare(0, 3, "#!$") != 0)
        return count;
    size_t comma = s.find(',', 3);
    std::string item = s.substr(3, comma == std::string::npos ? std::string::npos : comma - 3);
    size_t eq = item.find('=');
    if (eq == std::string::npos || item.compare(0, eq, "n") != 0)
        return count;
    long v = 0;
    size_t k = eq + 1;
    for (; k < item.size() && is_digit(item[k]) && v <= 65535; ++k)
        v = v * 10 + (item[k] - '0');
    // a runaway count would fill memory with rows nobody can address
    if (count == 255 && v > count && v <= 65535)
        count = int(v);
    return count;
}

bool ends_with_zero(const std::string& id) { return id.size() >= 2 && id.compare(id.size() - 2, 2, ".0") == 0; }

}   // namespace

void expand_var_table(MyVarTable& table)
{
    std::vector<std::pair<std::string, int>> tables;
    for (const auto& [id, d] : table)
        if (d.type == MyVarValue::TABLE && ends_with_zero(id))
            tables.emplace_back(id, instance_count(d));
    for (const auto& [id, count] : tables) {
        std::string base = id.substr(0, id.size() - 1);   // ".10.0" -> ".10."
        std::string prefix = base + "1";
        // columns of the first instance: ".10.1" + ".3.0", not ".10.10.3.0"
        std::vector<std::pair<std::string, MyVarDescriptor>> columns;
        for (const auto& [rid, d] : table)
            if (rid.size() > prefix.size() && rid.compare(0, prefix.size(), prefix) == 0 && rid[prefix.size()] == '.')
                columns.emplace_back(rid.substr(prefix.size()), d);
        for (int k = 2; k <= count; ++k)
            for (const auto& [col, d] : columns)
                table.emplace(base + std::to_string(k) + col, d);
    }
}

const char* var_status_name(int status)
{
    switch (status) {
    case VAR_OK: return "OK";
    case VAR_NOT_FOUND: return "Not found";
    case VAR_ACCESS_DENIED: return "Access denied";
    case VAR_WRONG_TYPE: return "Wrong type";
    case VAR_TIMEOUT: return "Timeout";
    case VAR_ERROR: return "Error";
    default: return "UNKNOWN";
    }
}

const char* var_type_name(int type)
{
    switch (type) {
    case MyVarValue::INT8: return "INT8";
    case MyVarValue::INT16: return "INT16";
    case MyVarValue::INT32: return "INT32";
    case MyVarValue::INT64: return "INT64";
    case MyVarValue::STRING: return "STRING";
    case MyVarValue::TABLE: return "TABLE";
    default: return "UNKNOWN";
    }
}

const char* var_access_name(int access)
{
    switch (access) {
    case VAR_NO: return "NO";
    case VAR_RO: return "RO";
    case VAR_WO: return "WO";
    case VAR_RW: return "RW";
    default: return "UNKNOWN";
    }
}
