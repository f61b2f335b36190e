"""The demo: linegw on the simulated board in a network namespace and scratch
root of its own, its log and, between its lines, what it asked of the
simulated board (media processor commands, FPGA register writes and bit-stream
loads, watchdog, clock) and of the stand-in commands. Ctrl-C stops the daemon
first and the simulator after it. scripts/demo builds and runs it; the tests
run it with LINEGW_BINARY and LINEGW_SIM_BINARY set.

The board's configuration holds two SIP users; once the daemon is up, eth0
gets the board's address and the demo tells how to register softphones with
the embedded proxy and call. With --call it does so itself: two headless
baresip phones register, one calls the other through the proxy, and the demo
stops the daemon and exits 0 when the call was established on both sides.

    python3 linegw_demo.py [--call] [daemon options]
"""

import json
import os
import select
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from linegw_harness import Scratch  # noqa: E402

# What a user can ask of the simulator once the daemon runs.
REQUESTS = [
    ('{"cmd":"state"}', "the media processor: device, channels, conferences"),
    ('{"cmd":"log"}', "every command it received (add \"fc\":N for one kind)"),
    ('{"cmd":"fault","kind":"status","fc":1039,"status":7}', "make a command fail (also drop, delay, late, ...)"),
    ('{"cmd":"inject","kind":"dtmf","channel":1,"tone":5}', "send an indication (cas, tone, cid, heartbeat, ...)"),
    ('{"cmd":"set","heartbeat_status":1}', "change the device (available, versions, heartbeat)"),
    ('{"device":"fpga","cmd":"state"}', "the FPGA: registers, modules, E1 alarms"),
    ('{"device":"fpga","cmd":"set","e1_alarms":1}', "raise E1 alarms (also module1, module2, address, cas)"),
    ('{"device":"fpga","cmd":"trace"}', "every FPGA register transfer"),
]


# The board's address on eth0 and its SIP users (name, password).
ADDRESS = "10.0.0.1"
USERS = [("201", "demo-201"), ("202", "demo-202")]


def write_configuration(s):
    """/etc/linegw.conf of a standalone board whose user list has USERS."""
    config = {"channels": {}, "dvo": {}, "globalconf": {"flags": 0}, "ipaddr": ADDRESS,
              "netmask": "255.255.255.0", "master": 0,
              "userlist": [{"n": n, "p": p} for n, p in USERS]}
    with open(s.path("/etc/linegw.conf"), "w") as f:
        json.dump(config, f, indent=4)


def phone_directory(s, user, password, port):
    """A baresip configuration for user without audio devices (audio loops
    back inside the phone); answers calls by itself."""
    d = s.path("/phones/%s" % user)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "config"), "w") as f:
        f.write("sip_listen %s:%d\n" % (ADDRESS, port)
                + "audio_player aubridge,%s\naudio_source aubridge,%s\naudio_alert aubridge,alert%s\n" % (user, user, user)
                + "audio_srate 8000\naudio_channels 1\nrtp_ports %d-%d\n" % (port * 10, port * 10 + 50)
                + "module_path /usr/lib/baresip/modules\nmodule g711.so\nmodule aubridge.so\n"
                + "module_app account.so\nmodule_app menu.so\n")
    with open(os.path.join(d, "accounts"), "w") as f:
        f.write("<sip:%s@%s>;auth_pass=%s;answermode=auto;regint=600\n" % (user, ADDRESS, password))
    return d


def phone_command(s, d):
    return ["ip", "netns", "exec", s.ns, "baresip", "-n", ADDRESS, "-f", d]


class Phones:
    """The demo's SIP side: eth0's address, the users, and the softphones."""

    def __init__(self, s, d):
        self.s, self.d = s, d
        self.dirs = [phone_directory(s, n, p, 5100 + 10 * i) for i, (n, p) in enumerate(USERS)]
        self.procs = []
        self.step = "address"

    def poll(self, lines):
        """Advances once the daemon is ready for the next step; lines to show."""
        # After start-up cleared eth0's address: the configuration is applied by then.
        if self.step == "address" and any("User directory updated" in l for l in lines):
            # the daemon sets it from the configuration too
            self.s.run("ip", "addr", "replace", ADDRESS + "/24", "dev", "eth0")
            self.step = "proxy"
            return ["eth0 <- %s/24 (the board's address)" % ADDRESS]
        moved = "record-route enabled (generated): <sip:%s:5060;transport=udp" % ADDRESS
        if self.step == "proxy" and any(moved in l for l in lines):
            self.step = "ready"
            out = ["the proxy serves SIP users %s at %s: UDP and TCP port 5060, TLS 5061" % (
                ", ".join("%s (password %s)" % u for u in USERS), ADDRESS),
                "softphones run in the demo's network (the host's own is never touched); from the host:"]
            for (n, _), d in zip(USERS, self.dirs):
                out.append("  sudo %s" % " ".join(phone_command(self.s, d)))
            out.append("then in the first one: /dial sip:%s@%s" % (USERS[1][0], ADDRESS))
            return out
        return []

    def call(self, seconds=6):
        """Both phones register, the first calls the second; True when both
        saw the call established and it ended."""
        logs = [self.s.path("/phones/%s.log" % n) for n, _ in USERS]
        callee = subprocess.Popen(phone_command(self.s, self.dirs[1]) + ["-t", str(seconds + 12)],
                                  stdin=subprocess.DEVNULL, stdout=open(logs[1], "w"), stderr=subprocess.STDOUT)
        self.procs.append(callee)
        registered = "%s@%s: {0/UDP/v4} 200 OK" % (USERS[1][0], ADDRESS)
        deadline = time.monotonic() + 20
        while registered not in open(logs[1]).read():
            if time.monotonic() > deadline or callee.poll() is not None:
                return False
            time.sleep(0.2)
        caller = subprocess.run(phone_command(self.s, self.dirs[0]) + [
            "-t", str(seconds), "-e", "/dial sip:%s@%s" % (USERS[1][0], ADDRESS)],
            stdin=subprocess.DEVNULL, stdout=open(logs[0], "w"), stderr=subprocess.STDOUT, timeout=seconds + 20)
        callee.wait(seconds + 20)
        texts = [open(l).read() for l in logs]
        for (n, _), t in zip(USERS, texts):
            say("%s's phone: %s" % (n, "; ".join(l.strip() for l in t.splitlines()
                                                  if "Call established" in l or "terminated" in l or "200 OK" in l)))
        return caller.returncode == 0 and all("Call established" in t for t in texts) and \
            "terminated" in texts[1]

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait()


def say(text):
    print("linegw demo: " + text, flush=True)


def grouped(items):
    """[(text, count)] of runs of equal texts."""
    out = []
    for t in items:
        if out and out[-1][0] == t:
            out[-1][1] += 1
        else:
            out.append([t, 1])
    return out


class Requests:
    """What the daemon asked of the simulated board and of the stand-ins
    since the last call, as readable lines."""

    def __init__(self, scratch, sim):
        self.s, self.sim = scratch, sim
        self.msp = self.fpga_seq = self.loads = self.stubs = self.watchdog = self.clock = self.kicks = 0

    @staticmethod
    def _lines(path, start):
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [l.rstrip("\n") for l in f][start:]

    def new(self):
        out = []
        log = self.sim.request(cmd="log")["log"][self.msp:]
        self.msp += len(log)
        for (name, channel), n in grouped((e["name"], e["channel"]) for e in log):
            where = "" if channel == 0xFFFF else " on channel %d" % channel
            out.append("media processor <- %s%s%s" % (name, where, " x%d" % n if n > 1 else ""))
        loads = self.sim.fpga(cmd="loads")["loads"][self.loads:]
        self.loads += len(loads)
        for l in loads:
            out.append("FPGA <- bit stream, %d bytes in %d writes" % (l["bytes"], len(l["writes"])))
        writes = [w for w in self.sim.fpga(cmd="log")["log"] if w["seq"] > self.fpga_seq]
        if writes:
            self.fpga_seq = writes[-1]["seq"]
        # Runs of one value into neighbouring registers, or into one register, in a line each.
        runs = []
        for w in writes:
            r = runs[-1] if runs else None
            if r and w["hex"] == r["hex"] and w["reg"] == r["last"] + 1 and r["n"] == 1 + r["last"] - r["reg"]:
                r["last"] = w["reg"]
                r["n"] += 1
            elif r and w["hex"] == r["hex"] and w["reg"] == r["last"] == r["reg"]:
                r["n"] += 1
            else:
                runs.append({"reg": w["reg"], "last": w["reg"], "hex": w["hex"], "n": 1})
        for r in runs:
            if r["last"] != r["reg"]:
                out.append("FPGA <- registers 0x%03x-0x%03x = %s" % (r["reg"], r["last"], r["hex"]))
            else:
                out.append("FPGA <- register 0x%03x = %s%s" % (r["reg"], r["hex"], " x%d" % r["n"] if r["n"] > 1 else ""))
        calls = self.s.stub_calls()[self.stubs:]
        self.stubs += len(calls)
        out += ["command: " + c for c in calls]
        ops = self._lines(self.s.watchdog_log, self.watchdog)
        self.watchdog += len(ops)
        for op in (o.split(" ", 1)[1] for o in ops):
            if op == "W":
                self.kicks += 1
                if self.kicks == 1:
                    out.append("watchdog <- kick (and every few seconds after, not shown)")
            else:
                out.append("watchdog <- " + {"V": "magic close"}.get(op, op))
        sets = self._lines(self.s.path("/clock.log"), self.clock)
        self.clock += len(sets)
        out += ["clock <- set to " + time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(float(t)))
                for t in sets]
        return ["  sim> " + l for l in out]


def main(args):
    call = "--call" in args
    args = [a for a in args if a != "--call"] or ["-d"]
    result = 0
    with Scratch() as s:
        write_configuration(s)
        say("namespace %s, root %s" % (s.ns, s.root))
        say("linegw %s (Ctrl-C stops it)" % " ".join(args))
        # Ctrl-C reaches the daemon from the terminal too; we pass it on in
        # case it runs without one.
        stop = []
        signal.signal(signal.SIGINT, lambda *_: stop.append(1))
        # The simulated board first: a silent media processor makes start-up slow.
        sim = s.start_sim()
        say("simulator on %s (control %s); its requests are shown as \"sim>\"" % (sim.msp_path, sim.control_path))
        requests = Requests(s, sim)
        d = s.start(*args)
        phones = Phones(s, d)
        call_deadline = time.monotonic() + 60
        typing = sys.stdin.isatty()
        shown, helped = 0, False
        while True:
            ended = d.proc.poll() is not None and not d._reader.is_alive()
            lines = d.output()
            for line in lines[shown:]:
                print(line, flush=True)
            shown = len(lines)
            try:
                for line in requests.new():
                    print(line, flush=True)
            except (AssertionError, OSError):
                pass   # the simulator is busy or gone; the next round shows it
            for line in phones.poll(lines):
                say(line)
            if call and not stop and phones.step != "ready" and time.monotonic() > call_deadline:
                say("the proxy was not ready for the phones (step: %s)" % phones.step)
                result = 1
                stop.append(1)
            if call and phones.step == "ready" and not stop:
                ok = phones.call()
                say("the call between the two phones %s" % ("was established" if ok else "FAILED"))
                result = 0 if ok else 1
                stop.append(1)
            if not helped and any("Channels available" in l for l in lines):
                helped = True
                say("the simulator takes one JSON request per line on %s%s:" % (
                    sim.control_path, "; type one here and press Enter" if typing else ""))
                for req, what in REQUESTS:
                    print("  %-54s %s" % (req, what), flush=True)
            if ended:
                break
            if stop and stop[0] == 1:
                d.terminate(signal.SIGINT)
                stop[0] = 2
            if typing and select.select([sys.stdin], [], [], 0.2)[0]:
                line = sys.stdin.readline().strip()
                if line:
                    try:
                        print("  reply: %s" % sim.request_raw(line), flush=True)
                    except (AssertionError, OSError) as e:
                        print("  reply: %s" % e, flush=True)
            else:
                time.sleep(0.2)
        phones.close()
    say("daemon exited with %d; namespace and root removed" % d.proc.returncode)
    return result


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
