"""Runs the real linegw daemon in a network namespace of its own with a
scratch root, recording stub programs and the simulated watchdog.

    with Scratch() as s:
        d = s.start("-d")
        d.wait_line(r"starting linegw")
        d.terminate()
        assert d.wait() == 0

Each Scratch has a unique namespace ("lo" up, veth pairs eth0/eth0p,
eth1/eth1p, eth2/eth2p) and root directory; both are removed on close, also
after a failure. Nothing touches the host's network, firewall, clock or files
outside the root.

The daemon finds the commands it runs under the root: stand-ins in
<root>/sbin (and at the absolute helper paths) record their argv. PATH starts
with decoys of the same names; were one run, close() fails the test.
"""

import itertools
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import unittest
import threading
import time

BINARY = os.environ.get("LINEGW_BINARY", "linegw")
SIM_BINARY = os.environ.get("LINEGW_SIM_BINARY",
                            os.path.join(os.path.dirname(BINARY), "sim", "linegw-sim"))

# Commands the daemon runs; each stand-in records its argv and succeeds.
STUBS = ["reboot", "iptables", "udhcpc", "pppd", "ntpclient", "dnsmasq", "syslogd",
         "opkg", "gpg", "tar", "linegw.sh", "update-sounds"]
# Absolute helper paths, resolved under the root by the daemon.
ABSOLUTE_STUBS = {
    "/sbin/reboot": "reboot", "/sbin/udhcpc": "udhcpc", "/usr/sbin/pppd": "pppd",
    "/usr/sbin/ntpclient": "ntpclient", "/usr/bin/gpg": "gpg",
    "/etc/init.d/dnsmasq": "dnsmasq", "/etc/init.d/linegw.sh": "linegw.sh",
    "/usr/share/linegw/update-sounds": "update-sounds",
}

# The embedded proxy's configuration as the project ships it.
REPRO_CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "proxy", "repro.config")

_counter = itertools.count()

# A standalone board's configuration without eth0 and eth2 settings, for tests
# that give eth0 its addresses themselves (the default one sets eth0's).
KEEP_ETH0 = {"globalconf": {"dhcp": "no", "flags": 0}, "master": 0}


def _run(*cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


class NamespaceUnavailable(Exception):
    pass


class ProcStat:
    """Serves <root>/proc/stat as a FIFO: each open by the daemon reads one
    "cpu" line whose idle counter grew by the next step (default 100, a calm
    CPU, so the boot wait ends after its second reading)."""

    def __init__(self, path, steps=None):
        self.path = path
        self.steps = list(steps or [])
        self.idle = 1000
        self.reads = 0
        self.stopped = False
        os.mkfifo(path)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopped:
            with open(self.path, "w") as f:  # blocks until the daemon opens it
                if self.stopped:
                    return
                self.idle += self.steps.pop(0) if self.steps else 100
                self.reads += 1
                f.write("cpu 1 2 3 %d 5 6 7 8\n" % self.idle)
            time.sleep(0.2)  # the reader closes before the next line is offered

    def close(self):
        self.stopped = True
        deadline = time.monotonic() + 2
        while self.thread.is_alive() and time.monotonic() < deadline:
            try:  # release a writer blocked in open()
                os.close(os.open(self.path, os.O_RDONLY | os.O_NONBLOCK))
            except OSError:
                pass
            self.thread.join(0.05)


class Simulator:
    """The board simulator as its own process; the daemon reaches its media
    processor through LINEGW_SIM_MSP, tests steer it through the JSON-lines
    control socket."""

    def __init__(self, scratch):
        self.msp_path = scratch.path("/sim-msp.sock")
        self.fpga_path = scratch.path("/sim-fpga.sock")
        self.i2c_path = scratch.path("/sim-i2c.sock")
        # The bit stream the daemon loads, and the one the FPGA takes.
        self.bitstream = scratch.path("/usr/share/linegw/zr-40.rbf")
        os.makedirs(os.path.dirname(self.bitstream), exist_ok=True)
        with open(self.bitstream, "wb") as f:
            f.write(bytes((i * 7 + 3) & 0xFF for i in range(600)))
        self.control_path = scratch.path("/sim-control.sock")
        # In the daemon's namespace: the daemon's end of the socket has an
        # abstract address, and those belong to a network namespace.
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", scratch.ns, SIM_BINARY, "--msp", self.msp_path,
             "--fpga", self.fpga_path, "--fpga-bitstream", self.bitstream, "--i2c", self.i2c_path,
             "--control", self.control_path],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            # A Ctrl-C at the terminal is for the daemon: the simulator goes after it.
            start_new_session=True)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.control_path):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError("simulator did not start: %s" % self.proc.stderr.read().decode())
            time.sleep(0.02)
        # The socket file appears at bind(), a moment before listen().
        while True:
            self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                self._sock.connect(self.control_path)
                break
            except ConnectionRefusedError:
                self._sock.close()
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise
                time.sleep(0.02)
        self._buffer = b""

    def request_raw(self, line):
        """One control request as a JSON line; returns the reply line."""
        self._sock.sendall((line + "\n").encode())
        while b"\n" not in self._buffer:
            chunk = self._sock.recv(65536)
            if not chunk:
                raise AssertionError("simulator closed its control socket")
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode()

    def request(self, **req):
        """One control request; returns the reply object (raises when not ok)."""
        reply = json.loads(self.request_raw(json.dumps(req)))
        if not reply.get("ok"):
            raise AssertionError("simulator refused %r: %r" % (req, reply))
        return reply

    def log(self, fc=None):
        """[(channelId, fc, hex)] of the commands received, in order."""
        req = {"cmd": "log"} if fc is None else {"cmd": "log", "fc": fc}
        return [(e["channel"], e["fc"], e["hex"]) for e in self.request(**req)["log"]]

    def wait_started(self, timeout=30):
        """Waits for the daemon's first IPv6 address command: it comes from
        the address baseline, the last start-up step before the main loop.
        Address changes made after it are changes the daemon sees."""
        deadline = time.monotonic() + timeout
        while not self.log(fc=0x0310):
            if time.monotonic() > deadline:
                raise AssertionError("the daemon never took its address baseline")
            time.sleep(0.05)

    def i2c(self, **req):
        """One control request to the simulated I2C bus (PoE controller, SFP cage)."""
        return self.request(device="i2c", **req)

    def fpga(self, **req):
        """One control request to the simulated FPGA."""
        return self.request(device="fpga", **req)

    def close(self):
        try:
            self._sock.close()
        except OSError:
            pass
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Daemon:
    def __init__(self, scratch, args, env, wrapper=()):
        self.scratch = scratch
        self.lines = []
        self._cond = threading.Condition()
        # A wrapper is a shell that ends with exec: the pid stays the daemon's.
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", scratch.ns] + list(wrapper) + [BINARY] + list(args),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            env=env, cwd=scratch.root)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    @property
    def pid(self):
        return self.proc.pid  # "ip netns exec" execs the daemon itself

    def _read(self):
        for raw in self.proc.stderr:
            with self._cond:
                self.lines.append(raw.decode(errors="replace").rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def messages(self, but_from=()):
        """Log texts without the "linegw[pid]: file:line: " prefix; but_from:
        source files whose lines are left out."""
        out = []
        for line in self.output():
            m = re.match(r"^linegw\[\d+\]: ([^:]+):\d+: (.*)$", line)
            if m and os.path.basename(m.group(1)) not in but_from:
                out.append(m.group(2))
        return out

    def output(self):
        with self._cond:
            return list(self.lines)

    def wait_line(self, pattern, timeout=30):
        """Waits for a stderr line matching the regular expression."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in self.lines:
                    if rx.search(line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self._reader.is_alive()):
                    raise AssertionError("no line matching %r in:\n%s" % (pattern, "\n".join(self.lines)))
                self._cond.wait(min(left, 0.1))

    def wait_until(self, what, condition, timeout=30):
        """Waits for condition() while the daemon runs; what names the failure."""
        deadline = time.monotonic() + timeout
        while not condition():
            if self.proc.poll() is not None:
                raise AssertionError("the daemon ended: " + what)
            if time.monotonic() > deadline:
                raise AssertionError(what)
            time.sleep(0.05)

    def wait_file(self, path, timeout=30):
        deadline = time.monotonic() + timeout
        while not os.path.exists(path):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError("%s did not appear" % path)
            time.sleep(0.02)

    def terminate(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)

    def wait(self, timeout=30):
        rc = self.proc.wait(timeout)
        self._reader.join(5)
        return rc

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._reader.join(5)


class Scratch:
    """A network namespace and a scratch root for one daemon (or several
    sharing the root)."""

    def __init__(self, proc_stat_steps=None):
        if os.geteuid() != 0:
            raise NamespaceUnavailable("network namespaces need root")
        self.ns = "lgw-e2e-%d-%d" % (os.getpid(), next(_counter))
        self.root = tempfile.mkdtemp(prefix="linegw-e2e-")
        self.daemons = []
        self.proc_stat = None
        self.sim = None
        try:
            _run("ip", "netns", "add", self.ns)
        except (subprocess.CalledProcessError, FileNotFoundError) as e:
            shutil.rmtree(self.root, ignore_errors=True)
            raise NamespaceUnavailable(str(e))
        try:
            self._setup_network()
            self._setup_root(proc_stat_steps)
        except BaseException:
            self.close()
            raise

    def _setup_network(self):
        script = "ip link set lo up"
        for i in range(3):
            script += (" && ip link add eth%d type veth peer name eth%dp"
                       " && ip link set eth%dp up" % (i, i, i))
        _run("ip", "netns", "exec", self.ns, "sh", "-c", script)

    def _setup_root(self, proc_stat_steps):
        for d in ["var/run", "etc", "tmp", "proc", "dev", "lib", "stubs"]:
            os.makedirs(self.path("/" + d), exist_ok=True)
        shutil.copy(REPRO_CONFIG, self.path("/etc/repro.config"))
        self.stub_log = self.path("/stub-calls.log")
        self.decoy_log = self.path("/path-calls.log")
        os.makedirs(self.path("/path-decoys"))
        for name in STUBS:
            for d, log in (("stubs", self.stub_log), ("path-decoys", self.decoy_log)):
                p = os.path.join(self.root, d, name)
                with open(p, "w") as f:
                    f.write('#!/bin/sh\n{ printf %%s "%s"; for a in "$@"; do printf " %%s" "$a"; done; '
                            'echo; } >> "%s"\n' % (name, log))
                os.chmod(p, stat.S_IRWXU | stat.S_IRGRP | stat.S_IXGRP | stat.S_IROTH | stat.S_IXOTH)
        links = dict(ABSOLUTE_STUBS)
        for name in STUBS:
            links.setdefault("/sbin/" + name, name)
        for absolute, name in links.items():
            target = self.path(absolute)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            os.symlink(os.path.join(self.root, "stubs", name), target)
        self.proc_stat = ProcStat(self.path("/proc/stat"), proc_stat_steps)
        self.watchdog_log = self.path("/watchdog.log")
        # The watchdog's link reports of GEMAC0 and GEMAC1: none valid yet.
        for port in (0, 1):
            self.set_link_status(port, 0)

    def write_config(self, config):
        """/etc/linegw.conf from a dict, read by a standalone daemon."""
        with open(self.path("/etc/linegw.conf"), "w") as f:
            json.dump(config, f)

    def run(self, *cmd):
        """Runs a command inside the namespace; returns its stdout."""
        return subprocess.run(["ip", "netns", "exec", self.ns] + list(cmd), check=True,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True).stdout

    def listening(self, proto, port):
        """Whether a socket of proto ("u" UDP, "t" TCP) listens on port in the namespace."""
        return (":%d " % port) in self.run("ss", "-Hl" + proto + "n", "sport = :%d" % port) + " "

    def path(self, absolute):
        return self.root + absolute

    def wait_udp_port(self, daemon, port, timeout=30):
        """Waits until something in the namespace listens on UDP port, while
        the daemon runs."""
        deadline = time.monotonic() + timeout
        while (":%d " % port) not in self.run("ss", "-Hlun", "sport = :%d" % port) + " ":
            assert daemon.proc.poll() is None, "the daemon ended"
            assert time.monotonic() < deadline, "nothing listens on UDP %d" % port
            time.sleep(0.05)

    def env(self, **extra):
        env = dict(os.environ)
        env.update({
            "LINEGW_ROOT": self.root,
            "LINEGW_SIM_WATCHDOG": self.watchdog_log,
            "LINEGW_SIM_CLOCK": self.path("/clock.log"),
            "PATH": self.path("/path-decoys") + ":" + env.get("PATH", "/usr/bin:/bin"),
        })
        if self.sim:
            env["LINEGW_SIM_MSP"] = self.sim.msp_path
            env["LINEGW_SIM_FPGA"] = self.sim.fpga_path
            env["LINEGW_SIM_I2C"] = self.sim.i2c_path
        env.update(extra)
        return env

    def start_sim(self):
        """Starts the simulator; daemons started afterwards use it. Start it
        first: a silent media processor makes start-up time out slowly."""
        self.sim = Simulator(self)
        return self.sim

    def start(self, *args, env=None, wrapper=()):
        """Starts the daemon; wrapper: a shell command line run in front of
        it, whose last word is exec "$0" "$@"."""
        d = Daemon(self, args, env or self.env(), ["sh", "-c", wrapper] if wrapper else [])
        self.daemons.append(d)
        return d

    def set_link_status(self, port, status):
        """What the watchdog reports about GEMAC<port>'s link (0x8000: valid,
        speed in bits 10-11, full duplex in bit 12)."""
        # Whole or not at all: the daemon reads the file at any time.
        name = "%s.gemac%d" % (self.watchdog_log, port)
        with open(name + ".tmp", "w") as f:
            f.write("%#x\n" % status)
        os.replace(name + ".tmp", name)

    def watchdog_ops(self):
        """[(monotonic ms, op)] the simulated watchdog recorded."""
        if not os.path.exists(self.watchdog_log):
            return []
        with open(self.watchdog_log) as f:
            return [(int(ms), op) for ms, op in (l.rstrip("\n").split(" ", 1) for l in f)]

    def stub_calls(self):
        return self._calls(self.stub_log)

    def path_calls(self):
        """Commands the daemon took from PATH instead of the root."""
        return self._calls(self.decoy_log)

    @staticmethod
    def _calls(log):
        if not os.path.exists(log):
            return []
        # A stand-in writes its line in pieces: a line counts once it is whole.
        with open(log) as f:
            return [l.rstrip("\n") for l in f if l.endswith("\n")]

    def close(self):
        for d in self.daemons:
            d.kill()
        if self.sim:
            self.sim.close()
        if self.proc_stat:
            self.proc_stat.close()
        leaked = self.path_calls() if os.path.isdir(self.root) else []
        subprocess.run(["ip", "netns", "del", self.ns], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.root, ignore_errors=True)
        if leaked:
            raise AssertionError("the daemon ran commands from PATH: %r" % leaked)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class ScratchTestCase(unittest.TestCase):
    """A test whose scratch() gives a Scratch closed at cleanup, or skips the
    test where no network namespace can be made."""

    def scratch(self, **kw):
        try:
            s = Scratch(**kw)
        except NamespaceUnavailable as e:
            self.skipTest(str(e))
        self.addCleanup(s.close)
        return s
