// The daemon's one structured value (settings, status, commands, records)
// and its own small text form: close to JSON, but integers only (32-bit),
// no null, "undef" for an undefined value, and hash members sorted by name.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

// A character source for JsonValue::parse.
class DataSource {
public:
    virtual int get() = 0;                // next character as 0..255, -1 at the end
    virtual void unget(int ch) = 0;       // puts the last character back
    virtual bool readInt(int* out) = 0;   // decimal integer at the current position

protected:
    ~DataSource() = default;
};

// A NUL-terminated buffer that the caller keeps alive; the NUL ends the input.
class MemDataSource final : public DataSource {
public:
    explicit MemDataSource(const char* text) : start(text), pos(text) {}

    int get() override;
    void unget(int ch) override;
    bool readInt(int* out) override;

    // Where reading stopped, for callers that refuse trailing text.
    const char* position() const { return pos; }

private:
    const char* start;
    const char* pos;
};

// An open stream that the caller keeps and closes.
class FileDataSource final : public DataSource {
public:
    explicit FileDataSource(FILE* stream) : f(stream) {}

    int get() override;
    void unget(int ch) override;
    bool readInt(int* out) override;

private:
    FILE* f;
};

enum json_kind {
    JSON_UNDEFINED = 0,
    JSON_BOOL = 1,
    JSON_INTEGER = 2,
    JSON_STRING = 3,
    JSON_ARRAY = 4,
    JSON_HASH = 5,
};

// Every field stays present whatever the kind: changing the kind leaves the
// fields of the other kinds as they were.
class JsonValue {
public:
    // Remote text reaches the parser (web API, management link): deeper
    // nesting is refused rather than risking the stack of a 1 MiB thread.
    static constexpr int max_depth = 64;

    int kind = JSON_UNDEFINED;
    bool boolean = false;
    int integer = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;   // std::string orders names byte-wise

    JsonValue() = default;
    JsonValue(const JsonValue&) = default;
    JsonValue(JsonValue&&) noexcept = default;
    JsonValue& operator=(const JsonValue& other);
    JsonValue& operator=(JsonValue&& other) noexcept;
    ~JsonValue() = default;

    // The member called name, or null; the kind is not looked at.
    JsonValue* find(const std::string& name);
    const JsonValue* find(const std::string& name) const;

    // Makes the value a hash and adds a missing member as undefined.
    // Code that only reads must use find(): an added undefined member is
    // written "undef", which parse refuses.
    JsonValue& operator[](const std::string& name);

    void setString(const std::string& value);
    void assign(const JsonValue& other);
    void swap(JsonValue& other) noexcept;

    static const char* typeName(int kind);

    // indent 0: compact text; indent n: one element per line, n blanks a level.
    std::string toString(int indent = 0, int depth = 0) const;

    // Reads one value from source into a fresh value; false when the text is
    // not a value. Nothing after the value is read. On failure the value is
    // partly filled and should be discarded.
    bool parse(DataSource& source);

    // Appends the characters after an opening double quote up to the closing
    // one, decoding escapes; false at the end of input or on a bad escape.
    static bool parseString(DataSource& source, std::string& out);

private:
    bool parseValue(DataSource& source, int depth);
    bool parseArray(DataSource& source, int depth);
    bool parseHash(DataSource& source, int depth);
    void write(std::string& out, int indent, int depth) const;
};

// Builders and a reader for settings and status objects.
JsonValue json_int(int v);
JsonValue json_bool(bool v);
JsonValue json_string(const std::string& v);
// A member of the wrong kind counts as absent.
int int_key(const JsonValue& settings, const char* name, int fallback);
const JsonValue* json_member(const JsonValue& object, const char* name, int kind);
