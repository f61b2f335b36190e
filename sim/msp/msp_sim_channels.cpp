#include "sim/msp/msp_simulator.h"

#include <algorithm>
#include <arpa/inet.h>

#include "sim/msp/msp_sim_wire.h"
#include "sim/sim_json.h"

using json = nlohmann::json;
using namespace msp_sim;

int MspSimulator::allocate_channel_locked(int type, int timeslot)
{
    uint16_t id = 0;
    while (channels.count(id))
        ++id;
    if (id >= 0xFFFF)
        return -1;
    MspSimChannel& c = channels[id];
    c.id = id;
    c.type = type;
    c.timeslot = timeslot;
    return id;
}

MspSimulator::Answer MspSimulator::handle_channel(uint16_t channelId, const uint8_t* m, size_t length, uint8_t cls,
                                                  uint16_t fc)
{
    Answer a;
    auto it = channels.find(channelId);
    if (it == channels.end()) {
        a.bytes = cls == MSP_CLASS_QUERY ? reply(m, MSP_CLASS_QUERY_RESPONSE, 2)
                                         : status_reply(m, SIM_ERR_NO_SUCH_OBJECT);
        return a;
    }
    MspSimChannel& c = it->second;
    if (cls == MSP_CLASS_QUERY) {
        a.bytes = reply(m, MSP_CLASS_QUERY_RESPONSE, 2);
        if (fc == FC_FOIP_GET_DATAGRAM) {
            auto d = c.last.find(FC_FOIP_SET_DATAGRAM);
            uint16_t size = d != c.last.end() && d->second.size() >= 2 ? msp_get_u16(d->second.data(), 0) : 272;
            msp_put_u16(a.bytes.data(), 8, size);
        } else if (fc == FC_SRTP_OPT) {
            msp_put_u16(a.bytes.data(), 8, c.srtp_active ? 0x8000 : 0);
        }
        return a;
    }
    c.last[fc].assign(m + MSP_HEADER_SIZE, m + length);
    a.bytes = status_reply(m, 0);
    int64_t now = now_ms();
    switch (fc) {
    case FC_VOPENA:
        c.voice_mode = w(m, length, 8);
        if (c.voice_mode == 1 && length >= 22) {
            c.tx_pt = m[11];
            c.ssrc = msp_get_u32(m, 18);
        }
        break;
    case FC_SET_TDM_SIGNALING:
        c.cas_tx = w(m, length, 8) & 0x0F;
        break;
    case FC_TONEGEN: {
        c.tone = {w(m, length, 8),  w(m, length, 24), w(m, length, 26), w(m, length, 28),
                  w(m, length, 30), w(m, length, 32), w(m, length, 34)};
        c.tone_playing = true;
        int generation = ++c.tone_generation;
        int repeats = c.tone.control >> 8;
        // 0xFF in the high byte repeats for ever; otherwise the train ends.
        if (repeats != 0xFF) {
            int64_t total = static_cast<int64_t>(repeats + 1) * (c.tone.on_ms + c.tone.off_ms);
            at(total, [this, channelId, generation] {
                auto ch = channels.find(channelId);
                if (ch == channels.end() || ch->second.tone_generation != generation || !ch->second.tone_playing)
                    return;
                ch->second.tone_playing = false;
                indication_locked(channelId, FC_TCMPLT, {0, 0});
            });
        }
        break;
    }
    case FC_TONEOFF:
        c.tone_playing = false;
        ++c.tone_generation;
        ++c.tone_offs;
        break;
    case FC_CNDSTOP:
        ++c.cnd_stops;
        break;
    case FC_CNDONGEN: {
        c.cid_number.clear();
        c.cid_name.clear();
        for (size_t p = 10; p + 2 <= length;) {
            uint8_t t = m[p], n = m[p + 1];
            if (p + 2 + n > length)
                break;
            std::string v(reinterpret_cast<const char*>(m + p + 2), n);
            if (t == 2)
                c.cid_number = v;
            else if (t == 7)
                c.cid_name = v;
            p += 2 + n;
        }
        at(CID_DONE_MS, [this, channelId] {
            if (channels.count(channelId))
                indication_locked(channelId, FC_CNDDONE, {0, 0});
        });
        break;
    }
    case FC_SET_CHANNEL_MODE:
        c.channel_mode = w(m, length, 8);
        break;
    case FC_SYNCDAT:
    case FC_SYNCEOF:
        if (c.type == 23) {
            // HDLC: the first piece of a frame starts with u32 5
            size_t from = c.hdlc_partial.empty() ? 12 : 8;
            if (length > from)
                c.hdlc_partial.insert(c.hdlc_partial.end(), m + from, m + length);
            if (fc == FC_SYNCEOF) {
                c.hdlc_frames.push_back(std::move(c.hdlc_partial));
                c.hdlc_partial.clear();
            }
        } else {
            uint32_t offset = w(m, length, 12) | static_cast<uint32_t>(w(m, length, 14)) << 16;
            size_t n = w(m, length, 18);
            n = std::min(n, length > 20 ? length - 20 : 0);
            if (c.play_offsets.size() < MAX_PLAY_OFFSETS)
                c.play_offsets.push_back(offset);
            c.play_bytes += n;
            // Real time: 8 bytes a millisecond; answer once the buffer has room.
            if (pacing) {
                int64_t buffered = std::max<int64_t>(0, c.play_until_ms - now);
                a.delay_ms = static_cast<int>(std::max<int64_t>(0, buffered - PLAY_AHEAD_MS));
                c.play_until_ms = std::max(now, c.play_until_ms) + static_cast<int64_t>(n / 8);
            }
        }
        break;
    case FC_SET_AS_DRAIN: {
        ++c.drains;
        int64_t left = pacing ? std::max<int64_t>(0, c.play_until_ms - now) : 0;
        at(left, [this, channelId] {
            if (channels.count(channelId))
                indication_locked(channelId, FC_AS_DRAIN_COMPLETE_IND, {0, 0});
        });
        break;
    }
    case FC_SET_AS_STOP:
        ++c.as_stops;
        c.play_until_ms = now;
        break;
    case FC_SRTP_OPT:
        c.srtp_active = w(m, length, 8) != 0;
        break;
    case FC_VCEOPT:
        c.voice_options.clear();
        for (size_t o = 8; o + 2 <= length && o <= 16; o += 2)
            c.voice_options.push_back(msp_get_u16(m, o));
        break;
    case FC_DTMFOPT:
        c.dtmf_options = w(m, length, 8);
        break;
    case FC_ECHOCAN:
        c.echo_canceller = w(m, length, 8);
        break;
    case FC_SRTP_KEY_DERIVATION:
        if (length >= 62)
            c.srtp_keys[w(m, length, 8) >> 10] = sim_hex(std::vector<uint8_t>(m + 32, m + 62));
        break;
    case FC_ETH_HDR_CHAN: {
        uint16_t word = w(m, length, 8);
        if (word & 0x8000)
            c.eth.erase(word & 0xFF);
        else if (length >= 24)
            c.eth[word] = {mac_text(m + 10), mac_text(m + 16), be16(m + 22)};
        break;
    }
    case FC_SET_IP_HDR_CHANNEL:
        if (length >= 38 && (m[10] >> 4) == 4) {
            c.ip[m[8]] = {4, address_text(AF_INET, m + 22), address_text(AF_INET, m + 26), be16(m + 30),
                          be16(m + 32), m[18], m[11] >> 2};
        } else if (length >= 58 && (m[10] >> 4) == 6) {
            c.ip[w(m, length, 8)] = {6, address_text(AF_INET6, m + 18), address_text(AF_INET6, m + 34),
                                     be16(m + 50), be16(m + 52), m[17], 0};
        } else {
            a.bytes = status_reply(m, SIM_ERR_NO_SUCH_OBJECT);
        }
        break;
    case FC_SET_CHANNEL_IP_MODE:
        c.ip_mode = w(m, length, 8);
        break;
    case FC_SET_PPPOE_HDR_CHAN:
        c.pppoe_session = w(m, length, 10);
        break;
    case FC_JBOPT:
        c.jb_min = w(m, length, 8);
        c.jb_max = w(m, length, 10);
        c.jb_init = w(m, length, 12);
        break;
    case FC_DGAIN:
        c.rx_gain = static_cast<int16_t>(w(m, length, 8));
        c.tx_gain = static_cast<int16_t>(w(m, length, 10));
        break;
    default:
        break;
    }
    return a;
}

void MspSimulator::plant_channel(int timeslot, uint16_t channelId, int type)
{
    std::lock_guard<std::mutex> lock(m);
    plant_channel_locked(timeslot, channelId, type);
}

void MspSimulator::plant_channel_locked(int timeslot, uint16_t channelId, int type)
{
    MspSimChannel& c = channels[channelId];
    c = MspSimChannel{};
    c.id = channelId;
    c.type = type;
    c.timeslot = timeslot;
}

bool MspSimulator::channel(uint16_t channelId, MspSimChannel& out) const
{
    std::lock_guard<std::mutex> lock(m);
    auto it = channels.find(channelId);
    if (it == channels.end())
        return false;
    out = it->second;
    return true;
}

int MspSimulator::channel_of_timeslot(int timeslot) const
{
    if (timeslot == 0xFFFF)
        return -1;
    for (const auto& [id, c] : channels)
        if (c.timeslot == timeslot)
            return id;
    return -1;
}

void MspSimulator::set_pacing(bool on)
{
    std::lock_guard<std::mutex> lock(m);
    pacing = on;
}

json MspSimulator::channel_json(const MspSimChannel& c) const
{
    json j = {{"id", c.id},
              {"type", c.type},
              {"timeslot", c.timeslot},
              {"conference", c.conference},
              {"voice_mode", c.voice_mode},
              {"tx_pt", c.tx_pt},
              {"ssrc", c.ssrc},
              {"cas_tx", c.cas_tx},
              {"tone_playing", c.tone_playing},
              {"tone",
               {{"control", c.tone.control},
                {"freq1", c.tone.freq1},
                {"level1", c.tone.level1},
                {"freq2", c.tone.freq2},
                {"level2", c.tone.level2},
                {"on_ms", c.tone.on_ms},
                {"off_ms", c.tone.off_ms}}},
              {"tone_offs", c.tone_offs},
              {"cnd_stops", c.cnd_stops},
              {"cid_number", c.cid_number},
              {"cid_name", c.cid_name},
              {"channel_mode", c.channel_mode},
              {"play_bytes", c.play_bytes},
              {"drains", c.drains},
              {"as_stops", c.as_stops},
              {"srtp_active", c.srtp_active},
              {"jb", {c.jb_min, c.jb_max, c.jb_init}},
              {"ip_mode", c.ip_mode},
              {"pppoe_session", c.pppoe_session},
              {"voice_options", c.voice_options},
              {"dtmf_options", c.dtmf_options},
              {"echo_canceller", c.echo_canceller},
              {"gain", {c.rx_gain, c.tx_gain}}};
    json keys = json::object();
    for (const auto& [direction, k] : c.srtp_keys)
        keys[std::to_string(direction)] = k;
    j["srtp_keys"] = keys;
    json eth = json::object();
    for (const auto& [proto, h] : c.eth)
        eth[std::to_string(proto)] = {{"dst", h.dst}, {"src", h.src}, {"ethertype", h.ethertype}};
    j["eth"] = eth;
    json ip = json::object();
    for (const auto& [part, h] : c.ip)
        ip[part == 0 ? "rtp" : part == 1 ? "rtcp" : std::to_string(part)] = {
            {"version", h.version},   {"src", h.src}, {"dst", h.dst}, {"src_port", h.src_port},
            {"dst_port", h.dst_port}, {"ttl", h.ttl}, {"dscp", h.dscp}};
    j["ip"] = ip;
    json frames = json::array();
    for (const auto& f : c.hdlc_frames)
        frames.push_back(sim_hex(f));
    j["hdlc_frames"] = frames;
    json last = json::object();
    for (const auto& [fc, p] : c.last)
        last[fc_text(fc)] = sim_hex(p);
    j["last"] = last;
    return j;
}
