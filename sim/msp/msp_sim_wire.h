// What the simulated media processor shares between its files: its limits
// and the helpers that build answers (the function codes are the driver's).
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "msp/function_codes.h"
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
