// Negotiated media of a call become the state of the channel's MSP
// connection: voice or T.38, payload numbers, the next hop's MAC and the
// packet headers, the stream, or hold music while the peer is inactive.
#include "msp/channel_rtp_params.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>

#include "core/log.h"
#include "core/netif.h"
#include "core/rtnetlink.h"
#include "core/scheduler.h"
#include "msp/channel_connection.h"
#include "msp/comcerto_channel.h"
#include "msp/comcerto_device.h"
#include "msp/media_params.h"
#include "msp/next_hop.h"

const char* const HOLD_MUSIC_FILE = "/usr/share/linegw/sounds/holdtune-preludio-in-e-major.raw";

namespace {

constexpr int ARP_RECHECK_MS = 120000;
constexpr int ARP_RESOLVE_RETRY_MS = 300;

// Voice-band-data payloads travel as bytes with 0xFF for none.
int signed_byte(int v) { return static_cast<int8_t>(static_cast<uint8_t>(v)); }

// Numeric text of an address; getnameinfo's error code on failure.
int address_text(const sockaddr_storage& a, char* host, size_t size)
{
    socklen_t len = a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    return getnameinfo(reinterpret_cast<const sockaddr*>(&a), len, host, static_cast<socklen_t>(size), nullptr, 0,
                       NI_NUMERICHOST);
}

unsigned port_of(const sockaddr_storage& a)
{
    if (a.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return 0;
}

in_addr ipv4_of(const sockaddr_storage& a) { return reinterpret_cast<const sockaddr_in&>(a).sin_addr; }
in6_addr ipv6_of(const sockaddr_storage& a) { return reinterpret_cast<const sockaddr_in6&>(a).sin6_addr; }

std::string text4(in_addr a)
{
    char b[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, b, sizeof b);
}
std::string text6(const in6_addr& a)
{
    char b[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, &a, b, sizeof b);
}

// A peer that names 0.0.0.0 (or ::) as its media address holds the call the
// old way (before a=inactive): nothing can be sent there.
bool unspecified(const sockaddr_storage& a)
{
    if (a.ss_family == AF_INET)
        return ipv4_of(a).s_addr == htonl(INADDR_ANY);
    if (a.ss_family == AF_INET6) {
        in6_addr x = ipv6_of(a);
        return IN6_IS_ADDR_UNSPECIFIED(&x);
    }
    return false;
}

bool mac_zero(const uint8_t mac[6])
{
    static const uint8_t zero[6] = {};
    return memcmp(mac, zero, 6) == 0;
}

#define MAC_FMT "%02x:%02x:%02x:%02x:%02x:%02x"
#define MAC_ARGS(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]

}   // namespace

// Both headers the media processor stamps on RTP and RTCP.
static int set_ip_headers(ComcertoChannel& ch, const sockaddr_storage& local)
{
    if (ch.SetConnIpParams(0, local, ch.rtp.remote_addr, ch.rtpTtl, ch.rtpDscp) != 0)
        return -1;
    if (ch.SetConnIpParams(1, local, ch.rtp.remote_addr, ch.rtcpTtl, ch.rtcpDscp) != 0)
        return -1;
    return 0;
}

// The next hop's MAC into the connection. -1 ends the call; otherwise
// *resolved says whether the destination MAC (dst) is known.
static int resolve_next_hop(ComcertoChannel& ch, bool* resolved, uint8_t dst[6])
{
    *resolved = false;
    memset(dst, 0, 6);
    const sockaddr_storage local = ch.rtp.local_addr;
    const sockaddr_storage& remote = ch.rtp.remote_addr;
    uint8_t src[6] = {};
    char ifname[16] = "eth0";

    if (remote.ss_family == AF_INET) {
        in_addr target = ipv4_of(remote);
        in_addr hop = target;
        if (get_route(target, &hop, ifname) != 0) {
            LOG(LOGF_GENERAL, 3, "%s: failed", text4(target).c_str());
            return -1;
        }
        LOG(LOGF_GENERAL, 7, "routing %s to %s (%s)", text4(target).c_str(), text4(hop).c_str(), ifname);
        bool pppoe = strncmp(ifname, "ppp", 3) == 0;
        int session = 0;
        if (pppoe) {
            if (parse_pppoe_id(dst, &session) != 0)
                return -1;
        } else if (strncmp(ifname, "eth2", 4) == 0) {
            get_if_hwaddr("eth1", dst);
        } else if (hop.s_addr == ipv4_of(local).s_addr) {
            get_if_hwaddr("eth0", dst);
        } else if (get_arp_mac(ifname, hop, dst) != 0) {
            // The kernel has no entry at all for a host it never talked to:
            // that is as unresolved as an incomplete entry, not a failure.
            if (errno != ENXIO) {
                LOG(LOGF_GENERAL, 3, "getMac(%s) failed", text4(hop).c_str());
                return -1;
            }
            memset(dst, 0, 6);
        }
        LOG(LOGF_GENERAL, 7, "getMac(%s): " MAC_FMT, text4(hop).c_str(), MAC_ARGS(dst));
        get_if_hwaddr("eth0", src);
        if (mac_zero(dst)) {
            // Not in the kernel's cache yet: ask, and let the "arp" timer wait for the answer.
            send_arp_request(src, ipv4_of(local).s_addr, hop.s_addr);
            return 0;
        }
        LOG(LOGF_GENERAL, 6, "ts %d: RTP destination is " MAC_FMT, ch.timeslot, MAC_ARGS(dst));
        int result = ch.set_eth_hdr_chan(src, dst, pppoe, false);
        if (result != 0)
            LOG(LOGF_GENERAL, 3, "setting ethernet MAC failed (result=%d)", result);
        if (pppoe) {
            // The session header goes in while voice is off (SRTP keeps it on).
            if (ch.secure || msp_send_vopena(ch, 0) == 0)
                ch.set_pppoe_hdr_chan(session);
        }
        ch.setAlarm(3);
        if (set_ip_headers(ch, local) != 0)
            return -1;
        *resolved = true;
        return 0;
    }

    if (remote.ss_family == AF_INET6) {
        in6_addr target = ipv6_of(remote);
        in6_addr hop = target, prefsrc{};
        if (get_route(&target, &hop, ifname, &prefsrc) != 0) {
            LOG(LOGF_GENERAL, 3, "%s: failed", text6(target).c_str());
            return -1;
        }
        LOG(LOGF_GENERAL, 7, "routing %s to %s (%s)", text6(target).c_str(), text6(hop).c_str(), ifname);
        if (strncmp(ifname, "ppp", 3) == 0) {
            LOG(LOGF_GENERAL, 3, "ts %d: PPP transport not supported for IPv6", ch.timeslot);
            return -1;
        }
        bool lo = strcmp(ifname, "lo") == 0;
        if (lo || strncmp(ifname, "eth2", 4) == 0) {
            get_if_hwaddr(lo ? "eth0" : "eth1", src);
            memcpy(dst, src, 6);
            LOG(LOGF_GENERAL, 6, "ts %d: RTP destination is " MAC_FMT, ch.timeslot, MAC_ARGS(dst));
            int result = ch.set_eth_hdr_chan(src, dst, false, true);
            if (result != 0) {
                LOG(LOGF_GENERAL, 3, "setting ethernet MAC failed (result=%d)", result);
                return -1;
            }
            ch.setAlarm(3);
            if (set_ip_headers(ch, local) != 0)
                return -1;
            *resolved = true;
            return 0;
        }
        get_if_hwaddr("eth0", src);
        if (get_neighbour_mac6(&hop, dst) != 0 || mac_zero(dst)) {
            memset(dst, 0, 6);
            if (msp_raw_socket >= 0) {
                in6_addr localAddress = ipv6_of(local);
                send_neighbor_solicitation(src, localAddress.s6_addr, hop.s6_addr);
            }
            return 0;
        }
        LOG(LOGF_GENERAL, 6, "ts %d: RTP destination is " MAC_FMT, ch.timeslot, MAC_ARGS(dst));
        int result = ch.set_eth_hdr_chan(src, dst, false, true);
        if (result != 0)
            LOG(LOGF_GENERAL, 3, "setting ethernet MAC failed (result=%d)", result);
        ch.setAlarm(3);
        if (set_ip_headers(ch, local) != 0)
            return -1;
        *resolved = true;
        return 0;
    }

    LOG(LOGF_GENERAL, 3, "ts %d: unsupported address family (%d)", ch.timeslot, remote.ss_family);
    return -1;
}

static void log_params(const ComcertoChannel& ch, const rtp_event_t& p)
{
    char local[NI_MAXHOST], remote[NI_MAXHOST];
    int rc = address_text(p.local_addr, local, sizeof local);
    if (rc == 0)
        rc = address_text(p.remote_addr, remote, sizeof remote);
    if (rc != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: getnameinfo(): %s", ch.timeslot, gai_strerror(rc));
    else
        LOG(LOGF_GENERAL, 6, "--> ts %d: %s[%u] --> %s[%u]", ch.timeslot, local, port_of(p.local_addr), remote,
            port_of(p.remote_addr));
    LOG(LOGF_GENERAL, 6, "--> ts %d: codec %s, VAD is %s, red=%d", ch.timeslot, p.codec.c_str(), p.vad ? "on" : "off",
        p.redundancy);
    LOG(LOGF_GENERAL, 6, "--> audio pt: %d/%d, event pt: %d/%d, VBD pt: %d/%d", p.tx_pt, p.rx_pt, p.tx_event_pt,
        p.rx_event_pt, signed_byte(p.tx_vbd_pt), signed_byte(p.rx_vbd_pt));
}

// Payload numbers, echo canceller, gains, tone control, maps and pass-through
// of a voice connection; -1 ends the call.
static int set_up_voice(ComcertoChannel& ch, const MspCodec& row, bool codecSame)
{
    rtp_event_t& rtp = ch.rtp;
    bool raw = rtp.codec == "RAW";
    rtp.remote_ptime = rtp_packet_time(rtp.remote_ptime, &rtp.remote_maxptime, row.frameMs, row.maxPtimeMs,
                                       ch.channelFlags);
    if (!payload_pair_matches(ch.payloadMap, ch.rxPayloadMap, row.codec, rtp.tx_pt, rtp.rx_pt)) {
        ch.stopStream();
        if (ch.setPayloadType(static_cast<unsigned>(row.codec), rtp.tx_pt, rtp.rx_pt) != 0)
            return -1;
    }
    if (rtp.tx_event_pt >= 0 && !payload_pair_matches(ch.payloadMap, ch.rxPayloadMap, 2, rtp.tx_event_pt, rtp.rx_event_pt)) {
        ch.stopStream();
        if (ch.setPayloadType(2, rtp.tx_event_pt, rtp.rx_event_pt) != 0)
            return -1;
    }
    if (ch.hasVoiceConnection())
        ch.set_EC(!raw);
    // Transparent data gets no level processing; voice gets the settings'
    // gains and the tone detectors on.
    int tone = raw ? 0 : ch.toneControl | 0x16;
    if (ch.hasVoiceConnection()) {
        if (raw) {
            ch.send_AGCSET(false, false);
            ch.set_tdm_gain(0, 0);
        } else {
            ch.set_tdm_gain(ch.rxGain, ch.txGain);
        }
    }
    if (ch.channelId >= 0)
        ch.send_TONECTRL(tone);
    else
        ch.toneControl = tone;
    int rxVbd = signed_byte(rtp.rx_vbd_pt);
    if (!raw && rxVbd >= 0 &&
        !payload_pair_matches(ch.payloadMap, ch.rxPayloadMap, 14, rtp.tx_vbd_pt & 0xFF, rtp.rx_vbd_pt & 0xFF)) {
        ch.stopStream();
        ch.setPayloadType(14, rtp.tx_vbd_pt & 0xFF, rtp.rx_vbd_pt & 0xFF);
    }
    if (ch.codecStatus.empty() || !codecSame)
        ch.codecStatus.set(rtp.codec);
    ch.setPayloadTypeMap();
    if (!raw) {
        if (rxVbd < 0) {
            int g711 = ch.pcmCode == 1 ? 0 : 8;
            if (ch.vbdAllowed && rtp.tx_pt == g711)
                ch.set_passthru_autoswitch(g711, true);
            else
                ch.set_passthru_autoswitch(-1, false);
        } else {
            ch.set_passthru_autoswitch(signed_byte(rtp.tx_vbd_pt), false);
        }
    }
    return 0;
}

static void set_codec_options(ComcertoChannel& ch)
{
    rtp_event_t& rtp = ch.rtp;
    const std::string& c = rtp.codec;
    if (c == "EVRC0" || c == "EVRCB0") {
        rtp.remote_ptime = 20;
        ch.send_EVRC_OPTIONS(0, 0);
        ch.enableDTX(rtp.vad, rtp.hangover, rtp.dtxmin, rtp.dtxmax);
    } else if (c == "EVRC" || c == "EVRCB") {
        int frames = rtp.remote_ptime / 20;
        if (frames <= 0)
            frames = 1;
        if (frames > 22)
            frames = 22;
        if (rtp.maxinterleave < 0)
            rtp.maxinterleave = 5;
        ch.send_EVRC_OPTIONS(frames, rtp.maxinterleave > 6 ? 7 : rtp.maxinterleave);
        ch.enableDTX(rtp.vad, rtp.hangover, rtp.dtxmin, rtp.dtxmax);
    } else if (c == "AMR") {
        ch.set_BWE_PARAMS();
    }
}

int ComcertoChannel::comcerto_set_rtp_params(rtp_event_t* params)
{
    const rtp_event_t& fresh = *params;
    log_params(*this, fresh);
    bool wasSecure = channelId >= 0 && getSrtpState() > 0;

    if (fresh.direction == 0 || unspecified(fresh.remote_addr)) {
        // The peer holds the call: no stream, music on the timeslot.
        if (params != &rtp)
            rtp = fresh;
        stopStream();
        if (timeslot < 1000) {
            if (wasSecure || channelId < 0 || connectionType != MSP_CONN_VOICE) {
                rtp.srtp_local_key.clear();
                int result = createConnection(MSP_CONN_VOICE, true);
                if (result != 0)
                    LOG(LOGF_GENERAL, 3, "ts %d: createConnection() failed (result=%d)", timeslot, result);
            }
            playFile(HOLD_MUSIC_FILE, 1, true);
        }
        return 0;
    }

    stopPlaybackIfActive();

    bool recreate = channelId == -1;
    bool keyed = !fresh.srtp_local_key.empty() && !fresh.srtp_remote_key.empty();
    if ((keyed || wasSecure) &&
        (fresh.srtp_local_key != rtp.srtp_local_key || fresh.srtp_remote_key != rtp.srtp_remote_key ||
         fresh.srtp_tag_length != rtp.srtp_tag_length || fresh.srtp_on != rtp.srtp_on))
        recreate = true;
    bool t38 = fresh.codec == "T38";
    if (t38 != (connectionType == MSP_CONN_T38))
        recreate = true;
    if (ipMode != 0 && ipMode != fresh.remote_addr.ss_family)
        recreate = true;

    bool codecSame = fresh.codec == rtp.codec;
    bool wasEvrc = rtp.codec.compare(0, 4, "EVRC") == 0;
    if (params != &rtp)
        rtp = fresh;

    if (recreate) {
        LOG(LOGF_GENERAL, 6, "ts %d: calling createConnection()", timeslot);
        int result = createConnection(t38 ? MSP_CONN_T38 : MSP_CONN_VOICE, true);
        if (result != 0) {
            LOG(LOGF_GENERAL, 3, "ts %d: createConnection() failed (result=%d)", timeslot, result);
            return result;
        }
        wasEvrc = false;
    }

    if (t38) {
        send_FAXSPLOPT();
        send_FAXOPT((rtp.rx_event_pt >> 1) & 1);
        setVoiceOptions();
        setT38DatagramSize(rtp.tx_event_pt);
        setT38Fillbit(rtp.rx_event_pt & 1);
    }

    if (recreate || ipMode == 0) {
        if (setConnIpMode(rtp.remote_addr.ss_family) != 0)
            return -1;
    }

    bool resolved = false;
    uint8_t destination[6];
    if (resolve_next_hop(*this, &resolved, destination) != 0)
        return -1;

    if (t38) {
        codecStatus.set(rtp.codec);
        int result = msp_send_vopena(*this, 2);
        if (result != 0)
            return result;
        streamRunning = true;
    } else {
        const MspCodec* row = msp_codec_find(rtp.codec, rtp.amr_flags);
        if (!row) {
            LOG(LOGF_GENERAL, 3, "ts %d: comcerto_set_rtp_params(): %s: unsupported codec", timeslot,
                rtp.codec.c_str());
            return -1;
        }
        if (set_up_voice(*this, *row, codecSame) != 0)
            return -1;
        if (wasEvrc && !codecSame)
            enableDTX(false, rtp.hangover, rtp.dtxmin, rtp.dtxmax);
        int result = msp_send_voice_enable(*this);
        if (result != 0)
            return result;
        set_codec_options(*this);
        if (resolved && startStream() != 0)
            return -1;
    }

    // The "arp" timer re-checks a resolved next hop now and then, and keeps
    // asking for one that has not answered yet.
    if (resolved)
        memcpy(nextHopMac, destination, 6);
    cancelArpTimer();
    arpRetries = 0;
    sched_add_timer(main_scheduler, "arp", resolved ? ARP_RECHECK_MS : ARP_RESOLVE_RETRY_MS, arp_timer_callback, this,
                    &arpTimer);
    return 0;
}
