#!/bin/sh
# The golden session: the library's log files of a session against a replayed module.
#   golden_run.sh check|check-serial|roundtrip|record ORMASIM CAPTURE_SESSION GOLDEN_DIR
# check replays GOLDEN_DIR/session.pcapng over TCP (check-serial: a serial line) and compares the
# log files with GOLDEN_DIR's; record records the session anew against a misbehaving simulator
# (noise, split frames, a bad checksum, a dropped link) into GOLDEN_DIR; roundtrip records it
# into ./fresh and checks the replay of that.
# The host's side is capture_session with GOLDEN_DIR/commands.txt; the log files, and what
# crossed the exports (exports.txt), are compared without the line of the simulator's port,
# which differs from run to run (and over the serial line, of its device).
set -u
what=$1 sim=$2 session=$3 golden=$4
here=$(cd "$(dirname "$0")" && pwd)
if [ "$what" = roundtrip ]; then
  mkdir -p fresh && cp "$golden/commands.txt" "$golden/ORMA_DLL_Log.ini" fresh/ &&
    "$0" record "$sim" "$session" "$PWD/fresh" >record.out 2>&1 || { cat record.out; exit 1; }
  exec "$0" check "$sim" "$session" "$PWD/fresh"
fi
logs="ORMA_Notifications.txt ORMA_ErrNotifications.txt ORMA_FSINotifications.txt ORMA_CfgSubChannels.txt exports.txt"
mode=2 role="--tcp --port 0" link='Port = $ORMA_SIM_PORT'
if [ "$what" = check-serial ]; then
  mode=1 role="--serial --link $PWD/line" link='ComPort = $ORMA_SIM_SERIAL'
fi
if [ "$what" = record ]; then
  sim_args="--noise 6 --split 3 --bad-checksum 5 --drop-after 12 --seed 7 --capture session.pcapng"
else
  sim_args="--replay $golden/session.pcapng"
fi
# shellcheck disable=SC2086
rm -f $logs session.pcapng
# shellcheck disable=SC2086
"$here/e2e_run.sh" "$sim" $role $sim_args -- sh -c \
  "sed \"s|^Port = .*|$link|\" \"\$1/ORMA_DLL_Log.ini\" >ORMA_DLL_Log.ini && exec \"\$0\" $mode \"\$1/commands.txt\"" \
  "$session" "$golden" || exit 1
status=0
for log in $logs; do
  grep -iv '^ *\(com\)*port *= ' "$log" >"$log.cmp" 2>/dev/null || { echo "golden_run: no $log"; status=1; continue; }
  if [ "$what" = record ]; then
    cp "$log.cmp" "$golden/$log"
  elif ! cmp -s "$log.cmp" "$golden/$log"; then
    echo "golden_run: $log differs from the golden one:"; diff "$golden/$log" "$log.cmp" | head -20; status=1
  fi
done
[ "$what" != record ] || cp session.pcapng "$golden/"
exit $status
