// What must hold for any SDP a peer sends, whether it offers or answers:
// nothing crashes or reads past the text, and what the gateway writes back
// is SDP it can read again, with media parameters in range.
#pragma once

#include <osipparser2/sdp_message.h>

#include <memory>
#include <string>

#include "ua/sdp_answer.h"
#include "ua/sdp_answered_media.h"
#include "ua/sdp_attributes.h"
#include "ua/sdp_crypto.h"
#include "ua/sdp_message_ptr.h"
#include "ua/sdp_offer.h"

namespace sdp_fuzz {

inline bool random_bytes(uint8_t* buf, size_t len)
{
    for (size_t i = 0; i < len; i++)
        buf[i] = uint8_t(i * 13 + 5);
    return true;
}

inline bool payload_ok(int pt) { return (pt >= 0 && pt <= 127) || pt == 0xFF; }

inline const char* check_event(const rtp_event_t& e, bool t38)
{
    if (!payload_ok(e.tx_pt) || !payload_ok(e.rx_pt) || !payload_ok(e.tx_vbd_pt) || !payload_ok(e.rx_vbd_pt))
        return "payload number out of range";
    if (!t38 && e.tx_event_pt != -1 && e.tx_event_pt != 101 && !payload_ok(e.tx_event_pt))
        return "telephone-event payload out of range";
    if (e.local_addr.ss_family != e.remote_addr.ss_family)
        return "local and remote address families differ";
    if (e.srtp_on && (e.srtp_local_key.size() != 30 || e.srtp_remote_key.size() != 30 ||
                      (e.srtp_tag_length != 4 && e.srtp_tag_length != 10)))
        return "SRTP on with bad keys";
    if (e.direction < 0 || e.direction > 3)
        return "direction out of range";
    return nullptr;
}

// The gateway answers text as an offer with several codecs lists, and reads
// it as the answer to offers of its own. Null when everything held.
inline const char* check_all(const std::string& text)
{
    static const sdp_local_t locals[] = {{"192.0.2.10", false, "2001:db8::10", -1},
                                         {"127.0.0.1", true, "2001:db8::10", 64}};
    static const char* const lists[] = {"8 0 4 9 18 100 96 99 97 101 13 98", "104 107 109 272 770 991 993",
                                        "18 992 13 98 8", "991"};
    auto remote = sdp_parse(text.c_str());
    if (!remote)
        return nullptr;
    int lines = sdp_media_count(remote.get());
    for (const auto& local : locals) {
        for (const char* codecs : lists) {
            sdp_check_supported_codec(remote.get(), codecs);

            sdp_call_t call;
            call.ts = 5;
            call.codec_list = codecs;
            std::string body;
            std::unique_ptr<rtp_event_t> event;
            if (sdp_complete_200ok(call, remote.get(), local, random_bytes, body, event)) {
                auto back = sdp_parse(body.c_str());
                if (!back)
                    return "our answer does not parse";
                if (sdp_media_count(back.get()) != lines)
                    return "our answer has not one m= line per offered line";
                if (const char* failed = check_event(*event, call.is_t38))
                    return failed;
            }

            for (const char* mode : {static_cast<const char*>(nullptr), "t38"}) {
                auto offer = sdp_build_offer(local, 5, mode, codecs, "", "", random_bytes);
                if (!offer)
                    continue;
                auto ours = sdp_parse(offer->c_str());
                if (!ours)
                    return "our offer does not parse";
                sdp_call_t offerer;
                offerer.ts = 5;
                offerer.codec_list = codecs;
                std::unique_ptr<rtp_event_t> media;
                if (sdp_answered_media(offerer, ours.get(), remote.get(), local, media) == SDP_MEDIA_ACCEPTED) {
                    if (const char* failed = check_event(*media, offerer.is_t38))
                        return failed;
                }
                // and the remote text in our place, as a corrupt local SDP would be
                sdp_answered_media(offerer, remote.get(), ours.get(), local, media);
            }
        }
    }
    // every crypto attribute's key parameters
    const char *field, *value;
    for (int m = 0; m < lines; m++)
        for (int i = 0; sdp_attribute_at(remote.get(), m, i, field, value); i++) {
            std::string tag, suite, params, key;
            uint64_t lifetime = 0;
            int mki = 0, mki_length = 0;
            if (crypto_split(value, tag, suite, params) && crypto_parse_key(params, key, lifetime, mki, mki_length) &&
                key.size() != 30)
                return "accepted key is not 30 bytes";
        }
    return nullptr;
}

}  // namespace sdp_fuzz
