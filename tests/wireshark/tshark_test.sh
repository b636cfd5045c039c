#!/usr/bin/env bash
# Our captures and logs against a reader nobody here wrote: tshark.
#   tshark_test.sh CASE TARNLINK [TCP_LIB UDP_LIB]     CASE: pcapng | candump | extcap
# Everything on 127.0.0.1 with ephemeral ports, bounded by time-outs; the
# temporary folder (and Wireshark's extcap folder pointed at it) goes at exit.
set -euo pipefail
case_name=$1
T=$2
EXTCAP=$(dirname "$T")/tarnlink-extcap
LIBS=("${@:3}")
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cd "$work"
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# tshark without its root warning; a private configuration folder.
ts() { HOME=$work tshark "$@" 2> >(grep -v 'Running as user' >&2); }

# A gateway simulator with echo; its event input on fd 3. Sets PORT.
start_sim() {
  mkfifo events
  "$T" sim --listen 0 --echo -v "$@" <events >sim.out 2>&1 &
  pids+=($!)
  exec 3>events
  for _ in $(seq 100); do
    PORT=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' sim.out)
    [ -n "$PORT" ] && return 0
    sleep 0.05
  done
  fail "the simulator did not start: $(cat sim.out)"
}

connections() { grep -c "^sim: connected" sim.out || true; }
# Waits until the simulator has seen $1 connections in all.
wait_connections() {
  for _ in $(seq 200); do
    [ "$(connections)" -ge "$1" ] && return 0
    sleep 0.05
  done
  fail "no connection $1 to the simulator"
}

# The frames every case sends: identifiers, flags, lengths, BRS, both channels.
send_frames() {
  "$T" send --port "$PORT" 123#DEADBEEF 12345678#0102 7FF#R4 000#
  "$T" send --port "$PORT" -c 1 321##1AABBCCDD 1FFFFFFF##0 456##1"$fives"
}
fives=$(printf '%0128d' 0 | tr 0 5)
# A candump log names no interface for tshark: expected_fields nameless.
expected_fields() {
  # interface, id, extended, remote, error, length, BRS, data
  if [ "${1:-}" = nameless ]; then expected_fields | sed 's/^ch[0-9]* /- /'; return; fi
  cat <<END
ch0 291 0 0 0 4 - deadbeef
ch0 305419896 1 0 0 2 - 0102
ch0 2047 0 1 0 4 - 00000000
ch0 0 0 0 0 0 - -
ch1 801 0 - - 4 1 aabbccdd
ch1 536870911 1 - - 0 0 -
ch1 1110 0 - - 64 1 $fives
END
}
frames_only='canfd || (can && can.flags.err == 0)'
fields() {
  ts -r "$1" -T fields -E occurrence=f -e frame.interface_name -e can.id -e can.flags.xtd -e can.flags.rtr \
    -e can.flags.err -e can.len -e canfd.flags.brs -e data.data -Y "${2:-can || canfd}" |
    awk -F'\t' '{for (i = 1; i <= NF; ++i) if ($i == "") $i = "-"; $1 = $1; print}' OFS=' '
}

case "$case_name" in
  pcapng)
    start_sim
    "$T" dump --port "$PORT" -w capture.pcapng -n 8 -T 10000 2>dump.err &
    dump=$!
    pids+=($dump)
    # The same frames live through standard output, as into wireshark -k -i -:
    # a pipe whose two ends are both in the list (in a `|` pipeline, $! is
    # the last process only and the dump would outlive a failure).
    mkfifo live.pipe
    cat live.pipe >live.pcapng &
    live_cat=$!
    pids+=($live_cat)
    "$T" dump --port "$PORT" -w - -n 8 -T 10000 2>live.err >live.pipe &
    live=$!
    pids+=($live)
    wait_connections 2
    send_frames
    echo "error 0 busoff" >&3
    wait "$dump" || fail "dump -w failed: $(cat dump.err)"
    wait "$live" || fail "dump -w - failed: $(cat live.err)"
    wait "$live_cat"
    diff <(expected_fields) <(fields capture.pcapng "$frames_only") || fail "decoded frames differ"
    diff <(expected_fields) <(fields live.pcapng "$frames_only") || fail "standard output differs"
    [ "$(ts -r capture.pcapng -T fields -e can.err.busoff -Y "can.flags.err == 1")" = "1" ] || fail "no bus-off error frame"
    # CAN FD records are decoded as CAN FD (the FDF bit), classic ones as CAN.
    [ "$(ts -r capture.pcapng -Y canfd | wc -l)" = 3 ] || fail "CAN FD count"
    names=$(ts -r capture.pcapng -T fields -e frame.interface_name | sort -u | tr '\n' ' ')
    [ "$names" = "ch0 ch1 " ] || fail "interface names: $names"
    grep -q "8 frames, none lost" dump.err || fail "summary: $(cat dump.err)"
    # A capture killed mid-stream stays readable: whole blocks only.
    n=$(connections)
    "$T" dump --port "$PORT" -w killed.pcapng 2>/dev/null &
    k=$!
    pids+=($k)
    wait_connections $((n + 1))
    send_frames
    sleep 0.3
    kill -KILL "$k"
    wait "$k" 2>/dev/null || true
    ts -r killed.pcapng >/dev/null || fail "a killed dump left an unreadable file"
    # Cut inside its last block, as a killed writer may leave it: play sends
    # what tshark reads up to the cut and says where; --strict refuses it.
    head -c -5 capture.pcapng >cut.pcapng
    read_by_tshark=$(ts -r cut.pcapng -Y "$frames_only" 2>/dev/null | wc -l || true)
    played=$("$T" play --port "$PORT" -t -v -I cut.pcapng 2>cut.err | wc -l) || fail "play of a cut capture: $(cat cut.err)"
    [ "$played" = "$read_by_tshark" ] && [ "$played" -gt 0 ] || fail "cut capture: tshark $read_by_tshark, play $played"
    grep -q "cut short at byte $(($(stat -c %s cut.pcapng)))" cut.err || fail "no cut named: $(cat cut.err)"
    if "$T" play --port "$PORT" -t --strict -I cut.pcapng 2>/dev/null; then fail "--strict played a cut capture"; fi
    # play takes the capture back: the frames come out again in the same order.
    n=$(connections)
    "$T" dump --port "$PORT" -w replayed.pcapng -n 7 -T 10000 2>/dev/null &
    d2=$!
    pids+=($d2)
    wait_connections $((n + 1))
    "$T" play --port "$PORT" -t -I capture.pcapng 2>play.err || fail "play of pcapng: $(cat play.err)"
    wait "$d2" || fail "dump of the replay"
    grep -q "1 error frame left out" play.err || fail "play: $(cat play.err)"
    diff <(expected_fields) <(fields replayed.pcapng) || fail "replayed frames differ"
    ;;
  candump)
    start_sim
    "$T" dump --port "$PORT" -L -n 8 -T 10000 >dump.log 2>dump.err &
    dump=$!
    pids+=($dump)
    wait_connections 1
    send_frames
    echo "error 0 busoff" >&3
    wait "$dump" || fail "dump -L failed: $(cat dump.err)"
    # tshark reads candump logs itself and rejects a whole file for one bad line.
    diff <(expected_fields nameless) <(fields dump.log "$frames_only") || fail "dump -L decoded differently"
    [ "$(ts -r dump.log -T fields -e can.err.busoff -Y "can.flags.err == 1")" = "1" ] || fail "no bus-off error frame in the log"
    # The counters of a device that saw the same traffic, once.
    "$T" stats --port "$PORT" --duration 0.2 >stats.out || fail "stats failed"
    grep -Eq "^connections made +1$" stats.out || fail "stats: $(cat stats.out)"
    grep -Eq "^ch0 dropped CAN +0$" stats.out || fail "stats: $(cat stats.out)"
    # play and tshark agree on what a log is: both take ours, both refuse broken ones.
    "$T" play --port "$PORT" -t -I dump.log 2>/dev/null || fail "play refused dump -L output"
    for bad in '(1.000000) ch0 123#ABC' '(1.000000) ch0 123##1112233445566778899' '(1.000000) ch0 123#AB extra'; do
      printf '(0.000000) ch0 100#00\n%s\n' "$bad" >bad.log
      if ts -r bad.log >/dev/null 2>&1; then fail "tshark took: $bad"; fi
      if "$T" play --port "$PORT" -t -I bad.log 2>/dev/null; then fail "play took: $bad"; fi
    done
    ;;
  extcap)
    # Wireshark's extcap folder pointed at a temporary one holding a copy of
    # ours and, beside it, the libraries it loads. Wireshark ignores
    # WIRESHARK_EXTCAP_DIR for root: tshark then runs as nobody, who need not
    # be able to read the build tree.
    mkdir extcap
    cp "$EXTCAP" extcap/tarnlink-extcap
    for lib in "${LIBS[@]}"; do cp "$lib" "extcap/$(basename "$lib" | sed 's/\.so\..*/.so/')"; done
    chmod -R a+rX extcap
    chmod 777 "$work" extcap
    as_user=()
    if [ "$(id -u)" = 0 ]; then as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups); fi
    xts() { "${as_user[@]}" env HOME="$work" WIRESHARK_EXTCAP_DIR="$work/extcap" ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" tshark "$@" 2> >(grep -v 'Running as user' >&2); }
    # Whole outputs into grep: `cmd | grep -q` under pipefail fails when grep ends first.
    grep -q "tarnlink (tarnlink CAN and CAN FD gateway)" <<<"$(xts -D)" || fail "tshark -D does not list tarnlink"
    grep -q "dlt {number=227}" <<<"$("$EXTCAP" --extcap-interface=tarnlink --extcap-dlts)" || fail "dlts"
    grep -q "{call=--host}" <<<"$("$EXTCAP" --extcap-interface tarnlink --extcap-config)" || fail "config"
    # A gateway that cannot be reached: a message and a non-zero exit.
    closed=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    if "$EXTCAP" --capture --extcap-interface tarnlink --fifo "$work/never" --port "$closed" 2>unreachable.err; then
      fail "an unreachable gateway was not reported"
    fi
    grep -q "cannot reach" unreachable.err || fail "no message: $(cat unreachable.err)"
    # A capture through the fifo Wireshark makes.
    start_sim
    xts -i tarnlink -o "extcap.tarnlink.port:$PORT" -c 7 -a duration:20 -w "$work/extcap.pcapng" >/dev/null 2>xts.err &
    cap=$!
    pids+=($cap)
    wait_connections 1
    send_frames
    wait "$cap" || fail "tshark capture through the extcap: $(cat xts.err)"
    diff <(expected_fields) <(fields extcap.pcapng) || fail "frames captured through the extcap differ"
    ;;
  *)
    fail "unknown case $case_name"
    ;;
esac
echo "ok: $case_name"
