// The I2C simulator behind the daemon's bus over its socket: the transfers of
// the board link helpers and of whole EEPROM pages, a missing bus, and
// requests that do not hold together.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/board_link.h"
#include "platform/i2c_bus.h"
#include "sim/i2c/i2c_simulator.h"
#include "support/log_capture.h"
#include "support/unix_socket.h"

namespace {

using Bytes = std::vector<uint8_t>;
using nlohmann::json;

class I2cSocketTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/i2c_sim_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/i2c.sock";
        ASSERT_TRUE(sim.listen(path));
        sim.start();
        setenv(I2C_SIM_ENV, path.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv(I2C_SIM_ENV);
        sim.stop();
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    json control(const std::string& text) { return sim.control(json::parse(text)); }

    LogCapture logs;
    I2cSimulator sim;
    std::string dir, path;
};

TEST_F(I2cSocketTest, CarriesTheDaemonsTransfers)
{
    control(R"({"cmd":"set","module":true,"phy":[2,321],"eeprom":[1,0,[1,2,3]]})");
    EXPECT_EQ(i2c_read16(I2cSimulator::SFP_PHY, 2), 0x0141);
    poe_reg_write(0x13, 0xF0);
    json state = control(R"({"cmd":"state"})");
    EXPECT_EQ(state["poe"][0x13], 0xF0);
    EXPECT_EQ(state["writes"], json::parse(R"([[32,[19,240]]])"));

    // A whole EEPROM page in one read, as the SFP dump takes it.
    auto bus = i2c_open("/dev/i2c-0");
    ASSERT_NE(bus, nullptr);
    uint8_t offset = 0;
    Bytes page(256, 0xAA);
    i2c_message_t read_page[2] = {{I2cSimulator::SFP_EEPROM_2, I2C_FLAG_STOP, 1, &offset},
                                  {I2cSimulator::SFP_EEPROM_2, I2C_FLAG_NOSTART | I2C_FLAG_RD, 256, page.data()}};
    EXPECT_EQ(bus->transfer(read_page, 2), 2);
    EXPECT_EQ(Bytes(page.begin(), page.begin() + 4), (Bytes{1, 2, 3, 0}));

    // A module pulled out stops acknowledging: one line after all attempts.
    control(R"({"cmd":"set","module":false})");
    control(R"({"cmd":"clear"})");
    sfp_phy_write(0, 0x9140);
    EXPECT_EQ(control(R"({"cmd":"state"})")["transfers"], 101);
    EXPECT_EQ(logs.count("error writing to i2c register: No such device or address"), 1u);
    errno = 0;
    EXPECT_EQ(bus->transfer(read_page, 2), -1);
    EXPECT_EQ(errno, ENXIO);

    // Injected failures reach the daemon's retries.
    control(R"({"cmd":"set","module":true})");
    control(R"({"cmd":"fail","address":86,"count":11,"reg":2})");
    EXPECT_EQ(i2c_read16(I2cSimulator::SFP_PHY, 2), -1);
    EXPECT_EQ(i2c_read16(I2cSimulator::SFP_PHY, 2), 0x0141);

    // No bus, or no simulator: the bus cannot be opened.
    control(R"({"cmd":"set","bus":false})");
    errno = 0;
    EXPECT_EQ(i2c_open("/dev/i2c-0"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    poe_reg_write(0x12, 0xFF);
    EXPECT_EQ(logs.count("error opening /dev/i2c-0: No such file or directory"), 1u);
    setenv(I2C_SIM_ENV, (dir + "/none.sock").c_str(), 1);
    EXPECT_EQ(i2c_open("/dev/i2c-0"), nullptr);
}

TEST_F(I2cSocketTest, RequestsThatDoNotHoldTogetherAreRefused)
{
    auto transfer = [](Bytes messages) {
        messages.insert(messages.begin(), i2c_sim::TRANSFER);
        return messages;
    };
    struct Case {
        const char* name;
        bool opened;
        Bytes request;
        int err;
    } cases[] = {
        {"empty", true, {}, EINVAL},
        {"unknown request", true, {'Z', 1}, EINVAL},
        {"transfer before open", false, transfer({1, 0x20, 0, 0, 0, 1, 0, 0x13}), EBADF},
        {"no messages", true, transfer({0}), EINVAL},
        {"43 messages", true, transfer({43}), EINVAL},
        {"header cut short", true, transfer({1, 0x20, 0, 0, 0, 1}), EINVAL},
        {"write longer than sent", true, transfer({1, 0x20, 0, 0, 0, 3, 0, 0x13}), EINVAL},
        {"bytes left over", true, transfer({1, 0x20, 0, 0, 0, 1, 0, 0x13, 0xFF}), EINVAL},
        {"10-bit address", true, transfer({1, 0x20, 1, 0, 0, 1, 0, 0x13}), EINVAL},
        {"read larger than an answer", true, transfer({1, 0x50, 0, 1, 0, 0x00, 0x10}), EMSGSIZE},
    };
    for (const auto& c : cases) {
        bool opened = c.opened;
        Bytes answer = sim.answer(c.request.data(), c.request.size(), opened);
        EXPECT_EQ(answer, Bytes{static_cast<uint8_t>(c.err)}) << c.name;
    }
    EXPECT_TRUE(sim.transfers().empty());
    EXPECT_EQ(sim.poeRegister(0x13), 0);
    EXPECT_THROW(control(R"({"cmd":"nonsense"})"), std::exception);
    EXPECT_THROW(control(R"({"cmd":"set","phy":[2]})"), std::exception);
}

json request(int fd, const std::string& line)
{
    std::string out = line + "\n";
    if (write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size()))
        return {};
    std::string in;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        in += c;
    return json::parse(in);
}

// The simulator program runs the bus when its option is given; the daemon's
// side reaches it through LINEGW_SIM_I2C and tests steer it by "device".
TEST(I2cProgramTest, ServesTheBusBesideTheControlSocket)
{
    char pattern[] = "/tmp/i2c_program_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern, bus = dir + "/i2c.sock", ctl = dir + "/control.sock";
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execl(LINEGW_SIM_BIN, "linegw-sim", "--i2c", bus.c_str(), "--control", ctl.c_str(), nullptr);
        _exit(127);
    }
    int fd = connect_to(ctl);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(request(fd, R"({"device":"i2c","cmd":"set","module":true,"phy":[3,3266]})")["ok"], true);
    setenv(I2C_SIM_ENV, bus.c_str(), 1);
    EXPECT_EQ(i2c_read16(I2cSimulator::SFP_PHY, 3), 0x0CC2);
    poe_reg_write(0x14, 0xFF);
    unsetenv(I2C_SIM_ENV);
    json state = request(fd, R"({"device":"i2c","cmd":"state"})");
    EXPECT_EQ(state["poe"][0x14], 0xFF);
    EXPECT_EQ(request(fd, R"({"device":"i2c","cmd":"nonsense"})")["ok"], false);
    close(fd);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    unlink(bus.c_str());
    unlink(ctl.c_str());
    rmdir(dir.c_str());
}

}  // namespace
