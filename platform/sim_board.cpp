#include "platform/sim_board.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace {

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

// Not the machine's own namespace: not init's, or one that "ip netns add" made
// (where init's cannot be read, as in some sandboxes).
bool own_network_namespace()
{
    struct stat self, other;
    if (stat("/proc/self/ns/net", &self) != 0)
        return false;
    if (stat("/proc/1/ns/net", &other) == 0 && !same_file(self, other))
        return true;
    DIR* dir = opendir("/run/netns");
    if (!dir)
        return false;
    bool found = false;
    while (dirent* e = readdir(dir)) {
        std::string path = std::string("/run/netns/") + e->d_name;
        if (e->d_name[0] != '.' && stat(path.c_str(), &other) == 0 && same_file(self, other)) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

}  // namespace

bool sim_board_selected()
{
    for (char** e = environ; e && *e; ++e)
        if (strncmp(*e, "LINEGW_ROOT=", 12) == 0 || strncmp(*e, "LINEGW_SIM_", 11) == 0)
            return true;
    return false;
}

std::string sim_board_refusal()
{
    if (!sim_board_selected())
        return {};
    const char* root = getenv("LINEGW_ROOT");
    std::string r = root ? root : "";
    while (!r.empty() && r.back() == '/')
        r.pop_back();
    if (r.empty())
        return "the simulated board needs a scratch root other than / in LINEGW_ROOT";
    if (!own_network_namespace())
        return "the simulated board needs a network namespace of its own "
               "(run it through scripts/demo or ip netns exec)";
    return {};
}
