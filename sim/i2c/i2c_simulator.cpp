#include "sim/i2c/i2c_simulator.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using nlohmann::json;

namespace {

class SimBus : public I2cBus {
public:
    explicit SimBus(I2cSimulator* sim) : sim_(sim) {}
    int transfer(i2c_message_t* messages, int count) override { return sim_->transfer(messages, count); }

private:
    I2cSimulator* sim_;
};

}  // namespace

void I2cSimulator::Device::write(const uint8_t* data, int length)
{
    if (length == 0)
        return;
    if (kind == Bytes) {
        pointer = data[0];
        for (int i = 1; i < length; i++) {
            bytes[pointer] = data[i];
            pointer = (pointer + 1) & 0xFF;
        }
        return;
    }
    pointer = data[0] & 0x1F;
    for (int i = 1; i + 1 < length; i += 2) {
        words[pointer] = static_cast<uint16_t>(data[i] << 8 | data[i + 1]);
        pointer = (pointer + 1) & 0x1F;
    }
}

void I2cSimulator::Device::read(uint8_t* data, int length)
{
    for (int i = 0; i < length; i++) {
        if (kind == Bytes) {
            data[i] = bytes[pointer];
            pointer = (pointer + 1) & 0xFF;
        } else {
            data[i] = i % 2 == 0 ? words[pointer] >> 8 : words[pointer] & 0xFF;
            if (i % 2 == 1)
                pointer = (pointer + 1) & 0x1F;
        }
    }
}

I2cSimulator::I2cSimulator()
{
    phy.kind = Device::Words;
    eeprom[0].present = eeprom[1].present = phy.present = false;
}

I2cSimulator::~I2cSimulator()
{
    stop();
    if (installed)
        i2c_set_opener(nullptr);
    if (listen_fd >= 0) {
        ::close(listen_fd);
        unlink(bound_path.c_str());
    }
}

bool I2cSimulator::listen(const std::string& path)
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
        ::close(fd);
        errno = e;
        return false;
    }
    listen_fd = fd;
    bound_path = path;
    return true;
}

void I2cSimulator::start()
{
    if (listen_fd < 0 || thread.joinable())
        return;
    if (pipe2(wake_pipe, O_CLOEXEC) < 0)
        throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    thread = std::thread([this] { serve(); });
}

void I2cSimulator::stop()
{
    if (!thread.joinable())
        return;
    wake();
    thread.join();
    ::close(wake_pipe[0]);
    ::close(wake_pipe[1]);
    wake_pipe[0] = wake_pipe[1] = -1;
}

void I2cSimulator::wake()
{
    char c = 1;
    if (write(wake_pipe[1], &c, 1) < 0) {
        // the pipe is only ever written once, by stop()
    }
}

// Every connection is one open bus of the daemon; they are served in turn.
void I2cSimulator::serve()
{
    struct Client {
        int fd;
        bool opened;
    };
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> fds{{wake_pipe[0], POLLIN, 0}, {listen_fd, POLLIN, 0}};
        for (const auto& c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        for (size_t i = clients.size(); i-- > 0;) {
            if (!fds[i + 2].revents)
                continue;
            uint8_t request[i2c_sim::MAX_MESSAGE];
            ssize_t n = recv(clients[i].fd, request, sizeof request, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            std::vector<uint8_t> out;
            if (n > 0)
                out = answer(request, static_cast<size_t>(n), clients[i].opened);
            if (n <= 0 || send(clients[i].fd, out.data(), out.size(), MSG_NOSIGNAL) < 0) {
                ::close(clients[i].fd);
                clients.erase(clients.begin() + static_cast<long>(i));
            }
        }
        if (fds[1].revents & POLLIN) {
            int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                clients.push_back({fd, false});
        }
    }
    for (const auto& c : clients)
        ::close(c.fd);
}

std::vector<uint8_t> I2cSimulator::answer(const uint8_t* request, size_t length, bool& opened)
{
    auto refuse = [](int err) { return std::vector<uint8_t>{static_cast<uint8_t>(err)}; };
    if (length == 0)
        return refuse(EINVAL);
    if (request[0] == i2c_sim::OPEN) {
        std::lock_guard<std::mutex> lock(m);
        if (!bus_present)
            return refuse(ENOENT);
        opened = true;
        return {0};
    }
    if (request[0] != i2c_sim::TRANSFER || length < 2)
        return refuse(EINVAL);
    if (!opened)
        return refuse(EBADF);
    // Every length is checked against what arrived.
    int count = request[1];
    if (count < 1 || count > I2C_MAX_MESSAGES)
        return refuse(EINVAL);
    std::vector<std::vector<uint8_t>> buffers(static_cast<size_t>(count));
    std::vector<i2c_message_t> messages(static_cast<size_t>(count));
    size_t at = 2, to_read = 0;
    for (int i = 0; i < count; i++) {
        if (length - at < 6)
            return refuse(EINVAL);
        i2c_message_t& msg = messages[static_cast<size_t>(i)];
        msg.address = static_cast<uint16_t>(request[at] | request[at + 1] << 8);
        msg.flags = static_cast<uint16_t>(request[at + 2] | request[at + 3] << 8);
        msg.length = static_cast<uint16_t>(request[at + 4] | request[at + 5] << 8);
        at += 6;
        auto& buffer = buffers[static_cast<size_t>(i)];
        if (msg.flags & I2C_FLAG_RD) {
            to_read += msg.length;
            buffer.resize(msg.length);
        } else {
            if (length - at < msg.length)
                return refuse(EINVAL);
            buffer.assign(request + at, request + at + msg.length);
            at += msg.length;
        }
        msg.data = buffer.data();
    }
    if (at != length)
        return refuse(EINVAL);
    if (to_read + 1 > i2c_sim::MAX_MESSAGE)
        return refuse(EMSGSIZE);
    if (transfer(messages.data(), count) < 0)
        return refuse(errno);
    std::vector<uint8_t> out{0};
    for (int i = 0; i < count; i++)
        if (messages[static_cast<size_t>(i)].flags & I2C_FLAG_RD)
            out.insert(out.end(), buffers[static_cast<size_t>(i)].begin(), buffers[static_cast<size_t>(i)].end());
    return out;
}

json I2cSimulator::control(const json& r)
{
    std::string cmd = r.at("cmd").get<std::string>();
    if (cmd == "set") {
        if (r.contains("bus"))
            setBusPresent(r["bus"].get<bool>());
        if (r.contains("module"))
            setModulePresent(r["module"].get<bool>());
        if (r.contains("poe"))
            setPoeRegister(r["poe"].at(0).get<int>(), r["poe"].at(1).get<uint8_t>());
        if (r.contains("eeprom"))
            setEeprom(r["eeprom"].at(0).get<int>(), r["eeprom"].at(1).get<int>(),
                      r["eeprom"].at(2).get<std::vector<uint8_t>>());
        if (r.contains("phy"))
            setPhyRegister(r["phy"].at(0).get<int>(), r["phy"].at(1).get<uint16_t>());
        return {{"ok", true}};
    }
    if (cmd == "fail") {
        failNext(r.at("address").get<int>(), r.at("count").get<int>(), r.value("reg", -1), r.value("errno", EIO));
        return {{"ok", true}};
    }
    if (cmd == "clear") {
        clearLog();
        return {{"ok", true}};
    }
    if (cmd == "state") {
        std::lock_guard<std::mutex> lock(m);
        json writes = json::array();
        for (const auto& t : log)
            for (const auto& msg : t.messages)
                if (!t.error && !(msg.flags & I2C_FLAG_RD) && msg.length > 1)
                    writes.push_back(json::array({msg.address, msg.written}));
        return {{"ok", true},
                {"bus", bus_present},
                {"module", phy.present},
                {"poe", poe.bytes},
                {"phy", phy.words},
                {"transfers", log.size()},
                {"writes", writes}};
    }
    throw std::invalid_argument("unknown cmd: " + cmd);
}

void I2cSimulator::install()
{
    i2c_set_opener([this](const std::string&) { return open(); });
    std::lock_guard<std::mutex> lock(m);
    installed = true;
}

std::unique_ptr<I2cBus> I2cSimulator::open()
{
    std::lock_guard<std::mutex> lock(m);
    if (!bus_present) {
        errno = ENOENT;
        return nullptr;
    }
    return std::make_unique<SimBus>(this);
}

I2cSimulator::Device* I2cSimulator::device_locked(int address)
{
    Device* d = nullptr;
    switch (address) {
    case POE: d = &poe; break;
    case SFP_EEPROM: d = &eeprom[0]; break;
    case SFP_EEPROM_2: d = &eeprom[1]; break;
    case SFP_PHY: d = &phy; break;
    }
    return d && d->present ? d : nullptr;
}

int I2cSimulator::transfer(i2c_message_t* messages, int count)
{
    if (i2c_check_transfer(messages, count) < 0)
        return -1;
    std::lock_guard<std::mutex> lock(m);
    I2cSimTransfer t;
    for (int i = 0; i < count; i++) {
        const i2c_message_t& msg = messages[i];
        I2cSimMessage seen{msg.address, msg.flags, msg.length, {}};
        if (!(msg.flags & I2C_FLAG_RD))
            seen.written.assign(msg.data, msg.data + msg.length);
        t.messages.push_back(std::move(seen));
    }
    const I2cSimMessage& first = t.messages.front();
    int reg = !(first.flags & I2C_FLAG_RD) && first.length > 0 ? first.written[0] : -1;
    for (auto f = faults.begin(); f != faults.end(); ++f) {
        if (f->address == first.address && (f->reg < 0 || f->reg == reg)) {
            t.error = f->err;
            if (--f->count == 0)
                faults.erase(f);
            break;
        }
    }
    for (int i = 0; i < count && !t.error; i++) {
        Device* d = device_locked(messages[i].address);
        if (!d)
            t.error = ENXIO;
        else if (messages[i].flags & I2C_FLAG_RD)
            d->read(messages[i].data, messages[i].length);
        else
            d->write(messages[i].data, messages[i].length);
    }
    int error = t.error;
    log.push_back(std::move(t));
    if (error) {
        errno = error;
        return -1;
    }
    return count;
}

void I2cSimulator::setBusPresent(bool present)
{
    std::lock_guard<std::mutex> lock(m);
    bus_present = present;
}

void I2cSimulator::setModulePresent(bool present)
{
    std::lock_guard<std::mutex> lock(m);
    eeprom[0].present = eeprom[1].present = phy.present = present;
}

void I2cSimulator::setPoeRegister(int reg, uint8_t value)
{
    std::lock_guard<std::mutex> lock(m);
    poe.bytes[reg & 0xFF] = value;
}

uint8_t I2cSimulator::poeRegister(int reg) const
{
    std::lock_guard<std::mutex> lock(m);
    return poe.bytes[reg & 0xFF];
}

void I2cSimulator::setEeprom(int page, int offset, const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(m);
    for (size_t i = 0; i < bytes.size(); i++)
        eeprom[page & 1].bytes[(offset + i) & 0xFF] = bytes[i];
}

void I2cSimulator::setPhyRegister(int reg, uint16_t value)
{
    std::lock_guard<std::mutex> lock(m);
    phy.words[reg & 0x1F] = value;
}

uint16_t I2cSimulator::phyRegister(int reg) const
{
    std::lock_guard<std::mutex> lock(m);
    return phy.words[reg & 0x1F];
}

void I2cSimulator::failNext(int address, int count, int reg, int err)
{
    std::lock_guard<std::mutex> lock(m);
    if (count > 0)
        faults.push_back({address, reg, err, count});
}

std::vector<I2cSimTransfer> I2cSimulator::transfers() const
{
    std::lock_guard<std::mutex> lock(m);
    return log;
}

size_t I2cSimulator::transferCount(int address) const
{
    std::lock_guard<std::mutex> lock(m);
    size_t n = 0;
    for (const auto& t : log)
        n += t.messages.front().address == address;
    return n;
}

std::vector<std::vector<uint8_t>> I2cSimulator::writes(int address) const
{
    std::lock_guard<std::mutex> lock(m);
    std::vector<std::vector<uint8_t>> out;
    for (const auto& t : log)
        for (const auto& msg : t.messages)
            if (!t.error && msg.address == address && !(msg.flags & I2C_FLAG_RD) && msg.length > 1)
                out.push_back(msg.written);
    return out;
}

void I2cSimulator::clearLog()
{
    std::lock_guard<std::mutex> lock(m);
    log.clear();
}
