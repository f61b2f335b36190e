"""The chassis controller's side of the management link against the running
daemon, through the simulated FPGA's FIFOs."""

import time
import unittest

import controller_peer as cp
from linegw_harness import ScratchTestCase


class ManagementTest(ScratchTestCase):
    def test_controller_reads_sets_switches_checks_is_notified_and_reboots(self):
        s = self.scratch()
        sim = s.start_sim()
        sim.fpga(cmd="set", address=3)   # in a chassis
        d = s.start("-d")
        d.wait_line(r": board address is 3$", timeout=30)
        peer = cp.ControllerPeer(sim)

        # the first Get answer carries a CRC-32 for a controller able to switch
        f = peer.request(cp.GET, 1, cp.get_body([".1.0", ".2.0", ".9.0"]))
        self.assertIsNotNone(f)
        self.assertEqual(f.check, cp.CRC32)
        got = cp.parse_list(f.packet[2:], status=True)
        self.assertEqual([g[0] for g in got], [".1.0", ".2.0", ".9.0"])
        self.assertEqual(got[0][2], 293)
        self.assertEqual(got[1][2], "ZR-40")
        self.assertEqual(len(got[2][2]), 33)
        self.assertEqual(peer.get(2, [".3.0", ".12.0", ".99.0"]),
                         [(".12.0", 2, None), (".3.0", 0, 255), (".99.0", 1, None)])

        # the controller introduces itself, then turns the E1 alarm scan on
        self.assertEqual(peer.set(3, [(".6.0", cp.string_value("10.9.0.1"))]), [(".6.0", 0, None)])
        self.assertEqual(peer.get(4, [".3.0", ".6.0"]), [(".3.0", 0, 0), (".6.0", 0, "10.9.0.1")])
        self.assertEqual(peer.set(5, [(".13.0", cp.int_value(cp.INT8, 0)),
                                      (".14.1.1.0", cp.int_value(cp.INT8, 4))]),
                         [(".13.0", 0, None), (".14.1.1.0", 0, None)])
        sim.fpga(cmd="set", e1_alarms=1)
        for i in range(4):
            a = peer.wait(lambda f: f.type == cp.ALARMS, timeout=10)
            self.assertIsNotNone(a, "alarm notification %d" % i)
            self.assertEqual(cp.parse_list(a.packet[1:]), [(".14.1.2.0", 0, 1)])
        self.assertIsNone(peer.wait(lambda f: f.type == cp.ALARMS, timeout=1.5))

        # a Set sent again with its id is answered, not executed again
        before = len(sim.fpga(cmd="log", reg=0x111)["log"])
        body = cp.set_body([(".14.2.1.0", cp.int_value(cp.INT8, 5))])
        first = peer.request(cp.SET, 40, body)
        again = peer.request(cp.SET, 40, body)
        self.assertEqual(first.packet, again.packet)
        self.assertEqual(len(sim.fpga(cmd="log", reg=0x111)["log"]), before + 1)

        # a CRC-16 controller gets CRC-16 answers from then on; XOR8 frames go unanswered
        peer.check = cp.CRC16
        f = peer.request(cp.GET, 6, cp.get_body([".13.0"]))
        self.assertEqual((f.check, f.packet), (cp.CRC16, bytes([0x80, 6, 13, 0, 0, 0, 0])))
        peer.check = cp.XOR8
        self.assertIsNone(peer.request(cp.GET, 7, cp.get_body([".13.0"]), timeout=0.5, retry=0.25))

        # control requests: the firmware revision (no flash here: zeros) and a reboot
        peer.check = cp.CRC16
        f = peer.request(cp.CONTROL, 8, bytes([1]))
        self.assertEqual(f.packet, bytes([0x83, 8, 0, 0, 0, 0]))
        self.assertIsNone(peer.request(cp.CONTROL, 9, bytes([5]) + b"\x00\x00\x00\x00", timeout=0.5, retry=0.25))
        # the controller's address is the NTP server: its client runs aside
        ntp = "ntpclient -h 10.9.0.1 -i 60 -tls"
        self.assertEqual([c for c in s.stub_calls() if c != ntp], [])
        f = peer.request(cp.CONTROL, 10, bytes([5]) + cp.REBOOT_CODE)
        self.assertEqual(f.packet, bytes([0x83, 10, 0]))
        self.assertEqual([c for c in s.stub_calls() if c != ntp], ["reboot"])

        d.terminate()
        self.assertEqual(d.wait(), 0)
        msgs = d.messages()
        self.assertIn("switching to CRC16 mode", msgs)
        self.assertNotIn("switching to standalone mode", msgs)


if __name__ == "__main__":
    unittest.main()
