#include "sim/msp/msp_simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "sim/msp/msp_sim_wire.h"
#include "sim/sim_json.h"

using json = nlohmann::json;
using namespace msp_sim;

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
    for (int fd : {sock, daemon_fd, wake_pipe[0], wake_pipe[1]})
        if (fd >= 0)
            close(fd);
    if (!bound_path.empty())
        unlink(bound_path.c_str());
}

int MspSimulator::take_daemon_fd()
{
    std::lock_guard<std::mutex> lock(m);
    int fd = daemon_fd;
    daemon_fd = -1;
    return fd;
}

std::string MspSimulator::describe() const
{
    return bound_path.empty() ? "media processor in-process" : "media processor on " + bound_path;
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
    std::unique_lock<std::mutex> lock(m);
    while (running) {
        int timeout = -1;
        if (!timers.empty())
            timeout = static_cast<int>(std::max<int64_t>(0, timers.begin()->first - now_ms()));
        pollfd fds[2] = {{sock, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
        lock.unlock();
        int n = poll(fds, 2, timeout);
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
                if (!bound_path.empty() && !from_daemon(from, flen))
                    continue;   // a stray local sender is neither answered nor logged
                on_datagram(buffer, static_cast<size_t>(got));
            }
        }
        int64_t now = now_ms();
        while (!timers.empty() && timers.begin()->first <= now) {
            auto action = std::move(timers.begin()->second);
            timers.erase(timers.begin());
            action();
        }
    }
}

void MspSimulator::send_locked(uint16_t channelId, const std::vector<uint8_t>& message)
{
    std::vector<uint8_t> d(ADDRESS + message.size());
    MspAddress a = msp_address_make(0);
    msp_address_set_channel(a, channelId);
    memcpy(d.data(), a.bytes, ADDRESS);
    std::copy(message.begin(), message.end(), d.begin() + ADDRESS);
    if (bound_path.empty()) {
        send(sock, d.data(), d.size(), MSG_DONTWAIT);
        return;
    }
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::string daemon = bound_path + MSP_SIM_DAEMON_SUFFIX;
    if (daemon.size() >= sizeof to.sun_path)
        return;
    strcpy(to.sun_path, daemon.c_str());
    sendto(sock, d.data(), d.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

bool MspSimulator::from_daemon(const sockaddr_un& from, socklen_t length) const
{
    size_t offset = offsetof(sockaddr_un, sun_path);
    if (length <= offset)
        return false;
    std::string sender(from.sun_path, strnlen(from.sun_path, length - offset));
    return sender == bound_path + MSP_SIM_DAEMON_SUFFIX;
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
