#include "msp/media_params.h"

const int DEFAULT_PTIME_TABLE[8] = {20, 5, 10, 30, 40, 50, 60, 90};

int rtp_packet_time(int remotePtime, int* remoteMaxptime, int step, int maxPtime, uint32_t channelFlags)
{
    if (step > 0 && *remoteMaxptime % step != 0)
        *remoteMaxptime -= *remoteMaxptime % step;
    int ptime = remotePtime < 0 ? DEFAULT_PTIME_TABLE[(channelFlags >> 5) & 7] : remotePtime;
    if (ptime < step)
        ptime = step;
    if (ptime > maxPtime)
        ptime = maxPtime;
    // A remote maximum below one frame cannot be met; one frame is the least we send.
    if (ptime > *remoteMaxptime && *remoteMaxptime >= step)
        ptime = *remoteMaxptime;
    if (ptime > 10)
        ptime -= ptime % 10;
    return ptime;
}

bool payload_pair_matches(const uint8_t payloadMap[PAYLOAD_MAP_SIZE], const uint8_t rxPayloadMap[PAYLOAD_MAP_SIZE],
                          int index, int tx, int rx)
{
    if (index < 0 || index >= PAYLOAD_MAP_SIZE || tx != payloadMap[index])
        return false;
    if (rx == rxPayloadMap[index])
        return true;
    return rxPayloadMap[index] == PAYLOAD_NONE && rx == payloadMap[index];
}

void voice_option_words(const voice_options_input_t& in, uint16_t words[5])
{
    uint16_t w0 = 0x0020;
    uint16_t w1 = static_cast<uint16_t>(0x3C00 | ((in.redundancy & 3) << 4));
    uint16_t w4 = 0x4801;
    if (!in.streamRunning) {
        w1 |= 0x8000;
        w0 = 0x1428;
    } else if (in.remotePtime <= 240) {
        w0 = static_cast<uint16_t>((in.remotePtime & 0xFF) << 8 | 0x20);
    } else {
        w0 = 0x1420;
    }
    if (in.channelFlags & 0x10)
        w0 |= 0x10;
    if (in.vad)
        w0 |= 0x40;
    if (in.channelFlags & 0x100)
        w0 |= 0x02;
    if (in.pcmCode == 1)
        w0 |= 0x01;
    if (in.connectionType == 7 && (in.t38Options & 0xC000) == 0)
        w4 = 0;
    if (in.amrFlags & 0x800)
        w4 |= 0x04;
    words[0] = w0;
    words[1] = w1;
    words[2] = 0x0000;
    words[3] = 0x0505;
    words[4] = w4;
}

int rtcp_loss_percent(int64_t lossWord)
{
    return static_cast<int>(((lossWord & 0xFF) * 25) >> 6);
}

int amr_mode_after_loss(int mode, int loss)
{
    if (loss >= 36)
        return mode >= 1 ? 0 : mode;
    if (loss >= 11)
        return mode > 0 ? mode - 1 : mode;
    if (loss <= 2)
        return mode <= 6 ? mode + 1 : mode;
    return mode;
}

void ntp_timestamp(const timeval& tv, uint32_t* seconds, uint32_t* fraction)
{
    *seconds = static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) + 2208988800ULL);
    *fraction = static_cast<uint32_t>((static_cast<uint64_t>(tv.tv_usec) << 32) / 1000000);
}
