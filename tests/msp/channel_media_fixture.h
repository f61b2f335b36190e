// A channel with a connection planted in the simulated media processor, the
// event queue for what the processor reports, and helpers to read the
// commands the processor received.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/channel_event.h"
#include "core/event_queue.h"
#include "msp/comcerto_channel.h"
#include "msp/msp_indications.h"
#include "support/log_capture.h"
#include "support/msp_sim_fixture.h"
#include "support/test_channel.h"

// createConnection records its calls and opens a connection of the type
// asked for in the simulator, without the set-up a real one sends.
class MediaTestChannel : public TestChannel {
public:
    using TestChannel::TestChannel;
    int createConnection(int type, bool start) override
    {
        created.push_back(type);
        if (failCreate)
            return -1;
        destroyConnection();
        return plant(type) >= 0 ? 0 : -1;
    }
    int plant(int type) { return test_open_connection(*this, type); }

    std::vector<int> created;
    bool failCreate = false;
};

class ChannelMediaFixture : public MspSimFixture {
public:
    ChannelMediaFixture()
    {
        std_queue_create(&event_queue, 64);
        msp_indications_reset();
        msp_set_indication_handler(msp_process_indication);
    }
    ~ChannelMediaFixture()
    {
        drain();
        msp_indications_reset();
        std_queue_destroy(&event_queue);
    }

    // Commands the processor received for channelId (every channel when -1), in order.
    std::vector<MspSimCommand> commands_of(int channelId = -1) const
    {
        std::vector<MspSimCommand> out;
        for (auto& c : sim->commands())
            if (channelId < 0 || c.channelId == channelId)
                out.push_back(c);
        return out;
    }
    std::vector<uint16_t> fcs_of(int channelId) const
    {
        std::vector<uint16_t> out;
        for (auto& c : commands_of(channelId))
            out.push_back(c.fc);
        return out;
    }

    LogCapture logs;
};

inline uint16_t word(const MspSimCommand& c, size_t offset)
{
    return offset + 2 <= c.bytes.size() ? msp_get_u16(c.bytes.data(), offset) : 0;
}
