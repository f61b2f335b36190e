"""Where the daemon's proxy sends calls: to a registered phone, to the
phones of a call group at once, to a local line through the user agent, to
nobody (the user agent's 404), and barred callers and callees to the lines
that play their announcements. The lines are test-only SIP lines of the
linegw-siptest build (type "SIPTEST"); phones and callers are SIPp."""

import json
import os
import shutil
import subprocess
import time
import unittest

from linegw_harness import KEEP_ETH0, ScratchTestCase

SIPTEST_BINARY = os.environ.get("LINEGW_SIPTEST_BINARY", "linegw-siptest")
SIPP_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sipp")
ADDRESS = "10.0.0.1"
PHONE_ADDRESS = "10.0.0.2"  # not the gateway's own, so the proxy challenges the phones
PHONES = [("201", "pw-201", 5201), ("202", "pw-202", 5202)]


class ProxyRoutingTest(ScratchTestCase):
    def setUp(self):
        if not shutil.which("sipp"):
            self.skipTest("sipp not installed")

    def start(self, config, address=None):
        s = self.scratch()
        self.s = s
        s.write_config(config)
        self.fifo = s.path("/siptest.fifo")
        os.mkfifo(self.fifo)
        s.start_sim()
        if address:
            s.run("ip", "addr", "flush", "dev", "eth0p")
        # The harness runs its wrapper with the daemon's path as $0.
        self.d = s.start("-d", env=s.env(LINEGW_TEST_CONTROL=self.fifo), wrapper='exec "%s" "$@"' % SIPTEST_BINARY)
        if address:
            # The phones' address comes once the users are fed: the daemon
            # would otherwise take it for its own.
            self.d.wait_line("User directory updated")
            if address not in s.run("ip", "-4", "addr", "show", "dev", "eth0"):
                s.run("ip", "addr", "add", address + "/24", "dev", "eth0")
            self.d.wait_line(r"record-route enabled \(generated\): <sip:%s:5060;transport=udp"
                             % address.replace(".", r"\."))
            s.run("ip", "addr", "add", PHONE_ADDRESS + "/24", "dev", "eth0p")
        s.wait_udp_port(self.d, 6060)
        s.sim.wait_started()
        return s

    def control(self, line, logged=None):
        with open(self.fifo, "w") as f:
            f.write(line + "\n")
        if logged:
            self.d.wait_line(logged)

    def sipp(self, scenario, ip, port, *args, target=None):
        """SIPp in the background; finished() waits for it."""
        log = self.s.path("/sipp-%s-%d.log" % (scenario, time.monotonic_ns()))
        cmd = ["ip", "netns", "exec", self.s.ns, "sipp", "-sf", os.path.join(SIPP_DIR, scenario), "-m", "1",
               "-timeout", "20", "-timeout_error", "-nostdin", "-i", ip, "-p", str(port), "-trace_err",
               "-error_file", log] + list(args) + ([target] if target else [])
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        p.log = log
        p.scenario = scenario
        return p

    def finished(self, *procs):
        for p in procs:
            out = p.communicate(timeout=40)[0]
            if p.returncode != 0:
                errors = open(p.log).read()[-3000:] if os.path.exists(p.log) else ""
                self.fail("SIPp %s failed (%d): %s\n%s\n--- daemon\n%s" % (
                    p.scenario, p.returncode, out[-1500:], errors, "\n".join(self.d.output()[-80:])))

    def test_registered_phone_call_group_and_local_line(self):
        self.start({"channels": {}, "dvo": {}, "globalconf": {"dhcp": "no", "flags": 0}, "ipaddr": ADDRESS,
                    "netmask": "255.255.255.0", "master": 0,
                    "userlist": [{"n": n, "p": p} for n, p, _ in PHONES]}, address=ADDRESS)
        proxy = "%s:5060" % ADDRESS
        for user, password, port in PHONES:
            self.finished(self.sipp("register.xml", PHONE_ADDRESS, port, "-s", user, "-au", user, "-ap", password,
                                    target=proxy))

        # A registered phone.
        phone = self.sipp("phone.xml", PHONE_ADDRESS, 5201, "-s", "201")
        time.sleep(0.3)
        self.finished(self.sipp("call.xml", PHONE_ADDRESS, 5300, "-s", "201", target=proxy), phone)

        # A call group rings both phones at once: the first to answer takes
        # the call, the other one is cancelled.
        self.control('callgroups {"500": ["201", "202"]}', logged=r"siptest: proxy callgroups")
        answering = self.sipp("phone.xml", PHONE_ADDRESS, 5201, "-s", "201")
        ringing = self.sipp("phone_cancelled.xml", PHONE_ADDRESS, 5202, "-s", "202")
        time.sleep(0.3)
        self.finished(self.sipp("call.xml", PHONE_ADDRESS, 5300, "-s", "500", target=proxy), answering, ringing)

        # A number nobody registered, of a line of the gateway: through the
        # user agent to that line, which answers.
        self.control('3 {"type":"SIPTEST","uri":"300@%s"}' % ADDRESS)
        self.finished(self.sipp("call.xml", PHONE_ADDRESS, 5300, "-s", "300", target=proxy))
        self.d.wait_line(r"siptest ts 3: incoming call \d+ from caller@%s" % PHONE_ADDRESS.replace(".", r"\."))
        self.d.wait_line(r"siptest ts 3: disconnected")
        self.assertIsNone(self.d.proc.poll())
        self.d.terminate()
        self.assertEqual(self.d.wait(), 0)

    def test_call_record_and_bell_relay(self):
        # 201's bell relay switches on after one second of ringing.
        self.start({"channels": {}, "dvo": {}, "globalconf": {"dhcp": "no", "flags": 0}, "ipaddr": ADDRESS,
                    "netmask": "255.255.255.0", "master": 0,
                    "userlist": [{"n": n, "p": p, "gb": 1} for n, p, _ in PHONES]}, address=ADDRESS)
        proxy = "%s:5060" % ADDRESS
        user, password, port = PHONES[0]
        self.finished(self.sipp("register.xml", PHONE_ADDRESS, port, "-s", user, "-au", user, "-ap", password,
                                target=proxy))
        self.s.sim.fpga(cmd="clear-log")
        phone = self.sipp("phone_ringing.xml", PHONE_ADDRESS, port, "-s", user)
        time.sleep(0.3)
        self.finished(self.sipp("call.xml", PHONE_ADDRESS, 5300, "-s", user, target=proxy), phone)

        line = self.d.wait_line(r"--> CDR: ")
        cdr = json.loads(line.split("--> CDR: ", 1)[1])
        self.assertGreater(cdr["answer"], 0)
        self.assertEqual(cdr["duration"], cdr["hangup"] - cdr["answer"])
        for key in ("answer", "hangup", "duration"):
            del cdr[key]
        self.assertEqual(cdr, {"type": "", "org-scheme": "sip", "org-user": "caller", "org-host": PHONE_ADDRESS,
                               "org-port": "5300", "to-scheme": "sip", "to-user": user, "to-host": ADDRESS})
        self.assertEqual(len([m for m in self.d.messages() if m.startswith("--> CDR: ")]), 1)
        # on after a second of ringing, off with the answer
        relay = [int(w["hex"][-2:], 16) for w in self.s.sim.fpga(cmd="log", reg=0x10E)["log"]]
        self.assertEqual(relay, [1, 0])
        self.assertIsNone(self.d.proc.poll())

    def test_barred_caller_and_callee_and_unknown_number(self):
        # Callers are the gateway's own subscribers on loopback (trusted, as
        # its lines are); the announcement lines stand in for the
        # announcement channels.
        self.start(KEEP_ETH0)
        proxy = "127.0.0.1:5060"
        for ts, user in ((3, "ivr-no_money.raw"), (4, "ivr-sorry.raw"), (5, "112")):
            self.control('%d {"type":"SIPTEST","uri":"%s@127.0.0.1"}' % (ts, user))
        self.control('options 201 {"blout":true,"blex":"^112","notify":false}', logged=r"siptest: proxy options 201")
        self.control('options 202 {"blin":true,"notify":false}', logged=r"siptest: proxy options 202")

        # 201 may call 112 only; its call elsewhere hears "no money". The BYE
        # of its allowed call reaches the line it called.
        self.finished(self.sipp("subscriber_call.xml", "127.0.0.1", 5301, "-key", "caller", "201", "-s", "999",
                                target=proxy))
        self.d.wait_line(r"siptest ts 3: incoming call \d+ from 201@")
        self.finished(self.sipp("subscriber_call.xml", "127.0.0.1", 5301, "-key", "caller", "201", "-s", "112",
                                target=proxy))
        self.d.wait_line(r"siptest ts 5: incoming call \d+ from 201@")
        self.d.wait_line(r"siptest ts 5: disconnected")

        # Calls to 202 are barred: its caller hears "sorry".
        self.finished(self.sipp("subscriber_call.xml", "127.0.0.1", 5302, "-key", "caller", "203", "-s", "202",
                                target=proxy))
        self.d.wait_line(r"siptest ts 4: incoming call \d+ from 203@")

        # A number nobody has: the user agent's own answer.
        self.finished(self.sipp("subscriber_call_refused.xml", "127.0.0.1", 5302, "-key", "caller", "203",
                                "-s", "998", target=proxy))
        self.assertTrue([m for m in self.d.messages() if m.startswith("INVITE received: sip:998@127.0.0.1:6060")],
                        self.d.messages()[-40:])
        self.assertIsNone(self.d.proc.poll())
        self.d.terminate()
        self.assertEqual(self.d.wait(), 0)


if __name__ == "__main__":
    unittest.main()
