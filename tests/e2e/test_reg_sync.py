"""Registrations through the daemon's proxy survive a restart of the daemon,
kill -9 included: the registration-sync agent saved them (on a media
processor alert), loads them at start-up and hands them to the new proxy,
which then reaches each phone again. A kill during saves never leaves a
database file that does not load."""

import json
import os
import subprocess
import time
import unittest
import xml.etree.ElementTree as ET

from linegw_harness import ScratchTestCase

SIPP_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sipp")
ADDRESS = "10.0.0.1"
PHONE_ADDRESS = "10.0.0.2"  # not the gateway's own, so the proxy challenges the phones
PHONES = [("201", "pw-201", 5201), ("202", "pw-202", 5202)]
DATABASE = "/lib/linegw/regDataBase.xml"


class RegSyncTest(ScratchTestCase):
    def sipp(self, s, scenario, *args, background=False):
        errors = s.path("/sipp-%s-%d.log" % (scenario, time.monotonic_ns()))
        cmd = ["ip", "netns", "exec", s.ns, "sipp", "-sf", os.path.join(SIPP_DIR, scenario), "-m", "1",
               "-timeout", "20", "-timeout_error", "-nostdin", "-i", PHONE_ADDRESS, "-trace_err", "-error_file", errors
               ] + list(args)
        if background:
            return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
        text = open(errors).read()[-3000:] if os.path.exists(errors) else ""
        return r.returncode, r.stdout[-300:] + text

    def start(self, s):
        """A daemon whose proxy serves the phones' users at ADDRESS; the
        phones' address comes once the users are there (the daemon would
        otherwise take it for its own when it feeds them)."""
        s.run("ip", "addr", "flush", "dev", "eth0p")
        d = s.start("-d")
        d.wait_line("User directory updated")
        if ADDRESS not in s.run("ip", "-4", "addr", "show", "dev", "eth0"):
            s.run("ip", "addr", "add", ADDRESS + "/24", "dev", "eth0")
        d.wait_line(r"record-route enabled \(generated\): <sip:%s:5060;transport=udp" % ADDRESS.replace(".", r"\."))
        s.run("ip", "addr", "add", PHONE_ADDRESS + "/24", "dev", "eth0p")
        return d

    def call_each_phone(self, s, d, when):
        for user, _, port in PHONES:
            phone = self.sipp(s, "phone.xml", "-p", str(port), "-s", user, background=True)
            time.sleep(0.3)
            rc, out = self.sipp(s, "call.xml", "%s:5060" % ADDRESS, "-p", "5300", "-s", user)
            phone_out = phone.communicate(timeout=30)[0]
            self.assertEqual(rc, 0, "%s: call to %s failed\n%s\n--- phone\n%s\n--- daemon\n%s" % (
                when, user, out, phone_out[-1000:], "\n".join(d.output()[-120:])))
            self.assertEqual(phone.returncode, 0, "%s: phone %s\n%s" % (when, user, phone_out[-1000:]))

    def saved_aors(self, s):
        root = ET.parse(s.path(DATABASE)).getroot()
        self.assertEqual(root.tag, "regDataBase")
        return sorted(r.find("aor").text for r in root.findall("reginfo"))

    def save(self, s, d):
        before = len([m for m in d.messages() if "registration database saved to" in m])
        s.sim.request(cmd="inject", kind="alert")
        deadline = time.monotonic() + 10
        while len([m for m in d.messages() if "registration database saved to" in m]) == before:
            self.assertLess(time.monotonic(), deadline, "no save after the alert:\n" + "\n".join(d.output()[-30:]))
            time.sleep(0.05)

    def test_registrations_survive_restarts_and_kill(self):
        s = self.scratch()
        with open(s.path("/etc/linegw.conf"), "w") as f:
            json.dump({"channels": {}, "dvo": {}, "globalconf": {"flags": 0}, "ipaddr": ADDRESS,
                       "netmask": "255.255.255.0", "master": 0,
                       "userlist": [{"n": n, "p": p} for n, p, _ in PHONES]}, f)
        s.start_sim()
        d = self.start(s)
        for user, password, port in PHONES:
            rc, out = self.sipp(s, "register.xml", "%s:5060" % ADDRESS, "-p", str(port), "-s", user,
                                "-au", user, "-ap", password)
            self.assertEqual(rc, 0, out + "\n--- daemon\n" + "\n".join(d.output()[-120:]))
        self.call_each_phone(s, d, "registered")
        # The agent has them from the proxy once its client connected (about 10 s).
        deadline = time.monotonic() + 20
        while True:
            self.save(s, d)
            if self.saved_aors(s) == ["sip:201@%s" % ADDRESS, "sip:202@%s" % ADDRESS]:
                break
            self.assertLess(time.monotonic(), deadline, "the agent never had both phones")
            time.sleep(1)

        # An orderly restart, then kill -9: the saved registrations come back each time.
        d.terminate()
        self.assertEqual(d.wait(), 0)
        d = self.start(s)
        d.wait_line(r"2 object\(s\) loaded")
        self.call_each_phone(s, d, "after a restart")
        d.kill()
        d = self.start(s)
        d.wait_line(r"2 object\(s\) loaded")
        self.call_each_phone(s, d, "after kill -9")

        # Killed while saving over and over: the file always loads whole.
        for delay in (0.0, 0.01, 0.03):
            for _ in range(20):
                s.sim.request(cmd="inject", kind="alert")
            time.sleep(delay)
            d.kill()
            self.assertEqual(self.saved_aors(s), ["sip:201@%s" % ADDRESS, "sip:202@%s" % ADDRESS])
            d = self.start(s)
            d.wait_line(r"2 object\(s\) loaded")
        d.terminate()
        self.assertEqual(d.wait(), 0)


if __name__ == "__main__":
    unittest.main()
