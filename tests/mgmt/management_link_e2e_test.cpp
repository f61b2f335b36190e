// A chassis controller talks to the gateway through the simulated FPGA's
// FIFOs, with the poller thread moving the bytes.
#include <sys/stat.h>

#include "mgmt/device_settings.h"
#include "mgmt/management_link.h"
#include "mgmt/management_requests.h"
#include "sim/fpga/controller_peer.h"
#include "tests/mgmt/fpga_sim_fixture.h"

namespace {

using Bytes = ControllerPeer::Bytes;
using Frame = ControllerPeer::Frame;
using Entry = ControllerPeer::Entry;

class ControllerTest : public FpgaSimTest {
protected:
    void SetUp() override
    {
        FpgaSimTest::SetUp();
        if (!sim)
            return;
        device_settings_reset();
        // the firmware revision start_poller reads: 4 bytes at offset 40
        std::filesystem::create_directories(root + "/dev");
        std::string flash(44, '\0');
        flash[40] = 1, flash[41] = 2, flash[42] = 3, flash[43] = 4;
        std::ofstream(root + "/dev/mtdblock0", std::ios::binary) << flash;

        link = std::make_unique<ManagementLink>(handle_request);
        poller_set_link(link.get());
        peer = std::make_unique<ControllerPeer>([this](const Bytes& b) { sim->pushRx(b); },
                                                [this] { return sim->takeTx(); });
        ASSERT_TRUE(start_poller());
        ASSERT_TRUE(waitFor([&] { return sim->loads().size() >= 1 && sim->reads(FPGA_STATUS) > 0; }));
    }
    void TearDown() override
    {
        if (sim)
            stop_poller();
        poller_set_link(nullptr);
        device_settings_reset();
        varStore.reset();
        FpgaSimTest::TearDown();
    }

    std::vector<Entry> entries(const Frame& f, bool withStatus, bool statusOnly, size_t skip = 2)
    {
        std::vector<Entry> out;
        EXPECT_TRUE(ControllerPeer::parseList(f.packet.data() + skip, f.packet.size() - skip, withStatus,
                                              statusOnly, out));
        return out;
    }
    std::vector<Entry> get(uint8_t id, const std::vector<std::string>& ids)
    {
        auto f = peer->request(0, id, ControllerPeer::getBody(ids));
        EXPECT_TRUE(f.has_value());
        return f ? entries(*f, true, false) : std::vector<Entry>{};
    }
    std::vector<Entry> set(uint8_t id, const std::vector<std::pair<std::string, Bytes>>& values)
    {
        auto f = peer->request(1, id, ControllerPeer::setBody(values));
        EXPECT_TRUE(f.has_value());
        return f ? entries(*f, false, true) : std::vector<Entry>{};
    }
    int writesOf(unsigned reg)
    {
        int n = 0;
        for (const auto& w : sim->writes())
            n += w.reg == reg;
        return n;
    }
    // The type byte of every notification frame written into the transmit
    // FIFO, with the pass (status reads so far) that wrote it.
    std::vector<std::pair<uint8_t, int>> framesLeaving()
    {
        std::vector<std::pair<uint8_t, int>> out;
        int passes = 0;
        for (const auto& a : sim->trace()) {
            if (!a.write && a.reg == FPGA_STATUS)
                passes++;
            if (a.write && a.reg == FPGA_FIFO && !a.data.empty() && (a.data[0] == 2 || a.data[0] == 4))
                out.emplace_back(a.data[0], passes);
        }
        return out;
    }
    static bool isNotification(const Frame& f, uint8_t type) { return !f.packet.empty() && f.packet[0] == type; }

    std::unique_ptr<ManagementLink> link;
    std::unique_ptr<ControllerPeer> peer;
};

TEST_F(ControllerTest, TheControllerReadsAndSetsVariables)
{
    auto got = get(1, {".1.0", ".2.0", ".13.0", ".99.0"});
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].id, ".1.0");
    EXPECT_EQ(got[0].value, 293);
    EXPECT_EQ(got[1].id, ".13.0");   // byte-wise order
    EXPECT_EQ(got[1].value, 1);
    EXPECT_EQ(got[2].text, "ZR-40");
    EXPECT_EQ(got[3].id, ".99.0");
    EXPECT_EQ(got[3].status, 1);

    auto statuses = set(2, {{".13.0", ControllerPeer::intValue(0, 0)},
                            {".14.3.1.0", ControllerPeer::intValue(0, 4)},
                            {".1.0", ControllerPeer::intValue(1, 7)}});
    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_EQ(statuses[0].id, ".1.0");
    EXPECT_EQ(statuses[0].status, 2);
    EXPECT_EQ(statuses[1].status, 0);
    EXPECT_EQ(statuses[2].status, 0);
    EXPECT_EQ(sim->reg(FPGA_TDM0_MODE), 0);
    EXPECT_EQ(sim->reg(FPGA_E1NUM + 2), 4);
    got = get(3, {".13.0", ".14.3.1.0"});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].value, 0);
    EXPECT_EQ(got[1].value, 4);
}

TEST_F(ControllerTest, TheGatewayFollowsTheControllersCheck)
{
    // its first Get answer probes with a CRC-32, the next ones use XOR8
    auto first = peer->request(0, 1, ControllerPeer::getBody({".1.0"}));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->check, ControllerPeer::CRC32);
    auto second = peer->request(0, 2, ControllerPeer::getBody({".1.0"}));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->check, ControllerPeer::XOR8);

    peer->setCheck(ControllerPeer::CRC32);
    auto crc32 = peer->request(0, 3, ControllerPeer::getBody({".1.0"}));
    ASSERT_TRUE(crc32);
    EXPECT_EQ(crc32->check, ControllerPeer::CRC32);
    EXPECT_EQ(crc32->packet, (Bytes{0x80, 3, 1, 0, 0, 1, 0x25, 1}));
    auto setAnswer = peer->request(1, 4, ControllerPeer::setBody({{".13.0", ControllerPeer::intValue(0, 0)}}));
    ASSERT_TRUE(setAnswer);
    EXPECT_EQ(setAnswer->check, ControllerPeer::CRC32);
    EXPECT_EQ(linesEnding("switching to CRC32 mode"), 1u);

    // XOR8 frames are now dropped, never answered
    peer->setCheck(ControllerPeer::XOR8);
    EXPECT_FALSE(peer->request(0, 5, ControllerPeer::getBody({".1.0"}), 300, 100));
}

TEST_F(ControllerTest, ACrc16ControllerGetsCrc16Answers)
{
    peer->setCheck(ControllerPeer::CRC16);
    auto a = peer->request(0, 6, ControllerPeer::getBody({".3.0"}));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->check, ControllerPeer::CRC16);
    EXPECT_EQ(a->packet, (Bytes{0x80, 6, 3, 0, 0, 0, 0xFF}));
    EXPECT_EQ(linesEnding("switching to CRC16 mode"), 1u);
}

TEST_F(ControllerTest, AlarmAndValueNotificationsArriveOnSchedule)
{
    // no notification before the controller gives its address
    poller_publish_var(".10.1.3.0", MyVarValue(std::string("early")));
    set(1, {{".13.0", ControllerPeer::intValue(0, 0)}, {".14.1.1.0", ControllerPeer::intValue(0, 4)}});
    ASSERT_TRUE(waitReads(FPGA_STATUS, 600));
    peer->poll();
    for (const auto& f : peer->received())
        EXPECT_FALSE(isNotification(f, 2) || isNotification(f, 4));

    // the alarm waits in the store too, so the value's countdown starts after it
    sim->setE1Alarms(0x01);
    ASSERT_TRUE(waitFor([] { return varStore.alarmLevel(".14.1.2.0") == 1; }));
    auto st = set(2, {{".6.0", ControllerPeer::stringValue("10.9.0.1")}});
    ASSERT_EQ(st.size(), 1u);
    EXPECT_EQ(st[0].status, 0);

    std::vector<Frame> alarms;
    for (int i = 0; i < 4; i++) {
        auto f = peer->waitFor([](const Frame& f) { return isNotification(f, 2); }, 10000);
        ASSERT_TRUE(f) << "alarm notification " << i;
        alarms.push_back(*f);
    }
    for (const auto& a : alarms) {
        EXPECT_EQ(a.check, ControllerPeer::XOR8);
        auto e = entries(a, false, false, 1);
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0].id, ".14.1.2.0");
        EXPECT_EQ(e[0].value, 1);
    }
    // the value published before waited behind the alarms, then went out twice
    std::vector<Frame> values;
    for (int i = 0; i < 2; i++) {
        auto f = peer->waitFor([](const Frame& f) { return isNotification(f, 4); }, 10000);
        ASSERT_TRUE(f) << "value notification " << i;
        values.push_back(*f);
    }
    for (const auto& v : values) {
        auto e = entries(v, false, false, 1);
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0].id, ".10.1.3.0");
        EXPECT_EQ(e[0].text, "early");
    }
    // the schedule in poller passes, from the FPGA's trace
    std::vector<std::pair<uint8_t, int>> sent = framesLeaving();
    ASSERT_EQ(sent.size(), 6u);
    for (size_t i = 0; i < 6; i++)
        EXPECT_EQ(sent[i].first, i < 4 ? 2 : 4) << i;
    for (size_t i = 1; i < 4; i++)
        EXPECT_NEAR(sent[i].second - sent[i - 1].second, 500, 2) << i;
    EXPECT_NEAR(sent[4].second - sent[3].second, 251, 2);
    EXPECT_NEAR(sent[5].second - sent[4].second, 251, 2);
    EXPECT_FALSE(peer->waitFor([](const Frame& f) { return isNotification(f, 2) || isNotification(f, 4); }, 500));
}

TEST_F(ControllerTest, ARepeatedSetIsExecutedOnce)
{
    Bytes body = ControllerPeer::setBody({{".14.2.1.0", ControllerPeer::intValue(0, 5)}});
    int written = writesOf(FPGA_E1NUM + 1);   // the start-up's
    auto first = peer->request(1, 20, body);
    ASSERT_TRUE(first);
    EXPECT_EQ(writesOf(FPGA_E1NUM + 1), ++written);
    // the controller missed the answer and asks again with the same id
    auto again = peer->request(1, 20, body);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->packet, first->packet);
    EXPECT_EQ(writesOf(FPGA_E1NUM + 1), written);
    EXPECT_TRUE(logs->contains("duplicate request 20 ("));
    // a new id runs again
    auto third = peer->request(1, 21, body);
    ASSERT_TRUE(third);
    EXPECT_EQ(writesOf(FPGA_E1NUM + 1), written + 1);
}

TEST_F(ControllerTest, ControlRequestsReportTheRevisionAndReboot)
{
    auto rev = peer->request(3, 0x7D, {1});
    ASSERT_TRUE(rev);
    EXPECT_EQ(rev->packet, (Bytes{0x83, 0x7D, 1, 2, 3, 4}));

    std::filesystem::create_directories(root + "/sbin");
    std::string reboot = root + "/sbin/reboot";
    std::ofstream(reboot) << "#!/bin/sh\necho \"$0 $#\" > " << root << "/rebooted\n";
    chmod(reboot.c_str(), 0755);
    Bytes code(MGMT_REBOOT_CODE, MGMT_REBOOT_CODE + 4);
    Bytes wrong = code;
    wrong[3] ^= 1;
    Bytes body = {5};
    body.insert(body.end(), wrong.begin(), wrong.end());
    EXPECT_FALSE(peer->request(3, 9, body, 300, 100));
    EXPECT_FALSE(std::filesystem::exists(root + "/rebooted"));
    body = {5};
    body.insert(body.end(), code.begin(), code.end());
    auto done = peer->request(3, 10, body);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->packet, (Bytes{0x83, 10, 0}));
    std::ifstream in(root + "/rebooted");
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, reboot + " 0");
}

TEST_F(ControllerTest, BrokenFramesAreNotAnsweredAndARetryIs)
{
    // a wrong check, then a 3-byte frame, then a double escape
    peer->sendRaw({0x7E, 0x00, 0x01, 0x01, 0x00, 0x55, 0x7E, 0x00, 0x01, 0x01, 0x7E, 0x00, 0x7D, 0x7D, 0x7E});
    EXPECT_FALSE(peer->waitFor([](const Frame&) { return true; }, 300));
    EXPECT_TRUE(logs->contains("SHORT packet received: 00 01 01"));
    EXPECT_TRUE(logs->contains("Error: double ESC received"));
    auto a = peer->request(0, 1, ControllerPeer::getBody({".2.0"}));
    ASSERT_TRUE(a);
    EXPECT_EQ(entries(*a, true, false)[0].text, "ZR-40");
}

}  // namespace
