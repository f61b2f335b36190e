#include "proxy/regdb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/json_value.h"
#include "core/log.h"
#include "mgmt/var_store.h"
#include "platform/paths.h"
#include "platform/wall_clock.h"
#include "proxy/reg_info.h"
#include "sip/core/uri.h"

const char* const regdb_path = "/lib/linegw/regDataBase.xml";

namespace {

const char* const regdb_dir = "/lib/linegw";
int load_counter = 128;

bool write_all(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The user part of the AOR read as a SIP URI; a record the controller
// stored under some other text keeps loading, with an empty name.
std::string user_of(const std::string& aor)
{
    sipcore::Uri uri = sipcore::Uri::parse(aor);
    return uri ? uri.user() : std::string();
}

void publish_loaded(const RegInfo& info, uint64_t reference)
{
    std::string name = user_of(info.aor);
    for (const auto& c : info.contacts) {
        if (++load_counter > 255)
            load_counter = 1;
        JsonValue v;
        v["name"].setString(name);
        JsonValue& exp = v["exp"];
        exp.kind = JSON_INTEGER;
        exp.integer = static_cast<int>(static_cast<int64_t>(c->expires - reference));
        v["cont"].setString(c->contacturi);
        poller_publish_var(".1." + std::to_string(load_counter) + ".0", MyVarValue(v.toString(0)));
    }
}

}  // namespace

bool regdb_save()
{
    regDataBase.prune();
    std::ostringstream text;
    text << "<regDataBase>\r\n<timestamp>" << reg_now() << "</timestamp>\r\n";
    regDataBase.writeAll(text);
    text << "</regDataBase>\r\n";

    mkdir(platform_path(regdb_dir).c_str(), 0755);
    std::string path = platform_path(regdb_path);
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write_all(fd, text.str()) && fsync(fd) == 0;
    int err = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        if (fd >= 0)
            unlink(tmp.c_str());
        LOG(LOGF_WEB, 3, "cannot save registration database to %s: %s", regdb_path, strerror(err));
        return false;
    }
    // The rename itself must reach the disk before a reboot.
    int dir = open(platform_path(regdb_dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    LOG(LOGF_WEB, 6, "registration database saved to %s", regdb_path);
    return true;
}

void regdb_load()
{
    regDataBase.clear();
    LOG(LOGF_WEB, 6, "loading regDataBase from %s...", regdb_path);
    mkdir(platform_path(regdb_dir).c_str(), 0755);
    try {
        std::ifstream in(platform_path(regdb_path), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        sipproxy::XmlElement root;
        if (!text.empty())
            root = sipproxy::xml_parse(text);
        if (!root.is("regDataBase")) {
            LOG(LOGF_WEB, 6, "no saved regDataBase found");
            return;
        }
        uint64_t now = reg_now();
        uint64_t reference = now;
        uint64_t file_time = 0;
        for (const auto& child : root.children) {
            if (child.is("timestamp")) {
                file_time = 0;
                for (char c : child.value) {
                    if (c < '0' || c > '9')
                        break;
                    file_time = file_time * 10 + static_cast<uint64_t>(c - '0');
                }
                if (file_time > now) {
                    LOG(LOGF_WEB, 4, "file timestamp is %llu sec in the future",
                        static_cast<unsigned long long>(file_time - now));
                    struct timeval tv = {static_cast<time_t>(file_time), 0};
                    if (platform_set_wall_clock(&tv) != 0)
                        LOG(LOGF_WEB, 6, "error settimg current time: %s", strerror(errno));
                    reference = file_time;
                }
            } else if (child.is("reginfo")) {
                auto info = std::make_unique<RegInfo>();
                info->parse(child, static_cast<uint32_t>(file_time));
                if (info->aor.empty() || info->contacts.empty())
                    continue;
                RegInfo& stored = *info;
                regDataBase.addRegInfo(std::move(info));
                publish_loaded(stored, reference);
            }
        }
    } catch (const std::exception& e) {
        LOG(LOGF_SYSTEM, 3, "exception caught: %s", e.what());
    } catch (...) {
        LOG(LOGF_SYSTEM, 3, "unknown exception caught");
    }
    LOG(LOGF_WEB, 6, "%d object(s) loaded", static_cast<int>(regDataBase.size()));
}
