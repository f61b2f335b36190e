// Wire format of the media processor's control protocol: the driver's socket
// address, the 8-byte message header, class and type values, transaction ids
// and a builder for the fixed command templates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/msp_socket.h"

constexpr uint16_t MSP_DEVICE_CHANNEL_ID = 0xFFFF;
constexpr uint16_t MSP_ADDRESS_FAMILY = 27;
constexpr uint8_t MSP_MAC[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr size_t MSP_HEADER_SIZE = 8;
constexpr size_t MSP_MAX_MESSAGE = 1500;

// Classes (byte 2) and types (byte 3).
enum : uint8_t {
    MSP_CLASS_COMMAND = 0x00,
    MSP_CLASS_QUERY = 0x01,
    MSP_CLASS_RESPONSE = 0x02,
    MSP_CLASS_INDICATION = 0x03,
    MSP_CLASS_QUERY_RESPONSE = 0x04,
    MSP_CLASS_MANAGEMENT = 0x26,
    MSP_CLASS_MANAGEMENT_RESPONSE = 0x37,
    MSP_CLASS_IRM = 0x70,
    MSP_CLASS_IRM_RESPONSE = 0x71,
    MSP_CLASS_DIAGNOSTIC = 0x75,
};
enum : uint8_t {
    MSP_TYPE_MANAGEMENT = 0x01,
    MSP_TYPE_CHANNEL = 0x02,
    MSP_TYPE_DEVICE = 0x06,
    MSP_TYPE_DIAGNOSTIC = 0xC1,
    MSP_TYPE_IRM = 0xC2,
};

// The driver's 32-byte address; the channelId travels big-endian in bytes 16-17.
struct MspAddress {
    uint8_t bytes[MSP_SOCKET_ADDRESS_SIZE];
};
static_assert(sizeof(MspAddress) == MSP_SOCKET_ADDRESS_SIZE);

MspAddress msp_address_make(uint32_t ifindex);
void msp_address_set_channel(MspAddress& address, uint16_t channelId);
uint16_t msp_address_channel(const MspAddress& address);

struct MspMessageHeader {
    uint8_t length;   // header plus parameters, unpadded
    uint8_t index;    // transaction index, echoed by the answer
    uint8_t cls;
    uint8_t type;
    uint16_t fc;      // little-endian on the wire
    uint16_t zero;
};
static_assert(sizeof(MspMessageHeader) == MSP_HEADER_SIZE);

inline uint16_t msp_get_u16(const uint8_t* m, size_t offset)
{
    return static_cast<uint16_t>(m[offset] | (m[offset + 1] << 8));
}
inline uint32_t msp_get_u32(const uint8_t* m, size_t offset)
{
    return msp_get_u16(m, offset) | static_cast<uint32_t>(msp_get_u16(m, offset + 2)) << 16;
}
inline void msp_put_u16(uint8_t* m, size_t offset, uint16_t v)
{
    m[offset] = static_cast<uint8_t>(v);
    m[offset + 1] = static_cast<uint8_t>(v >> 8);
}
inline void msp_put_u32(uint8_t* m, size_t offset, uint32_t v)
{
    msp_put_u16(m, offset, static_cast<uint16_t>(v));
    msp_put_u16(m, offset + 2, static_cast<uint16_t>(v >> 16));
}

inline size_t msp_round4(size_t n) { return (n + 3) & ~size_t{3}; }

inline uint16_t msp_message_fc(const uint8_t* m) { return msp_get_u16(m, 4); }

// 24-bit id: (FC << 8) | index; logged as "0x%06x".
inline uint32_t msp_transaction_id(uint8_t index, uint16_t fc) { return index | static_cast<uint32_t>(fc) << 8; }
inline uint32_t msp_message_transaction_id(const uint8_t* m) { return msp_transaction_id(m[1], msp_message_fc(m)); }

enum class MspMessageKind { Response, Indication, Diagnostic, Unknown };
MspMessageKind msp_message_kind(uint8_t cls, uint8_t type);

// One message built from a fixed template: header, little-endian parameters,
// the length byte without padding, the buffer padded to a multiple of 4.
class MspMessage {
public:
    MspMessage(uint8_t cls, uint8_t type, uint16_t fc, size_t parameterBytes);

    MspMessage& u8(size_t offset, uint8_t v);
    MspMessage& u16(size_t offset, uint16_t v);
    MspMessage& u32(size_t offset, uint32_t v);
    MspMessage& bytes(size_t offset, const void* data, size_t n);

    uint8_t* data() { return buffer.data(); }
    const uint8_t* data() const { return buffer.data(); }
    int size() const { return static_cast<int>(buffer.size()); }   // padded

private:
    void check(size_t offset, size_t n) const;
    std::vector<uint8_t> buffer;
};
