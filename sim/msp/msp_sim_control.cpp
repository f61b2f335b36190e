#include "sim/msp/msp_simulator.h"

#include <algorithm>
#include <stdexcept>

#include "sim/msp/msp_sim_wire.h"
#include "sim/sim_json.h"

using json = nlohmann::json;
using namespace msp_sim;

json MspSimulator::state() const
{
    std::lock_guard<std::mutex> lock(m);
    return state_locked();
}

json MspSimulator::state_locked() const
{
    json channelsJson = json::array();
    for (const auto& [id, c] : channels)
        channelsJson.push_back(channel_json(c));
    json phy = json::object();
    for (const auto& [key, v] : device.phy)
        phy[std::to_string(key >> 8) + "." + std::to_string(key & 0xFF)] = v;
    json monitored = json::object();
    for (const auto& [ts, v] : device.monitored)
        monitored[std::to_string(ts)] = v;
    json last = json::object();
    for (const auto& [fc, p] : device.last)
        last[fc_text(fc)] = sim_hex(p);
    json conf = json::object();
    for (const auto& [id, members] : conferences)
        conf[std::to_string(id)] = members;
    return {{"device",
             {{"device_type", device.device_type},
              {"revision", device.revision},
              {"arm_version", device.arm_version},
              {"spu_version", device.spu_version},
              {"available", device.available},
              {"heartbeat", device.heartbeat},
              {"heartbeat_period_ms", device.heartbeat_period_ms},
              {"heartbeat_status", device.heartbeat_status},
              {"phy", phy},
              {"monitored", monitored},
              {"last", last}}},
            {"channels", channelsJson},
            {"conferences", conf},
            {"faults", faults.size()},
            {"commands", log.size()},
            {"pacing", pacing}};
}

std::string MspSimulator::control(const std::string& line)
{
    json reply;
    try {
        reply = control_request(json::parse(line));
    } catch (const std::exception& e) {
        reply = {{"ok", false}, {"error", e.what()}};
    }
    return reply.dump();
}

json MspSimulator::control_request(const json& request)
{
    std::lock_guard<std::mutex> lock(m);
    return control_locked(request);
}

json MspSimulator::control_locked(const json& r)
{
    if (!r.is_object() || !r.contains("cmd") || !r["cmd"].is_string())
        throw std::invalid_argument("request needs a \"cmd\" text");
    std::string cmd = r["cmd"];
    if (cmd == "state")
        return {{"ok", true}, {"state", state_locked()}};
    if (cmd == "channel") {
        auto it = channels.find(static_cast<uint16_t>(sim_number(r.at("id"))));
        if (it == channels.end())
            return {{"ok", false}, {"error", "no such channel"}};
        return {{"ok", true}, {"channel", channel_json(it->second)}};
    }
    if (cmd == "log")
        return log_locked(r);
    if (cmd == "clear-log") {
        log.clear();
        return {{"ok", true}};
    }
    if (cmd == "fault")
        return fault_locked(r);
    if (cmd == "clear-faults") {
        faults.clear();
        return {{"ok", true}};
    }
    if (cmd == "plant-channel") {
        plant_channel_locked(static_cast<int>(sim_number(r.at("timeslot"))), static_cast<uint16_t>(sim_number(r.at("id"))),
                             static_cast<int>(sim_number_or(r, "type", 2)));
        return {{"ok", true}};
    }
    if (cmd == "set")
        return set_locked(r);
    if (cmd == "inject")
        return inject_locked(r);
    throw std::invalid_argument("unknown cmd: " + cmd);
}

json MspSimulator::log_locked(const json& r) const
{
    long long fc = sim_number_or(r, "fc", -1);
    json entries = json::array();
    for (const auto& c : log) {
        if (fc >= 0 && c.fc != fc)
            continue;
        entries.push_back({{"t", c.time_ms},
                           {"channel", c.channelId},
                           {"cls", c.cls},
                           {"type", c.type},
                           {"index", c.index},
                           {"fc", c.fc},
                           {"name", fc_text(c.fc)},
                           {"hex", sim_hex(c.bytes)}});
    }
    return {{"ok", true}, {"log", entries}};
}

json MspSimulator::set_locked(const json& r)
{
    if (r.contains("device_type"))
        device.device_type = static_cast<int>(sim_number(r["device_type"]));
    if (r.contains("revision"))
        device.revision = static_cast<int>(sim_number(r["revision"]));
    if (r.contains("arm_version"))
        device.arm_version = r["arm_version"].get<std::string>();
    if (r.contains("spu_version"))
        device.spu_version = r["spu_version"].get<std::string>();
    if (r.contains("available"))
        device.available = static_cast<uint32_t>(sim_number(r["available"]));
    if (r.contains("heartbeat_period_ms"))
        device.heartbeat_period_ms = std::max(1, static_cast<int>(sim_number(r["heartbeat_period_ms"])));
    if (r.contains("heartbeat_status"))
        device.heartbeat_status = static_cast<uint16_t>(sim_number(r["heartbeat_status"]));
    if (r.contains("pacing"))
        pacing = r["pacing"].get<bool>();
    if (r.contains("mdio_status"))
        device.mdio_status = static_cast<uint16_t>(sim_number(r["mdio_status"]));
    if (r.contains("phy")) {
        const json& p = r["phy"];
        device.phy[static_cast<int>(sim_number(p.at(0))) << 8 | static_cast<int>(sim_number(p.at(1)))] =
            static_cast<uint16_t>(sim_number(p.at(2)));
    }
    return {{"ok", true}};
}
