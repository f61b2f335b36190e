#include "ua/sdp_answer.h"

#include <osipparser2/osip_port.h>
#include <cstring>
#include <strings.h>

#include "core/log.h"
#include "ua/codec_list.h"
#include "ua/codec_table.h"
#include "ua/sdp_attributes.h"
#include "ua/sdp_codec_options.h"
#include "ua/sdp_edit.h"
#include "ua/sdp_message_ptr.h"
#include "ua/sdp_payload.h"

namespace {

char* dup_or_null(const char* s) { return s ? osip_strdup(s) : nullptr; }

bool add_attribute(sdp_message_t* sdp, int m, const char* field, const char* value)
{
    return sdp_check(sdp_message_a_attribute_add(sdp, m, osip_strdup(field), dup_or_null(value)),
                 "sdp_message_a_attribute_add");
}

// State of one answer; it holds across the media lines of the offer.
struct negotiation_t {
    int voice = -1;
    int vbd = -1;
    int event = -1;
    bool silence = false;
    bool interleaved = false;
    int direction = 3;
    const char* direction_attribute = nullptr;
    int remote_ptime = -1;
    int remote_maxptime = 200;
    bool crypto = false;         // a crypto line was accepted
    std::string tag;
    std::string suite;
    std::string remote_key;
    uint64_t lifetime = SRTP_DEFAULT_LIFETIME;
    int tag_length = 0;
    std::string codec;
    fmtp_map_t voice_fmtp;
    int t38_datagram = 150;
    int t38_options = 0;
};

// A crypto line of the offer: accepted when its suite is ours, its key
// valid and we have a key of our own for it.
void accept_crypto(sdp_call_t& call, const char* value, const sdp_random_t& random, negotiation_t& n)
{
    std::string tag, suite, params, key;
    if (!crypto_split(value, tag, suite, params))
        return;
    const SrtpSuite* known = srtp_suite_find(suite);
    if (!known)
        return;
    uint64_t lifetime = SRTP_DEFAULT_LIFETIME;
    int mki = 0, mki_length = 0;
    if (!crypto_parse_key(params, key, lifetime, mki, mki_length))
        return;
    if (!sdp_same(call.srtp_suite, suite.c_str()) || call.srtp_key.size() != SRTP_KEY_LENGTH) {
        uint8_t bytes[SRTP_KEY_LENGTH];
        if (!random || !random(bytes, sizeof bytes))
            return;
        call.srtp_suite = suite;
        call.srtp_key.assign(reinterpret_cast<char*>(bytes), sizeof bytes);
    }
    n.crypto = true;
    n.tag = tag;
    n.suite = suite;
    n.remote_key = key;
    n.lifetime = lifetime;
    n.tag_length = known->tag_length;
}

struct limits_t {
    std::vector<int> numbers;
    codec_list_options_t opts;
    int maxptime;
    int maxinterleave;
};

bool listed(const limits_t& l, int pt) { return codec_list_has(l.numbers, pt); }

// Payloads of an audio line of the offer, in its order, into answer line a.
void choose_payloads(sdp_message_t* offer, int m, sdp_message_t* answer, int a, const limits_t& l, negotiation_t& n)
{
    for (int p = 0; const char* text = sdp_message_m_payload_get(offer, m, p); p++) {
        int payload = sdp_payload_number(text);
        if (payload < 0)
            continue;
        std::string name = sdp_get_codec_name(offer, m, payload);
        bool vbd = sdp_get_gpmd(offer, m, payload) == "yes";
        for (const CodecInfo* row = codec_table; row->name; row++) {
            if (!listed(l, row->pt))
                continue;
            bool by_number = payload < 35 && name.empty() && payload == row->pt;
            if (!by_number && name != row->name)
                continue;
            if (vbd) {
                if (!(row->flags & CODEC_VBD))
                    continue;
                if (n.vbd < 0 && sdp_add_payload(answer, a, *row, false, payload, nullptr) == 0)
                    n.vbd = payload;
                break;
            }
            if (row->flags & CODEC_VBD)
                continue;
            if ((n.voice >= 0 && row->flags & CODEC_VOICE) || (n.silence && row->flags & CODEC_SILENCE))
                break;
            fmtp_map_t fmtp = sdp_parse_fmtp(offer, m, payload);
            if (l.opts.cn && row->flags & CODEC_SILENCE) {
                if (!row->silence_param)
                    n.silence = true;
                else {
                    auto it = fmtp.find(row->silence_param);
                    n.silence = it == fmtp.end() || (it->second != "no" && it->second != "0");
                }
            }
            fmtp_map_t extra;
            if (row->flags & CODEC_INTERLEAVED)
                extra["maxinterleave"] = std::to_string(l.maxinterleave);
            if (strcmp(row->name, "AMR") == 0) {
                for (const char* key : {"mode-set", "octet-align", "crc", "channels", "robust-sorting", "interleaving"}) {
                    auto it = fmtp.find(key);
                    if (it != fmtp.end())
                        extra[key] = it->second;
                }
            }
            if (sdp_add_payload(answer, a, *row, !n.silence, payload, extra.empty() ? nullptr : &extra) == 0) {
                if (row->flags & CODEC_INTERLEAVED)
                    n.interleaved = true;
                if (row->flags & CODEC_TELEPHONE_EVENT)
                    n.event = payload;
                if (row->flags & CODEC_VOICE) {
                    n.voice = payload;
                    n.codec = row->name;
                    n.voice_fmtp = fmtp;
                }
            }
            break;
        }
    }
}

bool set_origin(sdp_call_t& call, sdp_message_t* answer, const sdp_media_address_t& address)
{
    uint32_t version = sdp_origin_next(&call.session, false);
    return sdp_check(sdp_message_o_origin_set(answer, sdp_dup("gateway"), sdp_dup("0"), sdp_dup(std::to_string(version)), sdp_dup("IN"),
                                          sdp_dup(address.type), sdp_dup(address.local_text)),
                 "sdp_message_o_origin_set") &&
           sdp_check(sdp_message_c_connection_add(answer, -1, sdp_dup("IN"), sdp_dup(address.type), sdp_dup(address.local_text),
                                              nullptr, nullptr),
                 "sdp_message_c_connection_add");
}

}  // namespace

void sdp_reject_media(sdp_message_t* answer, sdp_message_t* offer, int m)
{
    int a = sdp_media_count(answer);
    int rc = sdp_message_m_media_add(answer, sdp_dup(sdp_media_name(offer, m)), sdp_dup("0"),
                                     dup_or_null(sdp_message_m_number_of_port_get(offer, m)),
                                     sdp_dup(sdp_media_proto(offer, m)));
    if (rc != 0) {
        LOG(LOGF_GENERAL, 3, "sdp_message_m_media_add(): error %d", rc);
        return;
    }
    for (int p = 0; const char* text = sdp_message_m_payload_get(offer, m, p); p++)
        sdp_message_m_payload_add(answer, a, osip_strdup(text));
}

bool sdp_check_supported_codec(sdp_message_t* offer, const std::string& codecs)
{
    std::vector<int> numbers = codec_list_parse(codecs);
    bool t38 = codec_list_has(numbers, CODEC_LIST_T38);
    bool srtp_required = codec_list_has(numbers, CODEC_LIST_SRTP_REQUIRED);
    for (int m = 0, count = sdp_media_count(offer); m < count; m++) {
        std::string media = sdp_media_name(offer, m), proto = sdp_media_proto(offer, m);
        if (sdp_same(media, "image") && proto == "udptl") {
            if (t38 && sdp_has_payload(offer, m, "t38"))
                return true;
            continue;
        }
        if (media != "audio" || sdp_media_port(offer, m) == "0")
            continue;
        if (srtp_required && (proto != "RTP/SAVP" || !sdp_attribute_find(offer, m, "crypto")))
            continue;
        for (int p = 0; const char* text = sdp_message_m_payload_get(offer, m, p); p++) {
            int payload = sdp_payload_number(text);
            if (payload < 0)
                continue;
            std::string name = sdp_get_codec_name(offer, m, payload);
            for (int number : numbers) {
                for (const CodecInfo* row = codec_table; row->name; row++) {
                    if (row->pt != number)
                        continue;
                    bool by_number = payload < 35 && name.empty() && payload == number;
                    if (!by_number && name != row->name)
                        continue;
                    if (!(row->flags & CODEC_VOICE))
                        continue;
                    if (strcmp(row->name, "AMR") == 0) {
                        fmtp_map_t fmtp = sdp_parse_fmtp(offer, m, payload);
                        auto channels = fmtp.find("channels");
                        if (channels != fmtp.end() && channels->second != "1")
                            continue;
                    }
                    return true;
                }
            }
        }
    }
    return false;
}

bool sdp_complete_200ok(sdp_call_t& call, sdp_message_t* offer, const sdp_local_t& local,
                        const sdp_random_t& random, std::string& body, std::unique_ptr<rtp_event_t>& event)
{
    limits_t l;
    l.numbers = codec_list_parse(call.codec_list);
    l.opts = codec_list_options(l.numbers);
    const int k = l.opts.ptime;
    const std::string port = std::to_string(sdp_channel_port(call.ts));

    sdp_message_t* raw = nullptr;
    if (!sdp_check(sdp_message_init(&raw), "sdp_message_init"))
        return false;
    sdp_message_ptr answer(raw);
    const char* start = sdp_message_t_start_time_get(offer, 0);
    const char* stop = sdp_message_t_stop_time_get(offer, 0);
    if (!sdp_check(sdp_message_v_version_set(raw, sdp_dup("0")), "sdp_message_v_version_set") ||
        !sdp_check(sdp_message_s_name_set(raw, sdp_dup("conversation")), "sdp_message_s_name_set") ||
        !sdp_check(sdp_message_t_time_descr_add(raw, sdp_dup(start ? start : "0"), sdp_dup(stop ? stop : "0")),
               "sdp_message_t_time_descr_add"))
        return false;

    // Plain RTP offered beside SRTP: take it unless we want SRTP.
    bool offer_has_avp = false;
    for (int m = 0, count = sdp_media_count(offer); m < count && !l.opts.srtp; m++)
        offer_has_avp |= sdp_media_name(offer, m) == "audio" && sdp_media_proto(offer, m) == "RTP/AVP" &&
                         sdp_media_port(offer, m) != "0";

    l.maxptime = k >= 60 ? k : 60;
    l.maxinterleave = k < 60 ? 7 : k <= 421 ? 500 / ((k + 19) / 20 * 20) - 1 : 0;
    if (l.opts.interleave >= 0 && l.opts.interleave <= l.maxinterleave)
        l.maxinterleave = l.opts.interleave;

    negotiation_t n;
    int answered = -1;
    bool srtp = false;
    sdp_media_address_t address;
    for (int m = 0, count = sdp_media_count(offer); m < count; m++) {
        sdp_media_address_t line_address;
        if (answered >= 0 || sdp_media_port(offer, m) == "0" ||
            !sdp_get_media_address(offer, m, local, line_address)) {
            sdp_reject_media(raw, offer, m);
            continue;
        }
        std::string media = sdp_media_name(offer, m), proto = sdp_media_proto(offer, m);
        if (media == "audio") {
            bool savp = proto == "RTP/SAVP";
            if (savp && !l.opts.srtp && offer_has_avp) {
                sdp_reject_media(raw, offer, m);
                continue;
            }
            bool line_ptime = false;
            const char *field, *value;
            for (int i = 0; sdp_attribute_at(offer, m, i, field, value); i++) {
                if (strcasecmp(field, "sendonly") == 0) {
                    n.direction = 2;
                    n.direction_attribute = "recvonly";
                } else if (strcasecmp(field, "recvonly") == 0) {
                    n.direction = 1;
                    n.direction_attribute = "sendonly";
                } else if (strcasecmp(field, "inactive") == 0) {
                    n.direction = 0;
                    n.direction_attribute = "inactive";
                } else if (strcasecmp(field, "ptime") == 0) {
                    n.remote_ptime = int(sdp_leading_int(value));
                    line_ptime = true;
                } else if (strcasecmp(field, "maxptime") == 0)
                    n.remote_maxptime = int(sdp_leading_int(value));
                else if (strcasecmp(field, "crypto") == 0 && savp && !n.crypto)
                    accept_crypto(call, value, random, n);
            }
            if (!line_ptime)
                n.remote_ptime = k;
            // a channel that requires SRTP never answers with plain media
            if (l.opts.srtp_required && !(savp && n.crypto)) {
                sdp_reject_media(raw, offer, m);
                continue;
            }

            int a = sdp_media_count(raw);
            if (!sdp_check(sdp_message_m_media_add(raw, sdp_dup(media), sdp_dup(port), nullptr, sdp_dup(savp ? "RTP/SAVP" : "RTP/AVP")),
                       "sdp_message_m_media_add"))
                return false;
            bool line_srtp = savp && l.opts.srtp && n.crypto;
            choose_payloads(offer, m, raw, a, l, n);
            if (n.voice < 0) {
                sdp_message_m_port_set(raw, a, sdp_dup("0"));
                continue;
            }
            if (line_srtp &&
                !add_attribute(raw, a, ("crypto:" + n.tag + " " + n.suite + " " + crypto_inline_key(call.srtp_key)).c_str(),
                               nullptr))
                return false;
            if (k >= 1 && !add_attribute(raw, a, "ptime", std::to_string(k).c_str()))
                return false;
            if (n.interleaved && !add_attribute(raw, a, "maxptime", std::to_string(l.maxptime).c_str()))
                return false;
            if (n.direction_attribute && !add_attribute(raw, a, n.direction_attribute, nullptr))
                return false;
            if (!set_origin(call, raw, line_address))
                return false;
            answered = m;
            address = line_address;
            srtp = line_srtp;
        } else if (media == "image" && sdp_same(proto, "udptl") && sdp_has_payload(offer, m, "t38") && l.opts.t38) {
            const char* datagram = sdp_attribute_find(offer, m, "T38FaxMaxDatagram");
            if (datagram)
                n.t38_datagram = int(sdp_leading_int(datagram));
            if (sdp_attribute_find(offer, m, "T38FaxFillBitRemoval"))
                n.t38_options |= 1;
            const char* ec = sdp_attribute_find(offer, m, "T38FaxUdpEC");
            if (ec && strcmp(ec, "t38UDPRedundancy") == 0)
                n.t38_options |= 2;
            int a = sdp_media_count(raw);
            if (!sdp_check(sdp_message_m_media_add(raw, sdp_dup("image"), sdp_dup(port), nullptr, sdp_dup("udptl")),
                       "sdp_message_m_media_add") ||
                !sdp_check(sdp_message_m_payload_add(raw, a, sdp_dup("t38")), "sdp_message_m_payload_add"))
                return false;
            if (!add_attribute(raw, a, "T38FaxVersion", "0") || !add_attribute(raw, a, "T38MaxBitRate", "14400") ||
                (n.t38_options & 1 && !add_attribute(raw, a, "T38FaxFillBitRemoval", nullptr)) ||
                !add_attribute(raw, a, "T38FaxRateManagement", "transferredTCF") ||
                !add_attribute(raw, a, "T38FaxMaxBuffer", "8192") || !add_attribute(raw, a, "T38FaxMaxDatagram", "512") ||
                (n.t38_options & 2 && !add_attribute(raw, a, "T38FaxUdpEC", "t38UDPRedundancy")))
                return false;
            if (!set_origin(call, raw, line_address))
                return false;
            n.codec = "T38";
            answered = m;
            address = line_address;
        } else
            sdp_reject_media(raw, offer, m);
    }
    if (answered < 0)
        return false;

    char* text = nullptr;
    if (sdp_message_to_str(raw, &text) != 0 || !text) {
        LOG(LOGF_GENERAL, 3, "sdp_message_to_str(): error");
        return false;
    }
    body = text;
    osip_free(text);

    auto ev = std::make_unique<rtp_event_t>();
    ev->channel = call.ts;
    ev->data = call.call_id;
    ev->local_addr = address.local;
    sdp_address_set_port(ev->local_addr, sdp_channel_port(call.ts));
    ev->remote_addr = address.remote;
    ev->codec = n.codec;
    ev->tx_pt = ev->rx_pt = n.voice >= 0 ? n.voice : 0xFF;
    bool t38 = strcasecmp(n.codec.c_str(), "T38") == 0;
    ev->tx_event_pt = t38 ? n.t38_datagram : n.event;
    ev->rx_event_pt = t38 ? n.t38_options : n.event;
    ev->vad = n.silence;
    ev->tx_vbd_pt = ev->rx_vbd_pt = n.vbd >= 0 ? n.vbd : 0xFF;
    if (srtp) {
        ev->srtp_remote_key = n.remote_key;
        ev->srtp_local_key = call.srtp_key;
        ev->srtp_rx_lifetime = ev->srtp_tx_lifetime = n.lifetime;
        ev->srtp_tag_length = n.tag_length;
        ev->srtp_on = 1;
    } else {
        call.srtp_suite.clear();
        call.srtp_key.clear();
    }
    ev->direction = n.direction;
    ev->remote_ptime = n.remote_ptime;
    ev->remote_maxptime = n.remote_maxptime;
    if (!t38)
        sdp_codec_options(*ev, n.voice_fmtp, "sdp_complete_200ok(): ");
    call.is_t38 = t38;
    event = std::move(ev);
    return true;
}
