#!/usr/bin/env python3
"""Calls from SIPp to 256 test lines through the daemon's user agent, the
daemon on the simulated board (linegw-siptest: the daemon with the test-only
"SIPTEST" channel type on the SIP channel base).

Each step places 256 calls, one to each line, at a fixed rate, and holds
every call until the step's time is up (60 s, or longer when placing them
takes more than half of it), so that every timeslot is busy at once. Per
step: p50/p99 of INVITE->180 and INVITE->200, the most calls up at one
instant (from SIPp's own times, and the voice connections the simulated
media processor held), failed calls and how many of them were refused with
503, the daemon's CPU-seconds per call over the whole step and its CPU share
while all 256 calls were up (/proc/PID/stat), and its proportional memory
after the step (/proc/PID/smaps_rollup).

    bench/sip_channel_bench.py [-b build] [--proxy] [--step-s S] [--sample-s S] [RATE...]
                                                                  (default 10 25 50 100)

With --proxy SIPp sends to the daemon's proxy (127.0.0.1:5060), which hands
the calls to the user agent, instead of to the user agent itself.

Run as root (a network namespace of its own), pinned: the daemon on core 6,
SIPp, the simulator and this script on core 7, under `flock /work/bench.lock`.
The script reads every line the daemon logs; left unpinned, the kernel wakes
its reader next to the writer, on the daemon's core, where it competes with
the calls it measures.
"""
import argparse
import math
import os
import subprocess
import sys
import threading
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))

LINES = 256
FIRST_USER = 1000


def percentile(values, p):
    v = sorted(values)
    if not v:
        return float("nan")
    k = max(0, min(len(v) - 1, int(math.ceil(p / 100.0 * len(v))) - 1))
    return v[k]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("-b", "--build", default=os.path.join(TOP, "build"))
    ap.add_argument("--daemon-cpu", default="6")
    ap.add_argument("--load-cpu", default="7")
    ap.add_argument("--daemon-log", help="write the daemon's log there at the end")
    ap.add_argument("--proxy", action="store_true", help="call through the daemon's proxy on 5060")
    ap.add_argument("--step-s", type=int, default=60, help="length of a step")
    ap.add_argument("--sample-s", type=float, default=0.5,
                    help="how often the simulator's voice connections are counted once every call "
                         "is placed (0: never)")
    ap.add_argument("rates", nargs="*", type=int, default=[10, 25, 50, 100])
    a = ap.parse_args()
    os.sched_setaffinity(0, {int(c) for c in a.load_cpu.split(",")})
    os.environ.setdefault("LINEGW_BINARY", os.path.join(a.build, "daemon", "linegw"))
    os.environ.setdefault("LINEGW_SIM_BINARY", os.path.join(a.build, "sim", "linegw-sim"))
    siptest = os.path.join(a.build, "tests", "e2e", "linegw-siptest")
    import linegw_harness as h

    s = h.Scratch()
    try:
        run(a, s, siptest)
    finally:
        s.close()


def run(a, s, siptest):
    sim = s.start_sim()
    subprocess.run(["taskset", "-a", "-p", "-c", a.load_cpu, str(sim.proc.pid)], stdout=subprocess.DEVNULL)
    sim.request(cmd="set", available=LINES)
    fifo = s.path("/siptest.fifo")
    os.mkfifo(fifo)
    d = s.start("-d", env=s.env(LINEGW_TEST_CONTROL=fifo),
                wrapper='exec taskset -c %s "%s" "$@"' % (a.daemon_cpu, siptest))
    port = 5060 if a.proxy else 6060
    deadline = time.monotonic() + 60
    while not (s.listening("u", 6060) and s.listening("u", port)):
        if d.proc.poll() is not None or time.monotonic() > deadline:
            raise SystemExit("daemon did not start:\n" + "\n".join(d.output()[-30:]))
        time.sleep(0.1)
    sim.wait_started()
    with open(fifo, "w") as f:
        for ts in range(LINES):
            f.write('%d {"type":"SIPTEST","uri":"%d@127.0.0.1","answer-ms":0}\n' % (ts, FIRST_USER + ts))
    time.sleep(2)   # the settings events reach the channels
    users = s.path("/users.csv")
    with open(users, "w") as f:
        f.write("SEQUENTIAL\n")
        for ts in range(LINES):
            f.write("%d\n" % (FIRST_USER + ts))

    tick = os.sysconf("SC_CLK_TCK")

    def cpu():
        with open("/proc/%d/stat" % d.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / tick

    def pss_mb():
        with open("/proc/%d/smaps_rollup" % d.pid) as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1]) / 1024.0
        return float("nan")

    print("calls to 127.0.0.1:%d (%s)" % (port, "the proxy" if a.proxy else "the user agent"))
    print("daemon PSS with %d lines configured, before any call: %.1f MB" % (LINES, pss_mb()))
    print("steps of at least %d s" % a.step_s)
    print("%6s %6s %6s %5s %8s %8s %8s %8s %6s %6s %10s %8s %8s" % (
        "rate", "calls", "failed", "503", "180p50", "180p99", "200p50", "200p99", "held", "conns", "cpu-s/call",
        "held-cpu", "pss-MB"))
    scenario = os.path.join(TOP, "bench", "sip_channel", "call.xml")
    for rate in a.rates:
        placing_ms = int(math.ceil(LINES * 1000.0 / rate))
        hold_ms = max(a.step_s * 1000 - placing_ms, placing_ms + 3000)
        for name in os.listdir(s.root):
            if name.endswith("_logs.log") or name.endswith("_errors.log"):
                os.unlink(os.path.join(s.root, name))
        peak = [0]
        full = []   # (time, daemon CPU-seconds) while every line had its voice connection
        stop = threading.Event()

        # Not while calls are placed: the simulator answers the daemon late
        # while it lists its channels, which would show in the latencies.
        def sample():
            stop.wait(placing_ms / 1000.0 + 1)
            while a.sample_s > 0 and not stop.is_set():
                chans = sim.request(cmd="state")["state"]["channels"]
                n = sum(1 for c in chans if c["type"] == 2 and c["timeslot"] < LINES)
                peak[0] = max(peak[0], n)
                if n == LINES:
                    full.append((time.monotonic(), cpu()))
                stop.wait(a.sample_s)

        sampler = threading.Thread(target=sample)
        sampler.start()
        c0 = cpu()
        r = subprocess.run(["ip", "netns", "exec", s.ns, "taskset", "-c", a.load_cpu, "sipp", "-nostdin",
                            "-i", "127.0.0.1", "-p", "5070", "-sf", scenario, "-inf", users,
                            "-m", str(LINES), "-r", str(rate), "-l", str(LINES), "-d", str(hold_ms),
                            "-max_socket", "1024", "-timeout", "%ds" % (hold_ms // 1000 + 60),
                            "-trace_logs", "-trace_err", "127.0.0.1:%d" % port],
                           cwd=s.root, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        time.sleep(1)
        c1 = cpu()
        stop.set()
        sampler.join()
        lat180, lat200, spans = [], [], []
        for name in os.listdir(s.root):
            if not name.endswith("_logs.log"):
                continue
            with open(os.path.join(s.root, name)) as f:
                for line in f:
                    p = line.split()
                    if len(p) != 10 or p[0] != "lat":
                        continue
                    t = [float(p[i]) + float(p[i + 1]) / 1e6 for i in (2, 4, 6, 8)]
                    lat180.append((t[1] - t[0]) * 1000)
                    lat200.append((t[2] - t[0]) * 1000)
                    spans.append((t[2], t[3]))
        events = sorted([(x, 1) for x, _ in spans] + [(y, -1) for _, y in spans])
        held = most = 0
        for _, step in events:
            held += step
            most = max(most, held)
        failed = LINES - len(spans)
        refused = 0
        for name in os.listdir(s.root):
            if name.endswith("_errors.log"):
                with open(os.path.join(s.root, name)) as f:
                    refused += f.read().count("received 'SIP/2.0 503 ")
        held_cpu = float("nan")
        if len(full) >= 2 and full[-1][0] > full[0][0]:
            held_cpu = 100.0 * (full[-1][1] - full[0][1]) / (full[-1][0] - full[0][0])
        print("%6d %6d %6d %5d %8.1f %8.1f %8.1f %8.1f %6d %6d %10.4f %7.1f%% %8.1f" % (
            rate, LINES, failed, refused, percentile(lat180, 50), percentile(lat180, 99), percentile(lat200, 50),
            percentile(lat200, 99), most, peak[0], (c1 - c0) / LINES, held_cpu, pss_mb()), flush=True)
        if r.returncode != 0 or failed:
            print("  sipp exit %d" % r.returncode, flush=True)
            for name in sorted(os.listdir(s.root)):
                if name.endswith("_errors.log"):
                    with open(os.path.join(s.root, name)) as f:
                        print("  " + "\n  ".join(f.read().splitlines()[:12]), flush=True)
            print("  daemon:\n  " + "\n  ".join(d.output()[-25:]), flush=True)
        time.sleep(2)
    d.terminate()
    d.wait(60)
    if a.daemon_log:
        with open(a.daemon_log, "w") as f:
            f.write("\n".join(d.output()) + "\n")


if __name__ == "__main__":
    main()
