#include "mgmt/config_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/log.h"
#include "platform/paths.h"

const char* const DEFAULT_CONFIG_TEXT =
    "{    \"channels\":{        \"254\":{            \"pcmCode\":0,            \"type\":\"FS01\","
    "            \"uri\":\"11@127.0.0.1\",            \"dial-regexp\":\"^1.\"        },"
    "        \"255\":{            \"pcmCode\":0,            \"type\":\"FS01\","
    "            \"uri\":\"12@127.0.0.1\",            \"dial-regexp\":\"^1.\"        }    },"
    "    \"dns\":\"192.168.0.1\",    \"dvo\":{},    \"gateway\":\"192.168.0.1\","
    "    \"globalconf\":{        \"confFactory\":\"\",        \"dhcp\":\"no\","
    "        \"dvoKeys\":\"0123 \",        \"flags\":0,        \"noServ\":\"noservice\","
    "        \"tz\":\"YEKT-5\"    },    \"ipaddr\":\"192.168.0.254\","
    "    \"ipaddr2\":\"192.168.1.254\",    \"master\":0,    \"netmask\":\"255.255.255.0\","
    "    \"netmask2\":\"255.255.255.0\",    \"tdm0mode\":0,    \"tdmSelect\":[        0,"
    "        0,        0,        0,        0,        0,        0,        0    ],"
    "    \"userlist\":[]}";

namespace {

constexpr off_t COMPARE_LIMIT = 100000;

class Fd {
public:
    explicit Fd(int fd) : fd(fd) {}
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int fd;
};

bool write_all(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// The whole file into out; false after logging.
bool read_whole(int fd, const std::string& name, off_t size, std::string& out)
{
    out.resize(size_t(size));
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            LOG(LOGF_SYSTEM, 6, "rename_if_differ(): cannot read %s: %s", name.c_str(), strerror(errno));
            return false;
        }
        if (n == 0) {
            LOG(LOGF_SYSTEM, 6, "rename_if_differ(): %s: partial read", name.c_str());
            return false;
        }
        done += size_t(n);
    }
    return true;
}

// A file that exists and holds something, or that cannot be examined.
bool holds_something(const std::string& name)
{
    struct stat st{};
    if (stat(name.c_str(), &st) == 0)
        return st.st_size > 0;
    if (errno == ENOENT)
        return false;
    LOG(LOGF_SYSTEM, 6, "rename_if_differ(): cannot stat %s: %s", name.c_str(), strerror(errno));
    return true;
}

bool replace(const std::string& fresh, const std::string& old)
{
    if (rename(fresh.c_str(), old.c_str()) == 0)
        return true;
    LOG(LOGF_SYSTEM, 6, "rename_if_differ(): cannot rename: %s", strerror(errno));
    unlink(fresh.c_str());
    return false;
}

bool same_contents(int freshFd, const std::string& fresh, int oldFd, const std::string& old, bool* same)
{
    struct stat a{}, b{};
    if (fstat(freshFd, &a) < 0) {
        LOG(LOGF_SYSTEM, 6, "rename_if_differ(): cannot stat %s: %s", fresh.c_str(), strerror(errno));
        return false;
    }
    if (fstat(oldFd, &b) < 0) {
        LOG(LOGF_SYSTEM, 6, "rename_if_differ(): cannot stat %s: %s", old.c_str(), strerror(errno));
        return false;
    }
    if (a.st_size != b.st_size || a.st_size > COMPARE_LIMIT) {
        *same = false;
        return true;
    }
    std::string x, y;
    if (!read_whole(freshFd, fresh, a.st_size, x) || !read_whole(oldFd, old, b.st_size, y))
        return false;
    *same = x == y;
    return true;
}

}  // namespace

int write_file_atomically(const std::string& path, const std::string& data, mode_t mode)
{
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        LOG(LOGF_SYSTEM, 3, "cannot open %s: %s", tmp.c_str(), strerror(errno));
        return -1;
    }
    // the mode asked for, whatever an earlier .tmp or the umask left
    bool ok = fchmod(fd, mode) == 0 && write_all(fd, data) && fsync(fd) == 0;
    int err = errno;
    if (close(fd) < 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        LOG(LOGF_SYSTEM, 3, "cannot write %s: %s", tmp.c_str(), strerror(err));
        unlink(tmp.c_str());
        return -1;
    }
    if (rename(tmp.c_str(), path.c_str()) < 0) {
        LOG(LOGF_SYSTEM, 3, "cannot rename %s to %s: %s", tmp.c_str(), path.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

bool rename_if_differ(const std::string& fresh, const std::string& old)
{
    Fd freshFd(open(fresh.c_str(), O_RDONLY | O_CLOEXEC));
    if (freshFd.fd < 0)
        return holds_something(old);
    struct stat st{};
    if (fstat(freshFd.fd, &st) == 0 && st.st_size == 0) {
        unlink(fresh.c_str());
        return holds_something(old);
    }
    Fd oldFd(open(old.c_str(), O_RDONLY | O_CLOEXEC));
    if (oldFd.fd < 0) {
        if (errno != ENOENT)
            LOG(LOGF_SYSTEM, 6, "rename_if_differ(): cannot stat %s: %s", old.c_str(), strerror(errno));
        return replace(fresh, old);
    }
    bool same = false;
    if (same_contents(freshFd.fd, fresh, oldFd.fd, old, &same) && same) {
        unlink(fresh.c_str());
        return false;
    }
    return replace(fresh, old);
}

void write_resolver_file(const std::string& dns)
{
    write_file_atomically(platform_path("/tmp/resolv.conf.auto"), "nameserver " + dns + "\n", 0644);
}
