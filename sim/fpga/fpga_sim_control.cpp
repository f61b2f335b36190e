// The FPGA simulator as the simulator program runs it: the SPI seam's socket
// and the JSON control requests.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "sim/fpga/fpga_simulator.h"

using json = nlohmann::json;

namespace {

std::string hex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<uint8_t> unhex(const std::string& text)
{
    if (text.size() % 2)
        throw std::invalid_argument("odd number of hex digits");
    std::vector<uint8_t> out;
    for (size_t i = 0; i < text.size(); i += 2) {
        size_t used = 0;
        int v = std::stoi(text.substr(i, 2), &used, 16);
        if (used != 2)
            throw std::invalid_argument("bad hex digits: " + text.substr(i, 2));
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

// A number, or a text in C notation ("0x10B").
long long number(const json& v)
{
    if (v.is_number_integer())
        return v.get<long long>();
    if (v.is_string()) {
        std::string s = v.get<std::string>();
        size_t used = 0;
        long long n = std::stoll(s, &used, 0);
        if (used == s.size())
            return n;
    }
    throw std::invalid_argument("not a number: " + v.dump());
}

long long number_or(const json& r, const char* key, long long fallback)
{
    return r.contains(key) ? number(r[key]) : fallback;
}

json access_json(const FpgaSimAccess& a)
{
    return {{"seq", a.seq}, {"t", a.time_ms}, {"op", a.write ? "w" : "r"},
            {"reg", a.reg}, {"length", a.length}, {"hex", hex(a.data)}};
}

}  // namespace

bool FpgaSimulator::listen(const std::string& path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    strcpy(a.sun_path, path.c_str());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(fd, 16) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return false;
    }
    listenFd_ = fd;
    socketPath_ = path;
    return true;
}

void FpgaSimulator::start()
{
    if (listenFd_ < 0 || server_.joinable())
        return;
    if (pipe2(wake_, O_CLOEXEC) < 0)
        throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    server_ = std::thread([this] { serve(); });
}

void FpgaSimulator::stop()
{
    if (server_.joinable()) {
        char b = 0;
        ssize_t n = ::write(wake_[1], &b, 1);
        (void)n;
        server_.join();
    }
    for (int& fd : wake_)
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
        unlink(socketPath_.c_str());
    }
}

void FpgaSimulator::serve()
{
    std::map<int, std::unique_ptr<Connection>> clients;
    std::vector<uint8_t> message(spi_sim::MAX_MESSAGE + 16);
    for (;;) {
        std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
        for (auto& [fd, c] : clients)
            fds.push_back({fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        if (fds[1].revents & POLLIN) {
            int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                clients[fd] = connect();
        }
        for (size_t i = 2; i < fds.size(); i++) {
            if (!fds[i].revents)
                continue;
            int fd = fds[i].fd;
            ssize_t n = recv(fd, message.data(), message.size(), 0);
            if (n <= 0) {
                // The daemon side went away: whatever it had open is closed.
                closeConnection(*clients[fd]);
                clients.erase(fd);
                close(fd);
                continue;
            }
            std::vector<uint8_t> answer = handle(*clients[fd], message.data(), static_cast<size_t>(n));
            if (send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) {
                closeConnection(*clients[fd]);
                clients.erase(fd);
                close(fd);
            }
        }
    }
    for (auto& [fd, c] : clients) {
        closeConnection(*c);
        close(fd);
    }
}

std::string FpgaSimulator::describe() const { return "FPGA on " + socketPath_; }

json FpgaSimulator::state()
{
    std::lock_guard<std::mutex> lock(mutex_);
    json regs = json::object();
    for (auto& [r, v] : registers_) {
        char name[16];
        snprintf(name, sizeof name, "0x%03x", r);
        regs[name] = v;
    }
    return {{"configured", configured_},
            {"address", address_},
            {"modules", {moduleTypes_[0], moduleTypes_[1]}},
            {"e1_alarms", e1Alarms_},
            {"e1_events", e1Events_},
            {"devclk", devclk_},
            {"cas_status", casStatus_},
            {"cas", hex(std::vector<uint8_t>(cas_, cas_ + sizeof cas_))},
            {"rx_level", rxFifo_.size()},
            {"rx_waiting", rxWaiting_.size()},
            {"tx_level", txFifo_.size()},
            {"resets", resets_},
            {"loads", loads_.size()},
            {"transfers", seq_},
            {"failed", failed_},
            {"registers", regs}};
}

json FpgaSimulator::control_request(const json& r)
{
    if (!r.is_object() || !r.contains("cmd") || !r["cmd"].is_string())
        throw std::invalid_argument("request needs a \"cmd\" text");
    std::string cmd = r["cmd"];
    if (cmd == "state")
        return {{"ok", true}, {"state", state()}};
    if (cmd == "set") {
        if (r.contains("address"))
            setBoardAddress(static_cast<int>(number(r["address"])));
        if (r.contains("module1"))
            setModuleType(1, static_cast<int>(number(r["module1"])));
        if (r.contains("module2"))
            setModuleType(2, static_cast<int>(number(r["module2"])));
        if (r.contains("e1_alarms"))
            setE1Alarms(static_cast<int>(number(r["e1_alarms"])));
        if (r.contains("e1_events"))
            setE1Events(static_cast<int>(number(r["e1_events"])));
        if (r.contains("devclk"))
            setDevclk(static_cast<int>(number(r["devclk"])));
        if (r.contains("cas_status"))
            setCasStatus(static_cast<int>(number(r["cas_status"])));
        if (r.contains("cas")) {   // [timeslot, 0 or 1]
            const json& c = r["cas"];
            setCasBit(static_cast<int>(number(c.at(0))), number(c.at(1)) != 0);
        }
        if (r.contains("chip")) {   // [slot, address, value]
            const json& c = r["chip"];
            setChipRegister(static_cast<int>(number(c.at(0))), static_cast<int>(number(c.at(1))),
                            static_cast<int>(number(c.at(2))));
        }
        if (r.contains("configured"))
            setConfigured(r["configured"].get<bool>());
        if (r.contains("bitstream_file")) {
            std::string path = r["bitstream_file"];
            std::ifstream in(path, std::ios::binary);
            if (!in)
                return {{"ok", false}, {"error", "cannot read " + path}};
            setBitstream(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
        }
        return {{"ok", true}};
    }
    if (cmd == "log" || cmd == "trace") {
        long long reg = number_or(r, "reg", -1);
        json entries = json::array();
        for (const FpgaSimAccess& a : cmd == "log" ? writes() : trace())
            if (reg < 0 || a.reg == static_cast<unsigned>(reg))
                entries.push_back(access_json(a));
        return {{"ok", true}, {cmd, entries}};
    }
    if (cmd == "clear-log") {
        clearLogs();
        return {{"ok", true}};
    }
    if (cmd == "pulses") {
        json entries = json::array();
        for (const FpgaSimPulse& p : pulses())
            entries.push_back({{"t", p.time_ms}, {"timeslot", p.timeslot}, {"value", p.value},
                               {"duration_ms", p.duration_ms}});
        return {{"ok", true}, {"pulses", entries}};
    }
    if (cmd == "loads") {
        json entries = json::array();
        for (const FpgaSimLoad& l : loads())
            entries.push_back({{"bytes", l.bytes.size()}, {"writes", l.writes},
                               {"resets_before", l.resets_before}, {"configured", l.configured}});
        return {{"ok", true}, {"loads", entries}};
    }
    if (cmd == "fault") {
        std::string kind = r.value("kind", "transfer");
        int count = static_cast<int>(number_or(r, "count", 1));
        int err = static_cast<int>(number_or(r, "errno", kind == "open" ? ENOENT : EIO));
        if (kind == "transfer")
            failTransfers(count, err, static_cast<int>(number_or(r, "reg", -1)));
        else if (kind == "open") {
            std::string mode = r.value("mode", "");
            failOpens(r.value("path", std::string(REGISTER_DEVICE)), count, err,
                      mode == "w" ? O_WRONLY : mode == "r" ? O_RDWR : -1);
        } else if (kind == "load")
            failLoads(count);
        else if (kind == "status")
            setStatusErrors(count);
        else
            throw std::invalid_argument("unknown fault kind: " + kind);
        return {{"ok", true}};
    }
    if (cmd == "clear-faults") {
        std::lock_guard<std::mutex> lock(mutex_);
        faults_.clear();
        openFaults_.clear();
        failLoads_ = 0;
        statusErrors_ = 0;
        return {{"ok", true}};
    }
    if (cmd == "rx") {
        pushRx(unhex(r.at("hex").get<std::string>()));
        return {{"ok", true}};
    }
    if (cmd == "tx")
        return {{"ok", true}, {"hex", hex(takeTx())}};
    throw std::invalid_argument("unknown cmd: " + cmd);
}
