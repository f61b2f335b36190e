#include "ua/sdp_codec_options.h"

#include "core/log.h"
#include "ua/sdp_attributes.h"

void sdp_codec_options(rtp_event_t& event, const fmtp_map_t& fmtp, const char* prefix)
{
    auto number = [&fmtp](const char* name, int& field) {
        auto it = fmtp.find(name);
        if (it != fmtp.end())
            field = int(sdp_leading_int(it->second.c_str()));
    };
    number("dtxmin", event.dtxmin);
    number("dtxmax", event.dtxmax);
    number("hangover", event.hangover);
    number("maxinterleave", event.maxinterleave);

    auto is = [&fmtp](const char* name, const char* value) {
        auto it = fmtp.find(name);
        return it != fmtp.end() && it->second == value;
    };
    auto modes = fmtp.find("mode-set");
    if (modes != fmtp.end()) {
        uint32_t bits = 0;
        const std::string& list = modes->second;
        size_t start = 0;
        while (start <= list.size()) {
            size_t comma = list.find(',', start);
            std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            size_t b = item.find_first_not_of(" \t"), e = item.find_last_not_of(" \t");
            long mode;
            if (b != std::string::npos && sdp_parse_int(item.substr(b, e - b + 1), 0, 7, mode))
                bits |= 1u << mode;
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
        if (!bits) {
            LOG(LOGF_GENERAL, 4, "%signoring invalid mode-set parameter: '%s'", prefix, list.c_str());
            bits = 0xFF;
        }
        event.amr_flags = (event.amr_flags & ~0xFFu) | bits;
    }
    if (is("mode-change-period", "2"))
        event.amr_flags |= 0x100;
    if (is("mode-change-neighbor", "1"))
        event.amr_flags |= 0x200;
    if (is("octet-align", "1"))
        event.amr_flags |= 0x400;
    if (is("crc", "1"))
        event.amr_flags |= 0xC00;
}
