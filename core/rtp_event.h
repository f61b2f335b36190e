// Negotiated media of a call, posted by the user agent to the call's channel
// as EV_RTP_PARAMETERS (data = call id); the channel keeps a copy of the last
// one it applied, so the defaults are those of a channel without media.
#pragma once

#include <cstdint>
#include <string>
#include <sys/socket.h>

#include "core/channel_event.h"

struct rtp_event_t : channel_event_t {
    sockaddr_storage local_addr{};   // family 2 or 10, address, port in network order
    sockaddr_storage remote_addr{};
    std::string codec;               // voice codec name, "T38" for fax, "" none
    int tx_pt = 0;                   // payload numbers: tx as the remote side asked, rx our own
    int rx_pt = 0;
    int tx_event_pt = 101;           // telephone-event; for T.38 the remote's max datagram
    int rx_event_pt = 101;           // telephone-event; for T.38 the option bits
    bool vad = false;
    int tx_vbd_pt = 0xFF;            // voice-band data, 0xFF none
    int rx_vbd_pt = 0xFF;
    int redundancy = 0;
    std::string srtp_remote_key;     // 30 bytes of master key and salt, "" without SRTP
    std::string srtp_local_key;
    uint64_t srtp_rx_lifetime = 0;
    uint64_t srtp_tx_lifetime = 0;
    int srtp_tag_length = 0;         // 10 or 4 bytes with SRTP
    int srtp_on = 0;
    int direction = 3;               // 3 send and receive, 2 send only, 1 receive only, 0 inactive
    int hangover = 1;
    int dtxmin = 12;
    int dtxmax = 32;
    int remote_ptime = -1;
    int remote_maxptime = 200;
    int maxinterleave = 5;
    uint32_t amr_flags = 0xFF;       // AMR mode bits 0-7 and options 0x100..0x800

    rtp_event_t() : channel_event_t(-1, EV_RTP_PARAMETERS) {}
};
