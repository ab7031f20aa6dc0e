#!/bin/sh
# ormactl against a running simulator:
#   e2e_ormactl.sh [RUNNER] ORMACTL
# Mode 2, or mode 1 through --device when e2e_run.sh exports the simulator's ORMA_SIM_SERIAL.
# send: every message printed once with its class, each response with its round trip, and the
# summary (options after the command). bench 1000: the summary, percentiles in order.
set -u
if [ -n "${ORMA_SIM_SERIAL:-}" ]; then link="--mode 1 --device $ORMA_SIM_SERIAL"; else link=--mode=2; fi
fail() { echo "e2e_ormactl: $*"; exit 1; }
run() { # ormactl arguments...; output in ormactl.out
  "$@" >ormactl.raw 2>&1
  status=$?
  tr -d '\r' <ormactl.raw >ormactl.out # Windows line ends under Wine
  cat ormactl.out
  [ "$status" -eq 0 ] || fail "ormactl failed with $status"
}
# summary SENT RESPONSES NOTIFICATIONS: the summary line, with min <= median <= p99 <= max, and
# max within the default time-out of 3000 ms
summary() {
  grep -q "^ormactl: sent $1, responses $2, no answers 0, notifications $3, errors 0; round trip ms: min" ormactl.out ||
    fail "no summary of $1 commands"
  sed -n 's/.*min \(.*\), median \(.*\), p99 \(.*\), max \(.*\)$/\1 \2 \3 \4/p' ormactl.out |
    awk '{ exit !(0 < $1 && $1 <= $2 && $2 <= $3 && $3 <= $4 && $4 <= 3000) }' || fail "round trips out of order"
}

# shellcheck disable=SC2086
run "$@" send 01 "40 01 02" "7F 02 01" $link --wait 300
for line in "-> command      01" "-> command      40 01 02" "<- response     81  (" \
            "<- response     80 01 02  (" "<- response     BF 02 01  ("; do
  n=$(grep -cF -- "$line" ormactl.out)
  [ "$n" = 1 ] || fail "expected a line \"$line\" once, found it $n times"
done
# The summary's minimum and maximum are those of the round trips on the response lines.
sed -n 's/^<- response .*  (\([0-9]*\.[0-9]*\) ms)$/\1/p' ormactl.out | sort -n >trips.txt
grep -q "min $(head -1 trips.txt), .* max $(tail -1 trips.txt)$" ormactl.out ||
  fail "the round trips on the response lines differ from the summary's"
grep -q '^<- notification E0 46 .*\[sub-channel [0-9]* o[nf]*, start CU' ormactl.out ||
  fail "no decoded sub-channel notification"
summary 3 3 1

# shellcheck disable=SC2086
run "$@" $link bench 1000
summary 1000 1000 0

# The library's "no answer" (a module that stops answering, a deadline of 200 ms) is no response:
# it is counted as such and the run exits 1.
settings=$(cat ORMA_DLL_Log.ini 2>/dev/null)
printf '%s\n[ORMA_LINK]\nResponseTimeout = 200\n' "$settings" >ORMA_DLL_Log.ini
# shellcheck disable=SC2086
"$@" send "7F 04" $link --wait 0 >ormactl.raw 2>&1
status=$?
tr -d '\r' <ormactl.raw >ormactl.out
printf '%s\n' "$settings" >ORMA_DLL_Log.ini
cat ormactl.out
[ "$status" -eq 1 ] || fail "a command answered 85 ended with $status"
grep -q "^<- response     85$" ormactl.out || fail "no 85 line"
grep -q "^ormactl: sent 1, responses 0, no answers 1, " ormactl.out || fail "the 85 is not counted as no answer"
