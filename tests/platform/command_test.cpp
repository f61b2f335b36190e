#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/command.h"
#include "platform/paths.h"
#include "platform/wall_clock.h"
#include "support/log_capture.h"

TEST(CommandSplit, SingleBlanksAndQuotedEmpty)
{
    struct Case {
        const char* line;
        std::vector<std::string> argv;
    } cases[] = {
        {"iptables -t filter -F OUTPUT", {"iptables", "-t", "filter", "-F", "OUTPUT"}},
        {"a  b", {"a", "", "b"}},
        {"a '' b", {"a", "", "b"}},
        {"a 'x' ''x", {"a", "'x'", "''x"}},
        {"a ", {"a", ""}},
        {"a;reboot", {"a;reboot"}},  // no shell: one argument
    };
    for (const auto& c : cases)
        EXPECT_EQ(command_split(c.line), c.argv) << c.line;
}

namespace {

std::string slurp(const std::string& file)
{
    std::ifstream f(file);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// A scratch root with /sbin/rec: records its arguments and where its
// standard descriptors lead, then exits with $REC_EXIT.
class Command : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/lgcmdXXXXXX";
        root = mkdtemp(tmpl);
        mkdir((root + "/sbin").c_str(), 0755);
        std::ofstream s(root + "/sbin/rec");
        s << "#!/bin/sh\n"
             "out=$(dirname \"$0\")/out\n"
             "for a in \"$@\"; do echo \"[$a]\" >> \"$out\"; done\n"
             "std=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
             "echo $std >> \"$out\"\n"
             "echo $(ls /proc/$$/fd) >> \"$out\"\n"
             "case \"$1\" in exit*) exit ${1#exit};; kill) kill -9 $$;; esac\n";
        s.close();
        chmod((root + "/sbin/rec").c_str(), 0755);
        platform_set_root(root);
    }
    void TearDown() override
    {
        platform_set_root("");
        std::string cmd = "rm -rf " + root;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string root;
};

}  // namespace

TEST_F(Command, ChildGetsArgvAndDevNull)
{
    LogCapture cap;
    int leak[2];
    ASSERT_EQ(pipe(leak), 0);  // inheritable: the child must not see it
    run_command("/sbin/rec a  '' b;c");
    std::string out = slurp(root + "/sbin/out");
    EXPECT_EQ(out.substr(0, out.rfind("/dev/null") + 10),
              "[a]\n[]\n[]\n[b;c]\n/dev/null /dev/null /dev/null\n");
    std::string fds = " " + out.substr(out.rfind("/dev/null") + 10);
    EXPECT_EQ(fds.find(" " + std::to_string(leak[0]) + " "), std::string::npos) << fds;
    EXPECT_EQ(fds.find(" " + std::to_string(leak[1]) + " "), std::string::npos) << fds;
    close(leak[0]);
    close(leak[1]);
    EXPECT_TRUE(cap.all().empty());
}

TEST_F(Command, FailuresAreLogged)
{
    struct Case {
        const char* line;
        const char* message;
        int argv_result;
    } cases[] = {
        {"/sbin/rec exit3", "command '/sbin/rec exit3' (pid ", 3},
        {"/sbin/rec kill", "/sbin/rec returned unexpected status 0x9", -1},
        {"/sbin/missing x", "exited with return code 1", 1},
    };
    for (const auto& c : cases) {
        LogCapture cap;
        run_command(c.line);
        EXPECT_TRUE(cap.contains(c.message)) << c.line;
        EXPECT_EQ(run_command_argv(command_split(c.line)), c.argv_result) << c.line;
    }
    EXPECT_EQ(run_command_argv({}), -1);
}

TEST_F(Command, WaitsForItsOwnChildOnly)
{
    pid_t other = fork();
    if (other == 0)
        _exit(7);
    usleep(20000);  // let the other child end before ours
    EXPECT_EQ(run_command_argv({"/sbin/rec", "exit0"}), 0);
    int status = 0;
    EXPECT_EQ(waitpid(other, &status, 0), other);
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

// Under a root, bare names find the stand-ins there and never the PATH: a
// PATH "rec" or "gone" would write "host" into the record.
TEST_F(Command, BareNamesResolveUnderTheRootOnly)
{
    std::string host = root + "/host";
    mkdir(host.c_str(), 0755);
    for (const char* name : {"rec", "gone"}) {
        std::ofstream s(host + "/" + name);
        s << "#!/bin/sh\necho host >> " << root << "/sbin/out\n";
        s.close();
        chmod((host + "/" + name).c_str(), 0755);
    }
    mkdir((root + "/usr").c_str(), 0755);
    mkdir((root + "/usr/bin").c_str(), 0755);
    ASSERT_EQ(symlink((root + "/sbin/rec").c_str(), (root + "/usr/bin/late").c_str()), 0);
    const char* old_path = getenv("PATH");
    std::string saved = old_path ? old_path : "";
    setenv("PATH", host.c_str(), 1);

    struct Case {
        std::vector<std::string> argv;
        std::string path;
        int result;
    } cases[] = {
        {{"rec", "exit0"}, root + "/sbin/rec", 0},
        {{"late", "exit4"}, root + "/usr/bin/late", 4},
        {{"gone"}, root + "/sbin/gone", 1},
        {{"/sbin/rec", "exit0"}, root + "/sbin/rec", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(command_path(c.argv[0]), c.path);
        EXPECT_EQ(run_command_argv(c.argv), c.result) << c.argv[0];
    }
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(slurp(root + "/sbin/out").find("host"), std::string::npos);
}

TEST_F(Command, SimulatedBoardWithoutRootRunsNothing)
{
    platform_set_root("");
    setenv("LINEGW_SIM_MSP", (root + "/msp.sock").c_str(), 1);
    LogCapture cap;
    EXPECT_EQ(command_path("/sbin/rec"), "");
    EXPECT_EQ(run_command_argv({"/sbin/rec", "exit0"}), -1);
    EXPECT_EQ(run_command_argv({"true"}), -1);
    unsetenv("LINEGW_SIM_MSP");
    EXPECT_TRUE(cap.contains("/sbin/rec not run: the simulated board has no root"));
    EXPECT_FALSE(std::ifstream(root + "/sbin/out").good());
    // The board's daemon: names as given.
    EXPECT_EQ(command_path("/sbin/reboot"), "/sbin/reboot");
    EXPECT_EQ(command_path("iptables"), "iptables");
}

TEST(WallClock, SimRecordsInsteadOfSetting)
{
    char tmpl[] = "/tmp/lgclockXXXXXX";
    int fd = mkstemp(tmpl);
    close(fd);
    setenv("LINEGW_SIM_CLOCK", tmpl, 1);
    struct timeval tv = {1700000000, 42};
    EXPECT_EQ(platform_set_wall_clock(&tv), 0);
    unsetenv("LINEGW_SIM_CLOCK");
    EXPECT_EQ(slurp(tmpl), "1700000000.000042\n");
    unlink(tmpl);

    static struct timeval seen;
    platform_set_wall_clock_setter([](const struct timeval* t) {
        seen = *t;
        return 0;
    });
    EXPECT_EQ(platform_set_wall_clock(&tv), 0);
    EXPECT_EQ(seen.tv_sec, 1700000000);
    platform_set_wall_clock_setter(nullptr);
}
