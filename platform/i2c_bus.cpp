#include "platform/i2c_bus.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/paths.h"

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

std::mutex opener_mutex;
I2cOpener opener;   // guarded by opener_mutex

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
    std::lock_guard<std::mutex> lock(opener_mutex);
    opener = std::move(o);
}

std::unique_ptr<I2cBus> i2c_open(const std::string& path)
{
    {
        std::lock_guard<std::mutex> lock(opener_mutex);
        if (opener)
            return opener(path);
    }
    int fd = ::open(platform_path(path).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    return std::make_unique<DeviceBus>(fd);
}
