#include "msp/channel_tones.h"

#include "core/log.h"
#include "msp/comcerto_channel.h"
#include "msp/function_codes.h"

namespace {

constexpr uint16_t DTMF_LEVEL = 100;
constexpr uint16_t CALL_LEVEL = 161;

constexpr msp_tone_t dtmf(uint16_t low, uint16_t high) { return {false, 80, 80, low, DTMF_LEVEL, high, DTMF_LEVEL}; }
constexpr msp_tone_t cadence(uint16_t on, uint16_t off, uint16_t freq = 425, uint16_t level = CALL_LEVEL)
{
    return {true, on, off, freq, level, 0, 0};
}

struct tone_entry_t {
    int id;
    msp_tone_t tone;
};

constexpr tone_entry_t TONES[] = {
    {0, dtmf(941, 1336)},  {1, dtmf(697, 1209)},  {2, dtmf(697, 1336)},  {3, dtmf(697, 1477)},
    {4, dtmf(770, 1209)},  {5, dtmf(770, 1336)},  {6, dtmf(770, 1477)},  {7, dtmf(852, 1209)},
    {8, dtmf(852, 1336)},  {9, dtmf(852, 1477)},  {10, dtmf(941, 1209)}, {11, dtmf(941, 1477)},
    {12, dtmf(697, 1633)}, {13, dtmf(770, 1633)}, {14, dtmf(852, 1633)}, {15, dtmf(941, 1633)},
    {16, cadence(60000, 0)},    // dial tone
    {17, cadence(350, 350)},    // busy
    {18, cadence(1000, 3000)},  // ringback
    {19, cadence(250, 250)},    // congestion
    {20, cadence(1500, 8000)},
    {21, cadence(300, 10000)},  // call waiting
    {24, cadence(300, 300, 440, 212)},
};

// Dual tones of the ANI engine, for tone codes 1 to 12.
constexpr uint16_t AON_FREQUENCIES[12][2] = {
    {700, 900},   {700, 1100},  {900, 1100},  {700, 1300},  {900, 1300},  {1100, 1300},
    {700, 1500},  {900, 1500},  {1100, 1500}, {1300, 1500}, {1100, 1700}, {1300, 1700},
};
constexpr uint16_t AON_LEVEL = 135;
constexpr uint16_t AON_DURATION_MS = 40;
constexpr uint8_t AON_START = 11;    // the train begins with this code
constexpr uint8_t AON_REPEAT = 12;   // stands for "same digit again"
constexpr size_t CID_FIELD_MAX = 20;

int send_command(ComcertoChannel& channel, MspMessage& m)
{
    uint8_t response[256];
    int responseLength = sizeof response;
    return channel.PassThru(m.data(), m.size(), response, &responseLength);
}

void put_tlv(std::string& body, uint8_t type, const std::string& value)
{
    size_t n = value.size() < CID_FIELD_MAX ? value.size() : CID_FIELD_MAX;
    body += static_cast<char>(type);
    body += static_cast<char>(n);
    body.append(value, 0, n);
}

}  // namespace

const msp_tone_t* msp_tone_find(int toneId)
{
    for (const auto& e : TONES)
        if (e.id == toneId)
            return &e.tone;
    return nullptr;
}

uint16_t msp_tone_control(const msp_tone_t& tone, int direction, bool flag)
{
    uint16_t d = (direction == 1 ? 1 : 0) + (flag ? 0x30 : 0);
    return tone.repeats ? static_cast<uint16_t>(d | 0xFF00) : d;
}

MspMessage msp_tonegen_message(int control, int onMs, int offMs, int freq1, int level1, int freq2, int level2)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_TONEGEN, 32);
    m.u16(8, static_cast<uint16_t>(control))
        .u16(24, static_cast<uint16_t>(freq1))
        .u16(26, static_cast<uint16_t>(level1))
        .u16(28, static_cast<uint16_t>(freq2))
        .u16(30, static_cast<uint16_t>(level2))
        .u16(32, static_cast<uint16_t>(onMs))
        .u16(34, static_cast<uint16_t>(offMs));
    return m;
}

MspMessage msp_toneoff_message(int direction)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_TONEOFF, 4);
    m.u16(8, static_cast<uint16_t>(direction));
    return m;
}

MspMessage msp_cndsetp_message()
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_CNDSETP, 10);
    m.u16(8, 0x0801).u16(10, 0x00B6).u16(12, 0x0100).u16(14, 0x002C).u16(16, 0xB400);
    return m;
}

MspMessage msp_cndongen_message(const std::string& name, const std::string& number)
{
    std::string body;
    put_tlv(body, 2, number);
    std::string shown = name;
    if (shown.size() > 1 && shown.front() == '"' && shown.back() == '"')
        shown = shown.substr(1, shown.size() - 2);
    if (!shown.empty())
        put_tlv(body, 7, shown);
    // The length byte is even; the datagram is padded on to 4 bytes.
    size_t length = 10 + body.size();
    length += length & 1;
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_CNDONGEN, length - MSP_HEADER_SIZE);
    m.u16(8, 0x8000).bytes(10, body.data(), body.size());
    return m;
}

std::array<uint8_t, 8> aon_tone_codes(const std::string& number, const std::string& category)
{
    std::string digits = number.size() < 7 ? std::string(7 - number.size(), '0') + number
                                           : number.substr(number.size() - 7);
    bool digitCategory = category.size() == 1 && category[0] >= '0' && category[0] <= '9';
    digits += digitCategory ? category : std::string("1");

    std::array<uint8_t, 8> mapped{};
    uint8_t previous = 0;
    for (size_t i = 0; i < mapped.size(); ++i) {
        char c = digits[i];
        uint8_t code = c >= '1' && c <= '9' ? static_cast<uint8_t>(c - '0') : 10;
        if (code == previous)
            code = AON_REPEAT;
        mapped[i] = previous = code;
    }
    // The train carries the category first and the number backwards.
    return {mapped[7], mapped[6], mapped[5], mapped[4], mapped[3], mapped[2], mapped[1], mapped[0]};
}

MspMessage aon_cadence_message(const std::array<uint8_t, 8>& codes)
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_PROGRAM_CADENCE_ENGINE, 58);
    m.u16(8, 0x1003);
    size_t at = 10;
    auto triplet = [&](uint8_t code) {
        m.u16(at, code).u16(at + 2, AON_DURATION_MS).u16(at + 4, 0);
        at += 6;
    };
    triplet(AON_START);
    for (uint8_t code : codes)
        triplet(code);
    m.u16(64, 0x2000);
    return m;
}

MspMessage aon_tone_engine_message()
{
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_PROGRAM_TONE_ENGINE, 218);
    m.u16(8, 12);
    for (size_t i = 0; i < 12; ++i) {
        size_t at = 10 + 18 * i;
        m.u16(at, AON_FREQUENCIES[i][0]).u16(at + 2, AON_LEVEL).u16(at + 4, AON_FREQUENCIES[i][1]).u16(at + 6, AON_LEVEL);
    }
    return m;
}

int ComcertoChannel::send_TONEGEN(int control, int onMs, int offMs, int freq1, int level1, int freq2, int level2)
{
    MspMessage m = msp_tonegen_message(control, onMs, offMs, freq1, level1, freq2, level2);
    int result = send_command(*this, m);
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: send_TONEGEN() failed (result=%d)", timeslot, result);
    return result;
}

int ComcertoChannel::startTone(int direction, MspToneId tone, bool flag)
{
    // Ringback plays once per connection: a second request would restart its cadence.
    if (tone == MSP_TONE_RINGBACK) {
        if (tonePlaying)
            return 0;
        tonePlaying = true;
    }
    if (playing)
        stopPlayback();
    const msp_tone_t* t = msp_tone_find(tone);
    if (!t) {
        LOG(LOGF_GENERAL, 3, "ts %d: startTone(): unknown toneId %d", timeslot, static_cast<int>(tone));
        return -1;
    }
    return send_TONEGEN(msp_tone_control(*t, direction, flag), t->onMs, t->offMs, t->freq1, t->level1, t->freq2,
                        t->level2);
}

int ComcertoChannel::stopTone(int direction)
{
    tonePlaying = false;
    MspMessage m = msp_toneoff_message(direction);
    int result = send_command(*this, m);
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: stopTone() failed (result=%d)", timeslot, result);
    return result;
}

int ComcertoChannel::sendCallerId(const std::string& name, const std::string& number)
{
    if (number.empty())
        return 0;
    MspMessage params = msp_cndsetp_message();
    int result = send_command(*this, params);
    if (result != 0) {
        LOG(LOGF_GENERAL, 3, "ts %d: CND_SET_PARAMS failed (result=%d)", timeslot, result);
        return result;
    }
    // From here every command is preceded by CNDSTOP, the generation message too.
    callerIdPending = true;
    MspMessage m = msp_cndongen_message(name, number);
    result = send_command(*this, m);
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: CND_ONHOOK_GEN failed (result=%d)", timeslot, result);
    return result;
}

int ComcertoChannel::sendAON(const std::string& number, const std::string& category)
{
    int result = createConnection(MSP_CONN_TONE_ENGINE, true);
    if (result != 0) {
        LOG(LOGF_GENERAL, 3, "ts %d: createConnection() failed (result=%d)", timeslot, result);
        return result;
    }
    MspMessage cadence = aon_cadence_message(aon_tone_codes(number, category));
    send_command(*this, cadence);   // the tone engine's result decides
    MspMessage engine = aon_tone_engine_message();
    result = send_command(*this, engine);
    if (result != 0)
        LOG(LOGF_GENERAL, 3, "ts %d: FC_VOIP_PROGRAM_TONE_ENGINE failed (result=%d)", timeslot, result);
    return result;
}
