#!/usr/bin/env bash
# The framework's test proxy against Kamailio, in one run, with the same
# stepped SIPp load: REGISTER with digest (401, then credentials; USERS
# users) and record-routed INVITE-ACK-BYE calls to a SIPp callee behind the
# proxy. Both proxies are record-routing proxies and registrars with the same
# users, one UDP worker each, pinned to the same core; SIPp (caller and
# callee) on another core; traffic on loopback inside a network namespace of
# its own, every file in a scratch directory.
# Per step, for each proxy, measured the same way: offered and achieved rate,
# failed calls, CPU-seconds of the proxy and its children (/proc/PID/stat)
# and work per CPU-second, RSS and PSS summed over its processes
# (/proc/PID/smaps_rollup) at half the step and at its end ("flat" when PSS
# grew by no more than 2 MB or 5 % over the second half), the UDP datagrams
# the kernel dropped for a full receive buffer during the step (the proxy's
# socket from /proc/net/udp, and every socket of the namespace from
# /proc/net/snmp RcvbufErrors: SIPp's callee never retransmits its 200, so one
# lost there is an unfinished call), the CPU-seconds
# both SIPp instances used (caller and callee: near the step's length, SIPp
# was the limit), and the machine's 1-minute load at the end of the step.
# Then the highest clean rate (no failed call) per proxy and kind. Not a test.
#
#   bench/sip_proxy_bench.sh [-b build] [-s seconds] [-u users] [KIND:RATE...]
#     KIND: register, calls; default register:2000 register:5000 register:10000
#     register:13000 calls:500 calls:1000 calls:1800 calls:2500
# Environment: PROXY_CPU (default 6), SIPP_CPU (default 7), PROXIES (default
# "framework kamailio"), KAMAILIO_SHM_MB (default 1024), RCVBUF (default
# 1048576: the UDP receive buffer of both proxies and of SIPp, in bytes).
set -euo pipefail
if [ -z "${SIP_PROXY_BENCH_NS:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "needs root for a network namespace"; exit 1; }
  SIP_PROXY_BENCH_NS=1 exec unshare -n bash "$0" "$@"
fi
ip link set lo up
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
secs=60
users=10000
while getopts b:s:u: o; do
  case $o in
    b) build=$OPTARG ;;
    s) secs=$OPTARG ;;
    u) users=$OPTARG ;;
    *) echo "usage: $0 [-b build] [-s seconds] [-u users] [KIND:RATE...]"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- register:2000 register:5000 register:10000 register:13000 calls:500 calls:1000 calls:1800 calls:2500
app=$build/tests/sip_proxy/proxy_app
here=$top/bench/sip_proxy
proxy_cpu=${PROXY_CPU:-6}
sipp_cpu=${SIPP_CPU:-7}
proxies=${PROXIES:-framework kamailio}
rcvbuf=${RCVBUF:-1048576}
[ -x "$app" ] || { echo "build first: $app missing"; exit 1; }
command -v sipp >/dev/null || { echo "sipp not installed (apt-get install sip-tester)"; exit 1; }
if [[ " $proxies " == *" kamailio "* ]] && ! command -v kamailio >/dev/null; then
  echo "installing kamailio"
  # The package's service must not start on the host.
  own_policy=
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    own_policy=1
  fi
  DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 apt-get install -y -q kamailio >/dev/null
  [ -z "$own_policy" ] || rm -f /usr/sbin/policy-rc.d
fi
work=$(mktemp -d /tmp/sip-proxy-bench.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# Fixed ports: the namespace is ours.
proxy_port=5060
uas_port=5070

# Users: SIPp's injection file (this SIPp takes the whole authentication
# keyword as a field), the framework's users file, Kamailio's db_text.
mkdir -p "$work/db"
{ echo SEQUENTIAL; for i in $(seq "$users"); do echo "u$i;p$i;[authentication username=u$i password=p$i]"; done; } >"$work/users.csv"
for i in $(seq "$users"); do echo "u$i:p$i"; done >"$work/users.txt"
printf 'table_name(str) table_version(int)\nusers:2\nversion:1\n' >"$work/db/version"
# Kamailio keeps the users' A1 hashes in memory, as the framework does.
python3 -S -c '
import hashlib, sys
print("id(int,auto) key_name(str) key_type(int) value_type(int) key_value(str) expires(int)")
for i in range(1, int(sys.argv[1]) + 1):
    a1 = hashlib.md5(("u%d:127.0.0.1:p%d" % (i, i)).encode()).hexdigest()
    print("%d:u%d:0:0:%s:0" % (i, i, a1))' "$users" >"$work/db/users"

(cd "$work" && exec taskset -c "$sipp_cpu" sipp -nostdin -i 127.0.0.1 -p "$uas_port" -sf "$here/uas.xml" -buff_size "$rcvbuf" \
   >"$work/uas.out" 2>&1 </dev/null) &
uas_pid=$!
pids+=($!)

listening() { ss -Hlun "sport = :$1" | grep -q .; }

start_framework() {
  taskset -c "$proxy_cpu" "$app" --udp 127.0.0.1 --port "$proxy_port" --rr --users-file "$work/users.txt" --rcvbuf "$rcvbuf" \
    --serial "callee=sip:callee@127.0.0.1:$uas_port" >"$work/framework.log" 2>&1 &
  proxy_pid=$!
  pids+=("$proxy_pid")
  for _ in $(seq 200); do listening "$proxy_port" && break; sleep 0.05; done
  listening "$proxy_port" || { echo "framework proxy did not start"; cat "$work/framework.log"; exit 1; }
}

start_kamailio() {
  sed -e "s|@PORT@|$proxy_port|g" -e "s|@UAS@|$uas_port|g" -e "s|@DB@|$work/db|g" -e "s|@RCVBUF@|$rcvbuf|g" \
    "$here/kamailio.cfg" >"$work/kamailio.cfg"
  taskset -c "$proxy_cpu" kamailio -f "$work/kamailio.cfg" -DD -E -m "${KAMAILIO_SHM_MB:-1024}" -M 16 -w "$work" \
    -P "$work/kamailio.pid" >"$work/kamailio.log" 2>&1 &
  proxy_pid=$!
  pids+=("$proxy_pid")
  for _ in $(seq 200); do listening "$proxy_port" && break; sleep 0.05; done
  listening "$proxy_port" || { echo "kamailio did not start"; tail -20 "$work/kamailio.log"; exit 1; }
}

tree_pids() {  # the proxy and its descendants
  local all=("$proxy_pid") i=0
  while [ $i -lt ${#all[@]} ]; do
    for c in $(pgrep -P "${all[$i]}" 2>/dev/null); do all+=("$c"); done
    i=$((i + 1))
  done
  echo "${all[@]}"
}
cpu_ticks() { local t=0; for p in $(tree_pids); do t=$((t + $(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null || echo 0))); done; echo $t; }
mem_kb() { local f=$1 t=0; for p in $(tree_pids); do t=$((t + $(awk "/^$f:/ {print \$2}" "/proc/$p/smaps_rollup" 2>/dev/null || echo 0))); done; echo $t; }
tick=$(getconf CLK_TCK)
# Datagrams dropped so far on the proxy's UDP sockets, and in the namespace.
proxy_drops() { awk -v port="$(printf ':%04X' "$proxy_port")" 'NR > 1 && substr($2, length($2) - 4) == port { d += $NF } END { print d + 0 }' /proc/net/udp; }
all_drops() { awk '/^Udp:/ { if (!n) { for (i = 1; i <= NF; i++) col[$i] = i; n = 1 } else print $col["RcvbufErrors"] }' /proc/net/snmp; }

declare -A best
echo "$(date -u +%FT%TZ) load: $(uptime | sed 's/.*load average: //'); proxy on core $proxy_cpu, SIPp on core $sipp_cpu, $secs s steps, $users users"
printf "%-10s %-9s %7s %8s %7s %6s %7s %9s %6s %8s %7s %5s %7s %8s %8s %5s\n" \
  proxy kind offered achieved done failed cpu-s per-cpu-s rss-MB pss-half pss-end flat drop-px drop-all sipp-cpu load1
for proxy in $proxies; do
  case $proxy in
    framework) start_framework ;;
    kamailio) start_kamailio ;;
    *) echo "unknown proxy $proxy"; exit 2 ;;
  esac
  for step in "$@"; do
    kind=${step%%:*}
    rate=${step##*:}
    count=$((rate * secs))
    case $kind in
      register) sargs=(-sf "$here/register.xml" -inf "$work/users.csv") ;;
      calls) sargs=(-sf "$here/call.xml" -s callee) ;;
      *) echo "unknown kind $kind"; exit 2 ;;
    esac
    rm -f "$work"/stat.csv
    c0=$(cpu_ticks)
    dp0=$(proxy_drops)
    da0=$(all_drops)
    t0=$(date +%s.%N)
    u0=$(awk '{print $14 + $15}' "/proc/$uas_pid/stat")
    (cd "$work" && exec /usr/bin/time -f "%U %S" -o "$work/sipp.time" timeout $((secs + 90)) taskset -c "$sipp_cpu" sipp -nostdin -i 127.0.0.1 "${sargs[@]}" -buff_size "$rcvbuf" \
       -r "$rate" -m "$count" -l $((rate * 4)) -timeout $((secs + 60))s -trace_stat -stf "$work/stat.csv" \
       "127.0.0.1:$proxy_port" >"$work/sipp.out" 2>&1 </dev/null) &
    sipp_pid=$!
    pss_half=
    while kill -0 "$sipp_pid" 2>/dev/null; do
      sleep 1
      if [ -z "$pss_half" ] && [ "$(echo "$(date +%s.%N) - $t0 >= $secs / 2" | bc)" = 1 ]; then
        pss_half=$(mem_kb Pss)
      fi
    done
    wait "$sipp_pid" || true
    t1=$(date +%s.%N)
    c1=$(cpu_ticks)
    drops="$(printf '%7d %8d' $(($(proxy_drops) - dp0)) $(($(all_drops) - da0)))"
    u1=$(awk '{print $14 + $15}' "/proc/$uas_pid/stat")
    # time(1) puts "Command exited with non-zero status N" first when SIPp had failed calls.
    sipp_cpu_s=$(awk -v u0="$u0" -v u1="$u1" -v hz="$tick" '{ u = $1; s = $2 } END { printf "%.1f", u + s + (u1 - u0) / hz }' "$work/sipp.time")
    rss=$(mem_kb Rss)
    pss=$(mem_kb Pss)
    [ -n "$pss_half" ] || pss_half=$pss
    stats=$(awk -F';' 'NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next } { last = $0 }
      END { split(last, f, ";"); print f[col["SuccessfulCall(C)"]] + 0, f[col["FailedCall(C)"]] + 0 }' \
      "$work/stat.csv" 2>/dev/null || echo "0 0")
    read -r done_n failed <<<"$stats"
    line=$(awk -v ok="$done_n" -v f="$failed" -v t0="$t0" -v t1="$t1" -v c0="$c0" -v c1="$c1" -v hz="$tick" \
      -v rss="$rss" -v ph="$pss_half" -v pe="$pss" 'BEGIN {
      cpu = (c1 - c0) / hz; per = cpu > 0 ? sprintf("%.0f", ok / cpu) : "-";
      grow = pe - ph; flat = (grow <= 2048 || grow <= ph * 0.05) ? "yes" : "NO";
      printf "%8.0f %7d %6d %7.2f %9s %6.0f %8.1f %7.1f %5s", ok / (t1 - t0), ok, f, cpu, per, rss / 1024, ph / 1024, pe / 1024, flat }')
    printf "%-10s %-9s %7s %s %s %8s %5s\n" "$proxy" "$kind" "$rate" "$line" "$drops" "$sipp_cpu_s" "$(cut -d' ' -f1 /proc/loadavg)"
    if [ "$failed" = 0 ] && [ "$done_n" -ge "$count" ]; then
      read -r _ _ _ _ per rss_mb _ pss_mb _ <<<"$line"
      best[$proxy.$kind]="$rate/s ($per per CPU-second, RSS $rss_mb MB, PSS $pss_mb MB)"
    fi
  done
  kill "$proxy_pid" 2>/dev/null || true
  wait "$proxy_pid" 2>/dev/null || true
done
echo
echo "$(date -u +%FT%TZ) load: $(uptime | sed 's/.*load average: //')"
echo "highest clean rate:"
for k in "${!best[@]}"; do echo "  $k: ${best[$k]}"; done | sort
