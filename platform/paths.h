// Every absolute path of the daemon goes through here, so that tests and the
// demo can run it inside a scratch root instead of the board's file system.
#pragma once

#include <string>

// Root prefix from LINEGW_ROOT ("" when unset or "/"), read once.
const std::string& platform_root();

// "/etc/linegw.conf" -> "<root>/etc/linegw.conf". Relative paths pass unchanged.
std::string platform_path(const std::string& absolute);

// Tests may change the root after start-up; takes effect for later calls.
void platform_set_root(const std::string& root);
