#include "sim/msp/msp_simulator.h"

#include <algorithm>
#include <cstring>

#include "sim/msp/msp_sim_wire.h"
#include "sim/sim_json.h"

using json = nlohmann::json;
using namespace msp_sim;

MspSimulator::Answer MspSimulator::handle(uint16_t channelId, const uint8_t* m, size_t length)
{
    uint8_t cls = m[2];
    uint16_t fc = msp_message_fc(m);
    // Only what the board's driver would pass on: at most the length byte.
    size_t used = std::min<size_t>(length, std::max<size_t>(m[0], MSP_HEADER_SIZE));
    if (cls == MSP_CLASS_IRM) {
        Answer a;
        a.bytes = reply(m, MSP_CLASS_IRM_RESPONSE, 16);
        a.bytes[3] = MSP_TYPE_IRM;
        msp_put_u32(a.bytes.data(), 20, device.available);
        return a;
    }
    if (cls == MSP_CLASS_MANAGEMENT) {
        Answer a;
        a.bytes = reply(m, MSP_CLASS_MANAGEMENT, 16);
        return a;
    }
    if (cls != MSP_CLASS_COMMAND && cls != MSP_CLASS_QUERY)
        return {};   // not a command: the device ignores it
    if (channelId == MSP_DEVICE_CHANNEL_ID)
        return handle_device(m, used, cls, fc);
    return handle_channel(channelId, m, used, cls, fc);
}

MspSimulator::Answer MspSimulator::handle_device(const uint8_t* m, size_t length, uint8_t cls, uint16_t fc)
{
    Answer a;
    if (cls == MSP_CLASS_QUERY) {
        switch (fc) {
        case FC_SUPVSR_CREATE_CHANNEL: {
            a.bytes = reply(m, MSP_CLASS_QUERY_RESPONSE, 2);
            int id = channel_of_timeslot(w(m, length, 8));
            msp_put_u16(a.bytes.data(), 8, static_cast<uint16_t>(id < 0 ? 0xFFFF : id));
            return a;
        }
        case FC_SUPVSR_GET_DEVICE_TYPE:
            a.bytes = reply(m, MSP_CLASS_QUERY_RESPONSE, 2);
            msp_put_u16(a.bytes.data(), 8, static_cast<uint16_t>(device.device_type));
            return a;
        case FC_DEVICE_VERSION:
            a.bytes = reply(m, MSP_CLASS_QUERY_RESPONSE, 2);
            a.bytes[8] = static_cast<uint8_t>(device.revision);
            return a;
        case FC_SUPVSR_GET_ARM_CODE_VERSION:
        case FC_SUPVSR_GET_SPU_CODE_VERSION: {
            const std::string& v = fc == FC_SUPVSR_GET_ARM_CODE_VERSION ? device.arm_version : device.spu_version;
            size_t n = std::min<size_t>(v.size(), 200);
            a.bytes = reply(m, MSP_CLASS_QUERY_RESPONSE, n + 1);
            memcpy(a.bytes.data() + 8, v.data(), n);
            return a;
        }
        case FC_IRM_GET_SFKEYS:
            a.bytes = reply(m, MSP_CLASS_QUERY_RESPONSE, 8);
            return a;
        default:
            a.bytes = reply(m, MSP_CLASS_QUERY_RESPONSE, 2);
            return a;
        }
    }
    device.last[fc].assign(m + MSP_HEADER_SIZE, m + length);
    switch (fc) {
    case FC_SUPVSR_CREATE_CHANNEL: {
        int type = w(m, length, 8), ts = w(m, length, 10);
        if (ts != 0xFFFF && channel_of_timeslot(ts) >= 0) {
            a.bytes = status_reply(m, ERR_TDMDRV_INVTS, 4);
            return a;
        }
        int id = allocate_channel_locked(type, ts);
        a.bytes = status_reply(m, id < 0 ? SIM_ERR_NO_SUCH_OBJECT : 0, 4);
        msp_put_u16(a.bytes.data(), 10, static_cast<uint16_t>(id < 0 ? 0xFFFF : id));
        return a;
    }
    case FC_SUPVSR_DESTROY_CHANNEL: {
        uint16_t id = w(m, length, 8);
        auto it = channels.find(id);
        if (it == channels.end()) {
            a.bytes = status_reply(m, SIM_ERR_NO_SUCH_OBJECT);
            return a;
        }
        if (it->second.conference >= 0) {
            auto& members = conferences[it->second.conference];
            members.erase(std::remove(members.begin(), members.end(), id), members.end());
        }
        channels.erase(it);
        a.bytes = status_reply(m, 0);
        return a;
    }
    case FC_MDIO_BUS_READ: {
        // Answered like a query: status at w8, the register at w16.
        a.bytes = reply(m, MSP_CLASS_QUERY_RESPONSE, 10);
        int key = w(m, length, 10) << 8 | w(m, length, 12);
        auto it = device.phy.find(key);
        msp_put_u16(a.bytes.data(), 16, it == device.phy.end() ? 0 : it->second);
        msp_put_u16(a.bytes.data(), 8, device.mdio_status);
        return a;
    }
    case FC_MDIO_BUS_WRITE:
        device.phy[w(m, length, 10) << 8 | w(m, length, 12)] = w(m, length, 14);
        break;
    case FC_DEVICE_STATUS:
        device.heartbeat = w(m, length, 8) != 0;
        ++heartbeat_generation;
        if (device.heartbeat) {
            int g = heartbeat_generation;
            at(device.heartbeat_period_ms, [this, g] { heartbeat_locked(g); });
        }
        break;
    case FC_MONITOR_TDM_SIGNALING: {
        uint16_t word = w(m, length, 8);
        int ts = w(m, length, 10);
        if ((word & 0xFF) == 0x25)
            device.monitored[ts] = word >> 8;
        else
            device.monitored.erase(ts);
        break;
    }
    case FC_CONF_CREATE_CONFERENCE: {
        int id = next_conference++;
        conferences[id];
        a.bytes = status_reply(m, 0, 4);
        msp_put_u16(a.bytes.data(), 10, static_cast<uint16_t>(id));
        return a;
    }
    case FC_CONF_DESTROY_CONFERENCE:
        if (!conferences.erase(w(m, length, 8))) {
            a.bytes = status_reply(m, SIM_ERR_NO_SUCH_OBJECT);
            return a;
        }
        break;
    case FC_CONF_CREATE_PARTICIPANT: {
        int role = w(m, length, 8), ts = w(m, length, 10), conf = w(m, length, 12);
        if (!conferences.count(conf)) {
            a.bytes = status_reply(m, SIM_ERR_NO_SUCH_OBJECT, 4);
            return a;
        }
        int id = allocate_channel_locked(2, role == 1 ? ts : 0xFFFF);
        channels[static_cast<uint16_t>(id)].conference = conf;
        conferences[conf].push_back(static_cast<uint16_t>(id));
        a.bytes = status_reply(m, 0, 4);
        msp_put_u16(a.bytes.data(), 10, static_cast<uint16_t>(id));
        return a;
    }
    case FC_CONF_DESTROY_PARTICIPANT: {
        uint16_t id = w(m, length, 8);
        int conf = w(m, length, 10);
        auto it = channels.find(id);
        if (it == channels.end() || it->second.conference != conf) {
            a.bytes = status_reply(m, SIM_ERR_NO_SUCH_OBJECT);
            return a;
        }
        auto& members = conferences[conf];
        members.erase(std::remove(members.begin(), members.end(), id), members.end());
        channels.erase(it);
        break;
    }
    default:
        break;
    }
    a.bytes = status_reply(m, 0);
    return a;
}
