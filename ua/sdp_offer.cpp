#include "ua/sdp_offer.h"

#include <cstdint>
#include <osipparser2/osip_port.h>
#include <strings.h>

#include "core/log.h"
#include "ua/codec_list.h"
#include "ua/codec_table.h"
#include "ua/sdp_edit.h"
#include "ua/sdp_message_ptr.h"
#include "ua/sdp_payload.h"

namespace {

// A field-only attribute such as "altc:1 IP4 192.0.2.10 10006".
bool add_flag(sdp_message_t* sdp, int m, const std::string& field)
{
    return sdp_check(sdp_message_a_attribute_add(sdp, m, sdp_dup(field), nullptr), "sdp_message_a_attribute_add");
}

bool add_attribute(sdp_message_t* sdp, int m, const char* field, const std::string& value)
{
    return sdp_check(sdp_message_a_attribute_add(sdp, m, sdp_dup(field), sdp_dup(value)), "sdp_message_a_attribute_add");
}

struct offer_t {
    const sdp_local_t& local;
    std::string port;
    bool ipv4;
    bool inactive;
    bool vad_off;
    int ptime;
    int maxptime;
    int maxinterleave;
    const char* mode;
};

bool add_altc(sdp_message_t* sdp, int m, const offer_t& o)
{
    if (!o.ipv4 || o.inactive)
        return true;
    std::string v4 = o.local.ipv4 + " " + o.port, v6 = o.local.ipv6 + " " + o.port;
    if (o.local.global_ipv6)
        return add_flag(sdp, m, "altc:1 IP6 " + v6) && add_flag(sdp, m, "altc:2 IP4 " + v4);
    if (o.local.ipv6_prefix >= 0)
        return add_flag(sdp, m, "altc:1 IP4 " + v4) && add_flag(sdp, m, "altc:2 IP6 " + v6);
    return true;
}

const CodecInfo* row_for(int number)
{
    if (number == 0)
        return &codec_table[0];
    for (const CodecInfo* row = &codec_table[1]; row->name; row++)
        if (row->pt == number)
            return row;
    return nullptr;
}

// Payloads, ptime, maxptime and the direction of one audio line.
bool add_codecs(sdp_message_t* sdp, int m, const offer_t& o, const std::vector<int>& numbers)
{
    bool interleaved = false;
    for (int number : numbers) {
        const CodecInfo* row = row_for(number);
        if (!row)
            continue;
        fmtp_map_t params;
        if (row->flags & CODEC_INTERLEAVED) {
            params["maxinterleave"] = std::to_string(o.maxinterleave);
            interleaved = true;
        }
        if (sdp_add_payload(sdp, m, *row, o.vad_off, -1, params.empty() ? nullptr : &params) != 0)
            return false;
    }
    if (o.ptime >= 1 && !add_attribute(sdp, m, "ptime", std::to_string(o.ptime)))
        return false;
    if (interleaved && !add_attribute(sdp, m, "maxptime", std::to_string(o.maxptime)))
        return false;
    if (o.mode && !add_flag(sdp, m, o.mode))
        return false;
    return true;
}

}  // namespace

std::optional<std::string> sdp_build_offer(const sdp_local_t& local, int channel, const char* mode,
                                           const std::string& codecs, const std::string& suite,
                                           const std::string& key, const sdp_random_t& random,
                                           sdp_session_t* session)
{
    bool t38 = mode && strcasecmp(mode, "t38") == 0;
    bool ipv4 = local.ipv4_usable();
    std::string type = ipv4 ? "IP4" : "IP6";
    std::string address = ipv4 ? local.ipv4 : local.ipv6;
    offer_t o{local, std::to_string(sdp_channel_port(channel)), ipv4, mode && strcasecmp(mode, "inactive") == 0,
              true, -1, 60, 7, mode};

    std::vector<int> numbers;
    bool srtp = false, srtp_required = false;
    int interleave = -1;
    if (!t38) {
        numbers = codec_list_parse(codecs);
        codec_list_options_t opts = codec_list_options(numbers);
        o.vad_off = !opts.cn;
        srtp = opts.srtp;
        srtp_required = opts.srtp_required;
        o.ptime = opts.ptime;
        interleave = opts.interleave;
        if (o.ptime < 60) {
            o.maxinterleave = interleave >= 0 ? interleave : 7;
        } else if (o.ptime <= 421) {
            o.maxptime = o.ptime;
            o.maxinterleave = 500 / ((o.ptime + 19) / 20 * 20) - 1;
            if (interleave >= 0 && interleave < o.maxinterleave)
                o.maxinterleave = interleave;
        } else {
            o.maxptime = o.ptime;
            o.maxinterleave = 0;
        }
    }

    // Crypto lines: the key in use on the call, or two fresh ones.
    std::vector<std::string> crypto;
    if (srtp) {
        if (!suite.empty() && key.size() == SRTP_KEY_LENGTH) {
            crypto.push_back("crypto:1 " + suite + " " + crypto_inline_key(key));
        } else {
            uint8_t bytes[2 * SRTP_KEY_LENGTH];
            if (random && random(bytes, sizeof bytes)) {
                for (int i = 0; i < 2; i++) {
                    std::string k(reinterpret_cast<char*>(bytes) + i * SRTP_KEY_LENGTH, SRTP_KEY_LENGTH);
                    crypto.push_back("crypto:" + std::to_string(i + 1) + " " + srtp_suites[i].name + " " +
                                     crypto_inline_key(k));
                }
            } else
                srtp = false;
        }
    }
    if (srtp_required && !srtp)
        return std::nullopt;

    sdp_message_t* raw = nullptr;
    if (!sdp_check(sdp_message_init(&raw), "sdp_message_init"))
        return std::nullopt;
    sdp_message_ptr sdp(raw);
    if (!sdp_check(sdp_message_v_version_set(raw, sdp_dup("0")), "sdp_message_v_version_set"))
        return std::nullopt;
    uint32_t version = sdp_origin_next(session, true);
    if (!sdp_check(sdp_message_o_origin_set(raw, sdp_dup("gateway"), sdp_dup("0"), sdp_dup(std::to_string(version)), sdp_dup("IN"),
                                        sdp_dup(type), sdp_dup(address)),
               "sdp_message_o_origin_set"))
        return std::nullopt;
    if (!sdp_check(sdp_message_s_name_set(raw, sdp_dup("conversation")), "sdp_message_s_name_set"))
        return std::nullopt;
    std::string c_type = o.inactive ? "IP4" : type, c_address = o.inactive ? "0.0.0.0" : address;
    if (!sdp_check(sdp_message_c_connection_add(raw, -1, sdp_dup("IN"), sdp_dup(c_type), sdp_dup(c_address), nullptr, nullptr),
               "sdp_message_c_connection_add"))
        return std::nullopt;
    if (!sdp_check(sdp_message_t_time_descr_add(raw, sdp_dup("0"), sdp_dup("0")), "sdp_message_t_time_descr_add"))
        return std::nullopt;

    const char* proto = t38 ? "udptl" : srtp ? "RTP/SAVP" : "RTP/AVP";
    if (!sdp_check(sdp_message_m_media_add(raw, sdp_dup(t38 ? "image" : "audio"), sdp_dup(o.port), nullptr, sdp_dup(proto)),
               "sdp_message_m_media_add"))
        return std::nullopt;
    if (!add_altc(raw, 0, o))
        return std::nullopt;
    for (const auto& line : crypto)
        if (!add_flag(raw, 0, line))
            return std::nullopt;

    if (t38) {
        if (!sdp_check(sdp_message_m_payload_add(raw, 0, sdp_dup("t38")), "sdp_message_m_payload_add"))
            return std::nullopt;
        if (!add_attribute(raw, 0, "T38FaxVersion", "0") || !add_attribute(raw, 0, "T38MaxBitRate", "14400") ||
            !add_flag(raw, 0, "T38FaxFillBitRemoval") ||
            !add_attribute(raw, 0, "T38FaxRateManagement", "transferredTCF") ||
            !add_attribute(raw, 0, "T38FaxMaxBuffer", "8192") || !add_attribute(raw, 0, "T38FaxMaxDatagram", "512") ||
            !add_attribute(raw, 0, "T38FaxUdpEC", "t38UDPRedundancy"))
            return std::nullopt;
    } else {
        if (!add_codecs(raw, 0, o, numbers))
            return std::nullopt;
        // SRTP offered, not required: the answerer may pick plain RTP instead
        if (srtp && !srtp_required) {
            if (!sdp_check(sdp_message_m_media_add(raw, sdp_dup("audio"), sdp_dup(o.port), nullptr, sdp_dup("RTP/AVP")),
                       "sdp_message_m_media_add"))
                return std::nullopt;
            if (!add_altc(raw, 1, o) || !add_codecs(raw, 1, o, numbers))
                return std::nullopt;
        }
    }

    char* text = nullptr;
    if (sdp_message_to_str(raw, &text) != 0 || !text) {
        LOG(LOGF_GENERAL, 3, "sdp_message_to_str(): error");
        return std::nullopt;
    }
    std::string result = text;
    osip_free(text);
    return result;
}
