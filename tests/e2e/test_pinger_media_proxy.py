"""The reachability test and the media relay of the running daemon: a host in a
namespace of its own behind eth2 answers (or ignores) pings and serves DNS for
the daemon's resolver; datagrams from it to eth2 are caught as frames at the
far end of eth1."""

import itertools
import json
import subprocess
import sys
import time
import unittest

import controller_peer as cp
from linegw_harness import ScratchTestCase

GATEWAY = "10.77.2.1"
HOST = "10.77.2.2"

# Answers "peer.test" with the host's address, "nodata.test" with no records,
# every other name as unknown.
DNS_STUB = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 53))
print("ready", flush=True)
while True:
    q, peer = s.recvfrom(512)
    i, labels = 12, []
    while i < len(q) and q[i]:
        labels.append(q[i + 1:i + 1 + q[i]].decode())
        i += q[i] + 1
    name, qtype = ".".join(labels), q[i + 1] << 8 | q[i + 2]
    r = bytearray(q[:i + 5])
    r[2:4] = b"\x81\x80"
    r[6:12] = bytes(6)
    if name == "peer.test" and qtype == 1:
        r[7] = 1
        r += bytes([0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4]) + socket.inet_aton(sys.argv[1])
    elif name not in ("peer.test", "nodata.test"):
        r[3] |= 3
    s.sendto(bytes(r), peer)
"""

# Prints, as JSON lines, the frames arriving on an interface until some seconds
# after its standard input closes (the sender is done): a slow start of the
# sender on a loaded machine loses nothing.
CAPTURE = r"""
import json, select, socket, sys, time
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
s.bind((sys.argv[1], 0))
print("ready", flush=True)
end, watch = time.monotonic() + 60, [s, sys.stdin]
while time.monotonic() < end:
    ready = select.select(watch, [], [], 0.05)[0]
    if sys.stdin in ready and not sys.stdin.read(1):
        end, watch = min(end, time.monotonic() + float(sys.argv[2])), [s]
    if s in ready:
        data, addr = s.recvfrom(65535)
        if addr[2] != socket.PACKET_OUTGOING and data[12:14] == b"\x08\x00":
            print(json.dumps(data.hex()), flush=True)
"""

SEND = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for port in sys.argv[2:]:
    s.sendto(bytes((i * 7 + int(port)) & 0xFF for i in range(172)), (sys.argv[1], int(port)))
"""


class PingerMediaProxyTest(ScratchTestCase):
    def setUp(self):
        s = self.s = self.scratch()
        # the far host: its own namespace, eth2's peer moved into it
        self.far = s.ns + "-far"
        subprocess.run(["ip", "netns", "add", self.far], check=True)
        self.addCleanup(subprocess.run, ["ip", "netns", "del", self.far], stderr=subprocess.DEVNULL)
        s.run("sh", "-c", "ip link set eth2p netns %s && ip addr add %s/24 dev eth2 && ip link set eth2 up"
                          " && ip link set eth1 up && ip link set eth1p up" % (self.far, GATEWAY))
        self.far_run("sh", "-c", "ip link set lo up && ip addr add %s/24 dev eth2p && ip link set eth2p up" % HOST)
        self.dns = subprocess.Popen(["ip", "netns", "exec", self.far, sys.executable, "-c", DNS_STUB, HOST],
                                    stdout=subprocess.PIPE, text=True)
        self.addCleanup(self.dns.wait)
        self.addCleanup(self.dns.kill)
        self.assertEqual(self.dns.stdout.readline().strip(), "ready")
        # the daemon's resolver asks the far host only; no hosts file of the machine
        with open(s.path("/etc/resolv.conf"), "w") as f:
            f.write("nameserver %s\n" % HOST)
        open(s.path("/etc/hosts"), "w").close()

        sim = s.start_sim()
        sim.fpga(cmd="set", address=3)   # in a chassis: eth2 keeps what the test gave it
        self.d = s.start("-d", env=s.env(CARES_HOSTS=s.path("/etc/hosts")))
        self.d.wait_line(r": board address is 3$", timeout=30)
        self.peer = cp.ControllerPeer(sim)
        self.ids = itertools.count(1)

    def far_run(self, *cmd):
        return subprocess.run(["ip", "netns", "exec", self.far] + list(cmd), check=True,
                              stdout=subprocess.PIPE, text=True).stdout

    def ping(self, host, timeout=40):
        """Starts a test through the controller; the texts read until it ended."""
        self.assertEqual(self.peer.set(next(self.ids), [(".30.7.1.0", cp.string_value(host))]),
                         [(".30.7.1.0", 0, None)])
        texts = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            got = self.peer.get(next(self.ids), [".30.7.1.0"])
            if not texts or texts[-1] != got[0][2]:
                texts.append(got[0][2])
            if texts[-1] != "working...":
                break
            time.sleep(0.2)
        return texts

    def echo_requests_seen(self):
        """Echo requests the far host's kernel has received, answered or not."""
        snmp = self.far_run("cat", "/proc/net/snmp").splitlines()
        names, values = [l.split()[1:] for l in snmp if l.startswith("IcmpMsg:")] or [[], []]
        return int(dict(zip(names, values)).get("InType8", 0))

    def test_reachable_silent_and_named_hosts(self):
        self.assertEqual(self.ping(HOST), ["working...", "OK"])
        # a silent host: three requests, then the test gives up
        self.far_run("sysctl", "-qw", "net.ipv4.icmp_echo_ignore_all=1")
        before = self.echo_requests_seen()
        self.assertEqual(self.ping(HOST), ["working...", "timeout"])
        self.assertEqual(self.echo_requests_seen() - before, 3)
        self.far_run("sysctl", "-qw", "net.ipv4.icmp_echo_ignore_all=0")

        self.assertEqual(self.ping("peer.test"), ["working...", "OK"])
        self.assertEqual(self.ping("missing.test")[-1], "host does not exist")
        self.assertEqual(self.ping("nodata.test")[-1], "cannot resolve host name: no data returned")
        self.d.terminate()
        self.assertEqual(self.d.wait(), 0)

    def test_media_ports_are_relayed_to_eth0s_mac(self):
        macs = {l["ifname"]: bytes.fromhex(l["address"].replace(":", ""))
                for l in json.loads(self.s.run("ip", "-j", "link"))}
        self.d.wait_line(r"--> MediaProxy::start\(\)", timeout=30)
        captures = {}
        for ifname in ("eth1p", "eth2"):
            p = subprocess.Popen(["ip", "netns", "exec", self.s.ns, sys.executable, "-c", CAPTURE, ifname, "2"],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.addCleanup(p.wait)
            self.assertEqual(p.stdout.readline().strip(), "ready")
            captures[ifname] = p
        ports = [9999, 10000, 10511, 10512]
        subprocess.run(["ip", "netns", "exec", self.far, sys.executable, "-c", SEND, GATEWAY]
                       + [str(p) for p in ports], check=True)
        for p in captures.values():
            p.stdin.close()
        frames = {ifname: [bytes.fromhex(json.loads(l)) for l in p.stdout] for ifname, p in captures.items()}

        def port(frame):
            return frame[14 + 22] << 8 | frame[14 + 23]

        received = {port(f): f for f in frames["eth2"]}
        self.assertEqual(sorted(received), ports)
        relayed = {port(f): f for f in frames["eth1p"]}
        self.assertEqual(sorted(relayed), [10000, 10511])
        for p, f in relayed.items():
            self.assertEqual(f[:6], macs["eth0"])
            self.assertEqual(f[6:12], macs["eth1"])
            self.assertEqual(f[14:], received[p][14:])   # IP header and all, as it came
        self.assertEqual(len(frames["eth1p"]), 2)
        self.d.terminate()
        self.assertEqual(self.d.wait(), 0)
        self.assertIn("--> MediaProxy::stop()", self.d.messages())


if __name__ == "__main__":
    unittest.main()
