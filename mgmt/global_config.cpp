#include "mgmt/global_config.h"

#include <unistd.h>

#include "core/log.h"
#include "mgmt/config_file.h"
#include "platform/paths.h"

JsonValue globalConfig;
std::recursive_mutex globalConfigMutex;

void global_config_store(const std::string& key, const std::string& text)
{
    std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
    globalConfig[key].setString(text);
}

int global_config_save()
{
    // Held for the write too: the file holds one state, and two saves never
    // share the .tmp file.
    std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
    // Anything but an object would not read back as a configuration (an
    // empty value is written "undef"): the file on disk is worth more.
    if (globalConfig.kind != JSON_HASH) {
        LOG(LOGF_SYSTEM, 3, "%s not saved: no configuration loaded", CONFIG_FILE);
        return -1;
    }
    if (write_file_atomically(platform_path(CONFIG_FILE), globalConfig.toString(4), 0644) < 0)
        return -1;
    sync();
    return 0;
}

void global_config_reset()
{
    std::lock_guard<std::recursive_mutex> lock(globalConfigMutex);
    globalConfig = JsonValue();
}
