#include "mgmt/management_link.h"

#include <cstring>

#include "core/crc.h"
#include "core/log.h"
#include "core/scheduler.h"
#include "mgmt/device_settings.h"
#include "mgmt/my_snmp.h"
#include "mgmt/var_store.h"

namespace {

constexpr uint8_t GET_ANSWER = 0x80;
constexpr uint8_t ALARM_NOTIFICATION = 2;
constexpr uint8_t VALUE_NOTIFICATION = 4;
// type and id: anything shorter is no request
constexpr int MIN_PACKET = 2;

std::string hex_bytes(const uint8_t* p, int n)
{
    std::string out;
    char b[4];
    for (int i = 0; i < n; i++) {
        snprintf(b, sizeof b, " %02x", p[i]);
        out += b;
    }
    return out;
}

bool is_id_list(const uint8_t* data, int length)
{
    // a frame too short to hold type, id and the check holds no list
    if (length < 0)
        return false;
    MyVarIdList ids;
    return ids.parse(data, length) == 0;
}

}  // namespace

ManagementLink::ManagementLink(MgmtRequestHandler handler) : handler_(handler)
{
    memset(rx_, 0, sizeof rx_);
    memset(tx_, 0, sizeof tx_);
}

uint32_t ManagementLink::now() const { return now_ ? now_() : sched_get_time_ms(); }

void ManagementLink::freshFrame()
{
    rxCount_ = 0;
    escape_ = false;
    xor_ = 0;
    crc16_ = 0xFFFF;
    crc32_ = 0xFFFFFFFF;
}

void ManagementLink::receive(const uint8_t* data, int length)
{
    for (int i = 0; i < length; i++)
        byte(data[i]);
}

void ManagementLink::byte(uint8_t b)
{
    if (b == FLAG) {
        if (!inFrame_) {
            inFrame_ = true;
        } else if (escape_) {
            LOG(LOGF_BOARD, 3, "Unexpected flag byte received");
        } else if (rxCount_ == 0) {
            return;   // flags may repeat
        } else if (rxCount_ < 4) {
            LOG(LOGF_SYSTEM, 4, "SHORT packet received:%s", hex_bytes(rx_, rxCount_).c_str());
        } else {
            endFrame();
        }
        freshFrame();
        return;
    }
    if (!inFrame_)
        return;
    if (b == ESC) {
        if (!escape_) {
            escape_ = true;
            return;
        }
        LOG(LOGF_SYSTEM, 3, "Error: double ESC received");
        freshFrame();
        inFrame_ = false;
        return;
    }
    if (escape_) {
        escape_ = false;
        b ^= 0x20;
    }
    xor_ ^= b;
    crc16_ = crc16_update(crc16_, b);
    crc32_ = crc32_update(crc32_, b);
    if (rxCount_ < rx_size) {
        rx_[rxCount_++] = b;
        return;
    }
    // too long for any packet: lost, and the next flag starts afresh
    freshFrame();
    inFrame_ = false;
}

void ManagementLink::endFrame()
{
    int n = rxCount_;
    bool good = false;
    int c = 1;
    if (mode_ == CRC16) {
        good = crc16_ == 0;
        c = 2;
    } else if (mode_ == CRC32) {
        good = crc32_ == 0;
        c = 4;
    } else if (crc32_ == 0) {
        if (xor_ == 0) {
            good = true;
        } else if (is_id_list(rx_ + 2, n - 6)) {
            LOG(LOGF_SYSTEM, 6, "switching to CRC32 mode");
            mode_ = CRC32;
            good = true;
            c = 4;
        }
    } else if (crc16_ == 0) {
        if (xor_ == 0) {
            good = true;
        } else if (is_id_list(rx_ + 2, n - 4)) {
            LOG(LOGF_SYSTEM, 6, "switching to CRC16 mode");
            mode_ = CRC16;
            good = true;
            c = 2;
        }
    } else {
        good = xor_ == 0;
    }
    if (!good)
        return;
    if (n - c < MIN_PACKET) {
        // a good CRC-32 over 4 or 5 bytes leaves no type and id
        LOG(LOGF_SYSTEM, 4, "SHORT packet received:%s", hex_bytes(rx_, n).c_str());
        return;
    }
    if (mode_ != XOR8)
        fallback_ = crc_fallback;
    if (rx_[0] & 0x80)
        return;   // an answer: the gateway asks nothing
    if (handler_)
        handler_(*this, rx_, n - c);
}

void ManagementLink::appendCheck(int length)
{
    int n = length;
    if (mode_ == CRC16) {
        uint16_t crc = 0xFFFF;
        for (int i = 0; i < length; i++)
            crc = crc16_update(crc, tx_[i]);
        tx_[n++] = uint8_t(crc >> 8);
        tx_[n++] = uint8_t(crc);
    } else if (mode_ == CRC32 || (probe_ == 0 && length > 0 && tx_[0] == GET_ANSWER)) {
        // in XOR8 a Get answer now and then carries a CRC-32, so that a
        // controller able to use it can switch
        if (mode_ == XOR8)
            probe_ = probe_period;
        uint32_t crc = 0xFFFFFFFF;
        for (int i = 0; i < length; i++)
            crc = crc32_update(crc, tx_[i]);
        for (int shift = 24; shift >= 0; shift -= 8)
            tx_[n++] = uint8_t(crc >> shift);
    } else {
        uint8_t x = 0;
        for (int i = 0; i < length; i++)
            x ^= tx_[i];
        tx_[n++] = x;
    }
    txPos_ = 0;
    txLeft_ = n + 1;
}

int ManagementLink::fillTx(uint8_t* out, int space)
{
    int w = 0;
    while (txLeft_ > 1 && w < space) {
        uint8_t b = tx_[txPos_];
        if (b == FLAG || b == ESC) {
            out[w++] = ESC;
            // the frame keeps the second half, so a full buffer may split the pair
            tx_[txPos_] = b ^ 0x20;
            if (w == space)
                return w;
            b = tx_[txPos_];
        }
        out[w++] = b;
        txPos_++;
        txLeft_--;
    }
    if (txLeft_ == 1 && w < space) {
        out[w++] = FLAG;
        txLeft_ = 0;
    }
    return w;
}

void ManagementLink::tick()
{
    if (fallback_ > 0) {
        if (--fallback_ == 0) {
            mode_ = XOR8;
            LOG(LOGF_SYSTEM, 6, "switching to XOR8 mode");
            probe_ = probe_period - 1;
        }
    } else if (mode_ == XOR8 && probe_ > 0) {
        probe_--;
    }
}

void ManagementLink::queueAnswer(const std::string& packet)
{
    queue_.push_back(packet);
    if (packet.size() >= 2) {
        CachedAnswer& c = cache_[uint8_t(packet[1])];
        c.packet = packet;
        c.time = now();
    }
}

void ManagementLink::requeue(const std::string& packet) { queue_.push_back(packet); }

const std::string* ManagementLink::recentAnswer(int id, uint32_t maxAge, uint32_t* age) const
{
    const CachedAnswer& c = cache_[uint8_t(id)];
    if (c.packet.empty())
        return nullptr;
    uint32_t a = now() - c.time;
    if (a >= maxAge)
        return nullptr;
    if (age)
        *age = a;
    return &c.packet;
}

bool ManagementLink::popTx()
{
    if (txLeft_ != 0 || queue_.empty())
        return false;
    std::string packet = std::move(queue_.front());
    queue_.pop_front();
    if (packet.size() > size_t(tx_size - 4)) {
        LOG(LOGF_SYSTEM, 3, "packet of %zu bytes too long for the link, dropped", packet.size());
        return false;
    }
    memcpy(tx_, packet.data(), packet.size());
    appendCheck(int(packet.size()));
    return true;
}

bool ManagementLink::sendList(uint8_t type, const MyVarValueList& list)
{
    tx_[0] = type;
    int n = list.serialize(tx_ + 1, notification_room);
    if (n < 0) {
        LOG(LOGF_SYSTEM, 4, "MyVarValueList::serialize() error");
        return false;
    }
    appendCheck(1 + n);
    return true;
}

void ManagementLink::buildNotification()
{
    // read before the store's lock: the two locks are never nested
    bool controllerKnown = !device_setting(&DeviceSettings::SWAddress).empty();
    MyVarStore& s = varStore;
    MutexLock lock(s.mutex);

    if (!s.alarmChunks.empty()) {
        MyVarValueList chunk;
        auto it = s.alarmChunks.begin();
        for (int i = 0; i < alarm_chunk && it != s.alarmChunks.end(); i++) {
            chunk.insert(*it);
            it = s.alarmChunks.erase(it);
        }
        sendList(ALARM_NOTIFICATION, chunk);
        return;
    }
    if (!controllerKnown)
        return;

    if (s.alarmRepeat != 0 && s.alarmCountdown != 0) {
        if (--s.alarmCountdown == 0) {
            if (s.alarmChanges.size() <= size_t(alarm_chunk))
                sendList(ALARM_NOTIFICATION, s.alarmChanges);
            else
                s.alarmChunks = s.alarmChanges;
            if (--s.alarmRepeat == 0)
                s.alarmChanges.clear();
            s.alarmCountdown = alarm_period;
        }
        return;
    }

    if (!s.valuesSending.empty()) {
        tx_[0] = VALUE_NOTIFICATION;
        int used = 0;
        int written = 0;
        for (auto it = s.valuesSending.begin(); it != s.valuesSending.end();) {
            if (it->second.repeat > 0) {
                uint8_t* p = tx_ + 1 + used;
                int room = notification_room - used;
                int idLen = encode_var_id(p, size_t(room), it->first);
                int valueLen = idLen < 0 ? -1 : it->second.encode(p + idLen, size_t(room - idLen));
                if (valueLen < 0) {
                    if (written > 0)
                        break;   // goes into a later packet
                    // it would stop every later value notification for good
                    LOG(LOGF_SYSTEM, 4, "value of %s does not fit into a notification, dropped",
                        it->first.c_str());
                    it = s.valuesSending.erase(it);
                    continue;
                }
                used += idLen + valueLen;
                written++;
            }
            it = s.valuesSending.erase(it);
        }
        if (written > 0)
            appendCheck(1 + used);
        return;
    }

    if (s.valueRepeat != 0 && s.valueCountdown != 0) {
        if (--s.valueCountdown == 0) {
            s.valuesSending = s.values;
            for (auto& entry : s.values)
                if (entry.second.repeat > 0)
                    entry.second.repeat--;
            if (--s.valueRepeat == 0)
                s.values.clear();
            s.valueCountdown = MyVarStore::value_period;
        }
    }
}
