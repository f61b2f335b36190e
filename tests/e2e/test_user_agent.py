"""The daemon's SIP user agent on 127.0.0.1:6060: what it answers by itself
with no channel configured (SIPp and sipsak), and its stop at shutdown."""

import os
import subprocess
import time
import unittest

from linegw_harness import ScratchTestCase

UA_SIPP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ua", "ua_sipp.sh")


class UserAgentTest(ScratchTestCase):
    def wait_listening(self, s, d, timeout=30):
        deadline = time.monotonic() + timeout
        while ":6060 " not in s.run("ss", "-Hlun", "sport = :6060") + " ":
            self.assertIsNone(d.proc.poll(), "the daemon ended")
            self.assertLess(time.monotonic(), deadline, "nothing listens on UDP 6060")
            time.sleep(0.05)

    def test_self_answers_and_stop(self):
        s = self.scratch()
        s.start_sim()
        d = s.start("-d")
        self.wait_listening(s, d)
        # Every refusal, the unclaimed call's 404 and OPTIONS with its headers.
        r = subprocess.run(["ip", "netns", "exec", s.ns, "env", "UA_RUNNING=1", "bash", UA_SIPP,
                            "-", "self_answers"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=90)
        if r.returncode == 77:
            self.skipTest(r.stdout.strip())
        self.assertEqual(r.returncode, 0, r.stdout + "\n--- daemon\n" + "\n".join(d.output()[-40:]))
        self.assertIsNone(d.proc.poll())

        # Shutdown stops the user-agent thread and joins it: a thread left
        # running would hold the process.
        d.terminate()
        self.assertEqual(d.wait(), 0)
        msgs = d.messages()
        self.assertIn("Destroying schedule main scheduler", msgs)
        self.assertFalse([m for m in msgs if "could not initialize UDP transport layer" in m
                          or "std_queue_enqueue() failed" in m], msgs)


if __name__ == "__main__":
    unittest.main()
