"""The daemon against the simulated media processor: the start-up commands
in order (with a channel left over from an earlier run), refusals that are
tolerated or fatal, the shutdown commands, and address changes on eth0."""

import time
import unittest

from linegw_harness import KEEP_ETH0, ScratchTestCase

SPU_FEATURES, SFKEYS, CREATE_CHANNEL, DESTROY_CHANNEL = 0x0013, 0x0460, 0x0010, 0x0011
DEVICE_STATUS, SIGNALING_CFG, IP_V6, MAC_HAIRPIN, PPPOE, PCM_LAW = 0x040F, 0x040A, 0x0310, 0x9700, 0x0502, 0x0425
NTG_CONFIG = 0x043F

STARTUP = ([SPU_FEATURES, SFKEYS]
           + [CREATE_CHANNEL] * 13 + [DESTROY_CHANNEL] + [CREATE_CHANNEL] * 242
           + [0x0031, 0x0410, 0x0021, 0x0022, PCM_LAW, 0x0417, 0x0407, SIGNALING_CFG]
           + [0x0100] * 4 + [MAC_HAIRPIN, PPPOE, 0x0302, 0x0306] + [0x041C] * 4 + [0x9330] * 5
           + [DEVICE_STATUS])


def eventually(condition, timeout=20):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


def word(hextext, offset):
    b = bytes.fromhex(hextext)
    return b[offset] | b[offset + 1] << 8


class MspStartupTest(ScratchTestCase):
    def scratch(self):
        s = super().scratch()
        # Only the addresses a test adds, usable at once.
        s.run("sh", "-c", "sysctl -qw net.ipv6.conf.eth0.addr_gen_mode=1 net.ipv6.conf.eth0.accept_dad=0")
        return s

    def test_startup_and_shutdown_commands_in_order(self):
        s = self.scratch()
        sim = s.start_sim()
        sim.request(cmd="plant-channel", id=5, timeslot=12)
        # Refusals start-up tolerates.
        sim.request(cmd="fault", kind="status", fc=PCM_LAW, status=0x4F)
        sim.request(cmd="fault", kind="status", fc=PPPOE, status=0xA92)
        d = s.start("-d")
        d.wait_line(r"Channels available: 64 \(G\.711 20ms\)$", timeout=30)
        sim.wait_started()   # a stop before the end of start-up skips the IPv6 baseline
        # The poller thread's standalone configuration sends the clock mode on
        # its own time: a stop before it would find it among the shutdown's commands.
        self.assertTrue(eventually(lambda: sim.log(fc=NTG_CONFIG)), "no clock mode from the configuration")
        d.terminate()
        self.assertEqual(d.wait(), 0)

        log = sim.log()
        fcs = [fc for _, fc, _ in log]
        self.assertEqual(fcs[:len(STARTUP)], STARTUP)
        self.assertTrue(all(ch == 0xFFFF for ch, _, _ in log))
        sweep = [h for _, fc, h in log if fc == CREATE_CHANNEL]
        self.assertEqual([word(h, 8) for h in sweep], list(range(255)))
        self.assertEqual(word([h for _, fc, h in log if fc == DESTROY_CHANNEL][0], 8), 5)
        # The IPv6 baseline goes to the device once it is up; the standalone
        # configuration's clock mode comes from the poller thread meanwhile.
        self.assertEqual([fc for fc in fcs[len(STARTUP):] if fc != NTG_CONFIG][0], IP_V6)
        self.assertEqual(fcs.count(NTG_CONFIG), 1)
        # Shutdown: heartbeat off, signalling off, once although destroy runs twice.
        self.assertEqual(fcs[-2:], [DEVICE_STATUS, SIGNALING_CFG])
        self.assertEqual([word(log[-2][2], 8), word(log[-1][2], 8)], [0, 0])
        self.assertEqual(fcs.count(SIGNALING_CFG), 2)

        msgs = d.messages()
        for line in ["***> dead channel 12 found (channelId=0x0005)", "Comcerto C300 device: M82530 Rev.A",
                     "TDM initialized successfully", "Destroying comcerto device."]:
            self.assertIn(line, msgs)
        for text in ["Comcerto init error", "set_pppoe() failed", "supvsr_set_pcm_law() failed"]:
            self.assertFalse([m for m in msgs if text in m], text)
        self.assertEqual(s.stub_calls(), [])

    def test_fatal_refusal_reboots(self):
        s = self.scratch()
        sim = s.start_sim()
        sim.request(cmd="fault", kind="status", fc=MAC_HAIRPIN, status=7)
        d = s.start("-d")
        d.wait_line(r"Comcerto init error!!! Rebooting\.\.\.$", timeout=30)
        eventually(lambda: s.stub_calls())
        self.assertEqual(s.stub_calls(), ["reboot"])
        d.terminate()
        self.assertEqual(d.wait(), 0)
        self.assertIn("set_mac_hairpin() failed (result=-7)", d.messages())
        fcs = [fc for _, fc, _ in sim.log()]
        self.assertEqual(fcs[-1], MAC_HAIRPIN)   # nothing after the failure, not even at shutdown
        self.assertNotIn(DEVICE_STATUS, fcs)

    def test_address_changes_on_eth0(self):
        s = self.scratch()
        s.write_config(KEEP_ETH0)
        sim = s.start_sim()
        d = s.start("-d")
        sim.wait_started()

        s.run("ip", "addr", "add", "10.20.30.40/24", "dev", "eth0")
        d.wait_line(r"IP change 127\.0\.0\.1 --> 10\.20\.30\.40 detected$")
        eventually(lambda: len(s.stub_calls()) >= 2)
        self.assertEqual(s.stub_calls(), ["iptables -t filter -F OUTPUT",
                                          "iptables -t filter -A OUTPUT -o eth2 -p icmp --icmp-type 3 -j DROP"])

        s.run("ip", "-6", "addr", "add", "2001:db8::7/64", "dev", "eth0")
        d.wait_line(r"IP change :: --> 2001:db8::7 detected$")
        address = bytes.fromhex("20010db8000000000000000000000007")

        def device_told():
            sent = [h for _, fc, h in sim.log(fc=IP_V6)]
            return sent and bytes.fromhex(sent[-1])[8:24] == address
        eventually(device_told)
        self.assertTrue(device_told(), "the device never got the new IPv6 address")

        time.sleep(1.5)   # a further check or two: nothing new
        d.terminate()
        self.assertEqual(d.wait(), 0)
        changes = [m for m in d.messages() if m.startswith("IP change ")]
        self.assertEqual(changes, ["IP change 127.0.0.1 --> 10.20.30.40 detected",
                                   "IP change :: --> 2001:db8::7 detected"])
        self.assertEqual(len(s.stub_calls()), 2)


if __name__ == "__main__":
    unittest.main()
