// The commands a channel sends to its MSP channel, one fixed message each,
// the payload maps, connection teardown and the conference channels.
#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <cstring>
#include <netinet/in.h>

#include "core/log.h"
#include "mgmt/fpga.h"
#include "msp/comcerto_channel.h"
#include "msp/comcerto_device.h"
#include "msp/function_codes.h"

namespace {

constexpr int RESPONSE_SIZE = 256;
// HDLC data bytes per piece: the first carries a 4-byte header word.
constexpr int HTDM_FIRST_PIECE = 240;
constexpr int HTDM_PIECE = 244;

MspMessage command(uint16_t fc, size_t parameterBytes)
{
    return MspMessage(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, fc, parameterBytes);
}

MspMessage device_command(uint16_t fc, size_t parameterBytes)
{
    return MspMessage(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, fc, parameterBytes);
}

// Answer words are read only when the answer holds them.
int answer_word(const uint8_t* response, int length, int offset)
{
    return length >= offset + 2 ? msp_get_u16(response, offset) : -1;
}

int device_passthru(MspMessage& m, uint8_t* response, int* responseLength)
{
    *responseLength = RESPONSE_SIZE;
    return DEV_PassThru(MSP_DEVICE_CHANNEL_ID, m.data(), m.size(), response, responseLength);
}

// A device command whose answer is not needed, its failure logged as
// "ts <timeslot>: <what> failed (result=%d)".
int device_send(MspMessage& m, int timeslot, const char* what)
{
    uint8_t response[RESPONSE_SIZE];
    int length;
    int result = device_passthru(m, response, &length);
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: %s failed (result=%d)", timeslot, what, result);
    return result;
}

// A device command that makes an object named by answer word 10: 0 with
// *id set, or the failure (-1 when the answer names none).
int device_create(MspMessage& m, int* id)
{
    uint8_t response[RESPONSE_SIZE];
    int length;
    int result = device_passthru(m, response, &length);
    *id = result == 0 ? answer_word(response, length, 10) : -1;
    if (result == 0 && *id < 0)
        result = -1;
    return result;
}

void put_ip_udp_ports(MspMessage& m, size_t offset, uint16_t localPort, uint16_t remotePort, int part)
{
    // Ports arrive in network order; RTCP runs one port above RTP.
    uint16_t src = static_cast<uint16_t>(ntohs(localPort) + (part == 1 ? 1 : 0));
    uint16_t dst = static_cast<uint16_t>(ntohs(remotePort) + (part == 1 ? 1 : 0));
    uint8_t udp[8] = {static_cast<uint8_t>(src >> 8), static_cast<uint8_t>(src), static_cast<uint8_t>(dst >> 8),
                      static_cast<uint8_t>(dst), 0, 0, 0, 0};
    m.bytes(offset, udp, sizeof udp);
}

// A gain in tenths of a dB, truncated toward zero; a value no 16-bit word
// can hold (or not a number) would make the conversion undefined.
int gain_tenths(float db)
{
    float tenths = db * 10;
    if (std::isnan(tenths))
        return 0;
    return static_cast<int>(std::clamp(tenths, -32768.0f, 32767.0f));
}

}  // namespace

const MspCodec MspCodecTable[MSP_CODECS] = {
    {"PCMU", 4, 5, 60},      {"PCMA", 5, 5, 60},       {"G726-16", 15, 5, 60},  {"G726-24", 16, 5, 60},
    {"G726-32", 9, 5, 60},   {"G726-40", 17, 5, 60},   {"G722", 48, 20, 20},    {"G723", 6, 30, 90},
    {"GSM", 11, 20, 60},     {"G729", 8, 10, 60},      {"iLBC", 29, 30, 240},   {"G728", 7, 5, 60},
    {"GSM-EFR", 18, 20, 90}, {"AMR", 31, 20, 80},      {"AMR", 19, 20, 80},     {"EVRC", 20, 20, 440},
    {"EVRC0", 20, 20, 440},  {"G729E", 26, 20, 90},    {"EVRCB", 32, 20, 440},  {"EVRCB0", 32, 20, 440},
    {"GSM-HR-08", 37, 20, 20}, {"G7291", 45, 20, 120}, {"RAW", 12, 5, 60},
};

const MspCodec* msp_codec_find(const std::string& name, uint32_t amrFlags)
{
    for (int i = 0; i < MSP_CODECS; i++) {
        if (name != MspCodecTable[i].name)
            continue;
        // Octet-aligned AMR is its own codec number, the row after.
        if (MspCodecTable[i].codec == 31 && (amrFlags & 0x400) && i + 1 < MSP_CODECS)
            return &MspCodecTable[i + 1];
        return &MspCodecTable[i];
    }
    return nullptr;
}

int ComcertoChannel::sendCommand(MspMessage& m, const char* what, uint8_t* response, int* responseLength)
{
    uint8_t local[RESPONSE_SIZE];
    int localLength = RESPONSE_SIZE;
    if (!response) {
        response = local;
        responseLength = &localLength;
    } else {
        *responseLength = RESPONSE_SIZE;
    }
    int result = PassThru(m.data(), m.size(), response, responseLength);
    if (result != 0 && what)
        LOG(LOGF_GENERAL, 3, "ts %d: %s failed (result=%d)", timeslot, what, result);
    return result;
}

int ComcertoChannel::send_FAXSPLOPT()
{
    MspMessage m = command(FC_FAXSPLOPT, 2);
    m.u16(8, (t38Options & 0x40) ? 0x0030 : 0x0070);
    sendCommand(m, "send_FAXSPLOPT()");
    return 0;
}

int ComcertoChannel::send_FAXOPT(bool ecm)
{
    uint32_t options = (t38Options & 0xE738) + (ecm ? (t38Options & 0x1800) : 0);
    MspMessage m = command(FC_FAXOPT, 6);
    m.u16(8, static_cast<uint16_t>(options)).u16(10, 0x2320).u16(12, 0x00FF);
    sendCommand(m, "send_FAXOPT()");
    return 0;
}

void ComcertoChannel::send_FAXLVL()
{
    MspMessage m = command(FC_FAXLVL, 2);
    m.u16(8, static_cast<uint16_t>((t38Options >> 16) & 0xF));
    sendCommand(m, "send_FAXLVL()");
}

int ComcertoChannel::setT38DatagramSize(int size)
{
    MspMessage m = command(FC_FOIP_SET_DATAGRAM, 2);
    m.u16(8, static_cast<uint16_t>(size));
    sendCommand(m, "setT38DatagramSize()");
    return 0;
}

int ComcertoChannel::getT38DatagramSize()
{
    MspMessage m(MSP_CLASS_QUERY, MSP_TYPE_CHANNEL, FC_FOIP_GET_DATAGRAM, 0);
    uint8_t response[RESPONSE_SIZE];
    int length = RESPONSE_SIZE;
    int result = sendCommand(m, "getT38DatagramSize()", response, &length);
    if (result != 0)
        return result;
    int size = answer_word(response, length, 8);
    if (size < 0)
        LOG(LOGF_GENERAL, 3, "ts %d: getT38DatagramSize() failed (result=%d)", timeslot, -1);
    return size;
}

int ComcertoChannel::setT38Fillbit(bool on)
{
    MspMessage m = command(FC_FOIP_FILLBIT_CTRL, 2);
    m.u16(8, on ? 1 : 0);
    sendCommand(m, "setT38Fillbit()");
    return 0;
}

int ComcertoChannel::send_DTMFOPT(int eventPayload, bool flag)
{
    MspMessage m = command(FC_DTMFOPT, 2);
    m.u16(8, eventPayload < 0 ? 0x0035 : flag ? 0x00B4 : 0x0026);
    sendCommand(m, "send_DTMFOPT()");
    return 0;
}

void ComcertoChannel::send_FFT_GLOBAL_CFG(int value)
{
    MspMessage m = command(FC_VOIP_LEARN_IND, 8);
    m.u16(8, static_cast<uint16_t>(value)).u16(10, 1).u16(12, 0x1414);
    sendCommand(m, "send_FFT_GLOBAL_CFG()");
}

void ComcertoChannel::send_FFT_CFG(int, int a, int b, int c)
{
    MspMessage m = command(FC_VOIP_TDET_CFG, 26);
    m.u16(8, 1).u16(10, static_cast<uint16_t>(a)).u16(18, static_cast<uint16_t>(b)).u16(20, static_cast<uint16_t>(c));
    sendCommand(m, "send_FFT_CFG()");
}

void ComcertoChannel::del_eth_hdr_chan()
{
    static const struct {
        uint16_t word;
        const char* what;
    } headers[] = {
        {0x8001, "del_eth_hdr_chan(SET_ETH_HDR_PROTOCOL_IP)"},
        {0x8006, "del_eth_hdr_chan(SET_ETH_HDR_PROTOCOL_IP_V6)"},
        {0x8008, "del_eth_hdr_chan(SET_ETH_HDR_PROTOCOL_PPPOE)"},
    };
    for (const auto& h : headers) {
        MspMessage m = command(FC_ETH_HDR_CHAN, 2);
        m.u16(8, h.word);
        sendCommand(m, h.what);
    }
}

int ComcertoChannel::set_eth_hdr_chan(const uint8_t srcMac[6], const uint8_t dstMac[6], bool pppoe, bool ipv6)
{
    uint16_t protocol = pppoe ? 8 : ipv6 ? 6 : 1;
    uint16_t etherType = pppoe ? 0x8864 : ipv6 ? 0x86DD : 0x0800;
    uint8_t type[2] = {static_cast<uint8_t>(etherType >> 8), static_cast<uint8_t>(etherType)};
    MspMessage m = command(FC_ETH_HDR_CHAN, 16);
    m.u16(8, protocol).bytes(10, dstMac, 6).bytes(16, srcMac, 6).bytes(22, type, 2);
    return sendCommand(m, "set_eth_hdr_chan()");
}

int ComcertoChannel::set_pppoe_hdr_chan(int sessionId)
{
    MspMessage m = command(FC_SET_PPPOE_HDR_CHAN, 8);
    m.u16(8, 0x1100).u16(10, static_cast<uint16_t>(sessionId)).u16(14, 0x0021);
    return sendCommand(m, "set_pppoe_hdr_chan()");
}

int ComcertoChannel::setInfoTimer(int value)
{
    MspMessage m = command(FC_VINFOTMR, 2);
    m.u16(8, static_cast<uint16_t>(value));
    return sendCommand(m, "setInfoTimer()");
}

int ComcertoChannel::htdmEna(int value)
{
    MspMessage m = command(FC_HTDMSTAT, 2);
    m.u16(8, static_cast<uint16_t>(value));
    return sendCommand(m, "htdmEna()");
}

int ComcertoChannel::sendHtdm(const uint8_t* data, int length)
{
    if (length <= 0 || !data)
        return 0;
    int sent = 0;
    bool first = true;
    while (sent < length) {
        int header = first ? 12 : 8;
        int n = std::min(length - sent, first ? HTDM_FIRST_PIECE : HTDM_PIECE);
        bool last = sent + n == length;
        MspMessage m = command(last ? FC_SYNCEOF : FC_SYNCDAT, static_cast<size_t>(header - 8 + n));
        if (first)
            m.u16(8, 5);
        m.bytes(static_cast<size_t>(header), data + sent, static_cast<size_t>(n));
        int result = sendCommand(m, "sendHtdm()");
        if (result != 0)
            return result;
        sent += n;
        first = false;
    }
    return 0;
}

int ComcertoChannel::QoS_thresholds(bool on)
{
    MspMessage m = command(FC_QOS_THRESHOLD, on ? 16 : 2);
    if (on) {
        m.u16(8, 1);
        for (int i = 0; i < 7; i++)
            m.u16(static_cast<size_t>(10 + 2 * i), static_cast<uint16_t>(qosThresholds[i]));
    }
    return sendCommand(m, "QoS_thresholds()");
}

int ComcertoChannel::setCAS(unsigned abcd)
{
    MspMessage m = command(FC_SET_TDM_SIGNALING, 2);
    m.u16(8, static_cast<uint16_t>((abcd & 0xF) * 0x11));
    return sendCommand(m, "setCAS()");
}

int ComcertoChannel::set_RTCP(bool on)
{
    MspMessage m = command(FC_RTCPENA, 2);
    m.u16(8, on ? 0x0125 : 0);
    return sendCommand(m, "set_RTCP()");
}

int ComcertoChannel::set_RTCPStatTmr(int value)
{
    MspMessage m = command(FC_RTCPSTATTMR, 4);
    m.u16(8, static_cast<uint16_t>(value)).u16(10, 1);
    return sendCommand(m, "set_RTCPStatTmr()");
}

int ComcertoChannel::RTPMonitorEna(int on, int intervalMs)
{
    MspMessage m = command(FC_RTP_MONITOR_ENA, 6);
    m.u16(8, static_cast<uint16_t>(on)).u16(10, static_cast<uint16_t>(intervalMs));
    return sendCommand(m, "RTPMonitorEna()");
}

int ComcertoChannel::set_passthru_autoswitch(int vbdPayload, bool flag)
{
    MspMessage m = command(FC_SET_PASSTHRU_AUTOSWITCH, 10);
    m.u16(8, vbdPayload < 0 ? 0 : flag ? 0x0019 : 0x0319);
    m.u16(12, static_cast<uint16_t>(0x3C00 | (vbdPayload & 0xFF)));
    return sendCommand(m, "set_passthru_autoswitch()");
}

int ComcertoChannel::sendVoiceModeCommand(uint16_t fc, int mode, const char* what)
{
    if (!hasVoiceConnection())
        return -1;
    MspMessage m = command(fc, 2);
    m.u16(8, static_cast<uint16_t>(mode));
    int result = sendCommand(m, nullptr);
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: %s(%d) failed (result=%d)", timeslot, what, mode, result);
    return result;
}

int ComcertoChannel::set_loopback(int mode)
{
    return sendVoiceModeCommand(FC_LOOPBACK, mode, "set_loopback");
}

int ComcertoChannel::ss7cot(int mode)
{
    return sendVoiceModeCommand(FC_SS7COT, mode, "ss7cot");
}

int ComcertoChannel::setChannelMode(int mode, unsigned sub)
{
    uint16_t second = 0x0500;
    if (mode == 1)
        second = static_cast<uint16_t>(0x0500 | (sub & 0xF));
    else if (mode == 2)
        second = static_cast<uint16_t>(0x0500 | (sub & 0xF) << 4);
    MspMessage m = command(FC_SET_CHANNEL_MODE, 4);
    m.u16(8, static_cast<uint16_t>(0x0500 | mode)).u16(10, second);
    int result = sendCommand(m, "setChannelMode()");
    if (result == 0)
        playRecordMode = mode != 0;
    return result;
}

int ComcertoChannel::setVoiceChannelMode(int mode, unsigned sub)
{
    if (hasVoiceConnection())
        return setChannelMode(mode, sub);
    return mode != 0 ? -1 : 0;
}

int ComcertoChannel::asStop()
{
    MspMessage m = command(FC_SET_AS_STOP, 0);
    return sendCommand(m, "asStop()");
}

int ComcertoChannel::drainPlayRecBuffer()
{
    MspMessage m = command(FC_SET_AS_DRAIN, 2);
    return sendCommand(m, "drainPlayRecBuffer()");
}

int ComcertoChannel::sendJBOpt()
{
    // Presets by the low three bits of "flags": minimum, maximum, initial, w14.
    static const uint16_t presets[8][4] = {
        {0, 0, 0, 0},          {10, 10, 10, 10000},   {20, 20, 20, 10000}, {50, 50, 50, 10000},
        {100, 100, 100, 10000}, {200, 200, 200, 10000}, {0, 50, 20, 1000},   {60, 200, 100, 10000},
    };
    int preset = channelFlags & 7;
    uint16_t v[4];
    if (preset == 0) {
        v[0] = static_cast<uint16_t>(jbMin);
        v[1] = static_cast<uint16_t>(jbMax);
        v[2] = static_cast<uint16_t>(jbInit);
        v[3] = static_cast<uint16_t>(jbAp);
    } else {
        std::copy(presets[preset], presets[preset] + 4, v);
    }
    MspMessage m = command(FC_JBOPT, 12);
    m.u16(8, v[0]).u16(10, v[1]).u16(12, v[2]).u16(14, v[3]).u16(16, 0).u16(18, 500);
    return sendCommand(m, "sendJBOpt");
}

int ComcertoChannel::setPTDOPT(int tdmfreq, int tdmlevel, int ipfreq, uint16_t iplevel)
{
    ptdParams[0] = tdmfreq;
    ptdParams[1] = tdmlevel;
    ptdParams[2] = ipfreq;
    ptdParams[3] = iplevel;
    if (tdmfreq < 625 || tdmfreq > 2437)
        LOG(LOGF_GENERAL, 4, "ts %d: setPTDOPT(): tdmfreq (%u) is out of range", timeslot, static_cast<unsigned>(tdmfreq));
    if (ipfreq < 625 || ipfreq > 2437)
        LOG(LOGF_GENERAL, 4, "ts %d: setPTDOPT(): ipfreq (%u) is out of range", timeslot, static_cast<unsigned>(ipfreq));
    if (!hasVoiceConnection())
        return 0;
    MspMessage m = command(FC_PTDOPT, 8);
    m.u16(8, static_cast<uint16_t>(tdmfreq)).u16(10, static_cast<uint16_t>(tdmlevel | 0x0400));
    m.u16(12, static_cast<uint16_t>(ipfreq)).u16(14, static_cast<uint16_t>(iplevel | 0x0400));
    return sendCommand(m, "setPTDOPT()");
}

int ComcertoChannel::setConnIpMode(int family)
{
    if (family != AF_INET && family != AF_INET6) {
        LOG(LOGF_GENERAL, 3, "ts %d: setConnIpMode(): unsupported address family %d", timeslot, family);
        return -1;
    }
    MspMessage m = command(FC_SET_CHANNEL_IP_MODE, 2);
    m.u16(8, family == AF_INET6 ? 1 : 0);
    int result = sendCommand(m, "setConnIpMode()");
    if (result == 0)
        ipMode = family;
    return result;
}

int ComcertoChannel::SetConnIpParams(int part, const sockaddr_storage& local, const sockaddr_storage& remote,
                                     int ttl, int dscp)
{
    if (remote.ss_family == AF_INET) {
        const auto& l = reinterpret_cast<const sockaddr_in&>(local);
        const auto& r = reinterpret_cast<const sockaddr_in&>(remote);
        uint8_t ip[20] = {0x45, static_cast<uint8_t>(dscp << 2), 0, 0, 0, 0, 0x40, 0x00,
                          static_cast<uint8_t>(ttl), 17, 0, 0};
        memcpy(ip + 12, &l.sin_addr, 4);
        memcpy(ip + 16, &r.sin_addr, 4);
        MspMessage m = command(FC_SET_IP_HDR_CHANNEL, 30);
        m.u8(8, static_cast<uint8_t>(part)).u8(9, 1).bytes(10, ip, sizeof ip);
        put_ip_udp_ports(m, 30, l.sin_port, r.sin_port, part);
        return sendCommand(m, "SetConnIpParams()");
    }
    if (remote.ss_family == AF_INET6) {
        const auto& l = reinterpret_cast<const sockaddr_in6&>(local);
        const auto& r = reinterpret_cast<const sockaddr_in6&>(remote);
        uint8_t ip[40] = {0x60, 0, 0, 0, 0, 0, 17, static_cast<uint8_t>(ttl)};
        memcpy(ip + 8, &l.sin6_addr, 16);
        memcpy(ip + 24, &r.sin6_addr, 16);
        MspMessage m = command(FC_SET_IP_HDR_CHANNEL, 50);
        m.u16(8, static_cast<uint16_t>(part)).bytes(10, ip, sizeof ip);
        put_ip_udp_ports(m, 50, l.sin6_port, r.sin6_port, part);
        return sendCommand(m, "SetConnIpParams()");
    }
    LOG(LOGF_GENERAL, 3, "ts %d: SetConnIpParams(): unsupported address family %d", timeslot, remote.ss_family);
    return -1;
}

int ComcertoChannel::setSrtpOptions(int a, int b, int c)
{
    MspMessage m = command(FC_SRTP_OPT, 10);
    m.u16(8, static_cast<uint16_t>(0xA002 | a << 10 | c << 4)).u16(12, 0x0070).u16(14, 0x0070);
    m.u16(16, static_cast<uint16_t>(0x2800 | b << 4));
    return sendCommand(m, "CIPHER_SRTP_OPT");
}

int ComcertoChannel::setSrtpKey(int direction, const uint8_t key[30], uint64_t index, uint64_t rate)
{
    MspMessage m = command(FC_SRTP_KEY_DERIVATION, 72);
    m.u16(8, static_cast<uint16_t>(direction << 10));
    if (index < (uint64_t{1} << 48)) {
        m.u16(10, static_cast<uint16_t>(index >> 32));
        m.u16(12, static_cast<uint16_t>(index >> 16));
        m.u16(14, static_cast<uint16_t>(index));
    }
    m.u16(18, rate <= 0x7FFF ? static_cast<uint16_t>(rate) : 0);
    m.bytes(32, key, SRTP_KEY_LENGTH);
    return sendCommand(m, "CIPHER_SRTP_KEY_DERIVATION");
}

int ComcertoChannel::setSrtpKey(int direction, const std::string& key)
{
    // Anything but a whole master key and salt would leave the MSP half keyed.
    if (key.size() != SRTP_KEY_LENGTH) {
        LOG(LOGF_GENERAL, 3, "ts %d: SRTP key of %zu bytes refused", timeslot, key.size());
        return -1;
    }
    return setSrtpKey(direction, reinterpret_cast<const uint8_t*>(key.data()), 0, 0);
}

int ComcertoChannel::getSrtpState()
{
    MspMessage m(MSP_CLASS_QUERY, MSP_TYPE_CHANNEL, FC_SRTP_OPT, 0);
    uint8_t response[RESPONSE_SIZE];
    int length = RESPONSE_SIZE;
    int result = sendCommand(m, "CIPHER_SRTP_OPT request", response, &length);
    if (result != 0)
        return result;
    int word = answer_word(response, length, 8);
    return word < 0 ? 0 : (word >> 15) & 1;
}

int ComcertoChannel::getSrtpStateIfConnected() { return channelId < 0 ? 0 : getSrtpState(); }

int ComcertoChannel::setPayloadTypeMap()
{
    MspMessage tx = command(FC_PTMNG, MSP_PAYLOAD_MAP_SIZE);
    tx.bytes(8, payloadMap, MSP_PAYLOAD_MAP_SIZE);
    sendCommand(tx, "VOIP_PTMNG");
    MspMessage rx = command(FC_PTMNGRXOVR, MSP_PAYLOAD_MAP_SIZE);
    rx.bytes(8, rxPayloadMap, MSP_PAYLOAD_MAP_SIZE);
    return sendCommand(rx, "VOIP_PTMNGRXOVR");
}

int ComcertoChannel::send_EVRC_OPTIONS(int mode, int value)
{
    MspMessage m = command(FC_EVRC_RTP_OPTIONS, mode == 0 ? 4 : 6);
    m.u16(8, static_cast<uint16_t>(mode)).u16(10, static_cast<uint16_t>(value));
    if (mode != 0)
        m.u16(12, 1);
    return sendCommand(m, "send_EVRC_OPTIONS()");
}

int ComcertoChannel::set_BWE_PARAMS()
{
    uint32_t flags = rtp.amr_flags;
    uint16_t mode = static_cast<uint16_t>(((amrMode & 0x3FF) << 6) + ((flags & 0x200) ? 0x4000 : 0));
    MspMessage m = command(FC_SET_BWE_PARAMS, 8);
    m.u16(8, mode).u16(10, 0x0508).u16(12, static_cast<uint16_t>(0x0E00 | (flags & 0xFF)));
    m.u16(14, (flags & 0x100) ? 2 : 1);
    return sendCommand(m, "set_BWE_PARAMS()");
}

int ComcertoChannel::enableDTX(bool on, int hangover, int dtxmin, int dtxmax)
{
    MspMessage control = command(FC_CDMA_DTX_CONTROL, 2);
    control.u16(8, on ? 1 : 0);
    int result = sendCommand(control, "enableDTX()");
    if (!on)
        return result;
    auto clamp = [](int v) { return std::clamp(v, 0, 255); };
    hangover = clamp(hangover);
    dtxmin = clamp(dtxmin);
    dtxmax = clamp(dtxmax);
    if (dtxmax < dtxmin) {
        dtxmin = 12;
        dtxmax = 32;
    }
    MspMessage tune = command(FC_CDMA_DTX_TUNE, 12);
    tune.u16(8, static_cast<uint16_t>(hangover)).u16(10, static_cast<uint16_t>(dtxmin));
    tune.u16(12, static_cast<uint16_t>(dtxmax)).u16(14, 2).u16(16, 50).u16(18, 16);
    int tuned = sendCommand(tune, "enableDTX()");
    return result != 0 ? result : tuned;
}

int ComcertoChannel::send_AGCSET(bool rx, bool tx)
{
    MspMessage m = command(FC_AGCSET, 14);
    m.u16(8, static_cast<uint16_t>(0x00C0 | (rx ? 1 : 0) | (tx ? 2 : 0))).u16(10, 0x0098).u16(12, 0x0098);
    m.u16(14, 0x0140).u16(16, 0xFEC0).u16(18, 0x0140).u16(20, 0xFEC0);
    return sendCommand(m, "send_AGCSET()");
}

int ComcertoChannel::applyAGC(bool rx, bool tx) { return hasVoiceConnection() ? send_AGCSET(rx, tx) : 0; }

int ComcertoChannel::set_tdm_gain(float rxDb, float txDb)
{
    MspMessage m = command(FC_DGAIN, 4);
    m.u16(8, static_cast<uint16_t>(gain_tenths(rxDb)));
    m.u16(10, static_cast<uint16_t>(gain_tenths(txDb)));
    return sendCommand(m, "set_tdm_gain()");
}

int ComcertoChannel::applyTdmGain(float rx, float tx) { return hasVoiceConnection() ? set_tdm_gain(rx, tx) : 0; }

int ComcertoChannel::setCountryCode(int code)
{
    uint16_t c = static_cast<uint16_t>(code);
    MspMessage m = command(FC_CNRTYCODE, 10);
    m.u16(8, c).u16(10, c).u16(14, c).u16(16, c);
    int result = sendCommand(m, "setCountryCode()");
    if (result == 0)
        countryCode = code;
    return result;
}

int ComcertoChannel::set_EC(bool on)
{
    MspMessage m = command(FC_ECHOCAN, 2);
    m.u16(8, on && !(channelFlags & 0x08) ? 0x800F : 0);
    return sendCommand(m, "set_EC(ECHOCAN)");
}

int ComcertoChannel::applyEchoCanceller(bool on) { return hasVoiceConnection() ? set_EC(on) : 0; }

int ComcertoChannel::enableSignalDetection(unsigned mask)
{
    if (hasVoiceConnection())
        set_EC(false);
    MspMessage vopena = command(FC_VOPENA, 2);
    vopena.u16(8, 7);
    sendCommand(vopena, "VOPENA");
    MspMessage sigdet = command(FC_SIGDET, 2);
    sigdet.u16(8, static_cast<uint16_t>(mask << 11));
    return sendCommand(sigdet, "SIGDET");
}

int ComcertoChannel::send_TONECTRL(int value)
{
    MspMessage m = command(FC_TONECTRL, 10);
    m.u16(8, static_cast<uint16_t>(value));
    int result = sendCommand(m, "send_TONECTRL()");
    if (result == 0)
        toneControl = value;
    return result;
}

int ComcertoChannel::setSignalingMode(int mode)
{
    MspMessage m = command(FC_SIGNALING_ENABLE, 2);
    m.u16(8, static_cast<uint16_t>(mode));
    int result = sendCommand(m, "setSignalingMode()");
    if (result == 0)
        signalingMode = mode;
    return result;
}

int ComcertoChannel::setPayloadType(unsigned codec, int txPayload, int rxPayload)
{
    if (codec >= MSP_PAYLOAD_MAP_SIZE) {
        LOG(LOGF_GENERAL, 3, "ts %d: setPayloadType(): invalid codec number %d", timeslot, static_cast<int>(codec));
        return -1;
    }
    // One payload number names one codec only.
    if (txPayload != MSP_PAYLOAD_NONE) {
        for (int i = 0; i < MSP_PAYLOAD_MAP_SIZE; i++) {
            if (payloadMap[i] == txPayload)
                payloadMap[i] = MSP_PAYLOAD_NONE;
            if (rxPayloadMap[i] == rxPayload)
                rxPayloadMap[i] = MSP_PAYLOAD_NONE;
        }
    }
    payloadMap[codec] = static_cast<uint8_t>(txPayload);
    rxPayloadMap[codec] = rxPayload == txPayload ? MSP_PAYLOAD_NONE : static_cast<uint8_t>(rxPayload);
    return 0;
}

int ComcertoChannel::getTxPayloadType(unsigned codec) const
{
    return codec < MSP_PAYLOAD_MAP_SIZE ? payloadMap[codec] : MSP_PAYLOAD_NONE;
}

int ComcertoChannel::getRxPayloadType(unsigned codec) const
{
    if (codec >= MSP_PAYLOAD_MAP_SIZE)
        return MSP_PAYLOAD_NONE;
    return rxPayloadMap[codec] != MSP_PAYLOAD_NONE ? rxPayloadMap[codec] : payloadMap[codec];
}

int ComcertoChannel::selectVoiceCodec()
{
    const MspCodec* row = msp_codec_find(rtp.codec, rtp.amr_flags);
    if (row)
        return row->codec;
    rtp.codec = "PCMU";
    rtp.tx_pt = 0;
    rtp.rx_pt = 0;
    return 4;
}

void ComcertoChannel::forgetConnection()
{
    if (channelId >= 0 && channelId < 65536)
        msp_channel_timeslot[channelId] = MSP_CHANNEL_UNMAPPED;
    channelId = -1;
    ipMode = 0;
    msp_open_connections--;
}

void ComcertoChannel::mapConnection()
{
    if (channelId >= 0 && channelId < 65536 && timeslot >= 0 && timeslot < 0xFFFF)
        msp_channel_timeslot[channelId] = static_cast<uint16_t>(timeslot);
}

int ComcertoChannel::destroyConnection()
{
    // A timer or playback block left behind would call into a channel whose
    // connection (or the channel itself) is gone.
    cancelArpTimer();
    if (channelId < 0)
        return 0;
    // A conference id may equal another channel's MSP channel id.
    if (conferenceFocus)
        return destroyConference();
    if (playRecordMode && hasVoiceConnection())
        setChannelMode(0, 1);
    if (streamRunning)
        stopStream();
    if (playing || playFd >= 0 || playTransaction >= 0)
        abandonPlayback();
    tonePlaying = false;
    if (channelId < 0)   // stopStream may have replaced it
        return 0;

    MspMessage m = device_command(FC_SUPVSR_DESTROY_CHANNEL, 2);
    m.u16(8, static_cast<uint16_t>(channelId));
    int result = device_send(m, timeslot, "FC_SUPVSR_DESTROY_CHANNEL");
    if (result == 0)
        forgetConnection();
    if (secure)
        secure.set(false);
    return result;
}

int ComcertoChannel::createConference()
{
    if (channelId != -1) {
        LOG(LOGF_GENERAL, 4, "createConference(): channelId != -1 (already created?)");
        return -1;
    }
    MspMessage m = device_command(FC_CONF_CREATE_CONFERENCE, 2);
    int id;
    int result = device_create(m, &id);
    if (result != 0) {
        LOG(LOGF_GENERAL, 3, "createConference() failed (result=%d)", result);
        return -1;
    }
    // Conference ids are not MSP channel ids: the id may be that of another
    // channel's connection, whose indications must keep reaching it.
    channelId = id;
    conferenceFocus = true;
    timeslot = channelId + 2000;
    msp_open_connections++;
    return 0;
}

int ComcertoChannel::destroyConference()
{
    if (channelId < 0)
        return 0;
    MspMessage m = device_command(FC_CONF_DESTROY_CONFERENCE, 2);
    m.u16(8, static_cast<uint16_t>(channelId));
    int result = device_send(m, timeslot, "FC_CONF_DESTROY_CONFERENCE");
    if (result != 0)
        return result;
    // Not forgetConnection: the conference id was never mapped.
    conferenceFocus = false;
    channelId = -1;
    ipMode = 0;
    msp_open_connections--;
    return 0;
}

int ComcertoChannel::createConferenceParticipant(int role, int conferenceId)
{
    if (channelId != -1) {
        LOG(LOGF_GENERAL, 4, "createConferenceParticipant(): channelId != -1 (already created?)");
        return -1;
    }
    MspMessage m = device_command(FC_CONF_CREATE_PARTICIPANT, 6);
    m.u16(8, static_cast<uint16_t>(role)).u16(10, static_cast<uint16_t>(role == 1 ? timeslot : 0));
    m.u16(12, static_cast<uint16_t>(conferenceId));
    int id;
    int result = device_create(m, &id);
    if (result != 0) {
        LOG(LOGF_GENERAL, 3, "createConferenceParticipant() failed (result=%d)", result);
        return -1;
    }
    msp_open_connections++;
    if (role == 1)
        connectionType = MSP_CONN_PARTICIPANT;
    channelId = id;
    timeslot = channelId + 1000;
    mapConnection();
    if (secure)
        secure.set(false);

    int codec = selectVoiceCodec();
    setPayloadType(static_cast<unsigned>(codec), rtp.tx_pt, rtp.rx_pt);
    setPayloadTypeMap();
    setVoiceOptions();
    if (!rtp.srtp_local_key.empty() && !rtp.srtp_remote_key.empty()) {
        if (setSrtpOptions(2, rtp.srtp_tag_length, rtp.srtp_on) != 0)
            return -1;
        if (setSrtpKey(SRTP_KEY_LOCAL, rtp.srtp_local_key) != 0)
            return -1;
        if (setSrtpKey(SRTP_KEY_REMOTE, rtp.srtp_remote_key) != 0)
            return -1;
        secure.set(true);
    }
    return 0;
}

int ComcertoChannel::destroyConferenceParticipant(int conferenceId)
{
    if (channelId < 0)
        return 0;
    MspMessage off = command(FC_VOPENA, 2);
    sendCommand(off, "FC_VOPENA");
    MspMessage m = device_command(FC_CONF_DESTROY_PARTICIPANT, 4);
    m.u16(8, static_cast<uint16_t>(channelId)).u16(10, static_cast<uint16_t>(conferenceId));
    int result = device_send(m, timeslot, "FC_CONF_DESTROY_PARTICIPANT");
    if (result != 0)
        return result;
    forgetConnection();
    return 0;
}

bool ComcertoChannel::sendLineSignal(int durationMs, int value)
{
    // The duration goes in 8 ms units, rounded, in the low nibble.
    uint8_t bytes[3] = {0x82, static_cast<uint8_t>(timeslot),
                        static_cast<uint8_t>(value << 4 | (durationMs + 4) / 8)};
    if (fpgaSpi.transfer(sizeof bytes, bytes, nullptr))
        return true;
    LOG(LOGF_GENERAL, 3, "ts %d: sendLineSignal(): SPI transfer failed", timeslot);
    return false;
}
