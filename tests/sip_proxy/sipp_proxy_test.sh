#!/usr/bin/env bash
# sipp_proxy_test.sh APP SCENARIO_DIR NAME
# One SIPp scenario through the framework's test proxy on loopback: SIPp
# user agents answer behind the proxy, a SIPp caller calls through it; the
# test passes when every SIPp instance passes. Exit 77 (skipped) without sipp.
set -euo pipefail
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
uas() {  # label scenario -> prints its port
  local label=$1 xml=$2 port
  port=$(free_port)
  (cd "$work" && exec timeout 30 sipp "${sipp_opts[@]}" -sf "$dir/$xml" -p "$port" -m 1 \
     -message_file "$label.msg" -error_file "$label.err" >"$work/$label.out" 2>&1 </dev/null) &
  pids+=($!)
  uas_pids+=($!)
  for _ in $(seq 250); do ss -Hlun "sport = :$port" | grep -q . && break; sleep 0.02; done
  echo "$port"
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
     -message_file uac.msg -error_file uac.err "$@" "127.0.0.1:$proxy_port" >"$work/uac.out" 2>&1 </dev/null) ||
    fail "caller ($xml)"
}

wait_uas() {
  for p in "${uas_pids[@]}"; do wait "$p" || fail "a user agent behind the proxy failed"; done
}

case $name in
  call_rr)  # INVITE/ACK/BYE record-routed: the BYE passes the proxy
    p1=$(uas b1 uas_answer.xml)
    proxy --rr --serial "bob=sip:bob@127.0.0.1:$p1"
    uac uac_call.xml bob
    wait_uas
    grep -q "^BYE " "$work/b1.msg" || fail "no BYE at the callee"
    ;;
  parallel_fork)  # both ring; one answers, the other is cancelled
    p1=$(uas b1 uas_answer.xml)
    p2=$(uas b2 uas_cancelled.xml)
    proxy --rr --fork "bob=sip:bob@127.0.0.1:$p1,sip:bob@127.0.0.1:$p2"
    uac uac_call.xml bob
    wait_uas
    ;;
  serial_queues)  # the first queue is busy, the second answers
    p1=$(uas b1 uas_busy.xml)
    p2=$(uas b2 uas_answer.xml)
    proxy --rr --serial "bob=sip:bob@127.0.0.1:$p1,sip:bob@127.0.0.1:$p2"
    uac uac_call.xml bob
    wait_uas
    ;;
  no_target)  # 480 for a user with no targets
    proxy --rr
    uac uac_480.xml nobody
    ;;
  upstream_cancel)  # the caller cancels; the ringing callee gets the CANCEL
    p1=$(uas b1 uas_cancelled.xml)
    proxy --rr --serial "bob=sip:bob@127.0.0.1:$p1"
    uac uac_cancel.xml bob
    wait_uas
    ;;
  waiting_processor)  # a processor waits for an event from another thread, then the call goes on
    p1=$(uas b1 uas_answer.xml)
    proxy --rr --wait-ms 300 --serial "bob=sip:bob@127.0.0.1:$p1"
    uac uac_call.xml bob
    wait_uas
    ;;
  register_auth)  # REGISTER with digest, a query, and removal of every contact
    proxy --user carol:s3cret
    uac register_auth.xml carol -au carol -ap s3cret
    ;;
  *) echo "unknown scenario $name"; exit 2 ;;
esac
# The proxy stops cleanly, and a sanitizer build has nothing to report.
kill -TERM "$proxy_pid"
wait "$proxy_pid" || fail "the proxy exited with $?"
if grep -q "Sanitizer" "$work/proxy.log"; then fail "sanitizer report from the proxy"; fi
echo "ok: $name"
