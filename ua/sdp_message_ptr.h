// Owner of an osip SDP message.
#pragma once

#include <memory>
#include <string>
#include <osipparser2/sdp_message.h>

struct sdp_message_deleter {
    void operator()(sdp_message_t* sdp) const { sdp_message_free(sdp); }
};
using sdp_message_ptr = std::unique_ptr<sdp_message_t, sdp_message_deleter>;

// A parsed SDP text, null when it does not parse. Remote SDP is parsed only
// here: osip's parser reads up to two bytes past the text's end when the last
// line is an m= line without formats ended by a lone LF, so it gets a copy
// followed by spare NULs.
inline sdp_message_ptr sdp_parse(const char* text)
{
    if (!text)
        return nullptr;
    std::string padded(text);
    padded.append(8, '\0');
    sdp_message_t* sdp = nullptr;
    if (sdp_message_init(&sdp) != 0)
        return nullptr;
    sdp_message_ptr owner(sdp);
    if (sdp_message_parse(sdp, padded.c_str()) != 0)
        return nullptr;
    return owner;
}
