#include "ua/sdp_attributes.h"

#include <climits>
#include <cstring>
#include <strings.h>

int sdp_media_count(sdp_message_t* sdp)
{
    int n = 0;
    while (sdp && sdp_message_endof_media(sdp, n) == 0)
        n++;
    return n;
}

static std::string text(const char* s) { return s ? s : ""; }

std::string sdp_media_name(sdp_message_t* sdp, int m) { return text(sdp_message_m_media_get(sdp, m)); }
std::string sdp_media_port(sdp_message_t* sdp, int m) { return text(sdp_message_m_port_get(sdp, m)); }
std::string sdp_media_proto(sdp_message_t* sdp, int m) { return text(sdp_message_m_proto_get(sdp, m)); }

bool sdp_attribute_at(sdp_message_t* sdp, int m, int i, const char*& field, const char*& value)
{
    sdp_attribute_t* a = sdp_message_attribute_get(sdp, m, i);
    if (!a)
        return false;
    field = a->a_att_field ? a->a_att_field : "";
    value = a->a_att_value;
    return true;
}

const char* sdp_attribute_find(sdp_message_t* sdp, int m, const char* name)
{
    const char *field, *value;
    for (int i = 0; sdp_attribute_at(sdp, m, i, field, value); i++)
        if (strcasecmp(field, name) == 0)
            return value ? value : "";
    return nullptr;
}

const char* sdp_payload_attribute(sdp_message_t* sdp, int m, const char* name, int payload)
{
    std::string number = std::to_string(payload);
    const char *field, *value;
    for (int i = 0; sdp_attribute_at(sdp, m, i, field, value); i++) {
        if (strcasecmp(field, name) != 0 || !value || strncmp(value, number.c_str(), number.size()) != 0)
            continue;
        // "101 ..." must not pass for payload 10
        char next = value[number.size()];
        if (next >= '0' && next <= '9')
            continue;
        return next ? value + number.size() + 1 : value + number.size();
    }
    return nullptr;
}

bool sdp_parse_int(const std::string& s, long lo, long hi, long& out)
{
    if (s.empty() || s.size() > 18)
        return false;
    long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi)
        return false;
    out = v;
    return true;
}

int sdp_payload_number(const char* t)
{
    long v;
    if (!t || !sdp_parse_int(t, 0, 127, v))
        return -1;
    return int(v);
}

long sdp_leading_int(const char* t)
{
    if (!t)
        return 0;
    while (*t == ' ' || *t == '\t')
        t++;
    bool neg = *t == '-';
    if (*t == '-' || *t == '+')
        t++;
    long v = 0;
    for (; *t >= '0' && *t <= '9'; t++)
        v = v * 10 + (*t - '0') > INT_MAX ? INT_MAX : v * 10 + (*t - '0');
    return neg ? -v : v;
}
