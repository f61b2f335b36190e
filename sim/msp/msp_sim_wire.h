// What the simulated media processor shares between its files: the function
// codes it acts on, its limits and the helpers that build answers.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "msp/msp_names.h"
#include "msp/msp_protocol.h"

namespace msp_sim {

constexpr size_t ADDRESS = MSP_SOCKET_ADDRESS_SIZE;
// Buffered play-out the simulator keeps before it holds answers back.
constexpr int PLAY_AHEAD_MS = 60;
constexpr int CID_DONE_MS = 300;
constexpr size_t HDLC_PIECE = 247;
constexpr size_t MAX_PLAY_OFFSETS = 4096;
constexpr size_t MAX_LOG = 100000;

enum : uint16_t {
    FC_CREATE_CHANNEL = 0x0010,
    FC_DESTROY_CHANNEL = 0x0011,
    FC_ARM_VERSION = 0x0021,
    FC_SPU_VERSION = 0x0022,
    FC_DEVICE_TYPE = 0x0031,
    FC_MONITOR_TDM_SIGNALING = 0x040C,
    FC_DEVICE_STATUS = 0x040F,
    FC_DEVICE_VERSION = 0x0410,
    FC_MONITOR_TDM_SIG_CHANGE_IND = 0x0420,
    FC_IRM_GET_SFKEYS = 0x0460,
    FC_VOPENA = 0x8000,
    FC_VCEOPT = 0x8001,
    FC_DTMFOPT = 0x8002,
    FC_ECHOCAN = 0x8006,
    FC_VINFOIND = 0x801C,
    FC_SRTP_KEY_DERIVATION = 0x8201,
    FC_SET_IP_HDR_CHANNEL = 0x9000,
    FC_SET_CHANNEL_IP_MODE = 0x9003,
    FC_ETH_HDR_CHAN = 0x9010,
    FC_SET_PPPOE_HDR_CHAN = 0x9060,
    FC_DGAIN = 0x8005,
    FC_TONEGEN = 0x8009,
    FC_RTCPSTAT = 0x800C,
    FC_TONEDET = 0x800D,
    FC_TCMPLT = 0x8010,
    FC_TONEOFF = 0x8014,
    FC_CNDONGEN = 0x8039,
    FC_CNDSTOP = 0x803C,
    FC_CNDDONE = 0x803D,
    FC_FOIP_SET_DATAGRAM = 0x808B,
    FC_FOIP_GET_DATAGRAM = 0x808C,
    FC_JBOPT = 0x8090,
    FC_CNDRXMSG = 0x80AD,
    FC_SET_TDM_SIGNALING = 0x80B5,
    FC_SRTP_OPT = 0x8200,
    FC_CONF_CREATE_CONFERENCE = 0x9310,
    FC_CONF_DESTROY_CONFERENCE = 0x9311,
    FC_CONF_CREATE_PARTICIPANT = 0x9312,
    FC_CONF_DESTROY_PARTICIPANT = 0x9313,
    FC_MDIO_BUS_WRITE = 0x9330,
    FC_MDIO_BUS_READ = 0x9331,
    FC_SET_CHANNEL_MODE = 0x9400,
    FC_SYNCDAT = 0x9402,
    FC_SYNCEOF = 0x9403,
    FC_SET_AS_DRAIN = 0x9405,
    FC_AS_DRAIN_COMPLETE_IND = 0x9406,
    FC_SET_AS_STOP = 0x9407,
};

// Status the simulator refuses with when a reference names nothing it holds.
constexpr uint16_t SIM_ERR_NO_SUCH_OBJECT = 0x0005;
constexpr uint16_t ERR_TDMDRV_INVTS = 0xFFBD;

// The answer skeleton: same index, type and FC, the given class.
inline std::vector<uint8_t> reply(const uint8_t* m, uint8_t cls, size_t dataBytes)
{
    std::vector<uint8_t> r(msp_round4(MSP_HEADER_SIZE + dataBytes), 0);
    r[0] = static_cast<uint8_t>(MSP_HEADER_SIZE + dataBytes);
    r[1] = m[1];
    r[2] = cls;
    r[3] = m[3];
    r[4] = m[4];
    r[5] = m[5];
    return r;
}

inline std::vector<uint8_t> status_reply(const uint8_t* m, uint16_t status, size_t dataBytes = 2)
{
    auto r = reply(m, MSP_CLASS_RESPONSE, dataBytes);
    msp_put_u16(r.data(), 8, status);
    return r;
}

inline uint16_t w(const uint8_t* m, size_t length, size_t offset)
{
    return offset + 2 <= length ? msp_get_u16(m, offset) : 0;
}

inline std::string fc_text(uint16_t fc)
{
    if (const char* n = msp_fc_name(fc))
        return n;
    char t[8];
    snprintf(t, sizeof t, "0x%04x", fc);
    return t;
}

inline std::string mac_text(const uint8_t* b)
{
    char t[18];
    snprintf(t, sizeof t, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    return t;
}

inline std::string address_text(int family, const uint8_t* b)
{
    char t[INET6_ADDRSTRLEN] = "";
    inet_ntop(family, b, t, sizeof t);
    return t;
}

inline uint16_t be16(const uint8_t* b) { return static_cast<uint16_t>(b[0] << 8 | b[1]); }

inline void put16(std::vector<uint8_t>& p, size_t offset, uint16_t v)
{
    if (p.size() < offset + 2)
        p.resize(offset + 2, 0);
    msp_put_u16(p.data(), offset, v);
}

}  // namespace msp_sim
