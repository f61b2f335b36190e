#include "sim/sim_control.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using json = nlohmann::json;

namespace {
// A client that sends this much without a newline is dropped.
constexpr size_t MAX_LINE = 1 << 20;
}  // namespace

SimControl::~SimControl()
{
    stop();
    for (int fd : {listen_fd, wake_pipe[0], wake_pipe[1]})
        if (fd >= 0)
            close(fd);
    if (!path.empty())
        unlink(path.c_str());
}

void SimControl::add(const std::string& name, SimDevice* device)
{
    devices[name] = device;
}

bool SimControl::listen(const std::string& p)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (p.size() >= sizeof a.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    strcpy(a.sun_path, p.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    unlink(p.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(fd, 8) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return false;
    }
    listen_fd = fd;
    path = p;
    return true;
}

void SimControl::start()
{
    std::lock_guard<std::mutex> lock(m);
    if (running || listen_fd < 0)
        return;
    if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) < 0)
        throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    running = true;
    thread = std::thread([this] { run(); });
}

void SimControl::stop()
{
    {
        std::lock_guard<std::mutex> lock(m);
        if (!running)
            return;
        running = false;
    }
    char c = 'w';
    ssize_t n = write(wake_pipe[1], &c, 1);
    (void)n;
    thread.join();
}

json SimControl::handle(const json& r)
{
    try {
        if (!r.is_object())
            throw std::invalid_argument("request needs a \"cmd\" text");
        std::string name = SIM_DEFAULT_DEVICE;
        if (r.contains("device")) {
            if (!r["device"].is_string())
                throw std::invalid_argument("\"device\" must be a text");
            name = r["device"].get<std::string>();
        }
        auto it = devices.find(name);
        if (it == devices.end())
            return {{"ok", false}, {"error", "no device " + name + " in this simulator"}};
        return it->second->control_request(r);
    } catch (const std::exception& e) {
        return {{"ok", false}, {"error", e.what()}};
    }
}

std::string SimControl::handle_line(const std::string& line)
{
    json reply;
    try {
        reply = handle(json::parse(line));
    } catch (const std::exception& e) {
        reply = {{"ok", false}, {"error", e.what()}};
    }
    return reply.dump();
}

void SimControl::run()
{
    struct Client {
        std::string in;    // the unfinished line
        std::string out;   // replies the client has not taken yet
    };
    std::map<int, Client> clients;
    auto drop = [&clients](int fd) {
        close(fd);
        clients.erase(fd);
    };
    // False when the client is gone.
    auto flush = [](int fd, Client& c) {
        while (!c.out.empty()) {
            ssize_t sent = send(fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            c.out.erase(0, static_cast<size_t>(sent));
        }
        return true;
    };
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m);
            if (!running)
                break;
        }
        std::vector<pollfd> fds{{wake_pipe[0], POLLIN, 0}, {listen_fd, POLLIN, 0}};
        for (auto& [fd, c] : clients) {
            // A client that does not read its replies is not read from either.
            short events = c.out.size() < MAX_LINE ? POLLIN : 0;
            if (!c.out.empty())
                events |= POLLOUT;
            fds.push_back({fd, events, 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents) {
            char drain[64];
            while (read(wake_pipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[1].revents) {
            int c = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c >= 0)
                clients[c];
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            int fd = fds[i].fd;
            Client& client = clients[fd];
            if ((fds[i].revents & POLLOUT) && !flush(fd, client)) {
                drop(fd);
                continue;
            }
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char chunk[4096];
            ssize_t got = read(fd, chunk, sizeof chunk);
            if (got <= 0) {
                if (got < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                drop(fd);
                continue;
            }
            client.in.append(chunk, static_cast<size_t>(got));
            size_t eol;
            while ((eol = client.in.find('\n')) != std::string::npos) {
                std::string line = client.in.substr(0, eol);
                client.in.erase(0, eol + 1);
                client.out += handle_line(line) + "\n";
            }
            if (client.in.size() > MAX_LINE || !flush(fd, client))
                drop(fd);
        }
    }
    for (auto& c : clients)
        close(c.first);
}
