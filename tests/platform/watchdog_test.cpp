// The simulated watchdog resets like the board's: a process that stops kicking
// it is killed with a line saying why; kicks and the magic close keep it alive.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "platform/watchdog.h"

namespace {

class SimWatchdogTest : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/lgwatchdogXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        file = dir + "/wd";
        setenv("LINEGW_SIM_WATCHDOG", file.c_str(), 1);
        setenv("LINEGW_SIM_WATCHDOG_TIMEOUT_MS", "300", 1);
    }
    void TearDown() override
    {
        unsetenv("LINEGW_SIM_WATCHDOG");
        unsetenv("LINEGW_SIM_WATCHDOG_TIMEOUT_MS");
        unlink(file.c_str());
        rmdir(dir.c_str());
    }
    // (monotonic ms, op) as recorded.
    std::vector<std::pair<long long, std::string>> ops() const
    {
        std::vector<std::pair<long long, std::string>> out;
        FILE* f = fopen(file.c_str(), "r");
        if (!f)
            return out;
        char line[64];
        while (fgets(line, sizeof line, f)) {
            char* op = strchr(line, ' ');
            if (!op)
                break;
            op[strcspn(op, "\n")] = 0;
            out.emplace_back(atoll(line), op + 1);
        }
        fclose(f);
        return out;
    }

    std::string dir, file;
};

TEST_F(SimWatchdogTest, ResetsWhenNotKickedWithinItsTimeOut)
{
    EXPECT_EXIT(
        {
            auto w = watchdog_create();
            w->open();
            w->setTimeout(32);
            for (int i = 0; i < 10; i++) {   // a second of life, kicked every 100 ms
                usleep(100000);
                w->kick();
            }
            sleep(10);
            _exit(0);
        },
        testing::KilledBySignal(SIGKILL), "simulated watchdog: not kicked for 300 ms, resetting the board");
    auto o = ops();
    ASSERT_EQ(o.size(), 13u);
    EXPECT_EQ(o[0].second, "open");
    EXPECT_EQ(o[1].second, "timeout 32");   // the device took 300 ms instead
    EXPECT_EQ(o[11].second, "W");
    EXPECT_EQ(o[12].second, "reset");
    EXPECT_GE(o[12].first - o[11].first, 300);
    EXPECT_LT(o[12].first - o[11].first, 3000);
}

TEST_F(SimWatchdogTest, KicksAndTheMagicCloseKeepTheProcessAlive)
{
    struct Case {
        const char* name;
        bool close;
    } cases[] = {{"kicked to the end", false}, {"closed with V, then idle", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                auto w = watchdog_create();
                w->open();
                for (int i = 0; i < 8; i++) {
                    usleep(100000);
                    w->kick();
                }
                if (c.close) {
                    w->magicClose();
                    usleep(800000);
                }
                w.reset();
                _exit(0);
            },
            testing::ExitedWithCode(0), "");
        auto o = ops();
        ASSERT_FALSE(o.empty());
        EXPECT_EQ(o.back().second, c.close ? "V" : "W");
        unlink(file.c_str());
    }
}

}  // namespace
