// What the media processor reports on its own: channel indications become
// channel events, HDLC data goes straight to its channel, the device status
// keeps the watchdog fed, and an MSP ALERT may end in a hardware reset.
// Main thread only (the control-socket reader calls it).
#pragma once

#include <cstdint>

// Channel number owning each MSP channelId: its timeslot, or channelId + 1000
// for a channel without one; 0xFFFF while no connection mapped it.
constexpr uint16_t MSP_CHANNEL_UNMAPPED = 0xFFFF;
extern uint16_t msp_channel_timeslot[65536];

// The channel number an indication from channelId is posted to.
int msp_indication_channel(uint16_t channelId);

// One indication (class 0x03) or diagnostic (class 0x75, type 0xC1) as
// received; length is the datagram's length.
void msp_process_indication(const uint8_t* message, int length, uint16_t channelId);

// Channel classes that take HDLC data from the media processor implement this.
class MspSyncDataSink {
public:
    virtual ~MspSyncDataSink() = default;
    virtual void onSyncData(const uint8_t* data, int length, bool last) = 0;
};

// A fatal MSP ALERT with the watchdog open stops the main thread for good so
// that the watchdog resets the board. Tests replace the stop (null restores it).
void msp_set_alert_halt(void (*halt)());

// Back to the start state: every channelId unmapped (tests).
void msp_indications_reset();
