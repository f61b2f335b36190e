"""The standalone board's network settings against the running daemon: eth0,
its default route and eth2 as the configuration file says (read back with
ip), the DHCP relay file and dnsmasq's restart, the DHCP client's turn before
the static address, and the NTP client started again each time it ends."""

import json
import os
import re
import signal
import time

import controller_peer as cp

from linegw_harness import ScratchTestCase


def eventually(condition, timeout=20):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


CONFIG = {
    "ipaddr": "10.3.0.2", "netmask": "255.255.255.0", "gateway": "10.3.0.1",
    "ipaddr2": "10.4.0.1", "netmask2": "255.255.255.0",
    "dhcp_server_addr": "10.4.0.9", "ntp": "10.3.0.1",
    "globalconf": {"dhcp": "no"},
}


class NetworkTest(ScratchTestCase):
    def start(self, config, dhcp_file=None):
        s = self.scratch()
        os.makedirs(s.path("/etc/config"), exist_ok=True)
        with open(s.path("/etc/linegw.conf"), "w") as f:
            json.dump(config, f)
        if dhcp_file is not None:
            with open(s.path("/etc/config/dhcp"), "w") as f:
                f.write(dhcp_file)
        s.start_sim()   # board address 31: standalone
        d = s.start("-d")
        d.wait_line(r": switching to standalone mode$", timeout=30)
        return s, d

    def addresses(self, s, link):
        return re.findall(r"inet (\S+)", s.run("ip", "-4", "-o", "addr", "show", link))

    def calls(self, s, name):
        return [c for c in s.stub_calls() if c.split(" ")[0] == name]

    def test_static_settings_relay_and_a_supervised_ntp_client(self):
        s, d = self.start(CONFIG, "config dnsmasq\n\toption domainneeded\t1\n")
        self.assertTrue(eventually(lambda: self.addresses(s, "eth0") == ["10.3.0.2/24"]))
        self.assertEqual(self.addresses(s, "eth2"), ["10.4.0.1/24"])
        self.assertIn("default via 10.3.0.1 dev eth0", s.run("ip", "-4", "route", "show", "default"))
        with open(s.path("/etc/config/dhcp")) as f:
            self.assertEqual(f.read(), "config dnsmasq\n\toption domainneeded\t1\n"
                             "config relay\n\toption server_addr\t10.4.0.9\n\toption local_addr\t10.4.0.1\n")
        self.assertTrue(eventually(lambda: self.calls(s, "dnsmasq") == ["dnsmasq restart"]))
        # the stand-in ends at once: each end is reaped and the next
        # supervision step starts the client again
        self.assertTrue(eventually(lambda: len(self.calls(s, "ntpclient")) >= 3))
        self.assertEqual(set(self.calls(s, "ntpclient")), {"ntpclient -h 10.3.0.1 -i 60 -tls"})
        d.terminate()
        self.assertEqual(d.wait(), 0)
        msgs = d.messages()
        self.assertIn("ntpclient exited with return code 0", msgs)
        self.assertFalse([m for m in msgs if "is missing" in m], msgs)   # all reaped, none lost
        self.assertEqual(self.calls(s, "dnsmasq"), ["dnsmasq restart"])
        self.assertEqual(self.calls(s, "udhcpc"), [])

    def test_in_a_chassis_the_dhcp_client_gives_way_to_static_settings_then_sounds_are_fetched(self):
        s = self.scratch()
        # a udhcpc that runs until SIGTERM, as the real one does
        with open(s.path("/stubs/udhcpc")) as f:
            shebang, record = f.read().split("\n", 1)
        with open(s.path("/stubs/udhcpc"), "w") as f:
            f.write("%s\ntrap 'exit 0' TERM\necho $$ > %s\n%swhile :; do sleep 0.05; done\n"
                    % (shebang, s.path("/udhcpc.pid"), record))
        self.addCleanup(self.kill_stub, s.path("/udhcpc.pid"))
        os.makedirs(s.path("/etc/config"))
        sim = s.start_sim()
        sim.fpga(cmd="set", address=3)   # in a chassis
        d = s.start("-d")
        d.wait_line(r": board address is 3$", timeout=30)
        peer = cp.ControllerPeer(sim)

        command = {"cmd": "globalconf", "dhcp": "-b", "dhcp_server": "10.4.0.9",
                   "ipaddr2": "10.4.0.1", "netmask2": "255.255.255.0"}
        self.assertEqual(peer.set(1, [(".20.0", cp.string_value(json.dumps(command)))]),
                         [(".20.0", 0, None)])
        self.assertTrue(eventually(lambda: self.calls(s, "udhcpc")))
        # the empty argument after -V keeps its place
        self.assertEqual(self.calls(s, "udhcpc"), ["udhcpc -i eth0 -f -p /var/run/eth0.pid -R -S -V  -b"])
        self.assertEqual(self.addresses(s, "eth2"), ["10.4.0.1/24"])
        self.assertTrue(eventually(lambda: self.calls(s, "dnsmasq") == ["dnsmasq restart"]))
        with open(s.path("/etc/config/dhcp")) as f:
            self.assertEqual(f.read(), "config relay\n\toption server_addr\t10.4.0.9\n\toption local_addr\t10.4.0.1\n")

        # a static address stops the client; its end applies the address
        entries = [(".5.0", cp.string_value("10.3.0.2")), (".6.0", cp.string_value("10.9.0.1")),
                   (".7.0", cp.string_value("10.3.0.1")), (".8.0", cp.string_value("255.255.255.0"))]
        self.assertEqual([e[1] for e in peer.set(2, entries)], [0, 0, 0, 0])
        d.wait_line(r": DHCP client \(pid \d+\) exited with return code 0$", timeout=20)
        self.assertTrue(eventually(lambda: self.addresses(s, "eth0") == ["10.3.0.2/24"]))
        self.assertIn("default via 10.3.0.1 dev eth0", s.run("ip", "-4", "route", "show", "default"))
        # with the controller known and eth0 complete: the sound files, once
        d.wait_line(r": download complete$", timeout=20)
        self.assertEqual(self.calls(s, "update-sounds"), ["update-sounds http://10.9.0.1/files/zr-30/sounds"])
        time.sleep(1.5)   # more than a supervision step: nothing started again
        self.assertEqual(len(self.calls(s, "udhcpc")), 1)
        self.assertEqual(len(self.calls(s, "update-sounds")), 1)
        d.terminate()
        self.assertEqual(d.wait(), 0)

    @staticmethod
    def kill_stub(pidfile):
        try:
            with open(pidfile) as f:
                os.kill(int(f.read()), signal.SIGKILL)
        except (OSError, ValueError):
            pass
