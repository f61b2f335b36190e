// The poller thread against the simulated FPGA.
#include <future>

#include "core/reg_sync.h"

#include "mgmt/module.h"
#include "tests/mgmt/fpga_sim_fixture.h"

namespace {

// "r 102/514" for a read of the whole transfer length, "w 106 01" for a write.
std::string describe(const FpgaSimAccess& a)
{
    char text[64];
    if (a.write)
        snprintf(text, sizeof text, "w %03x %02x", a.reg, a.data.empty() ? 0 : a.data[0]);
    else
        snprintf(text, sizeof text, "r %03x/%d", a.reg, a.length);
    return text;
}

class PollerTest : public FpgaSimTest {
protected:
    void start()
    {
        ASSERT_TRUE(start_poller());
        ASSERT_TRUE(waitFor([&] { return sim->loads().size() >= 1 && sim->reads(FPGA_STATUS) > 0; }));
    }
    size_t loadCount() { return sim->loads().size(); }
};

TEST_F(PollerTest, TheFirstPassLoadsTheBitStreamAndWritesTheStartUpRegistersInOrder)
{
    for (int i = 0; i < 8; i++)
        e1num[i] = 0x40 + i;
    start();
    std::vector<FpgaSimLoad> loads = sim->loads();
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_EQ(loads[0].resets_before, 2);   // the poller's pulse and the loader's own
    EXPECT_EQ(loads[0].writes, (std::vector<size_t>{256, 256, 88}));
    EXPECT_TRUE(loads[0].configured);
    EXPECT_TRUE(logs->contains("Configuring FPGA..."));
    EXPECT_TRUE(logs->contains("FPGA configured successfully"));

    std::vector<std::string> expected = {"r 102/514", "w 102 7e", "w 106 01", "w 107 00"};
    char w[32];
    for (unsigned r = 0x118; r <= 0x11F; r++) {
        snprintf(w, sizeof w, "w %03x 1f", r);
        expected.push_back(w);
    }
    for (unsigned i = 0; i < 8; i++) {
        snprintf(w, sizeof w, "w %03x %02x", 0x110 + i, 0x40 + i);
        expected.push_back(w);
    }
    expected.insert(expected.end(), {"r 10c/36", "r 400/3", "r 500/3", "r 101/4"});
    std::vector<FpgaSimAccess> trace = sim->trace();
    ASSERT_GE(trace.size(), expected.size());
    std::vector<std::string> seen;
    for (size_t i = 0; i < expected.size(); i++)
        seen.push_back(describe(trace[i]));
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(sim->txLevel() > 0 ? sim->takeTx().front() : 0, 0x7E);
}

TEST_F(PollerTest, EachModuleTypeCodeIsReportedAtEveryLoad)
{
    struct Case {
        int slot1, slot2;
        const char* text1;
        const char* text2;
    };
    const Case cases[] = {
        {MODULE_R485, MODULE_FO01, "mofule 1: R485 found", "mofule 2: FO01 found"},
        {MODULE_R232, MODULE_FS01, "mofule 1: R232 found", "mofule 2: FS01 found"},
        {MODULE_EM01, MODULE_R422, "mofule 1: EM01 found", "mofule 2: R422 found"},
        {MODULE_NONE, 5, "no module 1 detected", "mofule 2: unknown module found (type=5)"},
    };
    bool started = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text1);
        sim->setModuleType(1, c.slot1);
        sim->setModuleType(2, c.slot2);
        logs->clear();
        size_t before = loadCount();
        if (!started) {
            start();
            started = true;
        } else {
            sim->setStatusErrors(10);
            ASSERT_TRUE(waitFor([&] { return loadCount() > before; }));
        }
        ASSERT_TRUE(waitFor([&] { return logs->contains(c.text2); }));
        EXPECT_TRUE(logs->contains(c.text1));
        EXPECT_EQ(moduleSlotTypes[0].load(), c.slot1);
        EXPECT_EQ(moduleSlotTypes[1].load(), c.slot2);
    }
}

int webStarts = 0;   // poller thread writes, the test reads after waiting on the log
void countWebStart() { webStarts++; }

TEST_F(PollerTest, StandaloneModeIsEnteredOnceWhenTheAddressFirstReads31)
{
    webStarts = 0;
    poller_set_web_server(countWebStart, nullptr);
    start();
    ASSERT_TRUE(waitFor([&] { return logs->contains("board address is 3"); }));
    EXPECT_FALSE(standaloneMode.load());
    sim->setBoardAddress(31);
    ASSERT_TRUE(waitFor([&] { return standaloneMode.load(); }));
    ASSERT_TRUE(waitReads(FPGA_STATUS, 50));
    sim->setBoardAddress(4);
    ASSERT_TRUE(waitFor([&] { return logs->contains("board address is 4"); }));
    sim->setBoardAddress(31);
    ASSERT_TRUE(waitReads(FPGA_STATUS, 50));
    stop_poller();
    EXPECT_EQ(logs->count("switching to standalone mode"), 1u);
    EXPECT_EQ(webStarts, 1);
    EXPECT_EQ(linesEnding("board address is 31"), 2u);   // logged at each change
    EXPECT_EQ(linesEnding("board address is 3"), 1u);
    EXPECT_TRUE(standaloneMode.load());   // never left
    std::vector<FpgaSimAccess> w = sim->writes();
    EXPECT_EQ(std::count_if(w.begin(), w.end(), [](auto& a) { return a.reg == FPGA_MODE; }), 1);
    EXPECT_EQ(sim->reg(FPGA_MODE), 0x10);
}

TEST_F(PollerTest, TenErrorReadsReloadWithTheModeRegistersGivenBack)
{
    start();
    ASSERT_TRUE(waitReads(FPGA_STATUS, 5));
    // Set while running; a reloaded FPGA forgets them.
    fpga_write_reg(FPGA_MODE, 1);
    fpga_write_reg(FPGA_MASTER_CLOCK, 2);
    fpga_write_reg(FPGA_MASTER_BIT1, 2);

    sim->setStatusErrors(9);
    ASSERT_TRUE(waitReads(FPGA_STATUS, 20));
    EXPECT_EQ(loadCount(), 1u);

    sim->setStatusErrors(10);
    ASSERT_TRUE(waitFor([&] { return loadCount() == 2 && sim->reads(FPGA_MODULE_SLOT2) == 2; }));
    ASSERT_TRUE(waitReads(FPGA_STATUS, 2));
    EXPECT_EQ(sim->resetPulses(), 4);
    EXPECT_EQ(sim->reg(FPGA_TDM0_MODE), 1);
    EXPECT_EQ(sim->reg(0x11F), 0x1F);
    EXPECT_EQ(sim->reg(FPGA_MODE), 1);
    EXPECT_EQ(sim->reg(FPGA_MASTER_CLOCK), 2);
    EXPECT_EQ(sim->reg(FPGA_MASTER_BIT1), 2);
}

TEST_F(PollerTest, SpiFaultsAreLoggedAndTheThreadGoesOn)
{
    start();
    sim->failTransfers(6, EIO);
    ASSERT_TRUE(waitFor([&] { return sim->failedTransfers() == 6; }));
    ASSERT_TRUE(waitReads(FPGA_RX_LEVEL, 10));
    EXPECT_EQ(logs->count("SPI transfer error: Input/output error"), 6u);
    EXPECT_GE(PollerSleeps::spiErrors.load(), 4);
    EXPECT_EQ(loadCount(), 1u);

    // Loads the FPGA does not take end in more reloads, never in a dead thread.
    sim->failLoads(2);
    sim->setStatusErrors(10);
    ASSERT_TRUE(waitFor([&] { return loadCount() == 4 && sim->configured(); }));
    ASSERT_TRUE(waitReads(FPGA_RX_LEVEL, 10));
}

TEST_F(PollerTest, StopEndsAThreadStuckInFailingLoads)
{
    std::filesystem::remove(root + FPGA_BITSTREAM);
    ASSERT_TRUE(start_poller());
    ASSERT_TRUE(waitFor([&] { return PollerSleeps::loadRetries.load() >= 3; }));
    EXPECT_GE(logs->count("FPGA configuration error: No such file or directory"), 3u);
    auto stopped = std::async(std::launch::async, stop_poller);
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    stopped.get();

    // The same when the loader cannot open its device.
    writeBitstream(bitstream);
    poller_reset_state();
    PollerSleeps::reset();
    logs->clear();
    sim->failOpens(FPGA_SPI_DEVICE, -1, EBUSY, O_WRONLY);
    ASSERT_TRUE(start_poller());
    ASSERT_TRUE(waitFor([&] { return PollerSleeps::loadRetries.load() >= 3; }));
    EXPECT_TRUE(logs->contains("FPGA configuration error: error opening /dev/spidev0.2"));
    stopped = std::async(std::launch::async, stop_poller);
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(sim->reads(FPGA_STATUS), 0);
}

TEST_F(PollerTest, E1AlarmsFollowTheRegisterExceptSilencedStreams)
{
    tdm0_mode = 0;
    e1num[0] = 4;      // reports
    e1num[1] = 0x24;   // bit 0x20: silenced
    e1num[2] = 3;      // low part below 4: silenced
    e1num[3] = 0x1F;   // reports
    sim->setE1Alarms(0x0F);
    start();
    // The bits are published before the alarms are set: wait for the last one.
    ASSERT_TRUE(waitFor([] { return e1AlarmBits.load() == 0x09 && varStore.alarmLevel(".14.4.2.0") == 1; }));
    EXPECT_EQ(varStore.alarmLevel(".14.1.2.0"), 1);
    EXPECT_EQ(varStore.alarmLevel(".14.2.2.0"), 0);
    EXPECT_EQ(varStore.alarmLevel(".14.3.2.0"), 0);
    EXPECT_EQ(varStore.alarmLevel(".14.4.2.0"), 1);

    sim->setE1Alarms(0x01);
    ASSERT_TRUE(waitFor([] { return e1AlarmBits.load() == 0x01 && varStore.alarmLevel(".14.4.2.0") == 0; }));
    EXPECT_EQ(varStore.alarmLevel(".14.4.2.0"), 0);

    // A read that fails says nothing about the streams.
    sim->failTransfers(-1, EIO, FPGA_E1_ALARMS);
    ASSERT_TRUE(waitFor([&] { return sim->failedTransfers() >= 3; }));
    EXPECT_EQ(e1AlarmBits.load(), 0x01u);
    EXPECT_EQ(varStore.alarmLevel(".14.1.2.0"), 1);
    sim->failTransfers(0, EIO, FPGA_E1_ALARMS);

    // Outside TDM0 mode 0 the alarms read as clear.
    tdm0_mode = 1;
    ASSERT_TRUE(waitFor([] { return e1AlarmBits.load() == 0 && varStore.alarmLevel(".14.1.2.0") == 0; }));
    EXPECT_EQ(varStore.alarmLevel(".14.1.2.0"), 0);
}

TEST_F(PollerTest, CasChangesOfWatchedTimeslotsBecomeEvents)
{
    poller_set_cas_activity_flag(5);
    poller_set_cas_activity_flag(256);
    EXPECT_TRUE(logs->contains("poller_set_cas_activity_flag(): invalid timeslot 256"));
    std::thread([] { poller_set_cas_activity_flag(6); }).join();
    EXPECT_TRUE(logs->contains("poller_set_cas_activity_flag() called not from main thread!"));
    EXPECT_EQ(poller_get_cas_a(-1), -1);

    sim->setCasBit(70, true);   // set before the load: the snapshot starts with it
    start();
    ASSERT_TRUE(waitFor([] { return poller_get_cas_a(70) == 1 << 6; }));

    sim->setCasBit(5, true);
    sim->setCasBit(6, true);
    ASSERT_TRUE(waitFor([] { return poller_get_cas_a(6) == 1 << 6; }));
    std::vector<std::unique_ptr<channel_event_t>> events = drain();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]->channel, 5);
    EXPECT_EQ(events[0]->code, EV_CAS_A_ACTIVITY);
    EXPECT_EQ(events[0]->data, 1 << 5);

    // Watching 6 now replays nothing; its next change is reported.
    poller_set_cas_activity_flag(6);
    poller_clear_cas_activity_flag(5);
    sim->setCasBit(5, false);
    ASSERT_TRUE(waitFor([] { return poller_get_cas_a(5) == 0; }));
    EXPECT_TRUE(drain().empty());
    sim->setCasBit(6, false);
    ASSERT_TRUE(waitFor([] { return poller_get_cas_a(6) == 0; }));
    events = drain();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]->channel, 6);
    EXPECT_EQ(events[0]->data, 0);
    poller_clear_cas_activity_flag(6);
}

TEST_F(PollerTest, SupervisionPublishesTheLatchesAndFailedReadsAddNothing)
{
    e1num[1] = 0x20;
    sim->setCasStatus(0x04);
    sim->setE1Events(0x03);
    sim->setDevclk(0x55);
    start();
    ASSERT_TRUE(waitFor([] { return statusByteSnapshot.load() == 0x04 && e1EventSnapshot.load() == 0x01; }));
    EXPECT_EQ(devclk.load(), 0x55);

    sim->failTransfers(-1, EIO, FPGA_E1_EVENTS);
    sim->failTransfers(-1, EIO, FPGA_DEVCLK);
    sim->setCasStatus(0);
    ASSERT_TRUE(waitFor([] { return e1EventSnapshot.load() == 0 && statusByteSnapshot.load() == 0; }));
    EXPECT_EQ(devclk.load(), 0x55);
}

TEST_F(PollerTest, TheSameBoardAnswersOverTheSimulatorProgramsSocket)
{
    std::string path = root + "/fpga.sock";
    ASSERT_TRUE(sim->listen(path));
    sim->start();
    spi_set_opener(nullptr);
    setenv(FPGA_SIM_ENV, path.c_str(), 1);
    fpgaSpi.close();
    sim->setModuleType(1, MODULE_FS01);
    sim->setCasBit(9, true);
    poller_set_cas_activity_flag(9);
    start();
    unsetenv(FPGA_SIM_ENV);
    std::vector<FpgaSimLoad> loads = sim->loads();
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_EQ(loads[0].writes, (std::vector<size_t>{256, 256, 88}));
    EXPECT_EQ(loads[0].resets_before, 2);
    EXPECT_TRUE(loads[0].configured);
    EXPECT_TRUE(logs->contains("mofule 1: FS01 found"));
    EXPECT_EQ(poller_get_cas_a(9), 1 << 9);

    sim->control_request({{"cmd", "set"}, {"cas", {9, 0}}, {"e1_events", 2}});
    ASSERT_TRUE(waitFor([] { return poller_get_cas_a(9) == 0; }));
    std::vector<std::unique_ptr<channel_event_t>> events = drain();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]->channel, 9);
    EXPECT_EQ(events[0]->data, 0);
    ASSERT_TRUE(waitFor([] { return e1EventSnapshot.load() == 2; }));

    // Faults reach the daemon as failed transfers with their errno.
    sim->control_request({{"cmd", "fault"}, {"reg", "0x103"}, {"count", 2}, {"errno", EPIPE}});
    ASSERT_TRUE(waitFor([&] { return logs->count("SPI transfer error: Broken pipe") == 2; }));
    poller_clear_cas_activity_flag(9);
}

struct SaveRecorder : RegSyncTarget {
    std::atomic<int> saves{0};
    std::atomic<int> sleepsBefore{-1};
    void requestSave() override
    {
        saves++;
        sleepsBefore = PollerSleeps::spiErrors.load();
    }
};

TEST_F(PollerTest, RebootSavesTheRegistrationsWaitsASecondAndRunsReboot)
{
    std::filesystem::create_directories(root + "/sbin");
    std::string argv_file = root + "/reboot.argv";
    std::ofstream(root + "/sbin/reboot") << "#!/bin/sh\necho \"$0|$*\" > " << argv_file << "\n";
    std::filesystem::permissions(root + "/sbin/reboot", std::filesystem::perms::owner_all);
    SaveRecorder saver;
    regsync_set_target(&saver);
    poller_reboot();
    regsync_set_target(nullptr);
    EXPECT_EQ(saver.saves.load(), 1);
    EXPECT_EQ(saver.sleepsBefore.load(), 0);             // saved first,
    EXPECT_EQ(PollerSleeps::spiErrors.load(), 1);         // then the one-second pause
    std::string ran;
    std::getline(std::ifstream(argv_file), ran);
    EXPECT_EQ(ran, root + "/sbin/reboot|");   // no arguments after its name

    // The alarm test's end turns the relay off.
    sim->setConfigured(true);
    fpga_write_reg(FPGA_RELAY, 1);
    finish_alarm_test(nullptr);
    EXPECT_EQ(sim->reg(FPGA_RELAY), 0);
}

class FakeWatchdog : public Watchdog {
public:
    explicit FakeWatchdog(std::atomic<int>* kicks) : kicks_(kicks) {}
    int open() override { return 0; }
    bool isOpen() const override { return true; }
    int setTimeout(int) override { return 0; }
    int kick() override
    {
        (*kicks_)++;
        return 0;
    }
    int magicClose() override { return 0; }
    int linkStatus(int, int*) override { return -1; }

private:
    std::atomic<int>* kicks_;
};

TEST_F(PollerTest, ConditionalKicksFollowTheReceiveFifoReads)
{
    std::atomic<int> kicks{0};
    watchdog_set_device(std::make_unique<FakeWatchdog>(&kicks));
    EXPECT_FALSE(watchdog_conditional_kick());   // nothing read yet
    start();
    ASSERT_TRUE(waitFor([] { return poller_alive.load(); }));
    EXPECT_TRUE(watchdog_conditional_kick());
    EXPECT_EQ(kicks.load(), 1);

    sim->failTransfers(-1, EIO, FPGA_RX_LEVEL);
    ASSERT_TRUE(waitFor([&] { return sim->failedTransfers() >= 1; }));
    watchdog_conditional_kick();   // a good read just before the fault may count once
    int before = kicks.load();
    ASSERT_TRUE(waitFor([&] { return sim->failedTransfers() >= 4; }));
    EXPECT_FALSE(watchdog_conditional_kick());
    EXPECT_EQ(kicks.load(), before);

    sim->failTransfers(0, EIO, FPGA_RX_LEVEL);
    ASSERT_TRUE(waitFor([] { return poller_alive.load(); }));
    EXPECT_TRUE(watchdog_conditional_kick());
    watchdog_set_device(nullptr);
}

}  // namespace
