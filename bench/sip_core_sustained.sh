#!/usr/bin/env bash
# Sustained load on the SIP core's test application: SIPp at fixed rates over
# UDP on loopback, one step after another against one running application
# (so memory carried from step to step shows). Per step: offered and achieved
# rate, failed transactions, retransmissions SIPp sent, the application's
# CPU-seconds (/proc/PID/stat) and work per CPU-second, its PSS at the end
# (/proc/PID/smaps_rollup). Failed splits into refused (an answer SIPp did not
# expect: the application's 503 when it sheds load) and lost (no answer at
# all). The application and SIPp run on pinned cores.
#
#   bench/sip_core_sustained.sh [-b build] [-s seconds] [-a app-args] KIND:RATE...
#     KIND: options, register (answered statelessly by the application when
#     it offers that), calls (INVITE-ACK-BYE)
#   e.g. bench/sip_core_sustained.sh options:500 options:1000 calls:200
# Environment: APP_CPU (default 2), SIPP_CPU (default 3); PERF_DIR=dir records
# `perf record -g` of the application during each step into dir.
# Bounded: each step ends by itself (SIPp stops after RATE*seconds calls and
# is killed 90 s after the step's planned end).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
secs=60
app_args=()
while getopts b:s:a: o; do
  case $o in
    b) build=$OPTARG ;;
    s) secs=$OPTARG ;;
    a) read -r -a app_args <<<"$OPTARG" ;;
    *) echo "usage: $0 [-b build] [-s seconds] [-a app-args] KIND:RATE..."; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- options:500 options:1000 options:2000 register:2000 calls:200 calls:500 calls:1000
app=$build/tests/sip/sip_core_app
scenarios=$top/tests/sip/sipp
app_cpu=${APP_CPU:-2}
sipp_cpu=${SIPP_CPU:-3}
[ -x "$app" ] || { echo "build first: $app missing"; exit 1; }
command -v sipp >/dev/null || { echo "sipp not installed (apt-get install sip-tester)"; exit 1; }
work=$(mktemp -d /tmp/sipcore-sustained.XXXXXX)
taskset -c "$app_cpu" "$app" --udp 127.0.0.1 "${app_args[@]}" --ports-file "$work/ports" >"$work/app.log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/ports" ] && break; sleep 0.05; done
[ -s "$work/ports" ] || { echo "application did not start"; cat "$work/app.log"; exit 1; }
read -r port _ _ <"$work/ports"
tick=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
pss_kb() { awk '/^Pss:/ {print $2}' "/proc/$pid/smaps_rollup"; }

printf "%-9s %8s %9s %8s %8s %8s %8s %9s %8s %12s %8s\n" kind offered achieved done failed refused lost retrans cpu-s \
  "per-cpu-s" "pss-MB"
for step in "$@"; do
  kind=${step%%:*}
  rate=${step##*:}
  case $kind in
    options) sargs=(-sf "$scenarios/options.xml") ;;
    register) sargs=(-sf "$scenarios/register.xml") ;;
    calls) sargs=(-sn uac -d 0) ;;
    *) echo "unknown kind $kind"; exit 2 ;;
  esac
  count=$((rate * secs))
  rm -f "$work"/*.csv
  c0=$(cpu_ticks)
  t0=$(date +%s.%N)
  perf_pid=
  if [ -n "${PERF_DIR:-}" ]; then
    mkdir -p "$PERF_DIR"
    perf record -q -g -p "$pid" -o "$PERF_DIR/$kind-$rate.data" -- sleep "$secs" >/dev/null 2>&1 &
    perf_pid=$!
  fi
  # -l: calls open at once, enough for the rate across T1-doubling waits.
  (cd "$work" && timeout $((secs + 90)) taskset -c "$sipp_cpu" sipp "${sargs[@]}" -r "$rate" -rp 1000 \
     -m "$count" -l $((rate * 40)) -nostdin -timeout $((secs + 60))s -trace_stat -stf stat.csv -fd 5 \
     127.0.0.1:"$port" >"$work/sipp.out" 2>&1) || true
  t1=$(date +%s.%N)
  c1=$(cpu_ticks)
  [ -n "$perf_pid" ] && wait "$perf_pid" 2>/dev/null || true
  pss=$(pss_kb)
  # Cumulative counters from SIPp's last statistics line.
  stats=$(awk -F';' 'NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
    { last = $0 } END { n = split(last, f, ";");
      print f[col["SuccessfulCall(C)"]] + 0, f[col["FailedCall(C)"]] + 0, f[col["Retransmissions(C)"]] + 0,
        f[col["FailedUnexpectedMessage(C)"]] + 0 }' \
    "$work"/*.csv 2>/dev/null || echo "0 0 0 0")
  read -r ok failed retrans refused <<<"$stats"
  awk -v k="$kind" -v r="$rate" -v ok="$ok" -v f="$failed" -v re="$retrans" -v rf="$refused" -v t0="$t0" -v t1="$t1" \
      -v c0="$c0" -v c1="$c1" -v hz="$tick" -v pss="$pss" 'BEGIN {
    wall = t1 - t0; cpu = (c1 - c0) / hz; if (cpu <= 0) cpu = 1 / hz;
    printf "%-9s %8d %9.0f %8d %8d %8d %8d %9d %8.2f %12.0f %8.1f\n", k, r, ok / wall, ok, f, rf, f - rf, re, cpu,
      ok / cpu, pss / 1024 }'
done
grep "overloaded" "$work/app.log" | tail -n 1 || true
