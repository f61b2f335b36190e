#include "msp/msp_protocol.h"

#include <stdexcept>

MspAddress msp_address_make(uint32_t ifindex)
{
    MspAddress a{};
    memcpy(a.bytes, &MSP_ADDRESS_FAMILY, 2);   // host order, as the driver wants it
    memcpy(a.bytes + 4, &ifindex, 4);
    memcpy(a.bytes + 8, MSP_MAC, 6);
    a.bytes[14] = 0x00;
    a.bytes[15] = 0x01;
    a.bytes[18] = 0x01;
    a.bytes[19] = 0x00;
    return a;
}

void msp_address_set_channel(MspAddress& address, uint16_t channelId)
{
    address.bytes[16] = static_cast<uint8_t>(channelId >> 8);
    address.bytes[17] = static_cast<uint8_t>(channelId);
}

uint16_t msp_address_channel(const MspAddress& address)
{
    return static_cast<uint16_t>(address.bytes[16] << 8 | address.bytes[17]);
}

MspMessageKind msp_message_kind(uint8_t cls, uint8_t type)
{
    if ((cls == MSP_CLASS_RESPONSE || cls == MSP_CLASS_QUERY_RESPONSE) &&
        (type == MSP_TYPE_CHANNEL || type == MSP_TYPE_DEVICE))
        return MspMessageKind::Response;
    if (cls == MSP_CLASS_IRM_RESPONSE && type == MSP_TYPE_IRM)
        return MspMessageKind::Response;
    if ((cls == MSP_CLASS_MANAGEMENT || cls == MSP_CLASS_MANAGEMENT_RESPONSE) && type == MSP_TYPE_MANAGEMENT)
        return MspMessageKind::Response;
    if (cls == MSP_CLASS_INDICATION)
        return MspMessageKind::Indication;
    if (cls == MSP_CLASS_DIAGNOSTIC && type == MSP_TYPE_DIAGNOSTIC)
        return MspMessageKind::Diagnostic;
    return MspMessageKind::Unknown;
}

MspMessage::MspMessage(uint8_t cls, uint8_t type, uint16_t fc, size_t parameterBytes)
{
    size_t length = MSP_HEADER_SIZE + parameterBytes;
    if (length > 255)
        throw std::length_error("MspMessage: message longer than 255 bytes");
    buffer.assign(msp_round4(length), 0);
    buffer[0] = static_cast<uint8_t>(length);
    buffer[2] = cls;
    buffer[3] = type;
    msp_put_u16(buffer.data(), 4, fc);
}

void MspMessage::check(size_t offset, size_t n) const
{
    if (offset < MSP_HEADER_SIZE || offset + n > buffer[0])
        throw std::out_of_range("MspMessage: parameter outside the message");
}

MspMessage& MspMessage::u8(size_t offset, uint8_t v)
{
    check(offset, 1);
    buffer[offset] = v;
    return *this;
}

MspMessage& MspMessage::u16(size_t offset, uint16_t v)
{
    check(offset, 2);
    msp_put_u16(buffer.data(), offset, v);
    return *this;
}

MspMessage& MspMessage::u32(size_t offset, uint32_t v)
{
    check(offset, 4);
    msp_put_u32(buffer.data(), offset, v);
    return *this;
}

MspMessage& MspMessage::bytes(size_t offset, const void* data, size_t n)
{
    check(offset, n);
    memcpy(buffer.data() + offset, data, n);
    return *this;
}
