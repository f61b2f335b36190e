// The management link to the chassis controller: packets framed over the
// FPGA's byte FIFOs (0x7D escaping, 0x7E closing flag) with an XOR8, CRC-16
// or CRC-32 check, the sending queue, the answer cache and the
// notifications built from the variable store. Used by the poller thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "mgmt/poller.h"

class ManagementLink;
// Gets every good request packet (type, id, body; at least 2 bytes).
using MgmtRequestHandler = void (*)(ManagementLink& link, const uint8_t* packet, int length);

class ManagementLink : public PollerLink {
public:
    enum CheckMode : int { XOR8 = 0, CRC16 = 1, CRC32 = 2 };

    static constexpr int rx_size = 1027;
    static constexpr int tx_size = 1028;
    static constexpr int notification_room = 1021;   // list bytes after the type byte
    static constexpr int alarm_chunk = 160;          // entries per alarm packet
    static constexpr int alarm_period = 500;         // passes
    static constexpr int crc_fallback = 30000;       // passes without a good CRC frame
    static constexpr int probe_period = 60000;       // passes between CRC-32 probes

    // Frame flags and escapes.
    static constexpr uint8_t FLAG = 0x7E;
    static constexpr uint8_t ESC = 0x7D;

    explicit ManagementLink(MgmtRequestHandler handler = nullptr);

    void receive(const uint8_t* data, int length) override;
    bool framePending() override { return txLeft_ != 0; }
    int fillTx(uint8_t* out, int space) override;
    void tick() override;
    bool popTx() override;
    void buildNotification() override;

    // Queues an answer packet (type, id, body) and caches it under its id.
    void queueAnswer(const std::string& packet);
    // Queues a packet again without touching the cache.
    void requeue(const std::string& packet);
    // The packet of that length sits at the start of txFrame(): appends its
    // check and makes the frame pending.
    void appendCheck(int length);
    uint8_t* txFrame() { return tx_; }

    // The answer last queued under id, when it was queued less than maxAge
    // ms ago; *age gets its age. Null otherwise.
    const std::string* recentAnswer(int id, uint32_t maxAge, uint32_t* age) const;

    size_t queueLength() const { return queue_.size(); }
    int checkMode() const { return mode_; }
    int fallbackCountdown() const { return fallback_; }
    int probeCountdown() const { return probe_; }

    // Milliseconds for the answer cache; sched_get_time_ms unless a test sets one.
    void setClock(uint32_t (*now)()) { now_ = now; }
    uint32_t now() const;

private:
    void byte(uint8_t b);
    void freshFrame();
    void endFrame();
    // A notification of type and list: written after the type byte and sent.
    bool sendList(uint8_t type, const class MyVarValueList& list);

    MgmtRequestHandler handler_;
    uint32_t (*now_)() = nullptr;

    // receive side
    bool inFrame_ = false;
    bool escape_ = false;
    uint8_t rx_[rx_size];
    int rxCount_ = 0;
    uint8_t xor_ = 0;
    uint16_t crc16_ = 0xFFFF;
    uint32_t crc32_ = 0xFFFFFFFF;

    // transmit side
    uint8_t tx_[tx_size];
    int txPos_ = 0;
    int txLeft_ = 0;   // bytes still to send, the flag included

    int mode_ = XOR8;
    int fallback_ = 0;
    int probe_ = 0;

    std::deque<std::string> queue_;
    struct CachedAnswer {
        std::string packet;
        uint32_t time = 0;
    };
    CachedAnswer cache_[256];
};
