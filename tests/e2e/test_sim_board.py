"""A simulated board never reaches the host: outside a network namespace of
its own, or without a scratch root, the daemon refuses to start; inside, every
command it runs comes from the root's stand-ins, never from PATH."""

import os
import subprocess
import tempfile
import time
import unittest

from linegw_harness import BINARY, KEEP_ETH0, NamespaceUnavailable, Scratch

MAC_HAIRPIN = 0x9700
IPTABLES = ["iptables -t filter -F OUTPUT",
            "iptables -t filter -A OUTPUT -o eth2 -p icmp --icmp-type 3 -j DROP"]


class SimBoardTest(unittest.TestCase):
    def test_refused_without_scratch_root_or_namespace(self):
        root = tempfile.mkdtemp(prefix="linegw-guard-")
        self.addCleanup(os.rmdir, root)
        cases = [
            ({"LINEGW_SIM_MSP": root + "/mistyped.sock"}, "scratch root"),
            ({"LINEGW_ROOT": "/", "LINEGW_SIM_MSP": root + "/msp.sock"}, "scratch root"),
            ({"LINEGW_ROOT": "//"}, "scratch root"),
            ({"LINEGW_ROOT": root, "LINEGW_SIM_MSP": root + "/msp.sock"}, "network namespace"),
        ]
        base = {k: v for k, v in os.environ.items() if not k.startswith("LINEGW_")}
        for extra, reason in cases:
            with self.subTest(env=extra):
                # -h: were the guard missing, the daemon would only print its usage.
                p = subprocess.run([BINARY, "-h"], env=dict(base, **extra), timeout=10,
                                   stdin=subprocess.DEVNULL, capture_output=True, text=True)
                self.assertEqual(p.returncode, 1, p.stdout + p.stderr)
                self.assertIn(reason, p.stderr)
                self.assertNotIn("Usage", p.stdout + p.stderr)
                self.assertEqual(os.listdir(root), [])

    def test_commands_come_from_the_root_only(self):
        # (case, stand-in removed, fault, stand-in calls, daemon messages)
        cases = [
            ("bare name", None, False, IPTABLES, []),
            ("absolute path", None, True, ["reboot"], []),
            ("no stand-in", "/sbin/iptables", False, [],
             ["command '%s' (pid " % c for c in IPTABLES]),
        ]
        runs = []
        for name, removed, fault, _, _ in cases:
            try:
                s = Scratch()
            except NamespaceUnavailable as e:
                self.skipTest(str(e))
            self.addCleanup(s.close)
            s.write_config(KEEP_ETH0)
            if removed:
                os.unlink(s.path(removed))
            sim = s.start_sim()
            if fault:
                sim.request(cmd="fault", kind="status", fc=MAC_HAIRPIN, status=7)
            d = s.start("-d")
            runs.append((s, d))
        for (name, _, fault, calls, messages), (s, d) in zip(cases, runs):
            with self.subTest(case=name):
                if fault:
                    d.wait_line(r"Rebooting\.\.\.$")
                else:
                    s.sim.wait_started()
                    s.run("ip", "addr", "add", "10.0.0.2/24", "dev", "eth0")
                    d.wait_line(r"command 'iptables .* DROP' \(pid" if messages
                                else r"IP change 127\.0\.0\.1 --> 10\.0\.0\.2")
                deadline = time.monotonic() + 10
                while len(s.stub_calls()) < len(calls) and time.monotonic() < deadline:
                    time.sleep(0.05)
                d.terminate()
                self.assertEqual(d.wait(), 0)
                self.assertEqual(s.stub_calls(), calls)
                self.assertEqual(s.path_calls(), [])
                for m in messages:
                    self.assertTrue(any(l.startswith(m) and l.endswith("exited with return code 1")
                                        for l in d.messages()), m)


if __name__ == "__main__":
    unittest.main()
