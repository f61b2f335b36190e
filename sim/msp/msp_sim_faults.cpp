#include "sim/msp/msp_simulator.h"

#include <map>
#include <random>
#include <stdexcept>

#include "sim/msp/msp_sim_wire.h"
#include "sim/sim_json.h"

using json = nlohmann::json;
using namespace msp_sim;

// False when the answer is dropped.
bool MspSimulator::apply_faults(const MspSimCommand& c, Answer& a, bool& duplicate, bool& late)
{
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        MspSimFault& f = *it;
        if (f.count == 0 || (f.fc >= 0 && f.fc != c.fc) || (f.channel >= 0 && f.channel != c.channelId))
            continue;
        uint64_t key = static_cast<uint64_t>(c.channelId) << 32 | msp_transaction_id(c.index, c.fc);
        if (f.kind == MspSimFault::Late && late_pending.count(key))
            return false;   // a resend of a transaction already held back
        if (f.probability < 1 && std::uniform_real_distribution<double>(0, 1)(fault_dice) >= f.probability)
            continue;
        if (f.count > 0)
            --f.count;
        switch (f.kind) {
        case MspSimFault::Status:
            a.bytes = reply(c.bytes.data(), MSP_CLASS_RESPONSE, 2);
            msp_put_u16(a.bytes.data(), 8, static_cast<uint16_t>(f.status));
            break;
        case MspSimFault::Drop:
            return false;
        case MspSimFault::Delay:
            a.delay_ms += f.delay_ms;
            break;
        case MspSimFault::Late:
            late_pending.insert(key);
            a.delay_ms += f.delay_ms;
            late = true;
            at(f.delay_ms, [this, key] { late_pending.erase(key); });
            break;
        case MspSimFault::Duplicate:
            duplicate = true;
            break;
        case MspSimFault::Truncate:
            if (f.length >= 0 && static_cast<size_t>(f.length) < a.bytes.size())
                a.bytes.resize(static_cast<size_t>(f.length));
            break;
        case MspSimFault::Class:
            a.bytes[2] = static_cast<uint8_t>(f.cls);
            break;
        case MspSimFault::Index:
            a.bytes[1] = static_cast<uint8_t>(a.bytes[1] + 1);
            break;
        }
        return true;
    }
    return true;
}

void MspSimulator::add_fault(const MspSimFault& fault)
{
    std::lock_guard<std::mutex> lock(m);
    faults.push_back(fault);
}

void MspSimulator::clear_faults()
{
    std::lock_guard<std::mutex> lock(m);
    faults.clear();
}

json MspSimulator::fault_locked(const json& r)
{
    static const std::map<std::string, MspSimFault::Kind> kinds = {
        {"status", MspSimFault::Status}, {"drop", MspSimFault::Drop},
        {"delay", MspSimFault::Delay},   {"late", MspSimFault::Late},
        {"duplicate", MspSimFault::Duplicate}, {"truncate", MspSimFault::Truncate},
        {"class", MspSimFault::Class}, {"index", MspSimFault::Index}};
    auto k = kinds.find(r.value("kind", ""));
    if (k == kinds.end())
        throw std::invalid_argument("unknown fault kind");
    MspSimFault f;
    f.kind = k->second;
    f.fc = static_cast<int>(sim_number_or(r, "fc", -1));
    f.channel = static_cast<int>(sim_number_or(r, "channel", -1));
    f.status = static_cast<int>(sim_number_or(r, "status", 0));
    f.delay_ms = static_cast<int>(sim_number_or(r, "delay_ms", 0));
    f.length = static_cast<int>(sim_number_or(r, "length", 0));
    f.cls = static_cast<int>(sim_number_or(r, "cls", -1));
    f.count = static_cast<int>(sim_number_or(r, "count", -1));
    if (r.contains("probability")) {
        const json& p = r["probability"];
        if (!p.is_number() || p.get<double>() < 0 || p.get<double>() > 1)
            throw std::invalid_argument("\"probability\" must be a number from 0 to 1");
        f.probability = p.get<double>();
    }
    faults.push_back(f);
    return {{"ok", true}};
}
