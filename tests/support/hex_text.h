// Bytes as lower-case hex text without separators, to compare wire images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline std::string hex(const uint8_t* p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

inline std::string hex(const std::vector<uint8_t>& v) { return hex(v.data(), v.size()); }
