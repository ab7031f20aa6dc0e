#!/bin/sh
# MaxSize under a notification flood: ormasim (started by e2e_run.sh) notifies every 1 ms while
# ormactl watches for 3 s; the sub-channel file, checked every 20 ms, never passes 100 KB, and
# exactly one older file (.1) exists, also bounded.
#   log_flood.sh ORMACTL
set -u
ctl=$1
fail() { echo "log_flood: $*"; exit 1; }
sub=ORMA_CfgSubChannels.txt
bound=102400
rm -f "$sub" "$sub".*
printf '[ORMA_CONFIGURED_SUBCHANNELS]\nLogging = ON\nLogListById = ON\nLogListByCU = ON\nMaxSize = 100\n[ORMA_LINK]\nPort = %s\n' \
  "${ORMA_SIM_PORT:?the simulator's port}" >ORMA_DLL_Log.ini
"$ctl" --callback watch 3 "7F 01 00 01" >watch.out 2>&1 &
pid=$!
largest=0
while kill -0 "$pid" 2>/dev/null; do
  for f in "$sub" "$sub.1"; do
    size=$(stat -c %s "$f" 2>/dev/null || echo 0)
    [ "$size" -gt "$largest" ] && largest=$size
  done
  sleep 0.02
done
wait "$pid" || { tail watch.out; fail "ormactl failed"; }
notifications=$(grep -c '<- notification' watch.out)
[ "$notifications" -gt 300 ] || fail "only $notifications notifications: no flood"
[ -f "$sub.1" ] || fail "no $sub.1: the file was never renamed"
ls "$sub".* | grep -qv "\.1$" && fail "more than one older file: $(ls "$sub".*)"
for f in "$sub" "$sub.1"; do
  size=$(stat -c %s "$f")
  [ "$size" -le "$bound" ] || fail "$f has $size bytes, more than $bound"
done
[ "$largest" -le "$bound" ] || fail "a file reached $largest bytes during the flood"
echo "log_flood: passed ($notifications notifications; largest file seen $largest bytes)"
