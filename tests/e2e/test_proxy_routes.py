"""Static routes of the daemon's proxy, fed by the chassis controller: the
route table arrives in chunks of the ".20.0" command, a routed call is
rewritten and forked to two SIPp peers (the loser is cancelled), and the table
is replaced while calls run."""

import json
import os
import re
import subprocess
import time
import unittest

import controller_peer as cp
from linegw_harness import ScratchTestCase

SIPP_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sip_proxy", "sipp")

# Targets forked at once (0x8), and the rest of the request chain skipped
# once a route matched (0x4).
FLAGS = "12"


class ProxyRoutesTest(ScratchTestCase):
    def setUp(self):
        self.ident = 0
        self.peers = []

    def tearDown(self):
        for p in self.peers:
            if p.poll() is None:
                p.kill()
            p.wait()

    def start_gateway(self):
        s = self.scratch()
        s.write_config({"globalconf": {"dhcp": "no", "flags": FLAGS}, "master": 0})
        sim = s.start_sim()
        d = s.start("-d")
        d.wait_until("the proxy does not listen", lambda: s.listening("u", 5060))
        # The management link answers once the poller runs; a Get may be sent again.
        peer = cp.ControllerPeer(sim)
        self.assertIsNotNone(peer.request(cp.GET, 0, cp.get_body([".5.0"]), timeout=30),
                             "the management link does not answer")
        return s, peer, d

    def command(self, peer, command):
        self.ident = (self.ident + 1) % 256
        # One try: a Set sent again would carry its chunk twice.
        got = peer.request(cp.SET, self.ident, cp.set_body([(".20.0", cp.string_value(json.dumps(command)))]),
                           timeout=10, retry=10)
        self.assertIsNotNone(got, command)
        self.assertEqual(cp.parse_list(got.packet[2:], status_only=True), [(".20.0", 0, None)])

    def send_table(self, peer, cmd, value, size=40):
        """value's JSON text in chunks of size bytes."""
        text = json.dumps(value, separators=(",", ":"))
        for off in range(0, len(text), size):
            self.command(peer, {"cmd": cmd, "off": off, "data": text[off:off + size]})

    def sipp(self, s, scenario, port, *args, wait=False):
        """A SIPp instance in the namespace on 127.0.0.1:port, messages in <root>/<port>.msg."""
        cmd = ["ip", "netns", "exec", s.ns, "sipp", "-sf", os.path.join(SIPP_DIR, scenario), "-i", "127.0.0.1",
               "-p", str(port), "-nostdin", "-timeout", "30", "-timeout_error", "-trace_err", "-trace_msg",
               "-message_file", s.path("/%d.msg" % port), "-error_file", s.path("/%d.err" % port)] + list(args)
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.peers.append(p)
        if not wait:
            deadline = time.monotonic() + 10
            while not s.listening("u", port):
                self.assertIsNone(p.poll(), p.stdout.read() if p.poll() is not None else "")
                self.assertLess(time.monotonic(), deadline, "SIPp does not listen on %d" % port)
                time.sleep(0.02)
        return p

    def finished(self, s, p, port, d):
        out, _ = p.communicate(timeout=60)
        errors = ""
        if os.path.exists(s.path("/%d.err" % port)):
            with open(s.path("/%d.err" % port)) as f:
                errors = f.read()
        self.assertEqual(p.returncode, 0, "SIPp on %d\n%s\n%s\n--- daemon\n%s"
                         % (port, out[-2000:], errors, "\n".join(d.output()[-40:])))

    def received(self, s, port, pattern):
        """Requests SIPp on port received whose first line matches pattern."""
        with open(s.path("/%d.msg" % port), errors="replace") as f:
            text = f.read()
        return re.findall(r"^" + pattern, text, re.M)

    def test_a_routed_call_is_rewritten_and_forked_and_the_loser_cancelled(self):
        s, peer, d = self.start_gateway()
        self.send_table(peer, "routes", [
            {"p": "^sip:9([0-9]+)@", "o": 1, "t": "sip:win$1@127.0.0.1:5081"},
            {"p": "^sip:(9)([0-9]+)@", "o": 2, "t": "sip:lose$2@127.0.0.1:5082"},
        ])
        win = self.sipp(s, "uas_answer.xml", 5081, "-m", "1")
        lose = self.sipp(s, "uas_cancelled.xml", 5082, "-m", "1")
        caller = self.sipp(s, "uac_call.xml", 5070, "127.0.0.1:5060", "-s", "9123", "-m", "1", wait=True)
        for p, port in ((caller, 5070), (win, 5081), (lose, 5082)):
            self.finished(s, p, port, d)
        self.assertEqual(len(self.received(s, 5081, r"INVITE sip:win123@127\.0\.0\.1:5081 ")), 1)
        self.assertEqual(len(self.received(s, 5082, r"INVITE sip:lose123@127\.0\.0\.1:5082 ")), 1)
        self.assertEqual(len(self.received(s, 5082, r"CANCEL sip:lose123@")), 1)

        # A registrations batch reaches the sync agent the same way.
        self.send_table(peer, "registrations", [])
        d.wait_line(r"--> registrations updated\.$")
        d.terminate()
        self.assertEqual(d.wait(), 0)

    def test_the_route_table_is_replaced_while_calls_run(self):
        s, peer, d = self.start_gateway()
        self.send_table(peer, "routes", [{"p": "^sip:8([0-9]+)@", "o": 1, "t": "sip:old$1@127.0.0.1:5081"}])
        old = self.sipp(s, "uas_answer.xml", 5081)
        new = self.sipp(s, "uas_answer.xml", 5082)
        calls = 30
        caller = self.sipp(s, "uac_call.xml", 5070, "127.0.0.1:5060", "-s", "8123", "-r", "10", "-l", "10",
                           "-m", str(calls), wait=True)
        # Once some calls went to the old route, the controller sends a new table.
        d.wait_until("no call reached the old route",
                        lambda: os.path.exists(s.path("/5081.msg"))
                        and len(self.received(s, 5081, r"INVITE sip:old")) >= 5)
        self.send_table(peer, "routes", [{"p": "^sip:8([0-9]+)@", "o": 1, "t": "sip:new$1@127.0.0.1:5082"},
                                         {"p": "^sip:7", "o": 2, "t": "sip:other@127.0.0.1:5083"}])
        self.finished(s, caller, 5070, d)
        for p in (old, new):
            p.terminate()
            p.wait(timeout=30)
        to_old = len(self.received(s, 5081, r"INVITE sip:old123@"))
        to_new = len(self.received(s, 5082, r"INVITE sip:new123@"))
        self.assertGreater(to_old, 0)
        self.assertGreater(to_new, 0)
        self.assertEqual(to_old + to_new, calls)
        # Each call ended on the peer that answered it.
        self.assertEqual(len(self.received(s, 5081, r"BYE ")), to_old)
        self.assertEqual(len(self.received(s, 5082, r"BYE ")), to_new)
        d.terminate()
        self.assertEqual(d.wait(), 0)


if __name__ == "__main__":
    unittest.main()
