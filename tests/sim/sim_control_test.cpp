// The simulator program's one control socket: requests reach the device their
// "device" key names, the media processor when it names none, and bad
// requests get an error reply without harming the connection.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/spi_device.h"
#include "sim/sim_control.h"
#include "sim/sim_devices.h"
#include "support/unix_socket.h"

namespace {

using json = nlohmann::json;

class FakeDevice : public SimDevice {
public:
    explicit FakeDevice(std::string name) : name(std::move(name)) {}
    void start() override {}
    void stop() override {}
    json control_request(const json& r) override
    {
        if (r.value("cmd", "") == "throw")
            throw std::invalid_argument("bad request for " + name);
        if (r.value("cmd", "") == "big")
            return {{"ok", true}, {"blob", std::string(r.value("size", 0), 'x')}};
        return {{"ok", true}, {"from", name}};
    }
    std::string describe() const override { return name; }
    std::string name;
};

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/linegw-simctl-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir()
    {
        std::string cmd = "rm -rf " + path;
        if (system(cmd.c_str()) != 0)
            ADD_FAILURE() << cmd;
    }
    std::string path;
};

std::string read_line(int fd)
{
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

TEST(SimControlTest, RoutesEachRequestToItsDevice)
{
    FakeDevice msp(SIM_DEFAULT_DEVICE), fpga("fpga");
    SimControl control;
    control.add(SIM_DEFAULT_DEVICE, &msp);
    control.add("fpga", &fpga);
    struct Case {
        const char* request;
        bool ok;
        const char* from_or_error;
    } cases[] = {
        {R"({"cmd":"state"})", true, "msp"},
        {R"({"device":"msp","cmd":"state"})", true, "msp"},
        {R"({"device":"fpga","cmd":"state"})", true, "fpga"},
        {R"({"device":"i2c","cmd":"state"})", false, "no device i2c in this simulator"},
        {R"({"device":7,"cmd":"state"})", false, "\"device\" must be a text"},
        {R"({"device":"fpga","cmd":"throw"})", false, "bad request for fpga"},
        {R"([1,2])", false, "request needs a \"cmd\" text"},
    };
    for (const auto& c : cases) {
        json reply = control.handle(json::parse(c.request));
        EXPECT_EQ(reply["ok"], c.ok) << c.request;
        EXPECT_EQ(reply[c.ok ? "from" : "error"], c.from_or_error) << c.request;
    }
    EXPECT_EQ(json::parse(control.handle_line("not json"))["ok"], false);
}

TEST(SimControlTest, AnswersEveryLineOfAClientInOrder)
{
    TempDir dir;
    FakeDevice msp(SIM_DEFAULT_DEVICE), fpga("fpga");
    SimControl control;
    control.add(SIM_DEFAULT_DEVICE, &msp);
    control.add("fpga", &fpga);
    std::string path = dir.path + "/control.sock";
    ASSERT_TRUE(control.listen(path)) << strerror(errno);
    control.start();
    int fd = connect_to(path);
    ASSERT_GE(fd, 0);
    // Two requests and a half in one write; the rest of the third later.
    std::string out = "{\"device\":\"fpga\",\"cmd\":\"a\"}\nnot json\n{\"cmd\"";
    ASSERT_EQ(write(fd, out.data(), out.size()), static_cast<ssize_t>(out.size()));
    EXPECT_EQ(json::parse(read_line(fd))["from"], "fpga");
    EXPECT_EQ(json::parse(read_line(fd))["ok"], false);
    out = ":\"b\"}\n";
    ASSERT_EQ(write(fd, out.data(), out.size()), static_cast<ssize_t>(out.size()));
    EXPECT_EQ(json::parse(read_line(fd))["from"], "msp");
    close(fd);
    control.stop();
}

TEST(SimControlTest, ALargeReplyArrivesWholeToASlowReader)
{
    TempDir dir;
    FakeDevice msp(SIM_DEFAULT_DEVICE);
    SimControl control;
    control.add(SIM_DEFAULT_DEVICE, &msp);
    std::string path = dir.path + "/control.sock";
    ASSERT_TRUE(control.listen(path)) << strerror(errno);
    control.start();
    int fd = connect_to(path);
    ASSERT_GE(fd, 0);
    // Far more than a socket buffer holds, asked for twice before reading.
    const size_t size = 1 << 20;
    std::string out = "{\"cmd\":\"big\",\"size\":" + std::to_string(size) + "}\n";
    out += out + "{\"cmd\":\"state\"}\n";
    ASSERT_EQ(write(fd, out.data(), out.size()), static_cast<ssize_t>(out.size()));
    usleep(200000);
    std::string in;
    char chunk[65536];
    ssize_t got;
    while (std::count(in.begin(), in.end(), '\n') < 3 && (got = read(fd, chunk, sizeof chunk)) > 0)
        in.append(chunk, static_cast<size_t>(got));
    std::vector<json> replies;
    for (size_t start = 0, eol; (eol = in.find('\n', start)) != std::string::npos; start = eol + 1)
        replies.push_back(json::parse(in.substr(start, eol - start)));
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0]["blob"].get<std::string>().size(), size);
    EXPECT_EQ(replies[1]["blob"].get<std::string>().size(), size);
    EXPECT_EQ(replies[2]["from"], "msp");
    close(fd);
    control.stop();
}

TEST(SimControlTest, EveryDeviceKindHasANameAndASwitch)
{
    std::vector<std::string> names, flags;
    for (const auto& kind : sim_device_kinds()) {
        ASSERT_FALSE(kind.options.empty()) << kind.name;
        EXPECT_EQ(std::count(names.begin(), names.end(), kind.name), 0) << kind.name;
        names.push_back(kind.name);
        for (const auto& o : kind.options) {
            EXPECT_EQ(o.flag.rfind("--", 0), 0u) << o.flag;
            EXPECT_NE(o.flag, "--control");
            EXPECT_EQ(std::count(flags.begin(), flags.end(), o.flag), 0) << o.flag;
            flags.push_back(o.flag);
        }
        EXPECT_TRUE(kind.make) << kind.name;
    }
    EXPECT_EQ(std::count(names.begin(), names.end(), SIM_DEFAULT_DEVICE), 1);
}

// The program: a device switched on by its environment variable, and a
// command line that runs no device refused with the usage text.
int run_program(const std::vector<std::string>& args, const char* env_name, const std::string& env_value,
                pid_t* pid_out = nullptr)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (env_name)
            setenv(env_name, env_value.c_str(), 1);
        else
            unsetenv("LINEGW_SIM_MSP");
        std::vector<char*> argv{const_cast<char*>("linegw-sim")};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execv(LINEGW_SIM_BIN, argv.data());
        _exit(127);
    }
    if (pid_out) {
        *pid_out = pid;
        return 0;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SimProgramTest, StartsTheDevicesItsOptionsOrEnvironmentName)
{
    EXPECT_EQ(run_program({}, nullptr, ""), 2);
    EXPECT_EQ(run_program({"--control", "/nonexistent/x"}, nullptr, ""), 2);
    EXPECT_EQ(run_program({"--msp"}, nullptr, ""), 2);
    EXPECT_EQ(run_program({"--bogus", "x"}, nullptr, ""), 2);

    TempDir dir;
    std::string ctl = dir.path + "/control.sock";
    pid_t pid = -1;
    run_program({"--control", ctl}, "LINEGW_SIM_MSP", dir.path + "/msp.sock", &pid);
    int fd = connect_to(ctl);
    ASSERT_GE(fd, 0);
    std::string out = "{\"device\":\"msp\",\"cmd\":\"state\"}\n";
    ASSERT_EQ(write(fd, out.data(), out.size()), static_cast<ssize_t>(out.size()));
    json reply = json::parse(read_line(fd));
    EXPECT_EQ(reply["ok"], true);
    EXPECT_TRUE(reply["state"].contains("channels"));
    EXPECT_EQ(access((dir.path + "/msp.sock").c_str(), F_OK), 0);
    close(fd);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(SimProgramTest, TheFpgaAnswersTheSpiSeamAndItsOwnRequests)
{
    TempDir dir;
    std::string ctl = dir.path + "/control.sock", spi = dir.path + "/fpga.sock";
    std::string stream = dir.path + "/zr-40.rbf";
    std::ofstream(stream, std::ios::binary) << "\x01\x0f";
    EXPECT_EQ(run_program({"--fpga", spi, "--fpga-bitstream", dir.path + "/missing"}, nullptr, ""), 1);
    pid_t pid = -1;
    run_program({"--fpga", spi, "--fpga-bitstream", stream, "--fpga-address", "0x1f", "--control", ctl},
                nullptr, "", &pid);
    int fd = connect_to(ctl);
    ASSERT_GE(fd, 0);

    setenv(FPGA_SIM_ENV, spi.c_str(), 1);
    std::unique_ptr<SpiPort> reset = spi_open("/dev/spidev1.8", O_WRONLY);
    std::unique_ptr<SpiPort> loader = spi_open("/dev/spidev0.2", O_WRONLY);
    std::unique_ptr<SpiPort> regs = spi_open("/dev/spidev0.2", O_RDWR);
    unsetenv(FPGA_SIM_ENV);
    ASSERT_TRUE(reset && loader && regs);
    int filler = 0;
    EXPECT_EQ(reset->write(&filler, 4), 4);
    const uint8_t reversed[2] = {0x80, 0xF0};
    EXPECT_EQ(loader->write(reversed, 2), 2);
    loader.reset();   // the close ends the load
    uint8_t tx[4] = {0x01, 0x01, 0, 0}, rx[4] = {};
    ASSERT_TRUE(regs->transfer(4, tx, rx));
    EXPECT_EQ(rx[2], 31);
    EXPECT_EQ(rx[3], 0);   // running: the stream was the expected one

    auto ask = [&](const json& r) {
        std::string out = r.dump() + "\n";
        EXPECT_EQ(write(fd, out.data(), out.size()), static_cast<ssize_t>(out.size()));
        return json::parse(read_line(fd));
    };
    json loads = ask({{"device", "fpga"}, {"cmd", "loads"}});
    ASSERT_EQ(loads["loads"].size(), 1u);
    EXPECT_EQ(loads["loads"][0]["configured"], true);
    EXPECT_EQ(ask({{"device", "fpga"}, {"cmd", "fault"}, {"reg", 0x101}, {"errno", EIO}})["ok"], true);
    EXPECT_FALSE(regs->transfer(4, tx, rx));
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(ask({{"device", "fpga"}, {"cmd", "melt"}})["ok"], false);
    regs.reset();
    close(fd);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
