"""Calls through the daemon to and from a test-only channel on the SIP channel
base (the linegw-siptest build of the daemon, type "SIPTEST"), with SIPp as
the far end and the simulated media processor showing the media."""

import os
import shutil
import subprocess
import time
import unittest

from linegw_harness import KEEP_ETH0, ScratchTestCase

SIPTEST_BINARY = os.environ.get("LINEGW_SIPTEST_BINARY", "linegw-siptest")
SIPP_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sipp")
HOLD_MUSIC = "/usr/share/linegw/sounds/holdtune-preludio-in-e-major.raw"
TS = 3


def media_to(channel, port, payload):
    return channel["ip"].get("rtp", {}).get("dst_port") == port and channel["tx_pt"] == payload


class SipChannelTest(ScratchTestCase):
    def setUp(self):
        if not shutil.which("sipp"):
            self.skipTest("sipp not installed")

    def start(self, settings):
        s = self.scratch()
        self.s = s
        s.write_config(KEEP_ETH0)   # the calls run on the loopback address
        os.makedirs(os.path.dirname(s.path(HOLD_MUSIC)), exist_ok=True)
        with open(s.path(HOLD_MUSIC), "wb") as f:
            f.write(bytes(range(256)) * 64)
        self.fifo = s.path("/siptest.fifo")
        os.mkfifo(self.fifo)
        s.start_sim()
        # The harness runs its wrapper with the daemon's path as $0.
        self.d = s.start("-d", env=s.env(LINEGW_TEST_CONTROL=self.fifo),
                         wrapper='exec "%s" "$@"' % SIPTEST_BINARY)
        s.wait_udp_port(self.d, 6060)
        s.sim.wait_started()
        self.control(settings)
        return s

    def control(self, settings):
        with open(self.fifo, "w") as f:
            f.write("%d %s\n" % (TS, settings))

    def sipp(self, scenario, port, wait=True, timeout=40):
        args = ["ip", "netns", "exec", self.s.ns, "sipp", "-nostdin", "-i", "127.0.0.1", "-p", str(port),
                "-m", "1", "-timeout", "%ds" % (timeout - 5), "-timeout_error", "-trace_err",
                "-sf", os.path.join(SIPP_DIR, scenario)]
        if scenario.startswith("caller"):
            args.append("127.0.0.1:6060")
        p = subprocess.Popen(args, cwd=self.s.root, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL, text=True)
        if wait:
            self.finished(p, scenario, timeout)
        return p

    def finished(self, p, scenario, timeout=40):
        out, _ = p.communicate(timeout=timeout)
        if p.returncode != 0:
            errors = ""
            for name in os.listdir(self.s.root):
                if name.endswith("errors.log"):
                    with open(os.path.join(self.s.root, name)) as f:
                        errors += f.read()[-3000:]
            self.fail("SIPp %s failed (%d): %s\n%s\n--- daemon\n%s" % (
                scenario, p.returncode, out[-1500:], errors, "\n".join(self.d.output()[-60:])))

    def voice_channel(self, timeout=10, check=None):
        """The simulator's voice connection of the test timeslot once check(channel) holds."""
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            for c in self.s.sim.request(cmd="state")["state"]["channels"]:
                if c["timeslot"] == TS and c["type"] == 2:
                    last = c
                    if check is None or check(c):
                        return c
            time.sleep(0.05)
        self.fail("no voice connection as expected on timeslot %d: %r\n--- daemon\n%s" % (
            TS, last, "\n".join(self.d.output()[-80:])))

    def test_incoming_call_media_hold_and_rtp_timeout(self):
        self.start('{"type":"SIPTEST","uri":"100@127.0.0.1","rtp-timeout":2}')
        caller = self.sipp("caller_hold.xml", 5070, wait=False)
        self.d.wait_line(r"siptest ts %d: incoming call \d+ from alice@127\.0\.0\.1" % TS)
        self.d.wait_line(r"siptest ts %d: answer 0" % TS)

        # The negotiated codec (PCMA, payload 8) and the peer's RTP address
        # (the addresses go in before the voice path is enabled).
        c = self.voice_channel(check=lambda c: media_to(c, 4000, 8))
        self.assertEqual(c["ip"]["rtp"]["dst"], "127.0.0.1")
        self.assertEqual(c["ip"]["rtcp"]["dst_port"], 4001)
        self.assertGreater(c["ip"]["rtp"]["src_port"], 0)

        # Held with an address of 0.0.0.0 (no a=inactive): hold music on the
        # timeslot, the stream stopped and nothing aimed at that address;
        # resumed: the music stops and the stream runs to the caller again.
        # Then the RTP counter stands still.
        channel_id = c["id"]
        held = self.voice_channel(check=lambda c: c["play_bytes"] > 0)
        self.assertEqual(held["last"]["VINFOTMR"], "0000")
        self.assertEqual(held["ip"]["rtp"]["dst"], "127.0.0.1")
        stops = held["as_stops"]
        self.voice_channel(check=lambda c: c["as_stops"] > stops and c["last"]["VINFOTMR"] == "0500")
        deadline = time.monotonic() + 15
        while caller.poll() is None and time.monotonic() < deadline:
            self.s.sim.request(cmd="inject", kind="vinfo", channel=channel_id, received=7)
            time.sleep(0.5)
        self.finished(caller, "caller_hold.xml")
        self.d.wait_line(r" ts %d: RTP timeout" % TS)
        self.d.wait_line(r"siptest ts %d: state idle" % TS)

        # A caller that hangs up itself.
        self.sipp("caller_bye.xml", 5072)
        self.d.wait_line(r"siptest ts %d: incoming call \d+ from bob@" % TS)
        self.d.wait_line(r"siptest ts %d: disconnected [2-9]\d* " % TS)
        self.assertIsNone(self.d.proc.poll())
        self.d.terminate()
        self.assertEqual(self.d.wait(), 0)

    def test_outgoing_call_transfer_and_local_hangup(self):
        self.start('{"type":"SIPTEST","uri":"100@127.0.0.1"}')
        target = self.sipp("transfer_target.xml", 5080, wait=False)
        transferor = self.sipp("callee_transferor.xml", 5070, wait=False)
        time.sleep(0.5)
        self.control('{"type":"SIPTEST","uri":"100@127.0.0.1","dial":"sip:200@127.0.0.1:5070"}')
        self.d.wait_line(r"siptest ts %d: answered" % TS)
        self.voice_channel(check=lambda c: media_to(c, 4010, 0))   # PCMU, as the callee answered

        # REFERred to the target: the channel's call is now the one to 5080.
        self.d.wait_line(r"siptest ts %d: call id replaced" % TS)
        self.finished(transferor, "callee_transferor.xml")
        self.voice_channel(check=lambda c: media_to(c, 4020, 8))

        # Hung up here: BYE to the target, the line idle, the stream stopped.
        self.control('{"type":"SIPTEST","uri":"100@127.0.0.1","hangup":true}')
        self.finished(target, "transfer_target.xml")
        self.d.wait_line(r"siptest ts %d: state idle" % TS)
        self.assertIsNone(self.d.proc.poll())
        self.d.terminate()
        self.assertEqual(self.d.wait(), 0)


if __name__ == "__main__":
    unittest.main()
