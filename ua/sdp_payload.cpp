#include "ua/sdp_payload.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <osipparser2/osip_port.h>

#include "core/log.h"
#include "ua/sdp_attributes.h"

int sdp_add_payload(sdp_message_t* sdp, int m, const CodecInfo& row, bool vad_off, int payload,
                    const fmtp_map_t* params)
{
    std::string pt = std::to_string(payload < 0 ? row.pt : payload);
    int rc = sdp_message_m_payload_add(sdp, m, osip_strdup(pt.c_str()));
    if (rc != 0) {
        LOG(LOGF_GENERAL, 3, "sdp_message_m_payload_add(): error %d", rc);
        return rc;
    }
    auto attribute = [&](const char* field, const std::string& value) {
        int r = sdp_message_a_attribute_add(sdp, m, osip_strdup(field), osip_strdup(value.c_str()));
        if (r != 0)
            LOG(LOGF_GENERAL, 3, "sdp_message_a_attribute_add(): error %d", r);
        return r;
    };
    if (row.rtpmap && (rc = attribute("rtpmap", pt + " " + row.rtpmap)) != 0)
        return rc;

    std::string fmtp = row.fmtp ? row.fmtp : "";
    if (row.silence_param && vad_off) {
        if (!fmtp.empty())
            fmtp += "; ";
        fmtp += row.silence_param;
        fmtp += row.flags & CODEC_SILENCE_ZERO ? "=0" : "=no";
    }
    if (params) {
        for (const auto& [name, value] : *params) {
            if (!fmtp.empty())
                fmtp += "; ";
            fmtp += name;
            if (!value.empty())
                fmtp += "=" + value;
        }
    }
    if (!fmtp.empty() && (rc = attribute("fmtp", pt + " " + fmtp)) != 0)
        return rc;
    if (row.flags & CODEC_VBD && (rc = attribute("gpmd", pt + " vbd=yes")) != 0)
        return rc;
    return 0;
}

std::string sdp_get_codec_name(sdp_message_t* sdp, int m, int payload)
{
    const char* text = sdp_payload_attribute(sdp, m, "rtpmap", payload);
    if (!text)
        return "";
    const char* slash = strchr(text, '/');
    if (!slash || (strcmp(slash, "/8000") != 0 && strcmp(slash, "/8000/1") != 0))
        return "unsupported";
    std::string name(text, slash);
    auto alias = codec_alias_map.find(name);
    return alias == codec_alias_map.end() ? name : alias->second;
}

static std::string trimmed_lower(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    std::string t = b == std::string::npos ? "" : s.substr(b, e - b + 1);
    std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return t;
}

fmtp_map_t sdp_parse_fmtp(sdp_message_t* sdp, int m, int payload)
{
    fmtp_map_t map;
    const char* text = sdp_payload_attribute(sdp, m, "fmtp", payload);
    if (!text)
        return map;
    std::string rest = text;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t semi = rest.find(';', start);
        std::string piece = trimmed_lower(rest.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
        if (!piece.empty()) {
            size_t eq = piece.find('=');
            if (eq == std::string::npos)
                map[piece] = "";
            else
                map[piece.substr(0, eq)] = piece.substr(eq + 1);
        }
        if (semi == std::string::npos)
            break;
        start = semi + 1;
    }
    return map;
}

std::string sdp_get_gpmd(sdp_message_t* sdp, int m, int payload)
{
    // the first gpmd of the payload that names "vbd" counts
    std::string number = std::to_string(payload);
    for (int i = 0;; i++) {
        const char *field, *value;
        if (!sdp_attribute_at(sdp, m, i, field, value))
            return "";
        if (strcasecmp(field, "gpmd") != 0 || !value || strncmp(value, number.c_str(), number.size()) != 0)
            continue;
        const char* p = value + number.size();
        if (*p >= '0' && *p <= '9')
            continue;
        if (!*p)
            continue;
        const char* eq = strchr(p + 1, '=');
        if (eq && std::string(p + 1, eq) == "vbd")
            return eq + 1;
    }
}
