#include "platform/paths.h"

#include <cstdlib>
#include <mutex>

namespace {

std::mutex root_mutex;  // guards root and root_loaded
std::string root;
bool root_loaded = false;

std::string normalise(std::string r)
{
    while (!r.empty() && r.back() == '/')
        r.pop_back();
    return r;
}

}  // namespace

const std::string& platform_root()
{
    std::lock_guard<std::mutex> lock(root_mutex);
    if (!root_loaded) {
        const char* env = std::getenv("LINEGW_ROOT");
        root = normalise(env ? env : "");
        root_loaded = true;
    }
    return root;
}

void platform_set_root(const std::string& r)
{
    std::lock_guard<std::mutex> lock(root_mutex);
    root = normalise(r);
    root_loaded = true;
}

std::string platform_path(const std::string& absolute)
{
    if (absolute.empty() || absolute[0] != '/')
        return absolute;
    return platform_root() + absolute;
}
