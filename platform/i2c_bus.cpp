#include "platform/i2c_bus.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "platform/paths.h"
#include "platform/sim_socket.h"

static_assert(I2C_FLAG_RD == I2C_M_RD && I2C_FLAG_NOSTART == I2C_M_NOSTART && I2C_FLAG_STOP == I2C_M_STOP);

namespace {

class DeviceBus : public I2cBus {
public:
    explicit DeviceBus(int fd) : fd_(fd) {}
    ~DeviceBus() override { ::close(fd_); }
    int transfer(i2c_message_t* messages, int count) override
    {
        if (i2c_check_transfer(messages, count) < 0)
            return -1;
        i2c_msg msgs[I2C_MAX_MESSAGES];
        for (int i = 0; i < count; i++)
            msgs[i] = i2c_msg{messages[i].address, messages[i].flags, messages[i].length, messages[i].data};
        i2c_rdwr_ioctl_data data{msgs, static_cast<uint32_t>(count)};
        return ioctl(fd_, I2C_RDWR, &data);
    }

private:
    int fd_;
};

void put16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// One connection to the simulator per open bus; a request and its answer are
// one exchange under the bus's lock.
class SocketBus : public I2cBus {
public:
    explicit SocketBus(int fd) : fd_(fd) {}
    ~SocketBus() override { ::close(fd_); }
    bool open(const std::string& path)
    {
        std::vector<uint8_t> request{i2c_sim::OPEN};
        request.insert(request.end(), path.begin(), path.end());
        uint8_t answer[8];
        return exchange(request, answer, sizeof answer) >= 0;
    }
    int transfer(i2c_message_t* messages, int count) override
    {
        if (i2c_check_transfer(messages, count) < 0)
            return -1;
        std::vector<uint8_t> request{i2c_sim::TRANSFER, static_cast<uint8_t>(count)};
        size_t to_read = 0;
        for (int i = 0; i < count; i++) {
            const i2c_message_t& m = messages[i];
            put16(request, m.address);
            put16(request, m.flags);
            put16(request, m.length);
            if (m.flags & I2C_FLAG_RD)
                to_read += m.length;
            else
                request.insert(request.end(), m.data, m.data + m.length);
        }
        if (request.size() > i2c_sim::MAX_MESSAGE || to_read + 1 > i2c_sim::MAX_MESSAGE) {
            errno = EMSGSIZE;
            return -1;
        }
        uint8_t answer[i2c_sim::MAX_MESSAGE];
        ssize_t n = exchange(request, answer, sizeof answer);
        if (n < 0)
            return -1;
        if (static_cast<size_t>(n) != to_read + 1) {
            errno = EPROTO;
            return -1;
        }
        const uint8_t* p = answer + 1;
        for (int i = 0; i < count; i++)
            if (messages[i].flags & I2C_FLAG_RD) {
                memcpy(messages[i].data, p, messages[i].length);
                p += messages[i].length;
            }
        return count;
    }

private:
    // -1 with errno set when the exchange failed or the simulator refused.
    ssize_t exchange(const std::vector<uint8_t>& request, uint8_t* answer, size_t capacity)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            return -1;
        ssize_t n;
        do
            n = recv(fd_, answer, capacity, 0);
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                errno = ETIMEDOUT;
            return -1;
        }
        if (n == 0) {
            errno = ECONNRESET;
            return -1;
        }
        if (answer[0] != 0) {
            errno = answer[0];
            return -1;
        }
        return n;
    }

    std::mutex mutex_;   // one exchange at a time on the connection
    int fd_;
};

std::unique_ptr<I2cBus> open_simulated(const char* socket_path, const std::string& path)
{
    if (path.size() + 1 > i2c_sim::MAX_MESSAGE) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    int fd = sim_socket_connect(socket_path);
    if (fd < 0)
        return nullptr;
    auto bus = std::make_unique<SocketBus>(fd);
    if (!bus->open(path)) {
        int e = errno;
        bus.reset();
        errno = e;
        return nullptr;
    }
    return bus;
}

std::mutex i2c_opener_mutex;
I2cOpener i2c_opener;   // guarded by i2c_opener_mutex

}  // namespace

int i2c_check_transfer(const i2c_message_t* messages, int count)
{
    bool ok = messages && count > 0 && count <= I2C_MAX_MESSAGES;
    for (int i = 0; ok && i < count; i++)
        ok = messages[i].address < 0x80 && messages[i].length <= I2C_MAX_LENGTH &&
             (messages[i].length == 0 || messages[i].data);
    if (!ok) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

void i2c_set_opener(I2cOpener o)
{
    std::lock_guard<std::mutex> lock(i2c_opener_mutex);
    i2c_opener = std::move(o);
}

std::unique_ptr<I2cBus> i2c_open(const std::string& path)
{
    {
        std::lock_guard<std::mutex> lock(i2c_opener_mutex);
        if (i2c_opener)
            return i2c_opener(path);
    }
    if (const char* sim = getenv(I2C_SIM_ENV); sim && *sim)
        return open_simulated(sim, path);
    int fd = ::open(platform_path(path).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    return std::make_unique<DeviceBus>(fd);
}
