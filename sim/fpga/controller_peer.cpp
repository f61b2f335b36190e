#include "sim/fpga/controller_peer.h"

#include <chrono>
#include <thread>

namespace {

constexpr uint8_t FLAG = 0x7E;
constexpr uint8_t ESC = 0x7D;

uint64_t now_ms()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

}  // namespace

ControllerPeer::ControllerPeer(std::function<void(const Bytes&)> toGateway, std::function<Bytes()> fromGateway)
    : toGateway_(std::move(toGateway)), fromGateway_(std::move(fromGateway))
{
}

uint8_t ControllerPeer::xor8(const Bytes& b)
{
    uint8_t x = 0;
    for (uint8_t v : b)
        x ^= v;
    return x;
}

uint16_t ControllerPeer::crc16(const Bytes& b)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t v : b) {
        crc ^= uint16_t(v << 8);
        for (int i = 0; i < 8; i++)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

uint32_t ControllerPeer::crc32(const Bytes& b)
{
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t v : b) {
        crc ^= uint32_t(v) << 24;
        for (int i = 0; i < 8; i++)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

void ControllerPeer::send(const Bytes& packet)
{
    Bytes framed = packet;
    if (check_ == XOR8) {
        framed.push_back(xor8(packet));
    } else if (check_ == CRC16) {
        uint16_t c = crc16(packet);
        framed.push_back(uint8_t(c >> 8));
        framed.push_back(uint8_t(c));
    } else {
        uint32_t c = crc32(packet);
        for (int s = 24; s >= 0; s -= 8)
            framed.push_back(uint8_t(c >> s));
    }
    Bytes wire;
    if (!opened_) {
        wire.push_back(FLAG);   // the gateway hunts for a flag first
        opened_ = true;
    }
    for (uint8_t b : framed) {
        if (b == FLAG || b == ESC) {
            wire.push_back(ESC);
            b ^= 0x20;
        }
        wire.push_back(b);
    }
    wire.push_back(FLAG);
    toGateway_(wire);
}

void ControllerPeer::sendRaw(const Bytes& wire)
{
    opened_ = true;
    toGateway_(wire);
}

void ControllerPeer::deliver(const Bytes& frame)
{
    Frame f;
    f.seen = clock_ ? clock_() : ++counter_;
    Bytes body;
    if (frame.size() >= 5 && crc32(frame) == 0) {
        f.check = CRC32;
        f.packet.assign(frame.begin(), frame.end() - 4);
    } else if (frame.size() >= 3 && crc16(frame) == 0) {
        f.check = CRC16;
        f.packet.assign(frame.begin(), frame.end() - 2);
    } else if (frame.size() >= 2 && xor8(frame) == 0) {
        f.check = XOR8;
        f.packet.assign(frame.begin(), frame.end() - 1);
    } else {
        f.packet = frame;
    }
    received_.push_back(std::move(f));
}

void ControllerPeer::poll()
{
    for (uint8_t b : fromGateway_()) {
        if (b == FLAG) {
            if (!partial_.empty())
                deliver(partial_);
            partial_.clear();
            escape_ = false;
        } else if (b == ESC) {
            escape_ = true;
        } else {
            partial_.push_back(escape_ ? uint8_t(b ^ 0x20) : b);
            escape_ = false;
        }
    }
}

std::optional<ControllerPeer::Frame> ControllerPeer::waitFor(const std::function<bool(const Frame&)>& match,
                                                             int timeout_ms)
{
    uint64_t until = now_ms() + uint64_t(timeout_ms);
    for (;;) {
        poll();
        for (auto it = received_.begin(); it != received_.end(); ++it)
            if (match(*it)) {
                Frame f = std::move(*it);
                received_.erase(it);
                return f;
            }
        if (now_ms() >= until)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

std::optional<ControllerPeer::Frame> ControllerPeer::request(uint8_t type, uint8_t id, const Bytes& body,
                                                             int timeout_ms, int retry_ms)
{
    Bytes packet = {type, id};
    packet.insert(packet.end(), body.begin(), body.end());
    uint64_t until = now_ms() + uint64_t(timeout_ms);
    auto answers = [&](const Frame& f) {
        return f.packet.size() >= 2 && f.packet[0] == (type | 0x80) && f.packet[1] == id;
    };
    for (;;) {
        send(packet);
        uint64_t left = until > now_ms() ? until - now_ms() : 0;
        int wait = int(left < uint64_t(retry_ms) ? left : uint64_t(retry_ms));
        if (auto f = waitFor(answers, wait))
            return f;
        if (now_ms() >= until)
            return std::nullopt;
    }
}

ControllerPeer::Bytes ControllerPeer::idBytes(const std::string& dotted)
{
    Bytes out;
    size_t i = 0;
    while (i < dotted.size() && dotted[i] == '.') {
        size_t end = dotted.find('.', i + 1);
        int component = std::stoi(dotted.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1));
        out.push_back(uint8_t(component));
        if (component == 0)
            break;
        i = end == std::string::npos ? dotted.size() : end;
    }
    return out;
}

ControllerPeer::Bytes ControllerPeer::getBody(const std::vector<std::string>& ids)
{
    Bytes out;
    for (const auto& id : ids) {
        Bytes b = idBytes(id);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

ControllerPeer::Bytes ControllerPeer::intValue(int type, int64_t value)
{
    static const int widths[] = {1, 2, 4, 8};
    Bytes out = {uint8_t(type)};
    for (int i = 0; i < widths[type]; i++)
        out.push_back(uint8_t(uint64_t(value) >> (8 * i)));
    return out;
}

ControllerPeer::Bytes ControllerPeer::stringValue(const std::string& text)
{
    size_t n = text.size() + 2;
    Bytes out;
    out.reserve(n + 1);
    out.push_back(4);
    out.push_back(uint8_t(n));
    out.push_back(uint8_t(n >> 8));
    for (char c : text)
        out.push_back(uint8_t(c));
    return out;
}

ControllerPeer::Bytes ControllerPeer::setBody(const std::vector<std::pair<std::string, Bytes>>& entries)
{
    Bytes out;
    for (const auto& [id, value] : entries) {
        Bytes b = idBytes(id);
        out.insert(out.end(), b.begin(), b.end());
        out.insert(out.end(), value.begin(), value.end());
    }
    return out;
}

bool ControllerPeer::parseList(const uint8_t* p, size_t n, bool withStatus, bool statusOnly, std::vector<Entry>& out)
{
    static const int widths[] = {1, 2, 4, 8};
    size_t i = 0;
    while (i < n) {
        Entry e;
        for (;;) {
            if (i >= n)
                return false;
            uint8_t c = p[i++];
            e.id += "." + std::to_string(c);
            if (c == 0)
                break;
        }
        if (withStatus || statusOnly) {
            if (i >= n)
                return false;
            e.status = p[i++];
        }
        if (statusOnly || e.status != 0) {
            out.push_back(e);
            continue;
        }
        if (i >= n)
            return false;
        e.type = p[i++];
        if (e.type >= 0 && e.type <= 3) {
            size_t w = size_t(widths[e.type]);
            if (n - i < w)
                return false;
            uint64_t v = 0;
            for (size_t k = 0; k < w; k++)
                v |= uint64_t(p[i + k]) << (8 * k);
            e.value = int64_t(v);
            i += w;
        } else if (e.type == 4) {
            if (n - i < 2)
                return false;
            size_t len = size_t(p[i] | p[i + 1] << 8);
            if (len < 2 || n - i < len)
                return false;
            e.text.assign(reinterpret_cast<const char*>(p + i + 2), len - 2);
            i += len;
        } else {
            return false;
        }
        out.push_back(e);
    }
    return true;
}
