// Register access and the bit-stream loader against the simulated FPGA.
#include "tests/mgmt/fpga_sim_fixture.h"

namespace {

// Records the raw bytes of every transfer on the register device.
class RawPort : public SpiPort {
public:
    explicit RawPort(std::vector<std::vector<uint8_t>>* sent) : sent_(sent) {}
    bool transfer(int length, const uint8_t* tx, uint8_t* rx) override
    {
        sent_->emplace_back(tx, tx + length);
        if (rx)
            for (int i = 0; i < length; i++)
                rx[i] = static_cast<uint8_t>(0xA0 + i);
        return true;
    }
    ssize_t write(const void*, size_t length) override { return static_cast<ssize_t>(length); }

private:
    std::vector<std::vector<uint8_t>>* sent_;
};

using FpgaRegisterTest = FpgaSimTest;
using FpgaLoadTest = FpgaSimTest;

TEST_F(FpgaRegisterTest, AccessesAreFramedWithTheRegisterInTwoAddressBytes)
{
    std::vector<std::vector<uint8_t>> sent;
    spi_set_opener([&](const std::string&, int) { return std::make_unique<RawPort>(&sent); });
    fpgaSpi.close();
    EXPECT_NE(fpga_write_reg(0x10E, 1), 0);
    EXPECT_EQ(fpga_read_reg(0x400), 0xA2);   // the third byte received
    EXPECT_NE(fpga_write_reg(0x810E, 0x55), 0);   // bit 15 has no place in the address
    uint8_t burst[FPGA_CAS_BURST];
    EXPECT_EQ(fpga_read_cas_bits(burst), 0);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], (std::vector<uint8_t>{0x81, 0x0E, 0x01}));
    EXPECT_EQ(sent[1].size(), 3u);
    EXPECT_EQ(sent[1][0], 0x04);
    EXPECT_EQ(sent[1][1], 0x00);
    EXPECT_EQ(sent[2], (std::vector<uint8_t>{0x81, 0x0E, 0x55}));
    EXPECT_EQ(sent[3].size(), 36u);
    EXPECT_EQ(sent[3][0], 0x01);
    EXPECT_EQ(sent[3][1], 0x0C);
    fpgaSpi.close();
}

TEST_F(FpgaRegisterTest, ReadsComeFromTheBoardAndFailuresAreLoggedWithTheirValue)
{
    sim->setConfigured(true);
    sim->setModuleType(2, MODULE_EM01);
    sim->setE1Alarms(0x81);
    sim->setCasStatus(0x42);
    sim->setCasBit(0, true);
    sim->setCasBit(255, true);
    EXPECT_EQ(fpga_read_reg(FPGA_MODULE_SLOT2), MODULE_EM01);
    EXPECT_EQ(fpga_read_reg(FPGA_E1_ALARMS), 0x81);
    uint8_t burst[FPGA_CAS_BURST] = {};
    ASSERT_EQ(fpga_read_cas_bits(burst), 0);
    EXPECT_EQ(burst[2], 0x42);
    EXPECT_EQ(burst[4], 0x01);
    EXPECT_EQ(burst[35], 0x80);

    sim->failTransfers(3, EIO);
    EXPECT_EQ(fpga_read_reg(FPGA_E1_ALARMS), -1);
    EXPECT_EQ(fpga_write_reg(FPGA_RELAY, 1), 0);
    EXPECT_EQ(fpga_read_cas_bits(burst), -1);
    EXPECT_EQ(logs->count("SPI transfer error: Input/output error"), 3u);
    EXPECT_NE(fpga_write_reg(FPGA_RELAY, 1), 0);   // only three failed
    EXPECT_EQ(sim->reg(FPGA_RELAY), 1);
}

TEST_F(FpgaRegisterTest, AnUnopenableDeviceFailsEveryAccessAfterOneMessage)
{
    sim->failOpens(FPGA_SPI_DEVICE, -1, EACCES);
    fpgaSpi.close();
    EXPECT_FALSE(fpgaSpi.isOpen());
    EXPECT_EQ(fpga_read_reg(FPGA_STATUS), -1);
    EXPECT_EQ(fpga_write_reg(FPGA_RELAY, 1), 0);
    EXPECT_EQ(logs->count("cannot open /dev/spidev0.2: Permission denied"), 1u);
    EXPECT_EQ(logs->count("SPI transfer error: Bad file descriptor"), 2u);
}

TEST_F(FpgaLoadTest, TheStreamGoesBitReversedIn256ByteWritesAfterAResetPulse)
{
    struct Case {
        size_t length;
        std::vector<size_t> writes;
    };
    for (const Case& c : {Case{600, {256, 256, 88}}, Case{512, {256, 256}}, Case{1, {1}}}) {
        SCOPED_TRACE(c.length);
        std::vector<uint8_t> file(c.length, 0x0F);
        file[0] = 0x01;
        writeBitstream(file);
        sim->setBitstream(file);
        int resets = sim->resetPulses();
        std::string err;
        ASSERT_EQ(loadFPGA(FPGA_BITSTREAM, err), 0) << err;
        EXPECT_EQ(sim->resetPulses(), resets + 1);
        FpgaSimLoad load = sim->loads().back();
        EXPECT_EQ(load.writes, c.writes);
        ASSERT_EQ(load.bytes.size(), c.length);
        EXPECT_EQ(load.bytes[0], 0x80);
        if (c.length > 1) {
            EXPECT_EQ(load.bytes.back(), 0xF0);
        }
        EXPECT_TRUE(load.configured);
        EXPECT_TRUE(sim->configured());
    }
}

TEST_F(FpgaLoadTest, FailuresSayWhyAndAMissingFileSendsNoPulse)
{
    std::filesystem::remove(root + FPGA_BITSTREAM);
    std::string err;
    EXPECT_EQ(loadFPGA(FPGA_BITSTREAM, err), -1);
    EXPECT_EQ(err, "No such file or directory");
    EXPECT_EQ(sim->resetPulses(), 0);

    writeBitstream(bitstream);
    sim->failOpens(FPGA_SPI_DEVICE, 1, EBUSY, O_WRONLY);
    EXPECT_EQ(loadFPGA(FPGA_BITSTREAM, err), -1);
    EXPECT_EQ(err, "error opening /dev/spidev0.2");
    EXPECT_EQ(sim->resetPulses(), 1);
    EXPECT_TRUE(sim->loads().empty());
}

TEST_F(FpgaSimTest, TheWireFormatCarriesOpensTransfersWritesAndCloses)
{
    sim->setConfigured(true);
    sim->setE1Events(0x3C);
    auto c = sim->connect();
    auto send = [&](std::vector<uint8_t> m) { return sim->handle(*c, m.data(), m.size()); };
    EXPECT_EQ(send({spi_sim::TRANSFER, 1, 0x01, 0x0D, 0}), std::vector<uint8_t>{EBADF});
    std::vector<uint8_t> open = {spi_sim::OPEN, 'r'};
    for (char ch : std::string(FPGA_SPI_DEVICE))
        open.push_back(static_cast<uint8_t>(ch));
    EXPECT_EQ(send(open), std::vector<uint8_t>{0});
    EXPECT_EQ(send({spi_sim::TRANSFER, 1, 0x01, 0x0D, 0}), (std::vector<uint8_t>{0, 0, 0, 0x3C}));
    EXPECT_EQ(send({spi_sim::TRANSFER, 0, 0x81, 0x0E, 1}), std::vector<uint8_t>{0});
    EXPECT_EQ(sim->reg(FPGA_RELAY), 1);
    EXPECT_EQ(send({spi_sim::WRITE, 1, 2}), std::vector<uint8_t>{EINVAL});   // not the loader
    EXPECT_EQ(send({spi_sim::CLOSE}), std::vector<uint8_t>{0});

    auto unknown = sim->connect();
    std::vector<uint8_t> bad = {spi_sim::OPEN, 'r', '/', 'x'};
    EXPECT_EQ(sim->handle(*unknown, bad.data(), bad.size()), std::vector<uint8_t>{ENOENT});
}

// A batch crosses the simulator's socket as one request and one answer; each
// transfer in it is done in order and succeeds or fails on its own.
TEST_F(FpgaSimTest, BatchesOfTransfersCrossTheSocketWholeAndFailOneByOne)
{
    std::string path = root + "/fpga.sock";
    ASSERT_TRUE(sim->listen(path));
    sim->start();
    spi_set_opener(nullptr);
    setenv(FPGA_SIM_ENV, path.c_str(), 1);
    std::unique_ptr<SpiPort> port = spi_open(FPGA_SPI_DEVICE, O_RDWR);
    unsetenv(FPGA_SIM_ENV);
    ASSERT_TRUE(port);
    sim->setConfigured(true);
    sim->setE1Events(0x3C);
    sim->setDevclk(0x55);

    struct Case {
        const char* label;
        std::vector<std::vector<uint8_t>> tx;   // receive bytes wanted when the first byte is a read
        std::vector<int> errors;                // per transfer
        std::vector<std::vector<uint8_t>> rx;   // reads only
        int failing_reg = -1;
    };
    const std::vector<Case> cases = {
        {"two reads", {{0x01, 0x0D, 0}, {0x01, 0x20, 0}}, {0, 0}, {{0, 0, 0x3C}, {0, 0, 0x55}}},
        {"a write, then a read of the same register", {{0x81, 0x0E, 1}, {0x01, 0x0E, 0}}, {0, 0}, {{0, 0, 1}}},
        {"the failing one alone fails", {{0x01, 0x0D, 0}, {0x01, 0x20, 0}, {0x81, 0x0E, 0}}, {0, EIO, 0},
         {{0, 0, 0x3C}}, FPGA_DEVCLK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        sim->failTransfers(c.failing_reg < 0 ? 0 : -1, EIO, c.failing_reg < 0 ? int(FPGA_DEVCLK) : c.failing_reg);
        uint64_t done = sim->transfers() + static_cast<uint64_t>(sim->failedTransfers());
        std::vector<SpiTransfer> batch(c.tx.size());
        std::vector<std::vector<uint8_t>> rx(c.tx.size());
        for (size_t i = 0; i < c.tx.size(); i++) {
            rx[i].assign(c.tx[i].size(), 0xEE);
            batch[i].length = static_cast<int>(c.tx[i].size());
            batch[i].tx = c.tx[i].data();
            batch[i].rx = c.tx[i][0] & 0x80 ? nullptr : rx[i].data();
        }
        port->transfers(batch.data(), static_cast<int>(batch.size()));
        EXPECT_EQ(sim->transfers() + static_cast<uint64_t>(sim->failedTransfers()) - done, c.tx.size());
        std::vector<std::vector<uint8_t>> got;
        for (size_t i = 0; i < batch.size(); i++) {
            EXPECT_EQ(batch[i].ok, c.errors[i] == 0) << i;
            EXPECT_EQ(batch[i].error, c.errors[i]) << i;
            if (batch[i].rx && batch[i].ok)
                got.push_back(rx[i]);
        }
        EXPECT_EQ(got, c.rx);
    }
    EXPECT_EQ(sim->reg(FPGA_RELAY), 0);
    sim->failTransfers(0, EIO, FPGA_DEVCLK);

    // A batch the seam cannot carry fails whole, before anything is sent.
    uint8_t big[spi_sim::MAX_MESSAGE] = {0x81, 0x0E};
    SpiTransfer too_long[1] = {{static_cast<int>(sizeof big), big, nullptr}};
    port->transfers(too_long, 1);
    EXPECT_FALSE(too_long[0].ok);
    EXPECT_EQ(too_long[0].error, EINVAL);

    // Malformed requests on the wire change nothing.
    auto c = sim->connect();
    std::vector<uint8_t> open = {spi_sim::OPEN, 'r'};
    for (char ch : std::string(FPGA_SPI_DEVICE))
        open.push_back(static_cast<uint8_t>(ch));
    EXPECT_EQ(sim->handle(*c, open.data(), open.size()), std::vector<uint8_t>{0});
    for (std::vector<uint8_t> bad : std::vector<std::vector<uint8_t>>{
             {spi_sim::TRANSFERS, 0},
             {spi_sim::TRANSFERS, 2, 0, 3, 0, 0x81, 0x0E, 7},
             {spi_sim::TRANSFERS, 1, 0, 3, 0, 0x81, 0x0E, 7, 9},
             {spi_sim::TRANSFERS, 1, 0, 0, 0},
             {spi_sim::TRANSFERS, 1, 0, 4, 0, 0x81, 0x0E, 7}}) {
        SCOPED_TRACE(::testing::PrintToString(bad));
        EXPECT_EQ(sim->handle(*c, bad.data(), bad.size()), std::vector<uint8_t>{EINVAL});
    }
    EXPECT_EQ(sim->reg(FPGA_RELAY), 0);
}

TEST_F(FpgaSimTest, ControlRequestsSetTheBoardAndShowWhatHappened)
{
    using json = nlohmann::json;
    EXPECT_EQ(sim->control_request({{"cmd", "set"}, {"address", 31}, {"module2", 8}, {"configured", true}}),
              (json{{"ok", true}}));
    EXPECT_EQ(fpga_read_reg(FPGA_MODULE_SLOT2), 8);
    EXPECT_EQ(sim->boardAddress(), 31);
    fpga_write_reg(FPGA_RELAY, 1);
    json log = sim->control_request({{"cmd", "log"}, {"reg", FPGA_RELAY}});
    ASSERT_EQ(log["log"].size(), 1u);
    EXPECT_EQ(log["log"][0]["hex"], "01");

    sim->control_request({{"cmd", "rx"}, {"hex", "7e01"}});
    EXPECT_EQ(sim->control_request({{"cmd", "state"}})["state"]["rx_level"], 2);
    fpga_write_reg(FPGA_FIFO, 0x7E);
    EXPECT_EQ(sim->control_request({{"cmd", "tx"}})["hex"], "7e");

    sim->control_request({{"cmd", "fault"}, {"kind", "transfer"}, {"reg", "0x10E"}, {"count", -1}});
    EXPECT_EQ(fpga_write_reg(FPGA_RELAY, 0), 0);
    sim->control_request({{"cmd", "clear-faults"}});
    EXPECT_NE(fpga_write_reg(FPGA_RELAY, 0), 0);

    EXPECT_THROW(sim->control_request({{"cmd", "nonsense"}}), std::exception);
    EXPECT_THROW(sim->control_request({{"cmd", "rx"}, {"hex", "7"}}), std::exception);
    EXPECT_THROW(sim->control_request({{"cmd", "fault"}, {"kind", "melt"}}), std::exception);
}

}  // namespace
