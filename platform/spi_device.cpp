#include "platform/spi_device.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/log_seam.h"
#include "platform/paths.h"
#include "platform/sim_socket.h"

namespace {

class SpidevPort : public SpiPort {
public:
    explicit SpidevPort(int fd) : fd_(fd) {}
    ~SpidevPort() override { ::close(fd_); }
    bool transfer(int length, const uint8_t* tx, uint8_t* rx) override
    {
        spi_ioc_transfer t{};
        t.tx_buf = reinterpret_cast<uintptr_t>(tx);
        t.rx_buf = reinterpret_cast<uintptr_t>(rx);
        t.len = static_cast<uint32_t>(length);
        return ioctl(fd_, SPI_IOC_MESSAGE(1), &t) >= 0;
    }
    // One ioctl; the chip select drops between the transfers.
    void transfers(SpiTransfer* batch, int count) override
    {
        constexpr int MOST = 8;
        if (count <= 0 || count > MOST) {
            SpiPort::transfers(batch, count);
            return;
        }
        spi_ioc_transfer t[MOST] = {};
        for (int i = 0; i < count; i++) {
            t[i].tx_buf = reinterpret_cast<uintptr_t>(batch[i].tx);
            t[i].rx_buf = reinterpret_cast<uintptr_t>(batch[i].rx);
            t[i].len = static_cast<uint32_t>(batch[i].length);
            t[i].cs_change = i + 1 < count;
        }
        bool ok = ioctl(fd_, _IOC(_IOC_WRITE, SPI_IOC_MAGIC, 0, SPI_MSGSIZE(count)), t) >= 0;
        int error = ok ? 0 : errno;
        for (int i = 0; i < count; i++) {
            batch[i].ok = ok;
            batch[i].error = error;
        }
    }
    ssize_t write(const void* data, size_t length) override { return ::write(fd_, data, length); }

private:
    int fd_;
};

// One connection to the simulator per open device; a request and its answer
// are one exchange under the port's lock.
class SimPort : public SpiPort {
public:
    explicit SimPort(int fd) : fd_(fd) {}
    ~SimPort() override
    {
        if (opened_) {
            uint8_t op = spi_sim::CLOSE;
            uint8_t answer[8];
            exchange(&op, 1, answer, sizeof answer);
        }
        ::close(fd_);
    }
    bool open(const std::string& path, int flags)
    {
        std::string request;
        request += char(spi_sim::OPEN);
        request += (flags & O_ACCMODE) == O_WRONLY ? 'w' : 'r';
        request += path;
        uint8_t answer[8];
        opened_ = exchange(reinterpret_cast<const uint8_t*>(request.data()), request.size(), answer,
                           sizeof answer) >= 0;
        return opened_;
    }
    bool transfer(int length, const uint8_t* tx, uint8_t* rx) override
    {
        if (length <= 0 || static_cast<size_t>(length) + 2 > spi_sim::MAX_MESSAGE || !tx) {
            errno = EINVAL;
            return false;
        }
        uint8_t request[spi_sim::MAX_MESSAGE];
        request[0] = spi_sim::TRANSFER;
        request[1] = rx ? 1 : 0;
        memcpy(request + 2, tx, static_cast<size_t>(length));
        uint8_t answer[spi_sim::MAX_MESSAGE];
        ssize_t n = exchange(request, static_cast<size_t>(length) + 2, answer, sizeof answer);
        if (n < 0)
            return false;
        if (rx) {
            if (n != length + 1) {
                errno = EPROTO;
                return false;
            }
            memcpy(rx, answer + 1, static_cast<size_t>(length));
        }
        return true;
    }
    // One request and one answer for the whole batch.
    void transfers(SpiTransfer* batch, int count) override
    {
        auto fail_from = [&](int first, int error) {
            for (int i = first; i < count; i++) {
                batch[i].ok = false;
                batch[i].error = error;
            }
        };
        if (count <= 0)
            return;
        uint8_t request[spi_sim::MAX_MESSAGE];
        size_t used = 2;
        request[0] = spi_sim::TRANSFERS;
        request[1] = static_cast<uint8_t>(count);
        for (int i = 0; i < count; i++) {
            const SpiTransfer& t = batch[i];
            size_t length = static_cast<size_t>(t.length);
            if (count > 255 || t.length <= 0 || t.length > 0xFFFF || !t.tx || used + 3 + length > sizeof request) {
                fail_from(0, EINVAL);
                return;
            }
            request[used] = t.rx ? 1 : 0;
            request[used + 1] = static_cast<uint8_t>(length);
            request[used + 2] = static_cast<uint8_t>(length >> 8);
            memcpy(request + used + 3, t.tx, length);
            used += 3 + length;
        }
        uint8_t answer[spi_sim::MAX_MESSAGE];
        ssize_t n = exchange(request, used, answer, sizeof answer);
        if (n < 0) {
            fail_from(0, errno);
            return;
        }
        size_t at = 1;
        for (int i = 0; i < count; i++) {
            SpiTransfer& t = batch[i];
            if (at >= static_cast<size_t>(n)) {
                fail_from(i, EPROTO);
                return;
            }
            uint8_t status = answer[at++];
            if (status != 0) {
                t.ok = false;
                t.error = status;
                continue;
            }
            if (t.rx) {
                size_t length = static_cast<size_t>(t.length);
                if (at + length > static_cast<size_t>(n)) {
                    fail_from(i, EPROTO);
                    return;
                }
                memcpy(t.rx, answer + at, length);
                at += length;
            }
            t.ok = true;
            t.error = 0;
        }
    }
    ssize_t write(const void* data, size_t length) override
    {
        if (length + 1 > spi_sim::MAX_MESSAGE) {
            errno = EINVAL;
            return -1;
        }
        uint8_t request[spi_sim::MAX_MESSAGE];
        request[0] = spi_sim::WRITE;
        memcpy(request + 1, data, length);
        uint8_t answer[8];
        ssize_t n = exchange(request, length + 1, answer, sizeof answer);
        if (n < 0)
            return -1;
        if (n != 5) {
            errno = EPROTO;
            return -1;
        }
        uint32_t count;
        memcpy(&count, answer + 1, 4);
        return count;
    }

    // Sends a request and takes its answer; -1 with errno set when the
    // exchange failed or the simulator answered with an error.
    ssize_t exchange(const uint8_t* request, size_t length, uint8_t* answer, size_t capacity)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (send(fd_, request, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length))
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

private:
    std::mutex mutex_;   // one exchange at a time on the connection
    int fd_;
    bool opened_ = false;
};

std::unique_ptr<SpiPort> open_simulated(const char* socket_path, const std::string& path, int flags)
{
    if (path.size() + 2 > spi_sim::MAX_MESSAGE) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    int fd = sim_socket_connect(socket_path);
    if (fd < 0)
        return nullptr;
    auto port = std::make_unique<SimPort>(fd);
    if (!port->open(path, flags)) {
        int e = errno;
        port.reset();
        errno = e;
        return nullptr;
    }
    return port;
}

std::mutex spi_opener_mutex;
SpiOpener spi_opener;   // guarded by spi_opener_mutex

}  // namespace

void spi_set_opener(SpiOpener o)
{
    std::lock_guard<std::mutex> lock(spi_opener_mutex);
    spi_opener = std::move(o);
}

std::unique_ptr<SpiPort> spi_open(const std::string& path, int flags)
{
    {
        std::lock_guard<std::mutex> lock(spi_opener_mutex);
        if (spi_opener)
            return spi_opener(path, flags);
    }
    if (const char* sim = getenv(FPGA_SIM_ENV); sim && *sim)
        return open_simulated(sim, path, flags);
    int fd = ::open(platform_path(path).c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    return std::make_unique<SpidevPort>(fd);
}

SpiPort* SPIDevice::port()
{
    if (!tried_.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(open_mutex_);
        if (!tried_.load(std::memory_order_relaxed)) {
            owned_ = spi_open(path_, O_RDWR);
            if (!owned_)
                PLATFORM_LOG(LOGF_GENERAL, 2, "cannot open %s: %s", path_.c_str(), strerror(errno));
            port_.store(owned_.get(), std::memory_order_release);
            tried_.store(true, std::memory_order_release);
        }
    }
    return port_.load(std::memory_order_acquire);
}

bool SPIDevice::isOpen() { return port() != nullptr; }

bool SPIDevice::transfer(int length, const uint8_t* tx, uint8_t* rx)
{
    SpiPort* p = port();
    if (!p) {
        errno = EBADF;
        return false;
    }
    return p->transfer(length, tx, rx);
}

void SPIDevice::transfers(SpiTransfer* batch, int count)
{
    SpiPort* p = port();
    if (!p) {
        for (int i = 0; i < count; i++) {
            batch[i].ok = false;
            batch[i].error = EBADF;
        }
        return;
    }
    p->transfers(batch, count);
}

void SPIDevice::close()
{
    std::lock_guard<std::mutex> lock(open_mutex_);
    port_.store(nullptr, std::memory_order_release);
    owned_.reset();
    tried_.store(false, std::memory_order_release);
}
