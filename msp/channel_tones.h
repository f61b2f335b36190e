// What a channel's tone generator, caller-ID generator and ANI tone engine
// are told: the tone table and the messages, built here and sent by
// ComcertoChannel (startTone, sendCallerId, sendAON).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "msp/msp_protocol.h"

// One row of the tone table. A cadenced tone repeats until stopped (0xFF in
// the high byte of the control word); a DTMF digit is one burst.
struct msp_tone_t {
    bool repeats;
    uint16_t onMs, offMs;
    uint16_t freq1, level1;
    uint16_t freq2, level2;
};

// The row of a tone id, or nullptr when the id is no tone (22, 23, 25 and above).
const msp_tone_t* msp_tone_find(int toneId);

// TONEGEN control word: direction 1 plays towards the network side, any
// other value towards the timeslot; flag adds 0x30.
uint16_t msp_tone_control(const msp_tone_t& tone, int direction, bool flag);

MspMessage msp_tonegen_message(int control, int onMs, int offMs, int freq1, int level1, int freq2, int level2);
MspMessage msp_toneoff_message(int direction);

// On-hook caller ID: the fixed generator parameters, then the message with
// the number (first 20 bytes) and the name (outer double quotes removed,
// first 20 bytes, left out when empty).
MspMessage msp_cndsetp_message();
MspMessage msp_cndongen_message(const std::string& name, const std::string& number);

// ANI digit train: the eight tone codes in the order they are sent (the
// category's first, then the number's from its last digit), the cadence
// that plays them and the twelve dual tones the codes stand for.
std::array<uint8_t, 8> aon_tone_codes(const std::string& number, const std::string& category);
MspMessage aon_cadence_message(const std::array<uint8_t, 8>& codes);
MspMessage aon_tone_engine_message();
