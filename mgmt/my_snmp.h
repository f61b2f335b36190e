// Byte encoding of the management link's variables: typed values, status
// values, variable IDs, the four list bodies and the encoded variable table.
// Stateless; every decoder stays inside the range it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>

// Status codes, one byte on the wire.
enum : int {
    VAR_OK = 0,
    VAR_NOT_FOUND = 1,
    VAR_ACCESS_DENIED = 2,
    VAR_WRONG_TYPE = 3,
    VAR_TIMEOUT = 4,
    VAR_ERROR = 5,
};

// Access rights of a table row (a TABLE row keeps its instance count here).
enum : int {
    VAR_NO = 0,
    VAR_RO = 1,
    VAR_WO = 2,
    VAR_RW = 3,
};

struct MyVarValue {
    enum Type : int { INT8 = 0, INT16 = 1, INT32 = 2, INT64 = 3, STRING = 4, TABLE = 5 };

    int type = INT8;
    int64_t value = 0;
    std::string text;
    int repeat = 0;   // the store's value map counts its sends here
    int status = VAR_OK;

    MyVarValue() = default;
    MyVarValue(int t, int64_t v) : type(t), value(v) {}
    explicit MyVarValue(std::string s) : type(STRING), text(std::move(s)) {}

    // Type byte and payload; -1 for TABLE, an unknown type or too small a buffer.
    int encode(uint8_t* buf, size_t size) const;
    // Position after the value, or null; *this changes only on success.
    const uint8_t* decode(const uint8_t* begin, const uint8_t* end);
    // Status byte, then the typed value only when the status is VAR_OK.
    int encodeWithStatus(uint8_t* buf, size_t size) const;
    const uint8_t* decodeWithStatus(const uint8_t* begin, const uint8_t* end);
};

// u16 little-endian length counting its own two bytes, then the text.
const uint8_t* decode_var_string(std::string& text, const uint8_t* begin, const uint8_t* end);

// Dotted text ".10.5.3.0" <-> bytes 0A 05 03 00. Components above 255 fold
// into the previous byte (.10.256 gives the bytes of .11.1).
int encode_var_id(uint8_t* buf, size_t size, const std::string& text);
const uint8_t* decode_var_id(std::string& text, const uint8_t* begin, const uint8_t* end);

// Numeric order, component by component (.2.0 before .10.0).
bool var_id_less(const std::string& a, const std::string& b);
struct VarIdLess {
    bool operator()(const std::string& a, const std::string& b) const { return var_id_less(a, b); }
};

// The lists keep their IDs in plain byte-wise order (.10.0 before .9.0) and
// are written in that order. Parsing keeps the first of duplicate IDs.
// serialize returns the bytes written or -1 (also for an empty buffer);
// parse returns 0 or -1.
class MyVarIdList : public std::set<std::string> {
public:
    int serialize(uint8_t* buf, size_t size) const;
    int parse(const uint8_t* data, int length);
};

class MyVarValueList : public std::map<std::string, MyVarValue> {
public:
    int serialize(uint8_t* buf, size_t size) const;
    int parse(const uint8_t* data, int length);
};

class MyVarStatusList : public std::map<std::string, int> {
public:
    int serialize(uint8_t* buf, size_t size) const;
    int parse(const uint8_t* data, int length);
    void insertIds(const MyVarIdList& ids);
    // Keys become prefix + ID + ".0".
    void withPrefix(const std::string& prefix);
};

// The status of each entry is its value's status field.
class MyVarStatusValueList : public std::map<std::string, MyVarValue> {
public:
    int serialize(uint8_t* buf, size_t size) const;
    // Empties the list when the input is malformed.
    int parse(const uint8_t* data, int length);
    static MyVarStatusValueList fromIds(const MyVarIdList& ids, int status);
    void insertIds(const MyVarIdList& ids);
    // Keys become prefix + ID.
    void withPrefix(const std::string& prefix);
};

// One row of the variable table.
struct MyVarDescriptor {
    int type = MyVarValue::INT8;
    int access = VAR_RO;   // for a TABLE row: the number of instances
    std::string name;
    std::string description;

    int encode(uint8_t* buf, size_t size) const;
    const uint8_t* decode(const uint8_t* begin, const uint8_t* end);
};

using MyVarTable = std::map<std::string, MyVarDescriptor, VarIdLess>;

// The encoded table (the "mib" variable); empty when a row's ID has a
// component above 255 or is not a dotted ID.
std::string describe_var_table(const MyVarTable& table);
// Reads an encoded table into table, then expands it; -1 (table emptied) on
// malformed input.
int parse_var_table(MyVarTable& table, const std::string& bytes);
// Adds the instances of every TABLE row.
void expand_var_table(MyVarTable& table);

const char* var_status_name(int status);
const char* var_type_name(int type);
const char* var_access_name(int access);
