#include <gtest/gtest.h>

#include "platform/paths.h"

TEST(Paths, RootPrefixesAbsolutePathsOnly)
{
    struct Case {
        const char* root;
        const char* in;
        const char* out;
    } cases[] = {
        {"", "/etc/linegw.conf", "/etc/linegw.conf"},
        {"/", "/etc/linegw.conf", "/etc/linegw.conf"},
        {"/tmp/r", "/etc/linegw.conf", "/tmp/r/etc/linegw.conf"},
        {"/tmp/r/", "/var/run/linegw.pid", "/tmp/r/var/run/linegw.pid"},
        {"/tmp/r", "relative/file", "relative/file"},
        {"/tmp/r", "", ""},
    };
    for (const auto& c : cases) {
        platform_set_root(c.root);
        EXPECT_EQ(platform_path(c.in), c.out) << c.root << " " << c.in;
    }
    platform_set_root("");
}
