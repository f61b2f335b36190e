#!/usr/bin/env bash
# The framework's test proxy against Kamailio, in one run, with the same
# stepped SIPp load: REGISTER with digest (401, then credentials; USERS
# users) and record-routed INVITE-ACK-BYE calls to a SIPp callee behind the
# proxy. Each proxy is pinned to one core with one UDP worker, SIPp to other
# cores, traffic on loopback. Per step: offered and achieved rate, failed
# calls, the proxy's CPU-seconds and work per CPU-second, its RSS and PSS
# (all processes summed) at the end of the step; then the highest clean rate
# (no failed call) per proxy and kind. Not part of the test suite.
#
#   bench/sip_proxy_bench.sh [-b build] [-s seconds] [-u users] [KIND:RATE...]
#     KIND: register, calls; default register:2000 register:5000 register:10000
#     register:13000 calls:500 calls:1000 calls:1800 calls:2500
# Environment: PROXY_CPU (default 2), SIPP_CPU (default 3), UAS_CPU (default 4),
# PROXIES (default "framework kamailio"), KAMAILIO_SHM_MB (default 256).
set -euo pipefail
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
proxy_cpu=${PROXY_CPU:-2}
sipp_cpu=${SIPP_CPU:-3}
uas_cpu=${UAS_CPU:-4}
proxies=${PROXIES:-framework kamailio}
[ -x "$app" ] || { echo "build first: $app missing"; exit 1; }
command -v sipp >/dev/null || { echo "sipp not installed (apt-get install sip-tester)"; exit 1; }
work=$(mktemp -d /tmp/sip-proxy-bench.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -S -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# Users: SIPp's injection file, the framework's users file, Kamailio's db_text.
mkdir -p "$work/db"
{ echo SEQUENTIAL; for i in $(seq "$users"); do echo "u$i;p$i"; done; } >"$work/users.csv"
for i in $(seq "$users"); do echo "u$i:p$i"; done >"$work/users.txt"
printf 'table_name(str) table_version(int)\nsubscriber:7\nversion:1\n' >"$work/db/version"
{ echo "id(int,auto) username(str) domain(str) password(str) ha1(str) ha1b(str)"
  for i in $(seq "$users"); do echo "$i:u$i:127.0.0.1:p$i::"; done; } >"$work/db/subscriber"

uas_port=$(free_port)
taskset -c "$uas_cpu" sipp -nostdin -bg -i 127.0.0.1 -p "$uas_port" -sf "$here/uas.xml" >/dev/null 2>&1 || true
uas_pid=$(pgrep -n -f "sipp.*-p $uas_port" || true)
[ -n "$uas_pid" ] && pids+=("$uas_pid")

start_framework() {
  rm -f "$work/ports"
  taskset -c "$proxy_cpu" "$app" --udp 127.0.0.1 --rr --users-file "$work/users.txt" \
    --serial "callee=sip:callee@127.0.0.1:$uas_port" --ports-file "$work/ports" >"$work/framework.log" 2>&1 &
  proxy_pid=$!
  pids+=("$proxy_pid")
  for _ in $(seq 200); do [ -s "$work/ports" ] && break; sleep 0.05; done
  [ -s "$work/ports" ] || { echo "framework proxy did not start"; cat "$work/framework.log"; exit 1; }
  proxy_port=$(cat "$work/ports")
}

start_kamailio() {
  proxy_port=$(free_port)
  sed -e "s|@PORT@|$proxy_port|g" -e "s|@UAS@|$uas_port|g" -e "s|@DB@|$work/db|g" "$here/kamailio.cfg" >"$work/kamailio.cfg"
  taskset -c "$proxy_cpu" kamailio -f "$work/kamailio.cfg" -DD -E -m "${KAMAILIO_SHM_MB:-256}" -M 16 -w "$work" \
    -P "$work/kamailio.pid" >"$work/kamailio.log" 2>&1 &
  proxy_pid=$!
  pids+=("$proxy_pid")
  for _ in $(seq 100); do ss -Hlun "sport = :$proxy_port" | grep -q . && break; sleep 0.05; done
  ss -Hlun "sport = :$proxy_port" | grep -q . || { echo "kamailio did not start"; tail -20 "$work/kamailio.log"; exit 1; }
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

declare -A best
printf "%-10s %-9s %7s %9s %7s %7s %7s %10s %8s %8s\n" proxy kind offered achieved done failed cpu-s per-cpu-s rss-MB pss-MB
for proxy in $proxies; do
  case $proxy in
    framework) start_framework ;;
    kamailio) command -v kamailio >/dev/null || { echo "kamailio not installed (apt-get install kamailio)"; continue; }; start_kamailio ;;
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
    rm -f "$work"/*_.csv
    c0=$(cpu_ticks)
    t0=$(date +%s.%N)
    taskset -c "$sipp_cpu" timeout $((secs + 90)) sipp -nostdin -i 127.0.0.1 "${sargs[@]}" -r "$rate" -m "$count" \
      -l $((rate * 4)) -timeout $((secs + 60))s -trace_stat -stf "$work/stat.csv" \
      "127.0.0.1:$proxy_port" >"$work/sipp.out" 2>&1 || true
    t1=$(date +%s.%N)
    c1=$(cpu_ticks)
    done_n=$(awk -F';' 'NR==1 {for (i=1;i<=NF;i++) if ($i=="SuccessfulCall(C)") c=i} END {print $c+0}' "$work/stat.csv")
    failed=$(awk -F';' 'NR==1 {for (i=1;i<=NF;i++) if ($i=="FailedCall(C)") c=i} END {print $c+0}' "$work/stat.csv")
    cpu=$(echo "scale=2; ($c1 - $c0) / $tick" | bc)
    achieved=$(echo "scale=0; $done_n / ($t1 - $t0)" | bc)
    per=$( [ "$(echo "$cpu > 0" | bc)" = 1 ] && echo "scale=0; $done_n / $cpu" | bc || echo "-")
    rss=$(( $(mem_kb Rss) / 1024 ))
    pss=$(( $(mem_kb Pss) / 1024 ))
    printf "%-10s %-9s %7s %9s %7s %7s %7s %10s %8s %8s\n" "$proxy" "$kind" "$rate" "$achieved" "$done_n" "$failed" "$cpu" "$per" "$rss" "$pss"
    if [ "$failed" = 0 ] && [ "$done_n" -ge "$count" ]; then best[$proxy.$kind]="$rate ($per per CPU-second, RSS $rss MB, PSS $pss MB)"; fi
  done
  kill "$proxy_pid" 2>/dev/null || true
  wait "$proxy_pid" 2>/dev/null || true
done
echo
echo "highest clean rate:"
for k in "${!best[@]}"; do echo "  $k: ${best[$k]}"; done | sort
