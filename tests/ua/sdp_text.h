// SDP texts for tests, written one line per string.
#pragma once

#include <initializer_list>
#include <string>

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
