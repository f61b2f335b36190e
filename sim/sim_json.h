// Reading control requests: numbers as JSON numbers or "0x.." texts, byte
// strings as hex. Shared by every device's control requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// Throws std::invalid_argument when v is neither an integer nor a whole number text.
long long sim_number(const nlohmann::json& v);
// r[key] as a number, fallback when r has no key.
long long sim_number_or(const nlohmann::json& r, const char* key, long long fallback);

std::string sim_hex(const std::vector<uint8_t>& bytes);
// Throws std::invalid_argument on an odd count or a non-hex digit.
std::vector<uint8_t> sim_unhex(const std::string& text);
