#!/usr/bin/env bash
# SIPp against the core's test application: OPTIONS, REGISTER (answered
# without a transaction) and INVITE-ACK-BYE over UDP and TCP, a call that
# authenticates, and OPTIONS over TLS with openssl s_client. Loopback only.
# Exit 77 (skipped) without sipp.
set -euo pipefail
app=$1
scenarios=$2
command -v sipp >/dev/null || { echo "sipp not installed"; exit 77; }
work=$(mktemp -d /tmp/sipcore-sipp.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

start_app() {  # name args...
  local name=$1; shift
  "$app" "$@" --ports-file "$work/$name.ports" >"$work/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/$name.ports" ] && return 0; sleep 0.05; done
  echo "app $name did not start"; cat "$work/$name.log"; exit 1
}

run_sipp() {  # label args...
  local label=$1; shift
  if ! (cd "$work" && timeout 60 sipp "$@" -nostdin -timeout 30s -timeout_error -trace_err >"$work/sipp.out" 2>&1); then
    echo "FAILED: $label"; cat "$work/sipp.out" | tail -30; cat "$work"/*errors.log 2>/dev/null | tail -40; exit 1
  fi
  echo "ok: $label"
}

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost -days 1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
start_app plain --udp 127.0.0.1 --tcp 127.0.0.1 --tls 127.0.0.1 --cert "$work/cert.pem" --key "$work/key.pem"
read -r udp tcp tls <"$work/plain.ports"
start_app auth --udp 127.0.0.1 --auth example.com:alice:secret
read -r audp _ _ <"$work/auth.ports"

run_sipp "OPTIONS over UDP" -sf "$scenarios/options.xml" -m 20 -r 100 127.0.0.1:"$udp"
run_sipp "calls over UDP" -sn uac -m 20 -r 100 -d 10 127.0.0.1:"$udp"
run_sipp "OPTIONS over TCP" -sf "$scenarios/options.xml" -t t1 -m 20 -r 100 127.0.0.1:"$tcp"
run_sipp "calls over TCP" -sn uac -t t1 -m 20 -r 100 -d 10 127.0.0.1:"$tcp"
run_sipp "REGISTER answered statelessly over UDP" -sf "$scenarios/register.xml" -m 20 -r 100 127.0.0.1:"$udp"
run_sipp "REGISTER answered statelessly over TCP" -sf "$scenarios/register.xml" -t t1 -m 20 -r 100 127.0.0.1:"$tcp"
run_sipp "call with digest" -sf "$scenarios/uac_auth.xml" -m 5 -r 50 127.0.0.1:"$audp"

msg=$'OPTIONS sip:app@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/TLS 127.0.0.1:5999;branch=z9hG4bKssl1\r\nFrom: <sip:s@127.0.0.1>;tag=1\r\nTo: <sip:app@127.0.0.1>\r\nCall-ID: ssl1@127.0.0.1\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n'
reply=$( (printf '%s' "$msg"; sleep 1) | timeout 10 openssl s_client -connect 127.0.0.1:"$tls" -quiet -ign_eof 2>/dev/null || true)
if ! grep -q "SIP/2.0 200 OK" <<<"$reply"; then
  echo "FAILED: OPTIONS over TLS"; echo "$reply"; exit 1
fi
echo "ok: OPTIONS over TLS"
