#include "core/json_value.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "core/hex_digit.h"

// ---- data sources

int MemDataSource::get()
{
    if (*pos == '\0')
        return -1;
    return static_cast<unsigned char>(*pos++);
}

void MemDataSource::unget(int ch)
{
    // Putting back the end marker must not step back over real text.
    if (ch != -1 && pos > start)
        --pos;
}

bool MemDataSource::readInt(int* out)
{
    char* end = nullptr;
    errno = 0;
    long v = strtol(pos, &end, 10);
    if (end == pos)
        return false;
    pos = end;
    // long is 64-bit on the host and 32-bit on the board: refuse anything
    // outside int32 so that both give the same answer.
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}

int FileDataSource::get()
{
    return fgetc(f);
}

void FileDataSource::unget(int ch)
{
    if (ch != EOF)
        ungetc(ch, f);
}

// Reads like strtol does (blanks, a sign, digits) because fscanf's "%d" has
// no defined result on overflow.
bool FileDataSource::readInt(int* out)
{
    int c = fgetc(f);
    while (c != EOF && isspace(c))
        c = fgetc(f);
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = fgetc(f);
    }
    if (c == EOF || !isdigit(c)) {
        unget(c);
        return false;
    }
    int64_t v = 0;
    bool overflow = false;
    for (; c != EOF && isdigit(c); c = fgetc(f)) {
        if (!overflow) {
            v = v * 10 + (c - '0');
            if (v > int64_t(INT32_MAX) + 1)
                overflow = true;
        }
    }
    unget(c);
    if (negative)
        v = -v;
    if (overflow || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}

// ---- the value

JsonValue& JsonValue::operator=(const JsonValue& other)
{
    assign(other);
    return *this;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept
{
    // Through a temporary: other may live inside this value.
    JsonValue taken(std::move(other));
    swap(taken);
    return *this;
}

JsonValue* JsonValue::find(const std::string& name)
{
    auto it = members.find(name);
    return it == members.end() ? nullptr : &it->second;
}

const JsonValue* JsonValue::find(const std::string& name) const
{
    auto it = members.find(name);
    return it == members.end() ? nullptr : &it->second;
}

JsonValue& JsonValue::operator[](const std::string& name)
{
    kind = JSON_HASH;
    return members[name];
}

void JsonValue::setString(const std::string& value)
{
    kind = JSON_STRING;
    text = value;
}

void JsonValue::assign(const JsonValue& other)
{
    // Copy first: other may live inside this value.
    if (this == &other)
        return;
    JsonValue copy(other);
    swap(copy);
}

void JsonValue::swap(JsonValue& other) noexcept
{
    std::swap(kind, other.kind);
    std::swap(boolean, other.boolean);
    std::swap(integer, other.integer);
    text.swap(other.text);
    items.swap(other.items);
    members.swap(other.members);
}

const char* JsonValue::typeName(int kind)
{
    static const char* const names[] = {"undefined", "bool", "integer", "string", "array", "hash"};
    if (kind < JSON_UNDEFINED || kind > JSON_HASH)
        return "undefined";
    return names[kind];
}

// ---- writing

static void write_quoted(std::string& out, const std::string& s)
{
    out += '"';
    for (char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default: out += c; break;
        }
    }
    out += '"';
}

static void write_break(std::string& out, int indent, int level)
{
    if (indent > 0) {
        out += '\n';
        out.append(static_cast<size_t>(level) * indent, ' ');
    }
}

void JsonValue::write(std::string& out, int indent, int depth) const
{
    switch (kind) {
    case JSON_BOOL:
        out += boolean ? "true" : "false";
        break;
    case JSON_INTEGER:
        out += std::to_string(integer);
        break;
    case JSON_STRING:
        write_quoted(out, text);
        break;
    case JSON_ARRAY: {
        out += '[';
        bool first = true;
        for (const JsonValue& item : items) {
            if (!first)
                out += ',';
            first = false;
            write_break(out, indent, depth + 1);
            item.write(out, indent, depth + 1);
        }
        if (!items.empty())
            write_break(out, indent, depth);
        out += ']';
        break;
    }
    case JSON_HASH: {
        out += '{';
        bool first = true;
        for (const auto& [name, value] : members) {
            if (!first)
                out += ',';
            first = false;
            write_break(out, indent, depth + 1);
            // Names come from users too (user names, subscriber keys): they
            // are escaped like strings so that the text always reads back.
            write_quoted(out, name);
            out += ':';
            value.write(out, indent, depth + 1);
        }
        if (!members.empty())
            write_break(out, indent, depth);
        out += '}';
        break;
    }
    default:
        out += "undef";
        break;
    }
}

std::string JsonValue::toString(int indent, int depth) const
{
    std::string out;
    write(out, indent, depth);
    return out;
}

// ---- reading

static int skip_space(DataSource& source)
{
    int c = source.get();
    while (c != -1 && isspace(c))
        c = source.get();
    return c;
}

// The four hex digits after "\u"; -1 when they are not four hex digits.
static long read_hex4(DataSource& source)
{
    long v = 0;
    for (int i = 0; i < 4; ++i) {
        int d = hex_digit(source.get());
        if (d < 0)
            return -1;
        v = v * 16 + d;
    }
    return v;
}

static void append_utf8(std::string& out, unsigned long cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// "\u" escape, the backslash and the u already read. A lone surrogate and
// U+0000 are refused: texts end up in C strings, where a NUL would cut them.
static bool decode_unicode(DataSource& source, std::string& out)
{
    long cp = read_hex4(source);
    if (cp <= 0)
        return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF)
        return false;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (source.get() != '\\' || source.get() != 'u')
            return false;
        long low = read_hex4(source);
        if (low < 0xDC00 || low > 0xDFFF)
            return false;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(out, static_cast<unsigned long>(cp));
    return true;
}

bool JsonValue::parseString(DataSource& source, std::string& out)
{
    for (;;) {
        int c = source.get();
        if (c == -1)
            return false;
        if (c == '"')
            return true;
        if (c == '\\') {
            c = source.get();
            switch (c) {
            case -1: return false;
            case 'n': c = '\n'; break;
            case 't': c = '\t'; break;
            case 'r': c = '\r'; break;
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'u':
                if (!decode_unicode(source, out))
                    return false;
                continue;
            default: break;   // any other character stands for itself
            }
        }
        out += static_cast<char>(c);
    }
}

bool JsonValue::parse(DataSource& source)
{
    JsonValue fresh;
    swap(fresh);
    return parseValue(source, 0);
}

bool JsonValue::parseValue(DataSource& source, int depth)
{
    int c = skip_space(source);
    switch (c) {
    case '"':
        if (parseString(source, text)) {
            kind = JSON_STRING;
            return true;
        }
        text.clear();
        kind = JSON_UNDEFINED;
        return false;
    case '[':
        if (depth >= max_depth)
            return false;
        items.clear();
        kind = JSON_ARRAY;
        return parseArray(source, depth + 1);
    case '{':
        if (depth >= max_depth)
            return false;
        members.clear();
        kind = JSON_HASH;
        return parseHash(source, depth + 1);
    case '+':
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
        source.unget(c);
        if (source.readInt(&integer)) {
            kind = JSON_INTEGER;
            return true;
        }
        kind = JSON_UNDEFINED;
        return false;
    case 't':
        if (source.get() != 'r' || source.get() != 'u' || source.get() != 'e')
            return false;
        kind = JSON_BOOL;
        boolean = true;
        return true;
    case 'f':
        if (source.get() != 'a' || source.get() != 'l' || source.get() != 's' || source.get() != 'e')
            return false;
        kind = JSON_BOOL;
        boolean = false;
        return true;
    default:
        return false;
    }
}

// depth counts the containers around the elements, this one included.
bool JsonValue::parseArray(DataSource& source, int depth)
{
    int c = skip_space(source);
    if (c == -1)
        return false;
    if (c == ']')
        return true;
    for (;;) {
        source.unget(c);
        JsonValue item;
        if (!item.parseValue(source, depth))
            return false;
        items.push_back(std::move(item));
        c = skip_space(source);
        if (c != ',')
            return c == ']';
        c = skip_space(source);
        if (c == ']' || c == -1)   // no trailing comma
            return false;
    }
}

bool JsonValue::parseHash(DataSource& source, int depth)
{
    int c = skip_space(source);
    if (c == '}')
        return true;
    while (c == '"') {
        std::string name;
        if (!parseString(source, name))
            return false;
        if (skip_space(source) != ':')
            return false;
        JsonValue value;
        if (!value.parseValue(source, depth))
            return false;
        members.insert_or_assign(std::move(name), std::move(value));   // the last one wins
        c = skip_space(source);
        if (c != ',')
            return c == '}';
        c = skip_space(source);
        if (c == '}')   // no trailing comma
            return false;
    }
    return false;
}

JsonValue json_int(int v)
{
    JsonValue j;
    j.kind = JSON_INTEGER;
    j.integer = v;
    return j;
}

JsonValue json_bool(bool v)
{
    JsonValue j;
    j.kind = JSON_BOOL;
    j.boolean = v;
    return j;
}

JsonValue json_string(const std::string& v)
{
    JsonValue j;
    j.setString(v);
    return j;
}

int int_key(const JsonValue& settings, const char* name, int fallback)
{
    const JsonValue* v = settings.find(name);
    return v && v->kind == JSON_INTEGER ? v->integer : fallback;
}

const JsonValue* json_member(const JsonValue& object, const char* name, int kind)
{
    const JsonValue* v = object.find(name);
    return v && v->kind == kind ? v : nullptr;
}
