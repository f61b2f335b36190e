#include "sim/sim_json.h"

#include <cstdio>
#include <stdexcept>

long long sim_number(const nlohmann::json& v)
{
    if (v.is_number_integer())
        return v.get<long long>();
    if (v.is_string()) {
        size_t used = 0;
        std::string s = v.get<std::string>();
        long long n = std::stoll(s, &used, 0);
        if (used != s.size())
            throw std::invalid_argument("not a number: " + s);
        return n;
    }
    throw std::invalid_argument("not a number: " + v.dump());
}

long long sim_number_or(const nlohmann::json& r, const char* key, long long fallback)
{
    return r.contains(key) ? sim_number(r.at(key)) : fallback;
}

std::string sim_hex(const std::vector<uint8_t>& b)
{
    std::string s;
    char t[4];
    for (uint8_t c : b) {
        snprintf(t, sizeof t, "%02x", c);
        s += t;
    }
    return s;
}

std::vector<uint8_t> sim_unhex(const std::string& s)
{
    if (s.size() % 2)
        throw std::invalid_argument("odd number of hex digits");
    std::vector<uint8_t> b;
    for (size_t i = 0; i < s.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return b;
}
