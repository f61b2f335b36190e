#include "sip/proxy/config_parse.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sipproxy {

static std::string lower(std::string s)
{
    for (auto& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

int ConfigParse::parseFile(const std::string& path, std::string* error)
{
    std::ifstream in(path);
    if (!in) {
        if (error)
            *error = "cannot read " + path;
        return -1;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    return parse(ss.str(), path, 0, error);
}

int ConfigParse::parseText(const std::string& text, const std::string& source, std::string* error)
{
    return parse(text, source, 0, error);
}

int ConfigParse::parse(const std::string& text, const std::string& source, int depth, std::string* error)
{
    if (depth > 8) {
        if (error)
            *error = source + ": includes nest too deep";
        return -1;
    }
    std::istringstream in(text);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t a = line.find_first_not_of(" \t");
        if (a == std::string::npos || line[a] == '#')
            continue;
        std::string where = source + ":" + std::to_string(n);
        if (line.compare(a, 8, "include ") == 0 || line.compare(a, 8, "include\t") == 0) {
            std::string file = line.substr(a + 8);
            size_t s = file.find_first_not_of(" \t"), e = file.find_last_not_of(" \t");
            if (s == std::string::npos) {
                if (error)
                    *error = where + ": include without a file";
                return -1;
            }
            file = file.substr(s, e - s + 1);
            if (file.front() != '/') {
                size_t slash = source.rfind('/');
                if (slash != std::string::npos)
                    file = source.substr(0, slash + 1) + file;
            }
            std::ifstream inc(file);
            if (!inc) {
                if (error)
                    *error = where + ": cannot read " + file;
                return -1;
            }
            std::stringstream ss;
            ss << inc.rdbuf();
            if (parse(ss.str(), file, depth + 1, error) != 0)
                return -1;
            continue;
        }
        size_t eq = line.find('=', a);
        if (eq == std::string::npos) {
            if (error)
                *error = where + ": expected Name = value";
            return -1;
        }
        size_t ke = line.find_last_not_of(" \t", eq == 0 ? 0 : eq - 1);
        if (ke == std::string::npos || ke < a || eq == a) {
            if (error)
                *error = where + ": no name before '='";
            return -1;
        }
        std::string key = lower(line.substr(a, ke - a + 1));
        size_t vs = line.find_first_not_of(" \t", eq + 1);
        std::string value = vs == std::string::npos ? "" : line.substr(vs);
        if (!values.emplace(key, value).second) {
            if (error)
                *error = where + ": " + key + " is set twice";
            return -1;
        }
    }
    return 0;
}

void ConfigParse::set(const std::string& key, const std::string& value) { values[lower(key)] = value; }

bool ConfigParse::has(const std::string& key) const { return values.count(lower(key)) > 0; }

std::string ConfigParse::getConfigData(const std::string& key, const std::string& default_value) const
{
    auto it = values.find(lower(key));
    return it == values.end() ? default_value : it->second;
}

int ConfigParse::getConfigInt(const std::string& key, int default_value) const
{
    auto it = values.find(lower(key));
    if (it == values.end())
        return default_value;
    const char* s = it->second.c_str();
    char* end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    while (end && (*end == ' ' || *end == '\t'))
        ++end;
    if (end == s || *end || errno || v < INT_MIN || v > INT_MAX)
        return default_value;
    return static_cast<int>(v);
}

bool ConfigParse::getConfigBool(const std::string& key, bool default_value) const
{
    auto it = values.find(lower(key));
    if (it == values.end())
        return default_value;
    std::string v = it->second;
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
        v.pop_back();
    for (const char* t : {"1", "true", "on", "enable"})
        if (strcasecmp(v.c_str(), t) == 0)
            return true;
    for (const char* f : {"0", "false", "off", "disable"})
        if (strcasecmp(v.c_str(), f) == 0)
            return false;
    return default_value;
}

std::vector<std::string> ConfigParse::getConfigIndexKeys(const std::string& prefix) const
{
    std::string p = lower(prefix);
    std::vector<std::string> out;
    for (auto it = values.lower_bound(p); it != values.end() && it->first.compare(0, p.size(), p) == 0; ++it) {
        size_t e = p.size();
        while (e < it->first.size() && isdigit(static_cast<unsigned char>(it->first[e])))
            ++e;
        if (e == p.size())
            continue;
        out.push_back(it->first.substr(0, e));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace sipproxy
