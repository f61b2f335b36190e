"""The board's devices seen from the daemon: the poller thread against the
simulated FPGA."""

import time
import unittest

from linegw_harness import NamespaceUnavailable, Scratch


def eventually(condition, timeout=20):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


class BoardTest(unittest.TestCase):
    def scratch(self):
        try:
            s = Scratch()
        except NamespaceUnavailable as e:
            self.skipTest(str(e))
        self.addCleanup(s.close)
        return s

    def test_poller_loads_the_fpga_and_a_lone_board_goes_standalone(self):
        s = self.scratch()
        sim = s.start_sim()   # board address 31: not in a chassis
        d = s.start("-d")
        d.wait_line(r": switching to standalone mode$", timeout=30)
        d.wait_line(r": Channels available: ", timeout=30)

        state = sim.fpga(cmd="state")["state"]
        self.assertTrue(state["configured"])
        self.assertEqual(state["loads"], 1)
        self.assertEqual(state["registers"]["0x105"], 0x10)
        # The poller is alive, so the main loop keeps kicking the watchdog
        # beyond the two kicks around the user-agent wait.
        self.assertTrue(eventually(lambda: [op for _, op in s.watchdog_ops()].count("W") > 2))

        d.terminate()
        self.assertEqual(d.wait(), 0)
        msgs = d.messages()
        for line in ["FPGA configured successfully", "board address is 31"]:
            self.assertIn(line, msgs)
        self.assertEqual(msgs.count("switching to standalone mode"), 1)
        self.assertEqual(len(sim.fpga(cmd="log", reg=0x105)["log"]), 1)
        self.assertFalse([m for m in msgs if "spidev" in m or "SPI" in m or "link-local" in m], msgs)
        self.assertEqual([op for _, op in s.watchdog_ops()][-1], "V")
        self.assertEqual(s.stub_calls(), [])


if __name__ == "__main__":
    unittest.main()
