#include "sim/msp/msp_simulator.h"

#include <algorithm>
#include <stdexcept>

#include "sim/msp/msp_sim_wire.h"
#include "sim/sim_json.h"

using json = nlohmann::json;
using namespace msp_sim;

void MspSimulator::indication_locked(uint16_t channelId, uint16_t fc, const std::vector<uint8_t>& parameters,
                                     uint8_t cls, uint8_t type)
{
    size_t length = MSP_HEADER_SIZE + parameters.size();
    std::vector<uint8_t> msg(msp_round4(length), 0);
    msg[0] = static_cast<uint8_t>(std::min<size_t>(length, 255));
    msg[2] = cls;
    msg[3] = type;
    msp_put_u16(msg.data(), 4, fc);
    std::copy(parameters.begin(), parameters.end(), msg.begin() + MSP_HEADER_SIZE);
    send_locked(channelId, msg);
}

void MspSimulator::heartbeat_locked(int generation)
{
    if (generation != heartbeat_generation || !device.heartbeat)
        return;
    std::vector<uint8_t> p(4, 0);
    msp_put_u16(p.data(), 2, device.heartbeat_status);
    indication_locked(MSP_DEVICE_CHANNEL_ID, FC_DEVICE_STATUS, p, MSP_CLASS_INDICATION, MSP_TYPE_DEVICE);
    at(device.heartbeat_period_ms, [this, generation] { heartbeat_locked(generation); });
}

void MspSimulator::send_indication(uint16_t channelId, uint16_t fc, const std::vector<uint8_t>& parameters,
                                   uint8_t cls, uint8_t type)
{
    std::lock_guard<std::mutex> lock(m);
    indication_locked(channelId, fc, parameters, cls, type);
}

void MspSimulator::send_raw(uint16_t channelId, const std::vector<uint8_t>& message)
{
    std::lock_guard<std::mutex> lock(m);
    send_locked(channelId, message);
}

void MspSimulator::set_heartbeat(int period_ms, uint16_t status)
{
    std::lock_guard<std::mutex> lock(m);
    device.heartbeat_period_ms = std::max(1, period_ms);
    device.heartbeat_status = status;
}

json MspSimulator::inject_locked(const json& r)
{
    std::string kind = r.value("kind", "");
    uint16_t channelId = static_cast<uint16_t>(sim_number_or(r, "channel", MSP_DEVICE_CHANNEL_ID));
    uint32_t stamp = static_cast<uint32_t>(sim_number_or(r, "timestamp", ticks()));
    std::vector<uint8_t> p;
    auto put32 = [&p](size_t offset, uint32_t v) {
        put16(p, offset, static_cast<uint16_t>(v));
        put16(p, offset + 2, static_cast<uint16_t>(v >> 16));
    };
    // p is indexed from byte 8 of the message
    if (kind.empty() || kind == "raw") {
        if (kind == "raw") {
            send_locked(channelId, sim_unhex(r.at("hex").get<std::string>()));
            return {{"ok", true}};
        }
        if (r.contains("hex"))
            p = sim_unhex(r["hex"].get<std::string>());
        else if (r.contains("words"))
            for (const auto& v : r["words"])
                put16(p, p.size(), static_cast<uint16_t>(sim_number(v)));
        indication_locked(channelId, static_cast<uint16_t>(sim_number(r.at("fc"))), p,
                          static_cast<uint8_t>(sim_number_or(r, "cls", MSP_CLASS_INDICATION)),
                          static_cast<uint8_t>(sim_number_or(r, "type", MSP_TYPE_CHANNEL)));
        return {{"ok", true}};
    }
    if (kind == "cas") {
        put16(p, 0, static_cast<uint16_t>(sim_number(r.at("timeslot"))));
        put16(p, 2, static_cast<uint16_t>(sim_number(r.at("abcd"))));
        put32(4, stamp);
        indication_locked(MSP_DEVICE_CHANNEL_ID, FC_MONITOR_TDM_SIG_CHANGE_IND, p, MSP_CLASS_INDICATION,
                          MSP_TYPE_DEVICE);
    } else if (kind == "atm-cas") {
        put16(p, 0, 0);
        put16(p, 2, static_cast<uint16_t>(sim_number(r.at("abcd"))));
        put32(4, stamp);
        indication_locked(channelId, 0x80B7, p);
    } else if (kind == "tone" || kind == "dtmf") {
        put16(p, 0, static_cast<uint16_t>(sim_number(r.at("tone"))));
        put32(2, stamp);
        indication_locked(channelId, FC_TONEDET, p);
    } else if (kind == "cid") {
        std::string number = r.at("number").get<std::string>();
        std::string name = r.value("name", "");
        std::string date = r.value("date", "01010000");
        bool sdmf = r.value("format", "mdmf") == "sdmf";
        std::vector<uint8_t> body;
        if (sdmf) {
            body.insert(body.end(), date.begin(), date.end());
            body.insert(body.end(), number.begin(), number.end());
        } else {
            auto tlv = [&body](uint8_t t, const std::string& v) {
                body.push_back(t);
                body.push_back(static_cast<uint8_t>(v.size()));
                body.insert(body.end(), v.begin(), v.end());
            };
            tlv(0x01, date);
            tlv(0x02, number);
            if (!name.empty())
                tlv(0x07, name);
        }
        if (body.size() > 200)
            throw std::invalid_argument("caller ID too long");
        put16(p, 0, static_cast<uint16_t>(sim_number_or(r, "status", 0)));
        p.push_back(sdmf ? 0x04 : 0x80);
        p.push_back(static_cast<uint8_t>(body.size()));
        p.insert(p.end(), body.begin(), body.end());
        indication_locked(channelId, FC_CNDRXMSG, p);
    } else if (kind == "heartbeat") {
        put16(p, 0, 0);
        put16(p, 2, static_cast<uint16_t>(sim_number_or(r, "status", device.heartbeat_status)));
        indication_locked(MSP_DEVICE_CHANNEL_ID, FC_DEVICE_STATUS, p, MSP_CLASS_INDICATION, MSP_TYPE_DEVICE);
    } else if (kind == "alert") {
        put16(p, 0, static_cast<uint16_t>(sim_number_or(r, "type", 0)));
        p.push_back(static_cast<uint8_t>(sim_number_or(r, "cpu", 0)));
        p.push_back(static_cast<uint8_t>(sim_number_or(r, "action", 0)));
        put16(p, 4, static_cast<uint16_t>(sim_number_or(r, "alert_channel", 0)));
        indication_locked(MSP_DEVICE_CHANNEL_ID, 0, p, MSP_CLASS_DIAGNOSTIC, MSP_TYPE_DIAGNOSTIC);
    } else if (kind == "hdlc") {
        std::vector<uint8_t> data = sim_unhex(r.at("hex").get<std::string>());
        size_t off = 0;
        do {
            size_t n = std::min(HDLC_PIECE, data.size() - off);
            std::vector<uint8_t> piece(data.begin() + static_cast<long>(off), data.begin() + static_cast<long>(off + n));
            off += n;
            indication_locked(channelId, off >= data.size() ? FC_SYNCEOF : FC_SYNCDAT, piece);
        } while (off < data.size());
    } else if (kind == "drain") {
        put16(p, 0, 0);
        indication_locked(channelId, FC_AS_DRAIN_COMPLETE_IND, p);
    } else if (kind == "vinfo") {
        // 50 counters; the first is 6, counter 48 is the received-packet count
        std::vector<uint32_t> counters(50, 0);
        counters[0] = 6;
        if (r.contains("values")) {
            size_t i = 0;
            for (const auto& v : r["values"])
                if (i < counters.size())
                    counters[i++] = static_cast<uint32_t>(sim_number(v));
        }
        if (r.contains("received"))
            counters[48] = static_cast<uint32_t>(sim_number(r["received"]));
        for (uint32_t v : counters)
            put32(p.size(), v);
        indication_locked(channelId, FC_VINFOIND, p);
    } else if (kind == "stats") {
        for (const auto& v : r.at("values"))
            put32(p.size(), static_cast<uint32_t>(sim_number(v)));
        indication_locked(channelId, FC_RTCPSTAT, p);
    } else {
        throw std::invalid_argument("unknown indication kind: " + kind);
    }
    return {{"ok", true}};
}
