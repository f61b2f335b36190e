// What the connection code of ComcertoChannel offers beyond the class: the
// voice-enable commands both connection set-up and the RTP parameters send,
// and the clock-recovery state the channels share.
#pragma once

#include <cstdint>

class ComcertoChannel;

// Bit 0x80 of the last "NTG Sync Status" event. Main thread only.
extern bool msp_nt_sync_seen;

// VOPENA with one mode word (0 off, 2 T.38, 13 tone engine); logs
// "FC_VOPENA failed" itself.
int msp_send_vopena(ComcertoChannel& channel, uint16_t mode);
// VOPENA for voice with the channel's transmit payload and SSRC; logs
// "VOPENA failed" itself.
int msp_send_voice_enable(ComcertoChannel& channel);
