// The smallest concrete media-processor channel, for tests of the channel
// base, and a way to give it a connection without createConnection.
#pragma once

#include <cstdint>

#include "msp/comcerto_channel.h"
#include "msp/comcerto_device.h"
#include "msp/msp_indications.h"
#include "msp/msp_transaction.h"

class TestChannel : public ComcertoChannel {
public:
    using ComcertoChannel::ComcertoChannel;
    const char* getTypeName() const override { return "test"; }
};

// Asks the media processor (the simulator) for a connection of type for the
// channel's timeslot and binds it to the channel as createConnection would.
// Returns the channelId or -1.
inline int test_open_connection(ComcertoChannel& channel, int type = MSP_CONN_VOICE)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_DEVICE, 0x0010, 4);
    m.u16(8, static_cast<uint16_t>(type)).u16(10, static_cast<uint16_t>(channel.timeslot));
    uint8_t response[256];
    int length = sizeof response;
    if (DEV_PassThru(MSP_DEVICE_CHANNEL_ID, m.data(), m.size(), response, &length) != 0 || length < 12)
        return -1;
    channel.channelId = msp_get_u16(response, 10);
    channel.connectionType = type;
    msp_channel_timeslot[channel.channelId] = static_cast<uint16_t>(channel.timeslot);
    msp_open_connections++;
    return channel.channelId;
}
