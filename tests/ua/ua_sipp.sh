#!/usr/bin/env bash
# ua_sipp.sh APP NAME
# SIPp and sipsak against the user agent's test program (ua_app) on
# 127.0.0.1:6060, inside a network namespace of its own. NAME picks a group
# of cases below. Exit 77 (skipped) without root, sipp or sipsak.
# With UA_RUNNING=1 (APP "-") the user agent already runs in the current
# namespace (the daemon's end-to-end test): nothing is started, and only
# what SIPp and sipsak see is checked.
# With UA_TRANSPORT=tcp the app also listens on TCP and SIPp and sipsak use it.
set -euo pipefail
running=${UA_RUNNING:-}
[ -z "$running" ] || UA_SIPP_NAMESPACE=1
if [ -z "${UA_SIPP_NAMESPACE:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "needs root for a network namespace"; exit 77; }
  UA_SIPP_NAMESPACE=1 exec unshare -n bash "$0" "$@"
fi
[ -n "$running" ] || ip link set lo up
app=$1
[ -n "$running" ] || app=$(realpath "$1")
name=$2
transport=${UA_TRANSPORT:-udp}
sipp_transport=(-t u1)
sipsak_transport=()
app_transport=()
contact_param=
if [ "$transport" = tcp ]; then
  contact_param=';transport=tcp'
  sipp_transport=(-t t1)
  sipsak_transport=(-E tcp)
  app_transport=(--tcp)
fi
dir=$(dirname "$(realpath "$0")")/sipp

command -v sipp >/dev/null || { echo "sipp not installed"; exit 77; }
command -v sipsak >/dev/null || { echo "sipsak not installed"; exit 77; }
work=$(mktemp -d "/tmp/ua-sipp-$name.XXXXXX")
app_pid=
cleanup() {
  [ -z "$app_pid" ] || { kill "$app_pid" 2>/dev/null || true; wait "$app_pid" 2>/dev/null || true; }
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $name: $*"
  echo "--- app events"; cat "$work/app.out" 2>/dev/null || true
  echo "--- app log (tail)"; tail -40 "$work/app.err" 2>/dev/null || true
  echo "--- sipp"; tail -20 "$work/sipp.out" 2>/dev/null || true
  cat "$work"/*errors.log 2>/dev/null | tail -30 || true
  tail -60 "$work"/*messages.log 2>/dev/null || true
  exit 1
}

start_app() {
  [ -z "$running" ] || return 0
  "$app" --max-ms 60000 "${app_transport[@]}" "$@" >"$work/app.out" 2>"$work/app.err" &
  app_pid=$!
  for _ in $(seq 300); do grep -q '^ready' "$work/app.out" 2>/dev/null && return; sleep 0.02; done
  fail "app did not become ready"
}

stop_app() {
  [ -z "$running" ] || return 0
  kill "$app_pid"; wait "$app_pid" || fail "app exited with $?"; app_pid=
}

# One SIPp run of a scenario file against the user agent.
run_sipp() {  # xml [sipp args...]
  local xml=$1; shift
  rm -f "$work"/*errors.log "$work"/*messages.log
  (cd "$work" && timeout 30 sipp -nostdin -i 127.0.0.1 -p 5070 -m 1 -timeout 10s -timeout_error -trace_err -trace_msg \
     "${sipp_transport[@]}" -sf "$xml" "$@" 127.0.0.1:6060 >"$work/sipp.out" 2>&1 </dev/null) || fail "sipp ($(basename "$xml")) failed"
}

# A header check for a response: the header's value must match the pattern.
check() {  # header regexp
  printf '<ereg regexp="%s" search_in="hdr" header="%s:" check_it="true" assign_to="c%s"/>' "$2" "$1" "$RANDOM"
}
ALLOW_EXACT=$(check Allow '^ *INVITE,ACK,BYE,CANCEL,OPTIONS,REFER,NOTIFY,INFO,UPDATE,PRACK *$')
SUPPORTED_EXACT=$(check Supported '^ *replaces,timer,100rel *$')
# (no angle brackets: SIPp reads the pattern from an XML attribute)
CONTACT_OURS=$(check Contact "^ *.sip:ping@127\\.0\\.0\\.1:6060$contact_param.\$")

# The scenario of one row: the request with its extra header lines ("|"
# separates them), then the expected answer with its checks; status "none":
# no answer within 1.5 s.
scenario() {  # file method ruri extra status checks
  local file=$1 method=$2 ruri=$3 extra=$4 status=$5 checks=$6 body="" ctype=""
  extra=${extra//|/$'\n'}
  [ -z "$extra" ] || extra+=$'\n'
  if [ "$method" = INVITE ]; then
    ctype=$'Content-Type: application/sdp\n'
    body=$'v=0\no=peer 1 1 IN IP4 127.0.0.1\ns=-\nc=IN IP4 127.0.0.1\nt=0 0\nm=audio 4000 RTP/AVP 8\na=rtpmap:8 PCMA/8000'
  fi
  {
    echo '<?xml version="1.0" encoding="ISO-8859-1" ?><scenario name="row">'
    echo "<send><![CDATA["
    echo "$method $ruri SIP/2.0"
    echo "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]"
    echo "From: \"Alice\" <sip:alice@[local_ip]:[local_port]>;tag=[pid]SIPpTag[call_number]"
    echo "To: <$ruri>"
    echo "Call-ID: [call_id]"
    echo "CSeq: 1 $method"
    echo "Contact: <sip:alice@[local_ip]:[local_port]>"
    echo "Max-Forwards: 70"
    printf '%s%s' "$extra" "$ctype"
    echo "Content-Length: [len]"
    echo
    [ -z "$body" ] || echo "$body"
    echo "]]></send>"
    if [ "$status" = none ]; then
      echo '<pause milliseconds="1500"/>'
    else
      [ "$method" != INVITE ] || echo '<recv response="100" optional="true"/>'
      echo "<recv response=\"$status\"><action>$checks</action></recv>"
      if [ "$method" = INVITE ]; then
        echo "<send><![CDATA["
        echo "ACK $ruri SIP/2.0"
        echo "[last_Via:]"
        echo "From: \"Alice\" <sip:alice@[local_ip]:[local_port]>;tag=[pid]SIPpTag[call_number]"
        echo "[last_To:]"
        echo "Call-ID: [call_id]"
        echo "CSeq: 1 ACK"
        echo "Max-Forwards: 70"
        echo "Content-Length: 0"
        echo
        echo "]]></send>"
      fi
    fi
    # SIPp refuses variables that are only assigned
    local vars
    vars=$(grep -o 'assign_to="[^"]*"' <<<"$checks" | sed 's/assign_to="\(.*\)"/\1/' | paste -sd, || true)
    [ -z "$vars" ] || echo "<Reference variables=\"$vars\"/>"
    echo "</scenario>"
  } >"$file"
}

# Runs every row of a table: method ruri extra status checks, separated by
# "~" (empty fields as "-").
run_rows() {
  local n=0 method ruri extra status checks
  while IFS='~' read -r method ruri extra status checks; do
    [ -n "$method" ] || continue
    [ "$extra" != - ] || extra=""
    [ "$checks" != - ] || checks=""
    n=$((n + 1))
    scenario "$work/row$n.xml" "$method" "$ruri" "$extra" "$status" "$checks"
    run_sipp "$work/row$n.xml"
    echo "ok: $method $ruri ${extra:+[$extra] }-> $status"
  done
}

# The app dispatched an event line containing text.
expect_event() {
  grep -qF -- "event $1" "$work/app.out" || fail "no event '$1'"
}
refute_event() {
  ! grep -qF -- "event $1" "$work/app.out" || fail "unexpected event '$1'"
}
# Waits a while for the app's event queue to drain.
settle() { sleep 0.3; }

UNSUPPORTED_FOO=$(check Unsupported '^ *foo *$')
U=sip:100@127.0.0.1

case "$name" in
  self_answers)
    # channel 4 is a SIP channel of the account user 200
    start_app --channel 4:200
    run_rows <<ROWS
OPTIONS~sip:ping@127.0.0.1:6060~-~200~$ALLOW_EXACT$SUPPORTED_EXACT$CONTACT_OURS
OPTIONS~sip:ping@127.0.0.1:6060~Require: foo~420~$UNSUPPORTED_FOO$ALLOW_EXACT$SUPPORTED_EXACT
OPTIONS~sip:ping@127.0.0.1:6060~Require: 100REL|Require: Timer, replaces~200~-
OPTIONS~sip:ping@127.0.0.1:6060~Replaces: abc;to-tag=1;from-tag=2~400~-
OPTIONS~sip:ping@127.0.0.1:6060~Require: foo|Replaces: abc;to-tag=1;from-tag=2~420~$UNSUPPORTED_FOO
NOTIFY~sip:ping@127.0.0.1:6060~Event: refer~200~-
INFO~sip:ping@127.0.0.1:6060~-~200~-
MESSAGE~sip:ping@127.0.0.1:6060~-~none~-
SUBSCRIBE~sip:ping@127.0.0.1:6060~Event: presence~405~$ALLOW_EXACT$SUPPORTED_EXACT
SUBSCRIBE~sip:ping@127.0.0.1:6060~Event: presence|Require: foo~420~$UNSUPPORTED_FOO$ALLOW_EXACT
SUBSCRIBE~sip:ping@127.0.0.1:6060~Require: foo|Replaces: abc;to-tag=1;from-tag=2~400~-
REFER~sip:ping@127.0.0.1:6060~Refer-To: <sip:300@127.0.0.1>~405~$ALLOW_EXACT
INVITE~sip:100@10.9.9.9~-~403~-
INVITE~sip:127.0.0.1~-~404~-
INVITE~$U;line=256~-~404~-
INVITE~$U;line=-1~-~404~-
INVITE~$U;line=3x~-~404~-
INVITE~$U;line=3~-~404~-
INVITE~$U;line=4~-~404~-
INVITE~sip:999@127.0.0.1~-~404~-
INVITE~$U~Replaces: nosuchcall;to-tag=1;from-tag=2~481~-
INVITE~$U~Require: foo~420~$UNSUPPORTED_FOO$ALLOW_EXACT$SUPPORTED_EXACT
ROWS
    [ -n "$running" ] || grep -q -- '---> MESSAGE received' "$work/app.err" || fail "MESSAGE was not logged"
    # sipsak: OPTIONS and its refusal, header for header
    sipsak -vv "${sipsak_transport[@]}" -s sip:ping@127.0.0.1:6060 -l 5071 >"$work/sipsak.out" 2>&1 || fail "sipsak OPTIONS: $(cat "$work/sipsak.out")"
    for h in 'SIP/2.0 200 OK' 'Allow: INVITE,ACK,BYE,CANCEL,OPTIONS,REFER,NOTIFY,INFO,UPDATE,PRACK' \
             'Supported: replaces,timer,100rel' "Contact: <sip:ping@127.0.0.1:6060$contact_param>"; do
      grep -qxF "$h" <(tr -d '\r' <"$work/sipsak.out") || fail "sipsak OPTIONS answer lacks '$h': $(cat "$work/sipsak.out")"
    done
    sipsak -vv "${sipsak_transport[@]}" -s sip:ping@127.0.0.1:6060 -l 5072 -j 'Require: foo' >"$work/sipsak.out" 2>&1 || true
    for h in 'SIP/2.0 420 Bad Extension' 'Unsupported: foo' 'Allow: INVITE,ACK,BYE,CANCEL,OPTIONS,REFER,NOTIFY,INFO,UPDATE,PRACK'; do
      grep -qxF "$h" <(tr -d '\r' <"$work/sipsak.out") || fail "sipsak 420 answer lacks '$h': $(cat "$work/sipsak.out")"
    done
    stop_app
    ;;
  queue_full)
    # 31 events wait for a main loop that never takes them: the next INVITE is refused
    # and not even logged as received
    start_app --fill-queue 31 --channel 3
    run_rows <<ROWS
INVITE~$U;line=3~-~503~-
ROWS
    ! grep -q 'INVITE received' "$work/app.err" || fail "a refused INVITE was logged as received"
    stop_app
    ;;
  incoming_call)
    # a call claimed by the channel of its account user, answered, then every
    # request inside it, two re-INVITEs (accepted, refused 488) and a BYE that
    # requires an unknown extension
    start_app --channel 3:100 --answer 180 --answer 200
    run_sipp "$dir/call_in_requests.xml"
    settle
    expect_event "Incoming call ch=-1 data=1 from=alice@127.0.0.1 called=100 name=Alice number=alice cpc=ordinary secure=0 status=404 params= focus=0"
    grep -q 'Call 1 routed to TS 3' "$work/app.err" || fail "the claimed call was not bound to channel 3"
    expect_event "ACK received ch=3 data=1 method=INVITE status=200"
    expect_event 'NOTIFY received ch=3 data=1 state=active;expires=60 event=refer type=message/sipfrag body=SIP/2.0 180 Ringing\r\n'
    expect_event "REFER received ch=3 data=1 refer_to=<sip:200@127.0.0.1:5080;user=phone> user=200 uri=sip:200@127.0.0.1 params= referred_by=<sip:alice@127.0.0.1>"
    [ "$(grep -c '^event REFER received' "$work/app.out")" = 1 ] || fail "a REFER without Refer-To reached the channel"
    [ "$(grep -c '^event RTP parameters ch=3 data=1' "$work/app.out")" = 2 ] || fail "expected media of the answer and of the accepted re-INVITE"
    expect_event "Call disconnected ch=3 data=1 cause=16 location=3 status=0 reason="
    [ "$(grep -c '^event Call disconnected' "$work/app.out")" = 1 ] || fail "the refused re-INVITE ended the call"
    stop_app
    ;;
  replaces)
    # call 1 on channel 3 is taken over by a second caller's INVITE with Replaces
    start_app --channel 3:100 --answer 200
    (cd "$work" && timeout 30 sipp -nostdin -i 127.0.0.1 -p 5070 -m 1 -timeout 20s -timeout_error -trace_err -trace_msg \
       -trace_logs -sf "$dir/replaced_call.xml" 127.0.0.1:6060 >"$work/sipp-a.out" 2>&1 </dev/null) &
    sipp_a=$!
    replaces=
    for _ in $(seq 250); do
      replaces=$(sed -n 's/^.*replaces=\([^ ]*\)$/\1/p' "$work"/replaced_call_*_logs.log 2>/dev/null | head -1 || true)
      [ -z "$replaces" ] || break
      sleep 0.02
    done
    [ -n "$replaces" ] || fail "the first call was not set up: $(cat "$work/sipp-a.out")"
    sed "s/@REPLACES@/$replaces/" "$dir/replacing_call.xml" >"$work/replacing.xml"
    (cd "$work" && timeout 30 sipp -nostdin -i 127.0.0.1 -p 5072 -m 1 -timeout 10s -timeout_error -trace_err -trace_msg \
       -sf "$work/replacing.xml" 127.0.0.1:6060 >"$work/sipp.out" 2>&1 </dev/null) || fail "replacing call failed"
    wait "$sipp_a" || fail "replaced call failed (no BYE?): $(tail -5 "$work/sipp-a.out")"
    settle
    expect_event "Replace call ch=3 data=1 from=bob@127.0.0.1 name=Bob number=bob new=3"
    expect_event "Call answered ch=3 data=3 contact=<sip:bob@127.0.0.1:5072> identity= focus=0"
    expect_event "RTP parameters ch=3 data=3"
    expect_event "Call disconnected ch=3 data=3"
    stop_app
    ;;
  dial_out)
    # channel 5 calls through its route to a SIPp callee: INVITE headers and
    # SDP, reliable 180 and PRACK, early media, answer, hold, a hold it
    # already has (no re-INVITE), T.38, and the callee's BYE with a Reason
    (cd "$work" && timeout 30 sipp -nostdin -i 127.0.0.1 -p 5070 -m 1 -timeout 15s -timeout_error -trace_err \
       -trace_msg -sf "$dir/callee.xml" 127.0.0.1:6060 >"$work/sipp.out" 2>&1 </dev/null) &
    sipp_pid=$!
    sleep 0.3
    start_app --channel 5:100 --set 5:se=90 --dial 5:sip:200@example.com --route '<sip:127.0.0.1:5070;lr>' \
      --after-answer inactive --after-answer recvonly --after-answer t38
    wait "$sipp_pid" || fail "the callee saw something else"
    settle
    grep -q '^action dial ts=5 result=1' "$work/app.out" || fail "ua_dial_out failed"
    expect_event "Remote is ringing ch=5 data=1 status=180"
    [ "$(grep -c '^event Remote is ringing' "$work/app.out")" = 1 ] || fail "the 183 with media rang"
    [ "$(grep -c '^event RTP parameters ch=5 data=1 codec=PCMA' "$work/app.out")" = 3 ] \
      || fail "expected the media of the 183, the 200 and the hold"
    [ "$(grep -c '^event Call answered ch=5 data=1' "$work/app.out")" = 4 ] || fail "expected four answers"
    grep -q '^action reinvite recvonly call=1 result=0' "$work/app.out" || fail "the hold it had was sent again"
    expect_event "RTP parameters ch=5 data=1 codec=T38"
    expect_event "Call disconnected ch=5 data=1 cause=16 location=2 status=0"
    stop_app
    ;;
  transfer)
    # the caller REFERs the answered call to 200@127.0.0.1:5080: "100 Trying"
    # first, then the outcome of the call to the target as the last NOTIFY;
    # a transferor that refuses the first NOTIFY still gets its transfer
    for variant in answers busy refused; do
      target=$variant first='200 OK' final='SIP/2.0 200 OK' len=16
      [ $variant != refused ] || { target=answers; first='500 Server Internal Error'; }
      [ $variant != busy ] || { final='SIP/2.0 486 Busy Here'; len=23; }
      sed -e "s|@FINAL@|${final//./\\.}|" -e "s|@FINAL_LEN@|$len|" -e "s|@FIRST_ANSWER@|$first|" \
        "$dir/transferor.xml" >"$work/transferor.xml"
      start_app --channel 3:100 --answer 200 --accept-refer
      (cd "$work" && timeout 30 sipp -nostdin -i 127.0.0.1 -p 5080 -m 1 -timeout 15s -timeout_error -trace_err \
         -sf "$dir/transfer_target_$target.xml" 127.0.0.1:6060 >"$work/sipp-target.out" 2>&1 </dev/null) &
      target_pid=$!
      sleep 0.3
      run_sipp "$work/transferor.xml"
      wait "$target_pid" || fail "the target saw something else ($target): $(tail -5 "$work/sipp-target.out")"
      settle
      expect_event "REFER received ch=3 data=1 refer_to=<sip:200@127.0.0.1:5080>"
      grep -q '^action refer_to call=1 result=0' "$work/app.out" || fail "ua_refer_to failed"
      expect_event "Call ID replaced ch=3 data=1 new=3"
      [ $variant != refused ] || expect_event "Message failed ch=3 data=1 method=NOTIFY"
      if [ $target = answers ]; then
        expect_event "Call answered ch=3 data=3 contact=<sip:200@127.0.0.1:5080>"
        expect_event "RTP parameters ch=3 data=3 codec=PCMA"
      else
        expect_event "Call disconnected ch=3 data=3 cause=0 location=-1 status=486 reason=Busy Here"
      fi
      stop_app
      echo "ok: transfer, $variant"
    done
    ;;
  register)
    # channel 4 registers its account (user 100, registrar 10.0.0.1, TLS)
    # through its proxy 127.0.0.1:5070, where SIPp is the registrar: digest,
    # refresh (the layer's timers run 20 times faster: ~2.7 s instead of 54),
    # then removal after the second result
    (cd "$work" && timeout 30 sipp -nostdin -i 127.0.0.1 -p 5070 -m 1 -timeout 20s -timeout_error -trace_err \
       -trace_msg -sf "$dir/registrar.xml" 127.0.0.1:6060 >"$work/sipp.out" 2>&1 </dev/null) &
    sipp_pid=$!
    sleep 0.3
    start_app --channel 4:100 --set 4:registrar=10.0.0.1 --set 4:transport=2 --set 4:proxy=127.0.0.1:5070 \
      --set 4:authname=auth100 --set 4:password=secret --set 4:realm=gw --set 4:expires=60 \
      --register 4 --unregister-after 2 --time-scale 20
    wait "$sipp_pid" || fail "the registrar saw something else"
    settle
    [ "$(grep -c '^event Endpoint registered ch=4' "$work/app.out")" = 2 ] || fail "expected two registration results"
    grep -q '^action unregister ts=4 id=1 result=0' "$work/app.out" || fail "no unregistration"
    refute_event "Registration failed"
    stop_app
    ;;
  register_kamailio)
    # the same account against Kamailio as registrar
    command -v kamailio >/dev/null || { echo "kamailio not installed"; exit 77; }
    mkdir -p "$work/kamailio"
    kamailio -f "$dir/../kamailio_registrar.cfg" -DD -E -m 32 -M 4 -w "$work/kamailio" -Y "$work/kamailio" \
      -P "$work/kamailio/pid" >"$work/kamailio.log" 2>&1 &
    kamailio_pid=$!
    for _ in $(seq 600); do ss -Hlun "sport = :5070" | grep -q . && break; sleep 0.05; done
    ss -Hlun "sport = :5070" | grep -q . || fail "kamailio did not start: $(tail -5 "$work/kamailio.log")"
    start_app --channel 4:100 --set 4:registrar=10.0.0.1 --set 4:proxy=sip:127.0.0.1:5070 \
      --set 4:authname=auth100 --set 4:password=secret --set 4:realm=gw --set 4:expires=60 \
      --register 4 --unregister-after 2 --time-scale 20
    # The removal is saved a challenge round after the app says it unregisters:
    # wait for Kamailio's line, not for a fixed time.
    removed='SAVED aor=sip:100@127.0.0.1 contact=<sip:100@127.0.0.1:5060;line=4> expires=0'
    for _ in $(seq 600); do grep -qF "$removed" "$work/kamailio.log" && break; sleep 0.05; done
    kill "$kamailio_pid" 2>/dev/null || true; wait "$kamailio_pid" 2>/dev/null || true
    cat "$work/kamailio.log" >>"$work/app.err"
    [ "$(grep -c '^event Endpoint registered ch=4' "$work/app.out")" = 2 ] || fail "expected two registration results"
    refute_event "Registration failed"
    [ "$(grep -c 'SAVED aor=sip:100@127.0.0.1 contact=<sip:100@127.0.0.1:5060;line=4> expires=60' "$work/kamailio.log")" = 2 ] \
      || fail "kamailio did not save the registration and its refresh"
    grep -qF "$removed" "$work/kamailio.log" || fail "kamailio saw no removal"
    stop_app
    ;;
  *)
    echo "unknown case $name"; exit 2 ;;
esac
echo "ok: $name"
