#include "ua/sdp_answered_media.h"

#include <cstring>
#include <map>
#include <strings.h>

#include "core/log.h"
#include "ua/codec_list.h"
#include "ua/codec_table.h"
#include "ua/sdp_attributes.h"
#include "ua/sdp_codec_options.h"
#include "ua/sdp_crypto.h"
#include "ua/sdp_edit.h"
#include "ua/sdp_payload.h"

namespace {

struct srtp_t {
    bool settled = false;
    std::string tag;
    std::string suite;
    std::string remote_key;
    std::string local_key;
    uint64_t lifetime = SRTP_DEFAULT_LIFETIME;
    int tag_length = 0;
};

// Our crypto line with that tag and suite, and its key.
bool local_key(sdp_message_t* ours, const std::string& tag, const std::string& suite, std::string& key)
{
    for (int m = 0, count = sdp_media_count(ours); m < count; m++) {
        if (!sdp_same(sdp_media_name(ours, m), "audio") || sdp_media_proto(ours, m) != "RTP/SAVP")
            continue;
        const char *field, *value;
        for (int i = 0; sdp_attribute_at(ours, m, i, field, value); i++) {
            // we write crypto lines as one field: "crypto:1 SUITE inline:..."
            std::string text = field;
            if (value)
                text += std::string(":") + value;
            if (strncasecmp(text.c_str(), "crypto:", 7) != 0)
                continue;
            std::string t, s, params;
            uint64_t lifetime;
            int mki, mki_length;
            if (crypto_split(text.c_str() + 7, t, s, params) && t == tag && sdp_same(s, suite.c_str()) &&
                crypto_parse_key(params, key, lifetime, mki, mki_length))
                return true;
        }
    }
    return false;
}

srtp_t settle_srtp(sdp_message_t* ours, sdp_message_t* theirs, int m)
{
    srtp_t s;
    const char *field, *value;
    for (int i = 0; sdp_attribute_at(theirs, m, i, field, value); i++) {
        if (strcasecmp(field, "crypto") != 0)
            continue;
        std::string tag, suite, params, remote;
        if (!crypto_split(value, tag, suite, params))
            continue;
        const SrtpSuite* known = srtp_suite_find(suite);
        if (!known)
            continue;
        uint64_t lifetime = SRTP_DEFAULT_LIFETIME;
        int mki, mki_length;
        if (!crypto_parse_key(params, remote, lifetime, mki, mki_length))
            continue;
        std::string mine;
        if (!local_key(ours, tag, suite, mine))
            continue;
        s = {true, tag, suite, remote, mine, lifetime, known->tag_length};
        break;
    }
    return s;
}

std::unique_ptr<rtp_event_t> new_event(const sdp_call_t& call, const sdp_media_address_t& address)
{
    auto ev = std::make_unique<rtp_event_t>();
    ev->channel = call.ts;
    ev->data = call.call_id;
    ev->local_addr = address.local;
    sdp_address_set_port(ev->local_addr, sdp_channel_port(call.ts));
    ev->remote_addr = address.remote;
    return ev;
}

}  // namespace

sdp_answered_t sdp_answered_media(sdp_call_t& call, sdp_message_t* ours, sdp_message_t* theirs,
                                  const sdp_local_t& local, std::unique_ptr<rtp_event_t>& event)
{
    std::vector<int> numbers = codec_list_parse(call.codec_list);

    // What we offered: payload number to name, and our packet time.
    std::map<int, std::string> offered;
    int offered_ptime = -1;
    bool offered_image = false;
    for (int m = 0, count = sdp_media_count(ours); m < count; m++) {
        if (sdp_media_name(ours, m) == "image") {
            long port;
            offered_image |= sdp_parse_int(sdp_media_port(ours, m), 0, 65535, port);
        }
    }
    for (int m = 0, count = sdp_media_count(ours); m < count; m++) {
        if (sdp_media_name(ours, m) != "audio")
            continue;
        for (int p = 0; const char* text = sdp_message_m_payload_get(ours, m, p); p++) {
            int payload = sdp_payload_number(text);
            if (payload >= 0)
                offered.emplace(payload, sdp_get_codec_name(ours, m, payload));
        }
        if (const char* ptime = sdp_attribute_find(ours, m, "ptime"))
            offered_ptime = int(sdp_leading_int(ptime));
        break;
    }

    for (int m = 0, count = sdp_media_count(theirs); m < count; m++) {
        std::string media = sdp_media_name(theirs, m);
        sdp_media_address_t address;
        if (media.empty() || sdp_media_port(theirs, m) == "0" ||
            (!sdp_same(media, "image") && !sdp_same(media, "audio")) ||
            !sdp_get_media_address(theirs, m, local, address))
            continue;
        std::string proto = sdp_media_proto(theirs, m);

        if (sdp_same(media, "image")) {
            if (!offered_image || !sdp_same(proto, "udptl") || !sdp_has_payload(theirs, m, "t38") ||
                !codec_list_has(numbers, CODEC_LIST_T38))
                continue;
            auto ev = new_event(call, address);
            ev->codec = "T38";
            ev->tx_pt = ev->rx_pt = 0xFF;
            const char* datagram = sdp_attribute_find(theirs, m, "T38FaxMaxDatagram");
            ev->tx_event_pt = datagram ? int(sdp_leading_int(datagram)) : 150;
            ev->rx_event_pt = 0;
            if (sdp_attribute_find(theirs, m, "T38FaxFillBitRemoval"))
                ev->rx_event_pt |= 1;
            const char* ec = sdp_attribute_find(theirs, m, "T38FaxUdpEC");
            if (ec && strcmp(ec, "t38UDPRedundancy") == 0)
                ev->rx_event_pt |= 2;
            call.is_t38 = true;
            event = std::move(ev);
            return SDP_MEDIA_ACCEPTED;
        }

        srtp_t srtp;
        if (proto == "RTP/SAVP")
            srtp = settle_srtp(ours, theirs, m);
        if (!srtp.settled && codec_list_has(numbers, CODEC_LIST_SRTP_REQUIRED))
            continue;

        auto ev = new_event(call, address);
        bool voice = false;
        fmtp_map_t voice_fmtp;
        for (int p = 0; const char* text = sdp_message_m_payload_get(theirs, m, p); p++) {
            int payload = sdp_payload_number(text);
            if (payload < 0)
                continue;
            std::string name = sdp_get_codec_name(theirs, m, payload);
            auto entry = offered.end();
            for (auto it = offered.begin(); it != offered.end(); ++it) {
                if ((payload <= 34 && name.empty() && it->first == payload) || it->second == name) {
                    entry = it;
                    break;
                }
            }
            if (entry == offered.end())
                continue;
            const CodecInfo* row = nullptr;
            if (sdp_get_gpmd(theirs, m, payload) == "yes") {
                for (const CodecInfo* r = codec_table; r->name && !row; r++)
                    if (r->flags & CODEC_VBD && entry->second == r->name)
                        row = r;
                if (row && ev->tx_vbd_pt == 0xFF) {
                    ev->tx_vbd_pt = payload;
                    ev->rx_vbd_pt = row->pt;
                }
                continue;
            }
            for (const CodecInfo* r = codec_table; r->name && !row; r++)
                if (entry->second == r->name)
                    row = r;
            if (!row)
                continue;
            if (row->flags & CODEC_SILENCE) {
                ev->vad = true;
                if (row->silence_param) {
                    fmtp_map_t fmtp = sdp_parse_fmtp(theirs, m, payload);
                    auto it = fmtp.find(row->silence_param);
                    if (it != fmtp.end() && (it->second == "no" || it->second == "0"))
                        ev->vad = false;
                }
            }
            if (row->flags & CODEC_TELEPHONE_EVENT) {
                ev->tx_event_pt = payload;
                ev->rx_event_pt = entry->first;
            }
            if (row->flags & CODEC_VOICE && !voice) {
                voice = true;
                ev->codec = row->name;
                ev->tx_pt = payload;
                ev->rx_pt = entry->first;
                voice_fmtp = sdp_parse_fmtp(theirs, m, payload);
                if (const char* ptime = sdp_attribute_find(theirs, m, "ptime"))
                    ev->remote_ptime = int(sdp_leading_int(ptime));
                if (const char* maxptime = sdp_attribute_find(theirs, m, "maxptime"))
                    ev->remote_maxptime = int(sdp_leading_int(maxptime));
            }
        }
        if (!voice)
            continue;

        if (srtp.settled) {
            if (srtp.tag.empty() || srtp.remote_key.empty() || srtp.local_key.empty())
                return SDP_MEDIA_BAD_CRYPTO;
            ev->srtp_remote_key = srtp.remote_key;
            ev->srtp_local_key = srtp.local_key;
            ev->srtp_rx_lifetime = ev->srtp_tx_lifetime = srtp.lifetime;
            ev->srtp_tag_length = srtp.tag_length;
            ev->srtp_on = 1;
            call.srtp_suite = srtp.suite;
            call.srtp_key = srtp.local_key;
        } else {
            call.srtp_suite.clear();
            call.srtp_key.clear();
        }
        sdp_codec_options(*ev, voice_fmtp, "");
        if (ev->remote_ptime < 0)
            ev->remote_ptime = offered_ptime;
        call.is_t38 = false;
        event = std::move(ev);
        return SDP_MEDIA_ACCEPTED;
    }
    return SDP_MEDIA_REFUSED;
}
