"""The demo: linegw on the simulated board in a network namespace and scratch
root of its own, its log and, between its lines, what it asked of the
simulated board (media processor commands, FPGA register writes and bit-stream
loads, watchdog, clock) and of the stand-in commands. Ctrl-C stops the daemon
first and the simulator after it. scripts/demo builds and runs it; the tests
run it with LINEGW_BINARY and LINEGW_SIM_BINARY set.

    python3 linegw_demo.py [daemon options]
"""

import os
import select
import signal
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
    args = args or ["-d"]
    with Scratch() as s:
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
    say("daemon exited with %d; namespace and root removed" % d.proc.returncode)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
