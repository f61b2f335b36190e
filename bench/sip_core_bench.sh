#!/usr/bin/env bash
# Drives the SIP core's test application with SIPp over UDP on loopback and
# reports OPTIONS transactions and INVITE-ACK-BYE calls per second and per
# CPU-second of the application.
#   bench/sip_core_bench.sh [build dir] [transactions] [calls]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
n_options=${2:-20000}
n_calls=${3:-5000}
app=$build/tests/sip/sip_core_app
scenarios=$top/tests/sip/sipp
[ -x "$app" ] || { echo "build first: $app missing"; exit 1; }
command -v sipp >/dev/null || { echo "sipp not installed"; exit 1; }
work=$(mktemp -d /tmp/sipcore-bench.XXXXXX)
"$app" --udp 127.0.0.1 --ports-file "$work/ports" >"$work/app.log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/ports" ] && break; sleep 0.05; done
read -r port _ _ <"$work/ports"
tick=$(getconf CLK_TCK)

cpu() { awk '{print $14 + $15}' "/proc/$pid/stat"; }

measure() {  # label count sipp-args...
  local label=$1 count=$2; shift 2
  local c0 t0 c1 t1
  c0=$(cpu); t0=$(date +%s.%N)
  (cd "$work" && sipp "$@" -m "$count" -l 200 -r 100000 -nostdin -timeout 300s -timeout_error \
     127.0.0.1:"$port" >"$work/sipp.out" 2>&1) || { echo "$label: sipp failed"; tail -20 "$work/sipp.out"; exit 1; }
  c1=$(cpu); t1=$(date +%s.%N)
  awk -v l="$label" -v n="$count" -v t0="$t0" -v t1="$t1" -v c0="$c0" -v c1="$c1" -v hz="$tick" 'BEGIN {
    wall = t1 - t0; cpu = (c1 - c0) / hz; if (cpu <= 0) cpu = 1 / hz;
    printf "%-26s %7d in %6.2f s: %8.0f /s, %8.0f per CPU-second of the app (%.2f CPU-s)\n", l, n, wall, n / wall, n / cpu, cpu }'
}

measure "OPTIONS transactions" "$n_options" -sf "$scenarios/options.xml"
measure "INVITE-ACK-BYE calls" "$n_calls" -sn uac -d 0
