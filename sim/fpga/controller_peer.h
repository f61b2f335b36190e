// A chassis controller at the far end of the management link, for tests. It
// frames, checks and decodes on its own (bitwise CRCs, its own list codec),
// so that a fault shared with the gateway's code does not hide itself. It
// speaks through two byte pipes: the simulated FPGA's receive FIFO (towards
// the gateway) and its transmit FIFO (from the gateway).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class ControllerPeer {
public:
    using Bytes = std::vector<uint8_t>;
    enum Check { XOR8, CRC16, CRC32, BAD };

    struct Frame {
        Bytes packet;        // type, id (not in notifications), body
        Check check = BAD;   // the check that holds over the frame
        uint64_t seen = 0;   // the clock() value when it was read
    };
    // One entry of a list: dotted ID, status (Get answers and Set answers),
    // type and value (INT8..INT64 as integer, STRING as text).
    struct Entry {
        std::string id;
        int status = 0;
        int type = -1;
        int64_t value = 0;
        std::string text;
    };

    ControllerPeer(std::function<void(const Bytes&)> toGateway, std::function<Bytes()> fromGateway);

    // The check put on frames sent from now on.
    void setCheck(Check check) { check_ = check; }
    // What the peer's time is measured in (Frame::seen); a counter by default.
    void setClock(std::function<uint64_t()> clock) { clock_ = std::move(clock); }

    // Frames one packet; the very first frame is preceded by a flag.
    void send(const Bytes& packet);
    // Bytes as they are, for broken frames.
    void sendRaw(const Bytes& wire);
    // Reads what the gateway sent; the frames completed so far, answers and
    // notifications alike, are appended to received().
    void poll();
    std::vector<Frame>& received() { return received_; }

    // Sends a request and waits for the answer with that type | 0x80 and id,
    // sending the same frame again every retry_ms; nothing after timeout_ms.
    std::optional<Frame> request(uint8_t type, uint8_t id, const Bytes& body, int timeout_ms = 5000,
                                 int retry_ms = 1000);
    // Removes and returns the first received frame matching, waiting up to timeout_ms.
    std::optional<Frame> waitFor(const std::function<bool(const Frame&)>& match, int timeout_ms);

    // The codec, as the controller's own.
    static Bytes idBytes(const std::string& dotted);
    static Bytes getBody(const std::vector<std::string>& ids);
    static Bytes intValue(int type, int64_t value);   // type byte and payload
    static Bytes stringValue(const std::string& text);
    // Set body from (id, typed value bytes), in the given order.
    static Bytes setBody(const std::vector<std::pair<std::string, Bytes>>& entries);
    // Lists: withStatus for Get answers, statusOnly for Set answers; false on
    // malformed bytes.
    static bool parseList(const uint8_t* p, size_t n, bool withStatus, bool statusOnly, std::vector<Entry>& out);

    static uint8_t xor8(const Bytes& b);
    static uint16_t crc16(const Bytes& b);
    static uint32_t crc32(const Bytes& b);

private:
    void deliver(const Bytes& frame);

    std::function<void(const Bytes&)> toGateway_;
    std::function<Bytes()> fromGateway_;
    std::function<uint64_t()> clock_;
    Check check_ = XOR8;
    bool opened_ = false;
    Bytes partial_;
    bool escape_ = false;
    std::vector<Frame> received_;
    uint64_t counter_ = 0;
};
