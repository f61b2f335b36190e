"""The daemon's embedded proxy in its namespace: the transports of the
shipped /etc/repro.config (TLS once /tmp/ssl holds a certificate and key), a
call through it to the user agent on 127.0.0.1:6060, and its move to a new
address."""

import os
import subprocess
import unittest

from linegw_harness import KEEP_ETH0, ScratchTestCase

SIPP_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "proxy", "sipp")


class ProxyTest(ScratchTestCase):
    def sipp(self, s, scenario, target, *args):
        # A local port of its own: SIPp's default is 5060, which it would take
        # whenever the proxy's transports are down for a restart.
        r = subprocess.run(["ip", "netns", "exec", s.ns, "sipp", target, "-sf", os.path.join(SIPP_DIR, scenario),
                            "-p", "5070", "-m", "1", "-timeout", "20", "-timeout_error", "-nostdin", "-trace_err",
                            "-error_file", s.path("/sipp-errors.log")] + list(args),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
        errors = ""
        if os.path.exists(s.path("/sipp-errors.log")):
            with open(s.path("/sipp-errors.log")) as f:
                errors = f.read()
        return r.returncode, r.stdout[-2000:] + errors

    def test_transports_call_to_the_user_agent_and_address_change(self):
        s = self.scratch()
        s.write_config(KEEP_ETH0)
        os.makedirs(s.path("/tmp/ssl"), exist_ok=True)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-days", "1", "-subj", "/CN=linegw", "-keyout", s.path("/tmp/ssl/sslkey"),
                        "-out", s.path("/tmp/ssl/sslcert")], check=True, capture_output=True)
        s.start_sim()
        d = s.start("-d")
        # The TLS files found at start-up differ from the board configuration's
        # (none): entering standalone mode restarts the proxy. Its transports
        # are bound once the last of them logged its record-route again.
        tls_rr = "Transport specific record-route enabled (generated): <sip:127.0.0.1:5061;transport=tls;lr>"
        d.wait_line(r"--> restarting repro$")
        d.wait_until("the proxy did not start again", lambda: d.messages().count(tls_rr) >= 2)
        for proto, port in (("u", 5060), ("t", 5060), ("t", 5061)):
            d.wait_until("nothing listens on %s %d" % (proto, port), lambda: s.listening(proto, port))
        d.wait_until("the user agent does not listen", lambda: s.listening("u", 6060))

        rc, out = self.sipp(s, "call_ua.xml", "127.0.0.1:5060", "-s", "100")
        self.assertEqual(rc, 0, out + "\n--- daemon\n" + "\n".join(d.output()[-40:]))
        self.assertTrue([m for m in d.messages() if m.startswith("INVITE received: sip:100@127.0.0.1:6060")],
                        d.messages())

        # An address on eth0: the proxy starts again and record-routes with it.
        s.run("ip", "addr", "add", "10.0.0.2/24", "dev", "eth0")
        d.wait_line(r"Transport specific record-route enabled \(generated\): <sip:10\.0\.0\.2:5061;transport=tls;lr>")
        for proto, port in (("u", 5060), ("t", 5060), ("t", 5061)):
            d.wait_until("nothing listens on %s %d" % (proto, port), lambda: s.listening(proto, port))
        rc, out = self.sipp(s, "call_ua.xml", "10.0.0.2:5060", "-s", "101", "-i", "10.0.0.2")
        self.assertEqual(rc, 0, out + "\n--- daemon\n" + "\n".join(d.output()[-40:]))

        d.terminate()
        self.assertEqual(d.wait(), 0)
        self.assertFalse([m for m in d.messages() if "repro_start(): rr->run()" in m or "restart failed" in m],
                         d.messages())


if __name__ == "__main__":
    unittest.main()
