// Byte strings written as hex text ("0A 05 03 00") for the codec tables.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes hex(const std::string& text)
{
    Bytes out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

inline std::string to_hex(const uint8_t* p, size_t n)
{
    std::string out;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        out += b;
    }
    return out;
}

inline std::string to_hex(const Bytes& b) { return to_hex(b.data(), b.size()); }
