// The wire format: the driver address, the message templates, transaction
// ids and which classes are answers.
#include <cerrno>
#include <gtest/gtest.h>

#include "msp/msp_protocol.h"

namespace {

TEST(MspProtocolTest, AddressCarriesTheChannelBigEndian)
{
    MspAddress a = msp_address_make(0x01020304);
    msp_address_set_channel(a, 0x1234);
    const uint8_t expected[32] = {27,   0,    0,    0,    0x04, 0x03, 0x02, 0x01, 0x00, 0x11, 0x22,
                                  0x33, 0x44, 0x55, 0x00, 0x01, 0x12, 0x34, 0x01, 0x00};
    EXPECT_EQ(0, memcmp(a.bytes, expected, sizeof expected));
    EXPECT_EQ(msp_address_channel(a), 0x1234);
}

TEST(MspProtocolTest, TemplatesKeepTheLengthUnpadded)
{
    struct {
        size_t parameters;
        int length;   // byte 0
        int size;     // bytes sent
    } cases[] = {{0, 8, 8}, {2, 10, 12}, {4, 12, 12}, {14, 22, 24}, {218, 226, 228}};
    for (auto& c : cases) {
        MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, 0x806E, c.parameters);
        EXPECT_EQ(m.data()[0], c.length);
        EXPECT_EQ(m.size(), c.size);
        EXPECT_EQ(msp_message_fc(m.data()), 0x806E);
    }
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, 0x0407, 6);
    m.u16(8, 0x8280).u16(10, 0x07FF).u16(12, 0x03FF);
    const uint8_t tdm[16] = {14, 0, 0, 6, 0x07, 0x04, 0, 0, 0x80, 0x82, 0xFF, 0x07, 0xFF, 0x03, 0, 0};
    ASSERT_EQ(m.size(), 16);
    EXPECT_EQ(0, memcmp(m.data(), tdm, 16));
    EXPECT_THROW(m.u16(14, 1), std::out_of_range);   // padding is not a parameter
    EXPECT_THROW(MspMessage(0, 2, 0x8000, 248), std::length_error);
}

TEST(MspProtocolTest, TransactionIdIsCodeAndIndex)
{
    uint8_t answer[12] = {10, 0x7F, 2, 6, 0x25, 0x04};
    EXPECT_EQ(msp_message_transaction_id(answer), 0x04257Fu);
    EXPECT_EQ(msp_transaction_id(0xFF, 0x9700), 0x9700FFu);
}

TEST(MspProtocolTest, ClassesAndTypes)
{
    struct {
        uint8_t cls, type;
        MspMessageKind kind;
    } cases[] = {
        {0x02, 0x02, MspMessageKind::Response},   {0x02, 0x06, MspMessageKind::Response},
        {0x04, 0x02, MspMessageKind::Response},   {0x04, 0x06, MspMessageKind::Response},
        {0x71, 0xC2, MspMessageKind::Response},   {0x26, 0x01, MspMessageKind::Response},
        {0x37, 0x01, MspMessageKind::Response},   {0x03, 0x02, MspMessageKind::Indication},
        {0x03, 0x77, MspMessageKind::Indication}, {0x75, 0xC1, MspMessageKind::Diagnostic},
        {0x02, 0x01, MspMessageKind::Unknown},    {0x71, 0x02, MspMessageKind::Unknown},
        {0x26, 0x02, MspMessageKind::Unknown},    {0x75, 0x02, MspMessageKind::Unknown},
        {0x00, 0x02, MspMessageKind::Unknown},    {0x09, 0x02, MspMessageKind::Unknown},
    };
    for (auto& c : cases)
        EXPECT_EQ(msp_message_kind(c.cls, c.type), c.kind) << int(c.cls) << "/" << int(c.type);
}

TEST(MspProtocolTest, WithoutTheBoardTheDriverSocketIsRefused)
{
    unsetenv(MSP_SIM_ENV);
    msp_socket_adopt(-1);
    EXPECT_EQ(msp_socket_open(MSP_MAC, 1), -1);
    EXPECT_FALSE(msp_socket_simulated());
}

}  // namespace
