"""The demo as a user runs it: it shows the daemon's log and what the daemon
asks of the simulated board, tells what the simulator takes, and a Ctrl-C
stops the daemon cleanly and leaves no namespace or root behind."""

import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

DEMO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "linegw_demo.py")


class DemoTest(unittest.TestCase):
    def test_runs_and_stops_cleanly(self):
        if os.geteuid() != 0:
            self.skipTest("network namespaces need root")
        # Its own session: the test's Ctrl-C goes to the demo's group only.
        p = subprocess.Popen([sys.executable, DEMO, "-d"], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             start_new_session=True)
        lines, cond = [], threading.Condition()

        def read():
            for line in p.stdout:
                with cond:
                    lines.append(line.rstrip("\n"))
                    cond.notify_all()
        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        self.addCleanup(lambda: p.poll() is None and os.killpg(p.pid, signal.SIGKILL))

        # Up, the help shown (the way a user would see it), and the FPGA loaded
        # and written, which the poller may do only after the help.
        shown = ("every FPGA register transfer", "sim> FPGA <- bit stream", "sim> FPGA <- register")
        with cond:
            cond.wait_for(lambda: all(any(s in l for l in lines) for s in shown), 60)
        os.killpg(p.pid, signal.SIGINT)
        self.assertEqual(p.wait(30), 0)
        reader.join(5)
        out = "\n".join(lines)

        m = re.search(r"namespace (\S+), root (\S+)", out)
        self.assertTrue(m, out)
        sim = [l.split("sim> ", 1)[1] for l in lines if "  sim> " in l]
        msp = [r for r in sim if r.startswith("media processor")]
        self.assertEqual(msp[0], "media processor <- SPU_FEATURES_CONTROL", out)
        for request in ["media processor <- DEVICE_STATUS", "watchdog <- open", "watchdog <- magic close"]:
            self.assertIn(request, sim, out)
        # Runs of one command are a line each, or a few when they span the demo's polls.
        creates = [re.fullmatch(r"media processor <- SUPVSR_CREATE_CHANNEL( x(\d+))?", r) for r in sim]
        self.assertEqual(sum(int(m.group(2) or 1) for m in creates if m), 255, out)
        self.assertTrue(any(r.startswith("FPGA <- bit stream, 600 bytes") for r in sim), out)
        self.assertTrue(any(r.startswith("FPGA <- register") for r in sim), out)
        # The help after start-up, then a clean shutdown: the daemon ends before the simulator.
        self.assertLess(out.index("Channels available"), out.index("the simulator takes one JSON request"))
        self.assertRegex(out, r"got signal 2\n(.*\n)*.*shutting down\.\.\.")
        # The shutdown's commands still reached the simulator.
        self.assertIn("sim> media processor <- ", out[out.index("shutting down..."):])
        self.assertNotIn("Traceback", out)
        self.assertEqual(lines[-1], "linegw demo: daemon exited with 0; namespace and root removed")
        self.assertFalse(os.path.exists(m.group(2)))
        self.assertNotIn(m.group(1), subprocess.run(["ip", "netns", "list"], capture_output=True,
                                                    text=True).stdout)

    def test_two_softphones_call_through_the_proxy(self):
        if os.geteuid() != 0:
            self.skipTest("network namespaces need root")
        if not shutil.which("baresip"):
            self.skipTest("baresip is not installed")
        r = subprocess.run([sys.executable, DEMO, "--call", "-d"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=200)
        if "User directory updated" not in r.stdout:
            self.skipTest("this daemon does not load the configuration's user list yet")
        self.assertEqual(r.returncode, 0, r.stdout[-4000:])
        self.assertIn("linegw demo: the call between the two phones was established", r.stdout)
        for user in ("201", "202"):
            self.assertRegex(r.stdout, r"%s's phone: .*200 OK.*Call established.*terminated" % user)


if __name__ == "__main__":
    unittest.main()
