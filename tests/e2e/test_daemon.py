"""The daemon's life seen from outside: options, single instance, PID file,
shutdown on SIGTERM and the watchdog."""

import os
import time
import unittest

from linegw_harness import BINARY, KEEP_ETH0, ScratchTestCase

USAGE = ("Usage: %s [-dhw] [-l loglevel] [-p pidfile]\n\t-h\t\tprint help\n"
         "\t-l loglevel\tlogging level (0 - min, 7 - max)\n\t-p filename\tPID file name\n"
         "\t-d\t\tdebug mode (same as -l7)\n\t-w\t\tdon't activate watchdog timer\n")


class DaemonTest(ScratchTestCase):
    def test_help(self):
        s = self.scratch()
        d = s.start("-h", "-d")
        self.assertEqual(d.wait(), 0)
        self.assertEqual("\n".join(d.output()) + "\n", USAGE % BINARY)
        self.assertFalse(os.path.exists(s.path("/var/run/linegw.pid")))

    def test_option_table(self):
        # (arguments, level-6 lines expected, extra stderr line)
        cases = [
            (["-l", "3", "-d"], False, None),
            (["-d", "-l", "3"], False, None),
            (["-d"], True, None),
            (["-l", "x"], False, "invalid log level 'x', option ignored"),
            (["-l", "x", "-d"], True, "invalid log level 'x', option ignored"),
            (["-q", "-d"], True, "use %s -h for help" % BINARY),
        ]
        # Every case is a full start and shutdown: run them side by side.
        runs = []
        for args, _, _ in cases:
            s = self.scratch()
            d = s.start(*args)
            runs.append((s, d))
        for s, d in runs:
            d.wait_file(s.path("/var/run/linegw.pid"))
            d.terminate()
        for (args, verbose, extra), (s, d) in zip(cases, runs):
            with self.subTest(args=args):
                self.assertEqual(d.wait(), 0)
                msgs = d.messages()
                self.assertIn("got signal 15", msgs)  # level 3: always written
                self.assertEqual("starting linegw" in msgs, verbose)
                self.assertEqual("shutting down..." in msgs, verbose)
                if extra:
                    self.assertIn(extra, d.output())

    def test_life_single_instance_pid_file_and_watchdog(self):
        s = self.scratch()
        pid_file = s.path("/var/run/linegw.pid")
        with open(pid_file, "w") as f:
            f.write("%d\n" % os.getpid())  # stale: names a process that is not linegw
        d = s.start("-d")
        d.wait_line(r": Created schedule main scheduler$")
        # No FPGA on this board: the poller thread ends at once.
        d.wait_line(r": cannot open /dev/spidev0\.2$")
        # Nor an I2C bus: the last start-up step logs once per PoE register.
        deadline = time.monotonic() + 30
        while d.messages().count("error opening /dev/i2c-0: No such file or directory") < 3:
            self.assertLess(time.monotonic(), deadline, "board housekeeping never ran")
            time.sleep(0.05)
        with open(pid_file) as f:
            self.assertEqual(f.read(), "%d\n" % d.pid)
        msgs = d.messages()
        self.assertEqual(msgs[:2], ["starting linegw", "main thread PID is %d" % d.pid])

        second = s.start("-d")
        self.assertEqual(second.wait(), 1)
        self.assertEqual(second.output(), ["linegw already running"])

        d.terminate()
        self.assertEqual(d.wait(), 0)
        # The registration-sync agent logs from its own thread: between the
        # proxy's stop and its own it may log a reconnect the proxy refused.
        msgs = d.messages(but_from=("reg_sync_agent.cpp",))
        tail = msgs[msgs.index("got signal 15"):]
        self.assertEqual(tail, ["got signal 15", "shutting down...", "--> MediaProxy::stop()",
                                "Destroying schedule main scheduler"])

        ops = s.watchdog_ops()
        names = [op for _, op in ops]
        # open, timeout, the kicks around the user-agent wait; at shutdown one
        # kick, five one second apart, two more, then the magic close.
        self.assertEqual(names, ["open", "timeout 32"] + ["W"] * 2 + ["W"] * 8 + ["V"])
        pauses = [ops[i + 1][0] - ops[i][0] for i in range(4, 9)]
        for gap in pauses:
            self.assertGreaterEqual(gap, 950)
            self.assertLess(gap, 1500)

    def test_no_watchdog_and_unwritable_pid_file(self):
        s = self.scratch()
        d = s.start("-w")
        d.wait_file(s.path("/var/run/linegw.pid"))
        d.terminate()
        self.assertEqual(d.wait(), 0)
        self.assertEqual(s.watchdog_ops(), [])  # -w: the device is never touched

        d = s.start("-d", "-p", "/no/such/dir/linegw.pid")
        self.assertEqual(d.wait(), 1)   # a daemon without its PID file is a failure
        self.assertEqual(d.output(), [s.path("/no/such/dir/linegw.pid") + ": No such file or directory"])

    def test_ip_change(self):
        s = self.scratch()
        s.write_config(KEEP_ETH0)
        s.run("ip", "addr", "add", "192.168.5.5/24", "dev", "eth0")
        sim = s.start_sim()   # a board that starts: no reboot among the commands
        d = s.start("-d")
        sim.wait_started()
        # Start-up took eth0 up and, right after the media processor, cleared its address.
        self.assertIn(",UP", s.run("ip", "link", "show", "dev", "eth0"))
        deadline = time.monotonic() + 20
        while "192.168.5.5" in s.run("ip", "-4", "addr", "show", "dev", "eth0"):
            self.assertLess(time.monotonic(), deadline, "eth0 kept its address")
            time.sleep(0.05)
        s.run("ip", "addr", "add", "10.0.0.2/24", "dev", "eth0")
        d.wait_line(r": IP change 127\.0\.0\.1 --> 10\.0\.0\.2 detected$", timeout=30)
        d.terminate()
        self.assertEqual(d.wait(), 0)
        self.assertEqual(s.stub_calls(), [
            "iptables -t filter -F OUTPUT",
            "iptables -t filter -A OUTPUT -o eth2 -p icmp --icmp-type 3 -j DROP"])
        # eth0's link-local IPv6 address may show up as a change of its own.
        v4 = [m for m in d.messages() if m.startswith("IP change") and "." in m]
        self.assertEqual(v4, ["IP change 127.0.0.1 --> 10.0.0.2 detected"])


if __name__ == "__main__":
    unittest.main()
