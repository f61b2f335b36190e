#!/usr/bin/env bash
# sipp_scenario.sh APP SCENARIO_DIR NAME
# One SIPp scenario against the agent's test application over UDP on
# loopback, each side on a free port of its own. Passes when SIPp passes, the
# app saw the events the scenario expects, in order, and every call the app
# saw ended in exactly one release event that was its last; and the layer
# refused none of the app's requests.
# Exit 77 (skipped) without sipp.
set -euo pipefail
app=$(realpath "$1")
dir=$(realpath "$2")
name=$3
command -v sipp >/dev/null || { echo "sipp not installed"; exit 77; }
work=$(mktemp -d "/tmp/agent-sipp-$name.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $name: $*"
  echo "--- app events"; cat "$work/app.out" 2>/dev/null || true
  echo "--- app log (tail)"; tail -60 "$work/app.err" 2>/dev/null || true
  echo "--- sipp"; tail -30 "$work/sipp.out" 2>/dev/null || true
  cat "$work"/*errors.log 2>/dev/null | tail -40 || true
  tail -120 "$work"/*messages.log 2>/dev/null || true
  exit 1
}

# Debian's python3 directly: a wrapper on PATH may take a second to start.
py=/usr/bin/python3
[ -x "$py" ] || py=python3
free_port() {
  "$py" -S -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

sipp_opts=(-nostdin -i 127.0.0.1 -timeout 15s -timeout_error -trace_err -trace_msg)

scenario_file() {  # name in the scenario folder, or an absolute path
  if [[ $1 == /* ]]; then echo "$1"; else echo "$dir/$1"; fi
}

# SIPp answers: it listens, then the app is told to reach it.
# sipp_answers XML "EXPECTED EVENTS" APP-ARGS...  (SIPPURI in the args is its address)
sipp_answers() {
  local xml=$1 expected=$2; shift 2
  local port; port=$(free_port)
  (cd "$work" && exec timeout 30 sipp "${sipp_opts[@]}" -sf "$(scenario_file "$xml")" -p "$port" -m 1 "$@" \
     >"$work/sipp.out" 2>&1 </dev/null) &
  local sipp_pid=$!
  pids+=("$sipp_pid")
  for _ in $(seq 250); do
    ss -Hlun "sport = :$port" | grep -q . && break
    kill -0 "$sipp_pid" 2>/dev/null || break
    sleep 0.02
  done
  local args=()
  for a in "${app_args[@]}"; do args+=("${a//SIPPURI/sip:sipp@127.0.0.1:$port}"); done
  "$app" "${args[@]}" >"$work/app.out" 2>"$work/app.err" &
  local app_pid=$!
  pids+=("$app_pid")
  wait "$sipp_pid" || fail "sipp exited with $?"
  wait "$app_pid" || fail "app exited with $?"
  check "$expected"
}

# SIPp calls the app.
# sipp_calls XML "EXPECTED EVENTS" [SIPP-ARGS...]  (-m N for more calls)
sipp_calls() {
  local xml=$1 expected=$2; shift 2
  "$app" "${app_args[@]}" --ports-file "$work/app.port" >"$work/app.out" 2>"$work/app.err" &
  local app_pid=$!
  pids+=("$app_pid")
  for _ in $(seq 200); do [ -s "$work/app.port" ] && break; sleep 0.02; done
  [ -s "$work/app.port" ] || fail "app did not start"
  local app_port; app_port=$(cat "$work/app.port")
  (cd "$work" && timeout 30 sipp "${sipp_opts[@]}" -sf "$(scenario_file "$xml")" -s app -p "$(free_port)" -m 1 "$@" \
     "127.0.0.1:$app_port" >"$work/sipp.out" 2>&1 </dev/null) || fail "sipp exited with $?"
  wait "$app_pid" || fail "app exited with $?"
  check "$expected"
}

# Each call's events in order (name; /status for answers, /method for
# requests in a call; registrations count as call 0): every call must show
# the expected list. Then one release per call, last.
check() {
  local expected=$1 got
  got=$(awk '$1 == "event" { s = $2; split($3, f, "="); split($7, st, "="); split($9, r, "=");
             if ($2 ~ /Proceeding|Ringing|Answered|Redirected|Failure|Registration/) s = s "/" st[2];
             if ($2 == "CallMessageNew") { split($8, m, "="); s = s "/" m[2] }
             if (r[2] == 1) s = s "+retry";
             seq[f[2]] = seq[f[2]] " " s }
           END { for (c in seq) print substr(seq[c], 2) }' "$work/app.out" | sort -u)
  [ "$got" == "$expected" ] || fail "events
  expected: $expected
  got:      $got"
  # the layer refused something the app asked of it
  ! grep -q '^note ' "$work/app.out" || fail "$(grep '^note ' "$work/app.out")"
  local bad
  bad=$(awk '$1 == "event" { split($3, f, "="); cid = f[2]; if (cid == 0) next; n[cid]++;
               if ($2 == "CallReleased") { rel[cid]++; at[cid] = n[cid] } }
             END { for (c in n) if (rel[c] != 1 || at[c] != n[c]) printf "call %s: %d release(s), %d event(s), release at %d\n", c, rel[c], n[c], at[c] }' \
        "$work/app.out")
  [ -z "$bad" ] || fail "release check: $bad"
  echo "ok: $name: $got"
}

# The re-INVITE refusal with its status filled in.
refusal() {  # code reason
  sed "s/@CODE@/$1/; s/@REASON@/$2/" "$dir/answer_then_refuse_reinvite.xml" >"$work/refuse.xml"
}

app_args=(--calls 1 --max-ms 15000)
case "$name" in
  call_out_bye_out)
    app_args+=(--call SIPPURI --on up=bye@100)
    sipp_answers answer_then_take_bye.xml "CallRinging/180 CallAnswered/200 CallMessageAnswered/200 CallReleased" ;;
  call_out_bye_in)
    app_args+=(--call SIPPURI)
    sipp_answers answer_then_bye.xml "CallRinging/180 CallAnswered/200 CallMessageNew/BYE CallClosed CallReleased" ;;
  call_in_bye_in)
    sipp_calls call_then_bye.xml "CallInvite CallAck CallMessageNew/BYE CallClosed CallReleased" ;;
  call_in_bye_out)
    app_args+=(--on up=bye@100)
    sipp_calls call_then_take_bye.xml "CallInvite CallAck CallMessageAnswered/200 CallReleased" ;;
  cancel_in)
    app_args+=(--answer 180)
    sipp_calls call_then_cancel.xml "CallInvite CallCancelled CallClosed CallReleased" ;;
  cancel_out)
    app_args+=(--call SIPPURI --on ringing=bye@100)
    sipp_answers ring_then_take_cancel.xml "CallRinging/180 CallRequestFailure/487 CallReleased" ;;
  lost_ack)
    app_args+=(--answer 200 --t1 20)
    sipp_calls call_then_lose_ack.xml "CallInvite CallClosed CallMessageAnswered/200 CallReleased" ;;
  prack_out)
    app_args+=(--call SIPPURI --on up=bye@100)
    sipp_answers ring_reliable_then_answer.xml \
      "CallRinging/180 CallMessageAnswered/200 CallAnswered/200 CallMessageAnswered/200 CallReleased" ;;
  prack_in)
    app_args+=(--answer 180rel,200)
    sipp_calls call_with_prack.xml "CallInvite CallMessageNew/PRACK CallAck CallMessageNew/BYE CallClosed CallReleased" ;;
  reinvite_glare)
    app_args+=(--on up=reinvite@50)
    sipp_calls call_then_cross_reinvite.xml \
      "CallInvite CallAck CallAnswered/200 CallMessageNew/BYE CallClosed CallReleased" ;;
  reinvite_500_in)
    app_args+=(--reinvite-delay 300)
    sipp_calls call_then_reinvite_twice.xml \
      "CallInvite CallAck CallReinvite CallAck CallMessageNew/BYE CallClosed CallReleased" ;;
  reinvite_491_out)
    # a fast clock for the layer: its pause of 2.1 to 4 s before the re-INVITE goes again is short
    app_args+=(--call SIPPURI --clock-scale 20 --on up=reinvite@50 --on reinvited=bye@50)
    sipp_answers answer_then_glare_reinvite.xml "CallRinging/180 CallAnswered/200 CallRequestFailure/491+retry \
CallAnswered/200 CallMessageAnswered/200 CallReleased" ;;
  reinvite_500_out)
    app_args+=(--call SIPPURI --on up=reinvite@50 --on reinvited=bye@50)
    refusal 500 "Server Internal Error"
    sipp_answers "$work/refuse.xml" \
      "CallRinging/180 CallAnswered/200 CallServerFailure/500 CallMessageAnswered/200 CallReleased" ;;
  redirect_302)
    app_args+=(--call SIPPURI --on up=bye@100)
    sipp_answers redirect_then_answer.xml \
      "CallRedirected/302+retry CallRinging/180 CallAnswered/200 CallMessageAnswered/200 CallReleased" ;;
  auth_407)
    app_args+=(--call SIPPURI --auth alice:secret --on up=bye@100)
    sipp_answers challenge_then_answer.xml \
      "CallRequestFailure/407+retry CallRinging/180 CallAnswered/200 CallMessageAnswered/200 CallReleased" ;;
  min_se_422)
    app_args+=(--call SIPPURI --session-expires 90 --on up=bye@100)
    sipp_answers min_se_then_answer.xml \
      "CallRequestFailure/422+retry CallRinging/180 CallAnswered/200 CallMessageAnswered/200 CallReleased" ;;
  refer_in)
    app_args+=(--on closed=notify-done)
    sipp_calls call_then_refer.xml "CallInvite CallAck CallMessageNew/REFER CallMessageAnswered/200 \
CallMessageNew/BYE CallClosed CallMessageAnswered/200 CallReleased" ;;
  refer_out)
    app_args+=(--call SIPPURI --on up=refer@50 --on notify#1=bye)
    sipp_answers answer_then_take_refer.xml "CallRinging/180 CallAnswered/200 CallMessageAnswered/202 \
CallMessageNew/NOTIFY CallMessageAnswered/200 CallMessageNew/NOTIFY CallReleased" ;;
  register)
    # a fast clock for the layer: the refresh 34 s into a 40 s registration comes after about a second
    app_args=(--max-ms 15000 --register SIPPURI --user alice --auth alice:secret --expires 30 --clock-scale 30
              --on "registered#2=unregister" --unregistered)
    sipp_answers registrar.xml "RegistrationFailure/401+retry RegistrationFailure/423+retry \
RegistrationSuccess/200 RegistrationFailure/401+retry RegistrationSuccess/200 RegistrationFailure/401+retry \
RegistrationSuccess/200" ;;
  fork_out)
    app_args+=(--call SIPPURI --on up=bye@300)
    sipp_answers answer_forked.xml \
      "CallRinging/180 CallRinging/180 CallAnswered/200 CallMessageAnswered/200 CallMessageAnswered/200 CallReleased" ;;
  cancel_crossing_200)
    app_args+=(--call SIPPURI --on ringing=bye@100)
    sipp_answers ring_then_answer_cancel.xml "CallRinging/180 CallMessageAnswered/200 CallReleased" ;;
  cancel_after_answer)
    sipp_calls call_then_late_cancel.xml "CallInvite CallAck CallMessageNew/BYE CallClosed CallReleased" ;;
  bye_before_ack)
    sipp_calls call_then_bye_without_ack.xml "CallInvite CallMessageNew/BYE CallClosed CallReleased" ;;
  session_refresh)
    # a fast clock for the layer: the refresh due 45 s into the call comes after 1.5 s
    app_args+=(--call SIPPURI --session-expires 90 --clock-scale 30 --on up=bye@2500)
    sipp_answers answer_with_session_timer.xml \
      "CallRinging/180 CallAnswered/200 CallMessageAnswered/200 CallReleased" ;;
  session_refresh_update)
    app_args+=(--call SIPPURI --session-expires 90 --clock-scale 30 --on up=bye@2500)
    sipp_answers answer_with_session_timer_update.xml \
      "CallRinging/180 CallAnswered/200 CallMessageAnswered/200 CallReleased" ;;
  refresh_after_refused_hold)
    app_args+=(--call SIPPURI --session-expires 90 --clock-scale 30 --on up=reinvite@100 --on reinvited=bye@2400)
    sipp_answers answer_then_refuse_hold.xml \
      "CallRinging/180 CallAnswered/200 CallRequestFailure/488 CallMessageAnswered/200 CallReleased" ;;
  route_in)
    app_args+=(--on up=bye@100)
    sipp_calls call_through_proxies.xml "CallInvite CallAck CallMessageAnswered/200 CallReleased" ;;
  route_out)
    app_args+=(--call SIPPURI --on up=bye@100)
    sipp_answers answer_through_proxies.xml "CallAnswered/200 CallMessageAnswered/200 CallReleased" ;;
  reinvite_without_sdp)
    sipp_calls call_then_reinvite_without_sdp.xml \
      "CallInvite CallAck CallReinvite CallAck CallMessageNew/BYE CallClosed CallReleased" ;;
  bye_during_reinvite)
    app_args+=(--call SIPPURI --on up=reinvite@50)
    sipp_answers answer_then_bye_during_reinvite.xml \
      "CallRinging/180 CallAnswered/200 CallMessageNew/BYE CallClosed CallReleased" ;;
  bye_challenged)
    app_args+=(--call SIPPURI --auth alice:secret --on up=bye@100)
    sipp_answers answer_then_challenge_bye.xml \
      "CallRinging/180 CallAnswered/200 CallMessageRequestFailure/407+retry CallMessageAnswered/200 CallReleased" ;;
  cancel_after_trying)
    app_args+=(--call SIPPURI --on proceeding=bye@100)
    sipp_answers trying_then_take_cancel.xml "CallProceeding/100 CallRequestFailure/487 CallReleased" ;;
  auth_407_then_422)
    app_args+=(--call SIPPURI --auth alice:secret --session-expires 90 --on up=bye@100)
    sipp_answers challenge_then_min_se.xml "CallRequestFailure/407+retry CallRequestFailure/422+retry \
CallRinging/180 CallAnswered/200 CallMessageAnswered/200 CallReleased" ;;
  reject_in)
    app_args+=(--answer 486)
    sipp_calls call_rejected.xml "CallInvite CallClosed CallReleased" ;;
  reject_out)
    app_args+=(--call SIPPURI)
    sipp_answers ring_then_busy.xml "CallRinging/180 CallRequestFailure/486 CallReleased" ;;
  calls_in_parallel)
    app_args=(--calls 8 --max-ms 15000)
    sipp_calls call_then_bye.xml "CallInvite CallAck CallMessageNew/BYE CallClosed CallReleased" -m 8 -r 40 ;;
  calls_out_parallel)
    app_args=(--calls 8 --max-ms 15000 --call SIPPURI --call-count 8 --on up=bye@100)
    sipp_answers answer_then_take_bye.xml "CallRinging/180 CallAnswered/200 CallMessageAnswered/200 CallReleased" -m 8 ;;
  *)
    echo "unknown scenario $name"; exit 2 ;;
esac
