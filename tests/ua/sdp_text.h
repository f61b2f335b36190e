// SDP texts for tests, written one line per string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "core/base64.h"
#include "ua/sdp_media_address.h"
#include "ua/sdp_message_ptr.h"

inline std::string sdp_lines(std::initializer_list<const char*> lines)
{
    std::string s;
    for (const char* l : lines)
        s += std::string(l) + "\r\n";
    return s;
}

inline sdp_message_ptr sdp_of(std::initializer_list<const char*> lines)
{
    return sdp_parse(sdp_lines(lines).c_str());
}

inline std::string b64(const std::string& bytes) { return Base64Encode(bytes.data(), bytes.size()); }

inline bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// The gateway's addresses: IPv4 in use, an IPv6 address but no global one.
inline const sdp_local_t local4{"192.0.2.10", false, "2001:db8::10", -1};

// Byte i of the random stream is i, so keys are known.
inline bool counting(uint8_t* buf, size_t len)
{
    for (size_t i = 0; i < len; i++)
        buf[i] = uint8_t(i);
    return true;
}
