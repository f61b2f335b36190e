"""A simulated board never reaches the host: outside a network namespace of
its own, or without a scratch root, the daemon refuses to start."""

import os
import subprocess
import tempfile
import unittest

from linegw_harness import BINARY


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


if __name__ == "__main__":
    unittest.main()
