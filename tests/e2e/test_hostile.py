"""The daemon started and stopped the way a hostile environment would:
several at once on one root, a full disk, closed standard descriptors, stray
signals, a storm of stop requests, stops while start-up waits on a busy
watchdog or a user agent that never comes up, and the simulated watchdog's
reset of a daemon that stopped kicking it."""

import os
import signal
import socket
import subprocess
import threading
import time
import unittest

from linegw_harness import ScratchTestCase


class HostileTest(ScratchTestCase):
    def test_daemons_started_at_one_instant_on_one_root(self):
        s = self.scratch()
        pid_file = s.path("/var/run/linegw.pid")
        gate = s.path("/gate")
        os.mkfifo(gate)
        # Each shell reads one line of the gate, then becomes the daemon: all
        # of them check and write the PID file at the same moment.
        daemons = [s.start("-w", wrapper='read go <> "%s"; exec "$0" "$@"' % gate) for _ in range(4)]
        # Held open until the end: a FIFO drops its lines when nobody has it open.
        held = os.open(gate, os.O_RDWR)
        self.addCleanup(os.close, held)
        os.write(held, b"go\n" * len(daemons))
        deadline = time.monotonic() + 20
        while sum(d.proc.poll() is not None for d in daemons) < len(daemons) - 1:
            self.assertLess(time.monotonic(), deadline, "more than one daemon runs")
            time.sleep(0.05)
        running = [d for d in daemons if d.proc.poll() is None]
        self.assertEqual(len(running), 1)
        for d in daemons:
            if d is not running[0]:
                self.assertEqual(d.wait(), 1)
                self.assertEqual(d.output(), ["linegw already running"])
        d = running[0]
        deadline = time.monotonic() + 10
        while open(pid_file).read() != "%d\n" % d.pid:
            self.assertLess(time.monotonic(), deadline, "the PID file does not name the running daemon")
            time.sleep(0.05)

        # An emptied PID file does not make room for a second daemon.
        open(pid_file, "w").close()
        second = s.start("-w")
        self.assertEqual(second.wait(), 1)
        self.assertEqual(second.output(), ["linegw already running"])

        d.terminate()
        self.assertEqual(d.wait(), 0)

    def test_pid_file_not_written_whole_is_a_failure(self):
        s = self.scratch()
        os.symlink("/dev/full", s.path("/var/run/full.pid"))  # every write: no space left
        d = s.start("-d", "-p", "/var/run/full.pid")
        self.assertEqual(d.wait(), 1)
        self.assertEqual(d.output(), [s.path("/var/run/full.pid") + ": No space left on device"])

    def test_closed_standard_descriptors(self):
        s = self.scratch()
        d = s.start("-d", wrapper='exec "$0" "$@" <&- >&- 2>&-')
        d.wait_file(s.path("/var/run/linegw.pid"))
        # Start-up opens files and sockets; none of them may take 0, 1 or 2.
        time.sleep(1)
        for fd in range(3):
            self.assertEqual(os.readlink("/proc/%d/fd/%d" % (d.pid, fd)), "/dev/null")
        d.terminate()
        self.assertEqual(d.wait(), 0)

    def test_stray_signals_and_a_storm_of_stop_requests(self):
        s = self.scratch()
        d = s.start("-d")
        d.wait_line(r": Created schedule main scheduler$")
        for sig in (signal.SIGHUP, signal.SIGUSR1, signal.SIGUSR2, signal.SIGPIPE):
            d.terminate(sig)
        time.sleep(0.5)
        self.assertIsNone(d.proc.poll(), "a stray signal ended the daemon")

        stop = threading.Event()

        def storm():
            while not stop.is_set() and d.proc.poll() is None:
                d.terminate(signal.SIGTERM)
                d.terminate(signal.SIGINT)
                time.sleep(0.02)

        t0 = time.monotonic()
        stormer = threading.Thread(target=storm)
        stormer.start()
        try:
            self.assertEqual(d.wait(), 0)
        finally:
            stop.set()
            stormer.join()
        self.assertGreaterEqual(time.monotonic() - t0, 5)
        ops = s.watchdog_ops()
        self.assertEqual([op for _, op in ops][-9:], ["W"] * 8 + ["V"])
        # The five kicks of the shutdown pause stay one second apart.
        kicks = ops[-9:-3]
        for (a, _), (b, _) in zip(kicks, kicks[1:]):
            self.assertGreaterEqual(b - a, 950)

    def assert_stopped_soon(self, s, d, stopped_at, within=10):
        self.assertEqual(d.wait(10), 0)
        self.assertLess(time.monotonic() - stopped_at, within)
        msgs = d.messages()
        self.assertIn("got signal 15", msgs)
        self.assertNotIn("Comcerto init error!!! Rebooting...", msgs)
        self.assertFalse([c for c in s.stub_calls() if c.startswith("reboot")])

    def test_stop_during_boot_wait(self):
        s = self.scratch(proc_stat_steps=[0] * 70)   # a CPU that never idles: 60 s of waiting
        d = s.start("-d")
        d.wait_line(r": Waiting for jffs2 scan finish")
        time.sleep(1.5)
        d.terminate()
        self.assert_stopped_soon(s, d, time.monotonic())
        # Nothing after the wait started.
        self.assertNotIn("Created schedule main scheduler", d.messages())
        self.assertEqual(s.watchdog_ops(), [])

    def test_stop_while_the_media_processor_is_silent(self):
        s = self.scratch()
        silent = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(silent.close)
        silent.bind(s.path("/silent-msp.sock"))
        silent.settimeout(30)
        d = s.start("-d", env=s.env(LINEGW_SIM_MSP=s.path("/silent-msp.sock")))
        silent.recv(2048)   # the first start-up command: never answered
        time.sleep(1)
        d.terminate()
        self.assert_stopped_soon(s, d, time.monotonic())
        self.assertIn("stop requested: media processor start-up abandoned", d.messages())

    def test_stop_while_the_watchdog_is_busy(self):
        s = self.scratch()
        d = s.start("-d", env=s.env(LINEGW_SIM_WATCHDOG_BUSY="100"))   # 20 attempts: 8 s
        d.wait_line(r": starting linegw$")
        time.sleep(1.5)   # past the boot wait, into the retries
        d.terminate()
        # The shutdown's five seconds, but not the rest of the eight of retries.
        self.assert_stopped_soon(s, d, time.monotonic(), within=8)
        self.assertNotIn("error opening /dev/comcerto_wdt: Device or resource busy", d.messages())
        self.assertEqual(s.watchdog_ops(), [])

    def test_stop_while_the_user_agent_never_comes_up(self):
        s = self.scratch()
        s.start_sim()
        # The user agent's port is taken: its layer never becomes ready.
        holder = subprocess.Popen(
            ["ip", "netns", "exec", s.ns, "python3", "-c",
             "import socket, sys, time\n"
             "u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
             "u.bind(('127.0.0.1', 6060))\n"
             "print('bound', flush=True)\n"
             "time.sleep(120)\n"],
            stdout=subprocess.PIPE, text=True)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        self.assertEqual(holder.stdout.readline().strip(), "bound")
        d = s.start("-d")
        d.wait_line(r": could not initialize UDP transport layer$")
        time.sleep(1)
        d.terminate()
        self.assert_stopped_soon(s, d, time.monotonic())
        self.assertIn("Destroying schedule main scheduler", d.messages())

    def test_watchdog_resets_a_daemon_stuck_after_a_fatal_alert(self):
        s = self.scratch()
        sim = s.start_sim()
        d = s.start("-d", env=s.env(LINEGW_SIM_WATCHDOG_TIMEOUT_MS="10000"))
        sim.wait_started()
        time.sleep(3)
        self.assertIsNone(d.proc.poll(), "a kicked watchdog reset the daemon")
        sim.request(cmd="inject", kind="alert", type=1, action=5)
        d.wait_line(r"MSP ALERT .*Action=5")
        stuck_at = time.monotonic()
        self.assertEqual(d.wait(30), -signal.SIGKILL)
        self.assertGreaterEqual(time.monotonic() - stuck_at, 8)
        self.assertIn("simulated watchdog: not kicked for 10000 ms, resetting the board", d.output())
        self.assertEqual(s.watchdog_ops()[-1][1], "reset")


if __name__ == "__main__":
    unittest.main()
