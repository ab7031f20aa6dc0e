#!/bin/sh
# A capture played again: ormasim misbehaving (noise, split writes, a spoiled answer, a dropped
# connection) with --capture while ormactl sends commands over three connections, then
# ormasim --replay of that capture against the same commands: ormactl must see the same messages
# in the same order, and every command must find its recorded answer.
#   replay_roundtrip.sh SIMULATOR [RUNNER] ORMACTL
set -u
sim=$1; shift
fail() { echo "replay_roundtrip: $*"; exit 1; }
sim_pid=

start_sim() { # name, options...: ormasim on a free port, which ORMA_DLL_Log.ini gives the host
  name=$1; shift
  rm -f "$name.out"
  "$sim" --tcp --port 0 "$@" >"$name.out" 2>&1 &
  sim_pid=$!
  tries=0
  until grep -q '^ormasim: ready' "$name.out" 2>/dev/null; do
    kill -0 "$sim_pid" 2>/dev/null && [ "$tries" -lt 200 ] || { cat "$name.out"; fail "$name: no ready line"; }
    tries=$((tries + 1)); sleep 0.05
  done
  port=$(sed -n 's/^ormasim: tcp on .*:\([0-9]*\)$/\1/p' "$name.out")
  printf '[ORMA_LINK]\nPort = %s\nResponseTimeout = 300\n' "$port" >ORMA_DLL_Log.ini
}

stop_sim() { # the simulator's output
  kill -TERM "$sim_pid" && wait "$sim_pid"
  echo "--- simulator"; cat "$name.out"
}

# The host's three connections (RUNNER ORMACTL as arguments); the messages it saw and its
# summaries, without the round trips, which differ from run to run (the library's own console
# lines are left out too: their place among ormactl's lines is not fixed).
host() {
  "$@" --mode=2 --wait 200 2>&1 | tr -d '\r' | grep -E '^(-> |<- |ormactl: )' |
    sed 's/  ([0-9.]* ms)$//; s/; round trip ms:.*$//'
}
exchange() {
  host "$@" send 01 "40 01 02" "7F 02 02" "7F 03" "22 05"
  host "$@" send "05 05" "7F 05"
  host "$@" send 01 "33 03"
}

# Every fifth answer spoiled: the fifth of the first connection ("22 05") gets the library's 85;
# 7F 05 drops the second connection.
start_sim capture --noise 24 --split 3 --bad-checksum 5 --seed 7 --capture session.pcapng
exchange "$@" >captured.txt
stop_sim
cat captured.txt
[ "$(grep -c '^<- response     85$' captured.txt)" = 2 ] || fail "the capture run has no spoiled answer and drop"
grep -q '^<- error        F0 01 ' captured.txt || fail "the capture run has no error notification"

start_sim replay --replay session.pcapng
exchange "$@" >replayed.txt
stop_sim
diff captured.txt replayed.txt || fail "the replay differs from the capture run (above: < captured, > replayed)"
grep -q '^ormasim: replay: matched 9, unmatched 0, ' replay.out || fail "not every command found its recorded answer"
echo "replay_roundtrip: the host saw the same $(wc -l <replayed.txt) lines"
