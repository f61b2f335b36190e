// The part of the media-processor channel base that talks to the media
// processor: commands to the channel's own MSP channel, synchronous or with a
// completion callback.
#pragma once

#include <cstdint>

#include "core/abstract_channel.h"
#include "msp/msp_transaction.h"

class ComcertoChannel : public AbstractChannel {
public:
    explicit ComcertoChannel(int timeslot) : timeslot(timeslot) {}
    // Commands still in flight die with the channel: their callbacks never run.
    ~ComcertoChannel() override;
    ComcertoChannel(const ComcertoChannel&) = delete;
    ComcertoChannel& operator=(const ComcertoChannel&) = delete;

    // DEV_PassThru to the channel's channelId.
    int PassThru(void* message, int length, void* response, int* responseLength);
    // Returns the transaction id or -1; see msp_passthru_async. Cancelled
    // when the channel is deleted.
    int PassThruAsync(void* message, int length, MspCompletionCallback callback, void* userData);

    // CNDSTOP straight to the channel's MSP channel; leaves callerIdPending as it is.
    virtual int stopCallerId();

    int timeslot;
    int channelId = -1;             // -1 while the channel has no MSP connection
    bool callerIdPending = false;   // a caller-ID generation was set up

private:
    bool ready_for_command(const char* what);
};
