"""The board's devices seen from the daemon: the poller thread against the
simulated FPGA, and the board link housekeeping against the simulated I2C bus
(PoE controller, SFP cage), the media processor and the watchdog's link
reports."""

import time
import unittest

from linegw_harness import ScratchTestCase


def eventually(condition, timeout=20):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


POE, SFP_PHY = 0x20, 0x56
MDIO_READ, GEMAC_MODE = 0x9331, 0x0123


def word(hextext, offset):
    b = bytes.fromhex(hextext)
    return b[offset] | b[offset + 1] << 8


def i2c_writes(sim, address):
    return [w for a, w in sim.i2c(cmd="state")["writes"] if a == address]


class BoardTest(ScratchTestCase):
    def test_poller_loads_the_fpga_and_a_lone_board_goes_standalone(self):
        s = self.scratch()
        sim = s.start_sim()   # board address 31: not in a chassis
        d = s.start("-d")
        d.wait_line(r": switching to standalone mode$", timeout=30)
        d.wait_line(r": Channels available: ", timeout=30)

        state = sim.fpga(cmd="state")["state"]
        self.assertTrue(state["configured"])
        self.assertEqual(state["loads"], 1)
        # the default configuration file is applied after the mode switch; the
        # switch is logged before its own write, so 0x105 may be unwritten yet
        self.assertTrue(eventually(lambda: sim.fpga(cmd="state")["state"]["registers"].get("0x105") == 0x00),
                        sim.fpga(cmd="log", reg=0x105)["log"])
        # The poller is alive, so the main loop keeps kicking the watchdog
        # beyond the two kicks around the user-agent wait.
        self.assertTrue(eventually(lambda: [op for _, op in s.watchdog_ops()].count("W") > 2), s.watchdog_ops())

        d.terminate()
        self.assertEqual(d.wait(), 0)
        msgs = d.messages()
        for line in ["FPGA configured successfully", "board address is 31"]:
            self.assertIn(line, msgs)
        self.assertEqual(msgs.count("switching to standalone mode"), 1)
        # standalone mode, then the default configuration's clock master mode
        self.assertEqual([e["hex"] for e in sim.fpga(cmd="log", reg=0x105)["log"]], ["10", "00"])
        self.assertFalse([m for m in msgs if "spidev" in m or "SPI" in m or "link-local" in m], msgs)
        self.assertEqual([op for _, op in s.watchdog_ops()][-1], "V")
        self.assertEqual(s.stub_calls(), [])

    def test_board_link_follows_the_sfp_cage_and_the_gemac_links(self):
        s = self.scratch()
        sim = s.start_sim()   # the SFP cage starts empty
        d = s.start("-d")
        sim.wait_started()
        # Start-up: the PoE controller's registers, then the board PHY's id
        # (0 here: not the Marvell one, so the SFP cage is watched).
        self.assertTrue(eventually(lambda: len(i2c_writes(sim, POE)) >= 3))
        self.assertEqual(i2c_writes(sim, POE), [[0x13, 0xF0], [0x12, 0xFF], [0x14, 0xFF]])
        self.assertTrue(eventually(lambda: sim.log(fc=MDIO_READ)))
        self.assertEqual([(word(h, 10), word(h, 12)) for _, _, h in sim.log(fc=MDIO_READ)], [(13, 2)])

        # (module, its PHY's registers, lines logged, writes to the PHY)
        modules = [
            ("Marvell 88E1111", {2: 0x0141, 3: 0x0CC2},
             ["SFP module detected", "SFP: Marvell Alaska 88E1111 rev 2 detected"],
             [[27, 0x90, 0x84], [0, 0x91, 0x40], [22, 0, 0], [4, 0x0C, 0x61], [0, 0x91, 0x40]]),
            ("other PHY advertising 100BASE-TX", {2: 0x0022, 3: 0x1612, 4: 0x01E1, 0: 0x1140},
             ["SFP module detected", "SFP: phy detected", "SFP: 100Base-TX modes disabled"],
             [[4, 0x00, 0x61], [0, 0x13, 0x40]]),
        ]
        for name, registers, lines, writes in modules:
            with self.subTest(module=name):
                for reg, value in registers.items():
                    sim.i2c(cmd="set", phy=[reg, value])
                sim.i2c(cmd="clear")
                seen = len(d.messages())

                def sfp_lines():
                    return [m for m in d.messages()[seen:] if m.startswith("SFP")]
                sim.i2c(cmd="set", module=True)
                self.assertTrue(eventually(lambda: sfp_lines() == lines), d.messages()[seen:])
                self.assertTrue(eventually(lambda: i2c_writes(sim, SFP_PHY) == writes),
                                i2c_writes(sim, SFP_PHY))
                # Pulled out: a few more passes see the empty cage.
                sim.i2c(cmd="set", module=False)
                pulled = sim.i2c(cmd="state")["transfers"]
                self.assertTrue(eventually(lambda: sim.i2c(cmd="state")["transfers"] > pulled + 2))
                self.assertEqual(sfp_lines(), lines)

        # GEMAC link modes reach the media processor once per change.
        reports = [(0, 0x8000 | 2 << 10 | 1 << 12, "GEMAC0: 1000/FD", 0x0005),
                   (1, 0x8000 | 1 << 10, "GEMAC1: 100/HD", 0x0102),
                   (1, 1 << 10 | 1 << 12, None, None),   # no valid report: nothing
                   (0, 0x8000, "GEMAC0: 10/HD", 0x0000)]
        expected_lines, expected_words = [], []
        for port, status, line, mode in reports:
            s.set_link_status(port, status)
            if line:
                expected_lines.append(line)
                expected_words.append(mode)
                self.assertTrue(eventually(lambda: [m for m in d.messages() if m.startswith("GEMAC")]
                                           == expected_lines), d.messages()[-10:])
            else:
                before = sim.i2c(cmd="state")["transfers"]
                self.assertTrue(eventually(lambda: sim.i2c(cmd="state")["transfers"] > before + 2))
        # The daemon logs a mode before it sends it to the media processor.
        def modes():
            return [word(h, 8) for _, _, h in sim.log(fc=GEMAC_MODE)]
        self.assertTrue(eventually(lambda: modes() == expected_words), modes())

        d.terminate()
        self.assertEqual(d.wait(), 0)
        self.assertFalse([m for m in d.messages() if "i2c" in m or "WDIOC" in m or "set_gemac_mode" in m])


if __name__ == "__main__":
    unittest.main()
