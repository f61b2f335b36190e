// The proxy configuration file: "Name = value" lines, '#' comments, keys
// without regard to case, the value being the rest of the line, "include
// <file>", and a key given twice being an error.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace sipproxy {

class ConfigParse {
public:
    // 0, or -1 with *error saying which file and line.
    int parseFile(const std::string& path, std::string* error = nullptr);
    int parseText(const std::string& text, const std::string& source, std::string* error = nullptr);
    // A value set in code (command line); replaces what the file said.
    void set(const std::string& key, const std::string& value);

    bool has(const std::string& key) const;
    std::string getConfigData(const std::string& key, const std::string& default_value) const;
    int getConfigInt(const std::string& key, int default_value) const;
    // 1/true/on/enable and 0/false/off/disable; anything else is the default.
    bool getConfigBool(const std::string& key, bool default_value) const;
    // The indexed names: prefix plus digits of every key that starts so,
    // lower-cased, once each, in byte order ("transport1", "transport10",
    // "transport2").
    std::vector<std::string> getConfigIndexKeys(const std::string& prefix) const;

private:
    int parse(const std::string& text, const std::string& source, int depth, std::string* error);
    std::map<std::string, std::string> values;  // lower-case key -> value
};

}  // namespace sipproxy
