#include "sim/msp_simulator.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "msp/msp_names.h"
#include "msp/msp_protocol.h"

namespace {

using json = nlohmann::json;

constexpr size_t ADDRESS = MSP_SOCKET_ADDRESS_SIZE;
// Buffered play-out the simulator keeps before it holds answers back.
constexpr int PLAY_AHEAD_MS = 60;
constexpr int CID_DONE_MS = 300;
constexpr size_t HDLC_PIECE = 247;
constexpr size_t MAX_PLAY_OFFSETS = 4096;
constexpr size_t MAX_LOG = 100000;

enum : uint16_t {
    FC_CREATE_CHANNEL = 0x0010,
    FC_DESTROY_CHANNEL = 0x0011,
    FC_ARM_VERSION = 0x0021,
    FC_SPU_VERSION = 0x0022,
    FC_DEVICE_TYPE = 0x0031,
    FC_MONITOR_TDM_SIGNALING = 0x040C,
    FC_DEVICE_STATUS = 0x040F,
    FC_DEVICE_VERSION = 0x0410,
    FC_MONITOR_TDM_SIG_CHANGE_IND = 0x0420,
    FC_IRM_GET_SFKEYS = 0x0460,
    FC_VOPENA = 0x8000,
    FC_VCEOPT = 0x8001,
    FC_DTMFOPT = 0x8002,
    FC_ECHOCAN = 0x8006,
    FC_VINFOIND = 0x801C,
    FC_SRTP_KEY_DERIVATION = 0x8201,
    FC_SET_IP_HDR_CHANNEL = 0x9000,
    FC_SET_CHANNEL_IP_MODE = 0x9003,
    FC_ETH_HDR_CHAN = 0x9010,
    FC_SET_PPPOE_HDR_CHAN = 0x9060,
    FC_DGAIN = 0x8005,
    FC_TONEGEN = 0x8009,
    FC_RTCPSTAT = 0x800C,
    FC_TONEDET = 0x800D,
    FC_TCMPLT = 0x8010,
    FC_TONEOFF = 0x8014,
    FC_CNDONGEN = 0x8039,
    FC_CNDSTOP = 0x803C,
    FC_CNDDONE = 0x803D,
    FC_FOIP_SET_DATAGRAM = 0x808B,
    FC_FOIP_GET_DATAGRAM = 0x808C,
    FC_JBOPT = 0x8090,
    FC_CNDRXMSG = 0x80AD,
    FC_SET_TDM_SIGNALING = 0x80B5,
    FC_SRTP_OPT = 0x8200,
    FC_CONF_CREATE_CONFERENCE = 0x9310,
    FC_CONF_DESTROY_CONFERENCE = 0x9311,
    FC_CONF_CREATE_PARTICIPANT = 0x9312,
    FC_CONF_DESTROY_PARTICIPANT = 0x9313,
    FC_MDIO_BUS_WRITE = 0x9330,
    FC_MDIO_BUS_READ = 0x9331,
    FC_SET_CHANNEL_MODE = 0x9400,
    FC_SYNCDAT = 0x9402,
    FC_SYNCEOF = 0x9403,
    FC_SET_AS_DRAIN = 0x9405,
    FC_AS_DRAIN_COMPLETE_IND = 0x9406,
    FC_SET_AS_STOP = 0x9407,
};

// Status the simulator refuses with when a reference names nothing it holds.
constexpr uint16_t SIM_ERR_NO_SUCH_OBJECT = 0x0005;
constexpr uint16_t ERR_TDMDRV_INVTS = 0xFFBD;

// The answer skeleton: same index, type and FC, the given class.
std::vector<uint8_t> reply(const uint8_t* m, uint8_t cls, size_t dataBytes)
{
    std::vector<uint8_t> r(msp_round4(MSP_HEADER_SIZE + dataBytes), 0);
    r[0] = static_cast<uint8_t>(MSP_HEADER_SIZE + dataBytes);
    r[1] = m[1];
    r[2] = cls;
    r[3] = m[3];
    r[4] = m[4];
    r[5] = m[5];
    return r;
}

std::vector<uint8_t> status_reply(const uint8_t* m, uint16_t status, size_t dataBytes = 2)
{
    auto r = reply(m, MSP_CLASS_RESPONSE, dataBytes);
    msp_put_u16(r.data(), 8, status);
    return r;
}

uint16_t w(const uint8_t* m, size_t length, size_t offset)
{
    return offset + 2 <= length ? msp_get_u16(m, offset) : 0;
}

std::string hex(const std::vector<uint8_t>& b)
{
    std::string s;
    char t[4];
    for (uint8_t c : b) {
        snprintf(t, sizeof t, "%02x", c);
        s += t;
    }
    return s;
}

std::vector<uint8_t> unhex(const std::string& s)
{
    if (s.size() % 2)
        throw std::invalid_argument("odd number of hex digits");
    std::vector<uint8_t> b;
    for (size_t i = 0; i < s.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return b;
}

// Numbers may come as JSON numbers or as "0x.." texts.
long long number(const json& v)
{
    if (v.is_number_integer())
        return v.get<long long>();
    if (v.is_string()) {
        size_t used = 0;
        std::string s = v.get<std::string>();
        long long n = std::stoll(s, &used, 0);
        if (used != s.size())
            throw std::invalid_argument("not a number: " + s);
        return n;
    }
    throw std::invalid_argument("not a number: " + v.dump());
}

long long number_or(const json& r, const char* key, long long fallback)
{
    return r.contains(key) ? number(r.at(key)) : fallback;
}

std::string fc_text(uint16_t fc)
{
    if (const char* n = msp_fc_name(fc))
        return n;
    char t[8];
    snprintf(t, sizeof t, "0x%04x", fc);
    return t;
}

std::string mac_text(const uint8_t* b)
{
    char t[18];
    snprintf(t, sizeof t, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    return t;
}

std::string address_text(int family, const uint8_t* b)
{
    char t[INET6_ADDRSTRLEN] = "";
    inet_ntop(family, b, t, sizeof t);
    return t;
}

uint16_t be16(const uint8_t* b) { return static_cast<uint16_t>(b[0] << 8 | b[1]); }

void put16(std::vector<uint8_t>& p, size_t offset, uint16_t v)
{
    if (p.size() < offset + 2)
        p.resize(offset + 2, 0);
    msp_put_u16(p.data(), offset, v);
}

}  // namespace

MspSimulator::MspSimulator()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds) < 0)
        throw std::runtime_error(std::string("socketpair: ") + strerror(errno));
    sock = fds[0];
    daemon_fd = fds[1];
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
    started_ms = now_ms();
}

MspSimulator::MspSimulator(const std::string& path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path)
        throw std::runtime_error("socket path too long: " + path);
    strcpy(a.sun_path, path.c_str());
    sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sock < 0)
        throw std::runtime_error(std::string("socket: ") + strerror(errno));
    unlink(path.c_str());
    if (bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        int e = errno;
        close(sock);
        throw std::runtime_error("bind " + path + ": " + strerror(e));
    }
    bound_path = path;
    started_ms = now_ms();
}

MspSimulator::~MspSimulator()
{
    stop();
    for (int fd : {sock, daemon_fd, control_fd, wake_pipe[0], wake_pipe[1]})
        if (fd >= 0)
            close(fd);
    if (!bound_path.empty())
        unlink(bound_path.c_str());
    if (!control_path.empty())
        unlink(control_path.c_str());
}

int MspSimulator::take_daemon_fd()
{
    std::lock_guard<std::mutex> lock(m);
    int fd = daemon_fd;
    daemon_fd = -1;
    return fd;
}

bool MspSimulator::listen_control(const std::string& path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path)
        return false;
    strcpy(a.sun_path, path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || listen(fd, 8) < 0) {
        close(fd);
        return false;
    }
    std::lock_guard<std::mutex> lock(m);
    control_fd = fd;
    control_path = path;
    return true;
}

void MspSimulator::start()
{
    std::lock_guard<std::mutex> lock(m);
    if (running)
        return;
    if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) < 0)
        throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    running = true;
    thread = std::thread([this] { run(); });
}

void MspSimulator::stop()
{
    {
        std::lock_guard<std::mutex> lock(m);
        if (!running)
            return;
        running = false;
    }
    wake();
    thread.join();
}

void MspSimulator::wake()
{
    if (wake_pipe[1] >= 0) {
        char c = 'w';
        ssize_t n = write(wake_pipe[1], &c, 1);
        (void)n;
    }
}

int64_t MspSimulator::now_ms() const
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint32_t MspSimulator::ticks() const
{
    using namespace std::chrono;
    auto us = duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count() - started_ms * 1000;
    return static_cast<uint32_t>(us / 125);
}

void MspSimulator::at(int64_t delay_ms, std::function<void()> action)
{
    timers.emplace(now_ms() + std::max<int64_t>(0, delay_ms), std::move(action));
    wake();
}

void MspSimulator::run()
{
    std::map<int, std::string> clients;   // control connections and their unfinished lines
    std::unique_lock<std::mutex> lock(m);
    while (running) {
        int timeout = -1;
        if (!timers.empty())
            timeout = static_cast<int>(std::max<int64_t>(0, timers.begin()->first - now_ms()));
        std::vector<pollfd> fds{{sock, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
        if (control_fd >= 0)
            fds.push_back({control_fd, POLLIN, 0});
        for (auto& c : clients)
            fds.push_back({c.first, POLLIN, 0});
        lock.unlock();
        int n = poll(fds.data(), fds.size(), timeout);
        lock.lock();
        if (n < 0 && errno != EINTR)
            break;
        if (fds[1].revents) {
            char drain[64];
            while (read(wake_pipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[0].revents) {
            uint8_t buffer[ADDRESS + MSP_MAX_MESSAGE];
            for (;;) {
                sockaddr_un from{};
                socklen_t flen = sizeof from;
                ssize_t got = recvfrom(sock, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &flen);
                if (got < 0)
                    break;
                if (!bound_path.empty()) {
                    peer.assign(reinterpret_cast<uint8_t*>(&from), reinterpret_cast<uint8_t*>(&from) + flen);
                }
                on_datagram(buffer, static_cast<size_t>(got));
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == control_fd) {
                int c = accept4(control_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (c >= 0)
                    clients[c];
                continue;
            }
            int fd = fds[i].fd;
            char chunk[4096];
            ssize_t got = read(fd, chunk, sizeof chunk);
            if (got <= 0) {
                if (got < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                close(fd);
                clients.erase(fd);
                continue;
            }
            std::string& pending = clients[fd];
            pending.append(chunk, static_cast<size_t>(got));
            size_t eol;
            while ((eol = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                json reply;
                try {
                    reply = control_locked(json::parse(line));
                } catch (const std::exception& e) {
                    reply = {{"ok", false}, {"error", e.what()}};
                }
                std::string out = reply.dump() + "\n";
                // Control replies are small; a client that does not read loses them.
                ssize_t sent = send(fd, out.data(), out.size(), MSG_NOSIGNAL);
                (void)sent;
            }
            if (pending.size() > 1 << 20) {
                close(fd);
                clients.erase(fd);
            }
        }
        int64_t now = now_ms();
        while (!timers.empty() && timers.begin()->first <= now) {
            auto action = std::move(timers.begin()->second);
            timers.erase(timers.begin());
            action();
        }
    }
    for (auto& c : clients)
        close(c.first);
}

void MspSimulator::send_locked(uint16_t channelId, const std::vector<uint8_t>& message)
{
    std::vector<uint8_t> d(ADDRESS + message.size());
    MspAddress a = msp_address_make(0);
    msp_address_set_channel(a, channelId);
    memcpy(d.data(), a.bytes, ADDRESS);
    std::copy(message.begin(), message.end(), d.begin() + ADDRESS);
    if (bound_path.empty())
        send(sock, d.data(), d.size(), MSG_DONTWAIT);
    else if (!peer.empty())
        sendto(sock, d.data(), d.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(peer.data()),
               static_cast<socklen_t>(peer.size()));
}

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

void MspSimulator::on_datagram(const uint8_t* data, size_t length)
{
    if (length < ADDRESS + MSP_HEADER_SIZE)
        return;
    const uint8_t* msg = data + ADDRESS;
    size_t mlen = length - ADDRESS;
    MspSimCommand c;
    c.time_ms = now_ms() - started_ms;
    c.channelId = static_cast<uint16_t>(data[16] << 8 | data[17]);
    c.index = msg[1];
    c.cls = msg[2];
    c.type = msg[3];
    c.fc = msp_message_fc(msg);
    c.bytes.assign(msg, msg + mlen);
    if (log.size() < MAX_LOG)
        log.push_back(c);

    Answer a = handle(c.channelId, msg, mlen);
    if (a.bytes.empty())
        return;
    bool duplicate = false, late = false;
    if (!apply_faults(c, a, duplicate, late))
        return;
    uint16_t channelId = c.channelId;
    auto deliver = [this, channelId, bytes = a.bytes, duplicate] {
        send_locked(channelId, bytes);
        if (duplicate)
            send_locked(channelId, bytes);
    };
    if (a.delay_ms > 0 || late)
        at(a.delay_ms, deliver);
    else
        deliver();
}

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

MspSimulator::Answer MspSimulator::handle_device(const uint8_t* m, size_t length, uint8_t cls, uint16_t fc)
{
    Answer a;
    if (cls == MSP_CLASS_QUERY) {
        switch (fc) {
        case FC_CREATE_CHANNEL: {
            a.bytes = reply(m, MSP_CLASS_QUERY_RESPONSE, 2);
            int id = channel_of_timeslot(w(m, length, 8));
            msp_put_u16(a.bytes.data(), 8, static_cast<uint16_t>(id < 0 ? 0xFFFF : id));
            return a;
        }
        case FC_DEVICE_TYPE:
            a.bytes = reply(m, MSP_CLASS_QUERY_RESPONSE, 2);
            msp_put_u16(a.bytes.data(), 8, static_cast<uint16_t>(device.device_type));
            return a;
        case FC_DEVICE_VERSION:
            a.bytes = reply(m, MSP_CLASS_QUERY_RESPONSE, 2);
            a.bytes[8] = static_cast<uint8_t>(device.revision);
            return a;
        case FC_ARM_VERSION:
        case FC_SPU_VERSION: {
            const std::string& v = fc == FC_ARM_VERSION ? device.arm_version : device.spu_version;
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
    case FC_CREATE_CHANNEL: {
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
    case FC_DESTROY_CHANNEL: {
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
            c.srtp_keys[w(m, length, 8) >> 10] = hex(std::vector<uint8_t>(m + 32, m + 62));
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

void MspSimulator::heartbeat_locked(int generation)
{
    if (generation != heartbeat_generation || !device.heartbeat)
        return;
    std::vector<uint8_t> p(4, 0);
    msp_put_u16(p.data(), 2, device.heartbeat_status);
    indication_locked(MSP_DEVICE_CHANNEL_ID, FC_DEVICE_STATUS, p, MSP_CLASS_INDICATION, MSP_TYPE_DEVICE);
    at(device.heartbeat_period_ms, [this, generation] { heartbeat_locked(generation); });
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

std::vector<MspSimCommand> MspSimulator::commands() const
{
    std::lock_guard<std::mutex> lock(m);
    return log;
}

size_t MspSimulator::count(uint16_t fc) const
{
    std::lock_guard<std::mutex> lock(m);
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [fc](const auto& c) { return c.fc == fc; }));
}

void MspSimulator::clear_commands()
{
    std::lock_guard<std::mutex> lock(m);
    log.clear();
}

void MspSimulator::plant_channel(int timeslot, uint16_t channelId, int type)
{
    std::lock_guard<std::mutex> lock(m);
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
        frames.push_back(hex(f));
    j["hdlc_frames"] = frames;
    json last = json::object();
    for (const auto& [fc, p] : c.last)
        last[fc_text(fc)] = hex(p);
    j["last"] = last;
    return j;
}

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
        last[fc_text(fc)] = hex(p);
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
        json request = json::parse(line);
        std::lock_guard<std::mutex> lock(m);
        reply = control_locked(request);
    } catch (const std::exception& e) {
        reply = {{"ok", false}, {"error", e.what()}};
    }
    return reply.dump();
}

json MspSimulator::control_locked(const json& r)
{
    if (!r.is_object() || !r.contains("cmd") || !r["cmd"].is_string())
        throw std::invalid_argument("request needs a \"cmd\" text");
    std::string cmd = r["cmd"];
    if (cmd == "state")
        return {{"ok", true}, {"state", state_locked()}};
    if (cmd == "channel") {
        auto it = channels.find(static_cast<uint16_t>(number(r.at("id"))));
        if (it == channels.end())
            return {{"ok", false}, {"error", "no such channel"}};
        return {{"ok", true}, {"channel", channel_json(it->second)}};
    }
    if (cmd == "log") {
        long long fc = number_or(r, "fc", -1);
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
                               {"hex", hex(c.bytes)}});
        }
        return {{"ok", true}, {"log", entries}};
    }
    if (cmd == "clear-log") {
        log.clear();
        return {{"ok", true}};
    }
    if (cmd == "fault") {
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
        f.fc = static_cast<int>(number_or(r, "fc", -1));
        f.channel = static_cast<int>(number_or(r, "channel", -1));
        f.status = static_cast<int>(number_or(r, "status", 0));
        f.delay_ms = static_cast<int>(number_or(r, "delay_ms", 0));
        f.length = static_cast<int>(number_or(r, "length", 0));
        f.cls = static_cast<int>(number_or(r, "cls", -1));
        f.count = static_cast<int>(number_or(r, "count", -1));
        faults.push_back(f);
        return {{"ok", true}};
    }
    if (cmd == "clear-faults") {
        faults.clear();
        return {{"ok", true}};
    }
    if (cmd == "plant-channel") {
        uint16_t id = static_cast<uint16_t>(number(r.at("id")));
        MspSimChannel& c = channels[id];
        c = MspSimChannel{};
        c.id = id;
        c.type = static_cast<int>(number_or(r, "type", 2));
        c.timeslot = static_cast<int>(number(r.at("timeslot")));
        return {{"ok", true}};
    }
    if (cmd == "set") {
        if (r.contains("device_type"))
            device.device_type = static_cast<int>(number(r["device_type"]));
        if (r.contains("revision"))
            device.revision = static_cast<int>(number(r["revision"]));
        if (r.contains("arm_version"))
            device.arm_version = r["arm_version"].get<std::string>();
        if (r.contains("spu_version"))
            device.spu_version = r["spu_version"].get<std::string>();
        if (r.contains("available"))
            device.available = static_cast<uint32_t>(number(r["available"]));
        if (r.contains("heartbeat_period_ms"))
            device.heartbeat_period_ms = std::max(1, static_cast<int>(number(r["heartbeat_period_ms"])));
        if (r.contains("heartbeat_status"))
            device.heartbeat_status = static_cast<uint16_t>(number(r["heartbeat_status"]));
        if (r.contains("pacing"))
            pacing = r["pacing"].get<bool>();
        if (r.contains("mdio_status"))
            device.mdio_status = static_cast<uint16_t>(number(r["mdio_status"]));
        if (r.contains("phy")) {
            const json& p = r["phy"];
            device.phy[static_cast<int>(number(p.at(0))) << 8 | static_cast<int>(number(p.at(1)))] =
                static_cast<uint16_t>(number(p.at(2)));
        }
        return {{"ok", true}};
    }
    if (cmd == "inject")
        return inject_locked(r);
    throw std::invalid_argument("unknown cmd: " + cmd);
}

json MspSimulator::inject_locked(const json& r)
{
    std::string kind = r.value("kind", "");
    uint16_t channelId = static_cast<uint16_t>(number_or(r, "channel", MSP_DEVICE_CHANNEL_ID));
    uint32_t stamp = static_cast<uint32_t>(number_or(r, "timestamp", ticks()));
    std::vector<uint8_t> p;
    auto put32 = [&p](size_t offset, uint32_t v) {
        put16(p, offset, static_cast<uint16_t>(v));
        put16(p, offset + 2, static_cast<uint16_t>(v >> 16));
    };
    // p is indexed from byte 8 of the message
    if (kind.empty() || kind == "raw") {
        if (kind == "raw") {
            send_locked(channelId, unhex(r.at("hex").get<std::string>()));
            return {{"ok", true}};
        }
        if (r.contains("hex"))
            p = unhex(r["hex"].get<std::string>());
        else if (r.contains("words"))
            for (const auto& v : r["words"])
                put16(p, p.size(), static_cast<uint16_t>(number(v)));
        indication_locked(channelId, static_cast<uint16_t>(number(r.at("fc"))), p,
                          static_cast<uint8_t>(number_or(r, "cls", MSP_CLASS_INDICATION)),
                          static_cast<uint8_t>(number_or(r, "type", MSP_TYPE_CHANNEL)));
        return {{"ok", true}};
    }
    if (kind == "cas") {
        put16(p, 0, static_cast<uint16_t>(number(r.at("timeslot"))));
        put16(p, 2, static_cast<uint16_t>(number(r.at("abcd"))));
        put32(4, stamp);
        indication_locked(MSP_DEVICE_CHANNEL_ID, FC_MONITOR_TDM_SIG_CHANGE_IND, p, MSP_CLASS_INDICATION,
                          MSP_TYPE_DEVICE);
    } else if (kind == "atm-cas") {
        put16(p, 0, 0);
        put16(p, 2, static_cast<uint16_t>(number(r.at("abcd"))));
        put32(4, stamp);
        indication_locked(channelId, 0x80B7, p);
    } else if (kind == "tone" || kind == "dtmf") {
        put16(p, 0, static_cast<uint16_t>(number(r.at("tone"))));
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
        put16(p, 0, static_cast<uint16_t>(number_or(r, "status", 0)));
        p.push_back(sdmf ? 0x04 : 0x80);
        p.push_back(static_cast<uint8_t>(body.size()));
        p.insert(p.end(), body.begin(), body.end());
        indication_locked(channelId, FC_CNDRXMSG, p);
    } else if (kind == "heartbeat") {
        put16(p, 0, 0);
        put16(p, 2, static_cast<uint16_t>(number_or(r, "status", device.heartbeat_status)));
        indication_locked(MSP_DEVICE_CHANNEL_ID, FC_DEVICE_STATUS, p, MSP_CLASS_INDICATION, MSP_TYPE_DEVICE);
    } else if (kind == "alert") {
        put16(p, 0, static_cast<uint16_t>(number_or(r, "type", 0)));
        p.push_back(static_cast<uint8_t>(number_or(r, "cpu", 0)));
        p.push_back(static_cast<uint8_t>(number_or(r, "action", 0)));
        put16(p, 4, static_cast<uint16_t>(number_or(r, "alert_channel", 0)));
        indication_locked(MSP_DEVICE_CHANNEL_ID, 0, p, MSP_CLASS_DIAGNOSTIC, MSP_TYPE_DIAGNOSTIC);
    } else if (kind == "hdlc") {
        std::vector<uint8_t> data = unhex(r.at("hex").get<std::string>());
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
                    counters[i++] = static_cast<uint32_t>(number(v));
        }
        if (r.contains("received"))
            counters[48] = static_cast<uint32_t>(number(r["received"]));
        for (uint32_t v : counters)
            put32(p.size(), v);
        indication_locked(channelId, FC_VINFOIND, p);
    } else if (kind == "stats") {
        for (const auto& v : r.at("values"))
            put32(p.size(), static_cast<uint32_t>(number(v)));
        indication_locked(channelId, FC_RTCPSTAT, p);
    } else {
        throw std::invalid_argument("unknown indication kind: " + kind);
    }
    return {{"ok", true}};
}
