#!/usr/bin/env bash
# sipp_proxy_test.sh APP SCENARIO_DIR NAME
# One SIPp scenario through the framework's test proxy on loopback: SIPp
# user agents answer behind the proxy, a SIPp caller calls through it; the
# test passes when every SIPp instance passes. Runs in a network namespace of
# its own. Exit 77 (skipped) without root, sipp, or (for the kamailio_*
# scenarios, Kamailio as the second proxy) kamailio.
set -euo pipefail
if [ -z "${PROXY_SIPP_NAMESPACE:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "needs root for a network namespace"; exit 77; }
  PROXY_SIPP_NAMESPACE=1 exec unshare -n bash "$0" "$@"
fi
ip link set lo up
app=$(realpath "$1")
dir=$(realpath "$2")
name=$3
command -v sipp >/dev/null || { echo "sipp not installed"; exit 77; }
work=$(mktemp -d "/tmp/proxy-sipp-$name.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $name: $*"
  for f in "$work"/*.out "$work"/proxy.log; do [ -f "$f" ] && { echo "--- $f"; tail -30 "$f"; }; done
  cat "$work"/*errors.log 2>/dev/null | tail -40 || true
  tail -80 "$work"/*messages.log 2>/dev/null || true
  exit 1
}

py=/usr/bin/python3
[ -x "$py" ] || py=python3
free_port() {
  "$py" -S -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
sipp_opts=(-nostdin -i 127.0.0.1 -timeout 20s -timeout_error -trace_err -trace_msg)

uas_pids=()
uas() {  # label scenario; sets uas_port (not a command substitution: the pid must stay ours)
  local label=$1 xml=$2 port
  port=$(free_port)
  (cd "$work" && exec timeout 30 sipp "${sipp_opts[@]}" -sf "$dir/$xml" -p "$port" -m 1 \
     -message_file "$label.msg" -error_file "$label.err" >"$work/$label.out" 2>&1 </dev/null) &
  pids+=($!)
  uas_pids+=($!)
  for _ in $(seq 250); do ss -Hlun "sport = :$port" | grep -q . && break; sleep 0.02; done
  uas_port=$port
}

proxy() {  # args...
  "$app" --ports-file "$work/proxy.port" "$@" >"$work/proxy.log" 2>&1 &
  proxy_pid=$!
  pids+=($!)
  for _ in $(seq 200); do [ -s "$work/proxy.port" ] && break; sleep 0.02; done
  [ -s "$work/proxy.port" ] || fail "proxy did not start"
  proxy_port=$(cat "$work/proxy.port")
}

uac() {  # scenario service [extra sipp args]
  local xml=$1 service=$2; shift 2
  (cd "$work" && timeout 40 sipp "${sipp_opts[@]}" -sf "$dir/$xml" -s "$service" -m 1 \
     -message_file uac.msg -error_file uac.err "$@" "127.0.0.1:${uac_port:-$proxy_port}" >"$work/uac.out" 2>&1 </dev/null) ||
    fail "caller ($xml)"
}

kamailio_pid=
kamailio() {  # next-hop-port; sets kamailio_port. Kamailio record-routes and relays there
  local next=$1 port mods
  command -v kamailio >/dev/null || { echo "kamailio not installed"; exit 77; }
  mods=$(dirname "$(ls /usr/lib/*/kamailio/modules/tm.so /usr/lib/kamailio/modules/tm.so 2>/dev/null | head -1)")
  port=$(free_port)
  sed -e "s|@PORT@|$port|g" -e "s|@NEXT@|127.0.0.1:$next|g" -e "s|@MODULES@|$mods|g" \
    "$dir/kamailio_relay.cfg" >"$work/kamailio.cfg"
  command kamailio -f "$work/kamailio.cfg" -DD -E -m 32 -M 8 -w "$work" -P "$work/kamailio.pid" \
    >"$work/kamailio.log" 2>&1 </dev/null &
  kamailio_pid=$!
  pids+=($!)
  for _ in $(seq 250); do ss -Hlun "sport = :$port" | grep -q . && break; sleep 0.02; done
  ss -Hlun "sport = :$port" | grep -q . || fail "kamailio did not start: $(tail -5 "$work/kamailio.log")"
  kamailio_port=$port
}

# The BYE the callee got came through both proxies: the caller's Via and
# one from each.
bye_via_count() {
  awk '/^BYE /{b=1; n=0; next} b && /^Via:/{n++} b && /^$/{print n; exit}' "$work/b1.msg"
}

wait_uas() {
  for p in "${uas_pids[@]}"; do wait "$p" || fail "a user agent behind the proxy failed"; done
}

case $name in
  call_rr)  # INVITE/ACK/BYE record-routed: the BYE passes the proxy
    uas b1 uas_answer.xml; p1=$uas_port
    proxy --rr --serial "bob=sip:bob@127.0.0.1:$p1"
    uac uac_call.xml bob
    wait_uas
    grep -q "^BYE " "$work/b1.msg" || fail "no BYE at the callee"
    ;;
  parallel_fork)  # both ring; one answers, the other is cancelled
    uas b1 uas_answer.xml; p1=$uas_port
    uas b2 uas_cancelled.xml; p2=$uas_port
    proxy --rr --fork "bob=sip:bob@127.0.0.1:$p1,sip:bob@127.0.0.1:$p2"
    uac uac_call.xml bob
    wait_uas
    ;;
  serial_queues)  # the first queue is busy, the second answers
    uas b1 uas_busy.xml; p1=$uas_port
    uas b2 uas_answer.xml; p2=$uas_port
    proxy --rr --serial "bob=sip:bob@127.0.0.1:$p1,sip:bob@127.0.0.1:$p2"
    uac uac_call.xml bob
    wait_uas
    ;;
  no_target)  # 480 for a user with no targets
    proxy --rr
    uac uac_480.xml nobody
    ;;
  upstream_cancel)  # the caller cancels; the ringing callee gets the CANCEL
    uas b1 uas_cancelled.xml; p1=$uas_port
    proxy --rr --serial "bob=sip:bob@127.0.0.1:$p1"
    uac uac_cancel.xml bob
    wait_uas
    ;;
  waiting_processor)  # a processor waits for an event from another thread, then the call goes on
    uas b1 uas_answer.xml; p1=$uas_port
    proxy --rr --wait-ms 300 --serial "bob=sip:bob@127.0.0.1:$p1"
    uac uac_call.xml bob
    wait_uas
    ;;
  register_auth)  # REGISTER with digest, a query, and removal of every contact
    proxy --user carol:s3cret
    uac register_auth.xml carol -au carol -ap s3cret
    ;;
  registered_call)  # the callee registers with digest, then is called at its contact
    uas b1 uas_answer.xml; p1=$uas_port
    proxy --rr --user bob:b0b --port 5060  # the default port: the Request-URI is then the AOR
    (cd "$work" && timeout 40 sipp "${sipp_opts[@]}" -sf "$dir/register_contact.xml" -s bob -au bob -ap b0b \
       -key contact_port "$p1" -m 1 -message_file reg.msg -error_file reg.err "127.0.0.1:$proxy_port" \
       >"$work/reg.out" 2>&1 </dev/null) || fail "register"
    uac uac_call.xml bob
    wait_uas
    grep -q "^INVITE sip:bob@127.0.0.1:$p1 " "$work/b1.msg" || fail "the INVITE did not reach the registered contact"
    [ "$(bye_via_count)" = 2 ] || fail "the BYE did not pass the proxy"
    ;;
  kamailio_upstream)  # caller -> Kamailio -> proxy -> callee, both record-routing
    uas b1 uas_answer.xml; p1=$uas_port
    proxy --rr --serial "bob=sip:bob@127.0.0.1:$p1"
    kamailio "$proxy_port"
    uac_port=$kamailio_port uac uac_call.xml bob
    wait_uas
    [ "$(bye_via_count)" = 3 ] || fail "the BYE did not pass both proxies"
    ;;
  kamailio_downstream)  # caller -> proxy -> Kamailio -> callee, both record-routing
    uas b1 uas_answer.xml; p1=$uas_port
    kamailio "$p1"
    proxy --rr --serial "bob=sip:bob@127.0.0.1:$kamailio_port"
    uac uac_call.xml bob
    wait_uas
    [ "$(bye_via_count)" = 3 ] || fail "the BYE did not pass both proxies"
    ;;
  *) echo "unknown scenario $name"; exit 2 ;;
esac
# The proxy stops cleanly, and a sanitizer build has nothing to report.
kill -TERM "$proxy_pid"
wait "$proxy_pid" || fail "the proxy exited with $?"
if grep -q "Sanitizer" "$work/proxy.log"; then fail "sanitizer report from the proxy"; fi
if [ -n "$kamailio_pid" ]; then
  kill -TERM "$kamailio_pid"
  wait "$kamailio_pid" || true
fi
echo "ok: $name"
