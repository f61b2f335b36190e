// Owner of an osip SDP message.
#pragma once

#include <memory>
#include <osipparser2/sdp_message.h>

struct sdp_message_deleter {
    void operator()(sdp_message_t* sdp) const { sdp_message_free(sdp); }
};
using sdp_message_ptr = std::unique_ptr<sdp_message_t, sdp_message_deleter>;

// A parsed SDP text, null when it does not parse.
inline sdp_message_ptr sdp_parse(const char* text)
{
    sdp_message_t* sdp = nullptr;
    if (sdp_message_init(&sdp) != 0)
        return nullptr;
    sdp_message_ptr owner(sdp);
    if (sdp_message_parse(sdp, text) != 0)
        return nullptr;
    return owner;
}
