#include "msp/comcerto_channel.h"

#include "core/log.h"

enum : uint16_t { FC_CNDSTOP = 0x803C };

ComcertoChannel::~ComcertoChannel() { msp_cancel_transactions_of(this); }

bool ComcertoChannel::ready_for_command(const char* what)
{
    if (channelId < 0) {
        LOG(LOGF_GENERAL, 3, "ts %d: %s(): invalid channelId (%d)", timeslot, what, channelId);
        return false;
    }
    // A pending caller-ID generation would swallow the command.
    if (callerIdPending)
        stopCallerId();
    return true;
}

int ComcertoChannel::PassThru(void* message, int length, void* response, int* responseLength)
{
    if (!ready_for_command("PassThru"))
        return -1;
    return DEV_PassThru(static_cast<uint16_t>(channelId), message, length, response, responseLength);
}

int ComcertoChannel::PassThruAsync(void* message, int length, MspCompletionCallback callback, void* userData)
{
    if (!ready_for_command("PassThru"))
        return -1;
    return msp_passthru_async_owned(this, static_cast<uint16_t>(channelId), message, length, callback, userData);
}

int ComcertoChannel::stopCallerId()
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_CNDSTOP, 0);
    uint8_t response[256];
    int responseLength = sizeof response;
    int result = DEV_PassThru(static_cast<uint16_t>(channelId), m.data(), m.size(), response, &responseLength);
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: CND_STOP failed (result=%d)", timeslot, result);
    return result;
}
