// Rules of a channel's media parameters that need no channel: the packet
// time, the payload maps, the voice-option words, the AMR mode that follows
// the RTCP loss, and the NTP time the RTCP sender reports carry.
#pragma once

#include <cstdint>
#include <sys/time.h>

// Packet time by bits 5-7 of the channel flags, used when the remote side names none.
extern const int DEFAULT_PTIME_TABLE[8];

// Packet time for a codec whose frames are step ms long and whose packets hold
// at most maxPtime ms. remoteMaxptime is cut down to a multiple of step
// (stored back); a negative remotePtime takes the channel's default.
int rtp_packet_time(int remotePtime, int* remoteMaxptime, int step, int maxPtime, uint32_t channelFlags);

constexpr int PAYLOAD_MAP_SIZE = 56;
constexpr uint8_t PAYLOAD_NONE = 0xFF;

// True when the pair (tx, rx) is what the maps already hold for index: rx may
// be left to the transmit number when the receive override is unset.
bool payload_pair_matches(const uint8_t payloadMap[PAYLOAD_MAP_SIZE], const uint8_t rxPayloadMap[PAYLOAD_MAP_SIZE],
                          int index, int tx, int rx);

// What the voice options depend on.
struct voice_options_input_t {
    bool streamRunning = false;
    int connectionType = 2;
    int remotePtime = -1;
    int redundancy = 0;
    bool vad = false;
    uint32_t amrFlags = 0xFF;
    uint32_t channelFlags = 0;
    int pcmCode = 0;
    uint32_t t38Options = 0xA0300;
};
// The five VCEOPT words.
void voice_option_words(const voice_options_input_t& in, uint16_t words[5]);

// RTCP fraction lost (low byte of a loss word) as a rounded-down percentage.
int rtcp_loss_percent(int64_t lossWord);
// The AMR mode after a report with this loss (percent); equal to mode when
// nothing is to be sent.
int amr_mode_after_loss(int mode, int loss);

// Seconds since 1900 and the 32-bit fraction of a second.
void ntp_timestamp(const timeval& tv, uint32_t* seconds, uint32_t* fraction);
