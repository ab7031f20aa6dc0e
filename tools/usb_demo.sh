#!/bin/sh
# The USB demo under Wine in one command: two processes share the receiver's USB device (modes 3
# and 4), played by the simulated device. Builds ormasim.exe and the test build of the library
# with its ormactl.exe (bin/simdev/) in the Windows tree build/win-x86_64 (BUILD_ROOT overrides
# build/; an existing tree keeps its settings), starts "ormasim --usb" in a Wine prefix of its own
# (build/usb-demo/wineprefix), then:
#   A  ormactl --mode 3: the first to open the device, so its owner; commands, notifications
#   B  ormactl --mode 4, started while A runs, sending 01 every second: A's process holds pipe 0,
#      so B's commands are answered by the library itself (0x85) and the device refuses B
#      ("Failed to open3"); when A has ended, B owns the device and gets real answers.
# Each process works in its own folder under build/usb-demo/runs/<date-time>/ with the sample log
# configuration. Shows both consoles, the blocks the device received and sent, and the log files.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_ROOT:-$root/build}
tree=$build/win-x86_64
out=$build/usb-demo
config=$root/config/ORMA_DLL_Log.ini
server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export ORMA_WINEPREFIX="$out/wineprefix"
wine="$root/cmake/wine-run.sh"

mkdir -p "$out"
echo "== building ormasim.exe and the test build of ORMA_DLL.dll with its ormactl.exe in $tree"
if [ ! -f "$tree/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" \
    >"$out/configure.log" 2>&1 || { cat "$out/configure.log"; exit 1; }
fi
cmake --build "$tree" -j 2 --target ormasim ormactl_simdev >"$out/build.log" 2>&1 || { cat "$out/build.log"; exit 1; }
bin=$tree/bin
if [ ! -f "$ORMA_WINEPREFIX/system.reg" ]; then
  echo "== making the Wine prefix $ORMA_WINEPREFIX (once)"
  "$wine" wineboot -i >/dev/null 2>&1 || true
fi

runs=$out/runs/$(date +%Y%m%d-%H%M%S)
mkdir -p "$runs/A" "$runs/B"
for dir in A B; do [ -f "$config" ] && cp "$config" "$runs/$dir/"; done
cd "$runs"
"$wine" "$bin/ormasim.exe" --usb --verbose --timestamps >sim.log 2>&1 &
stop() { "$wine" "$bin/ormasim.exe" --control quit >/dev/null 2>&1 || true; WINEPREFIX=$ORMA_WINEPREFIX "$server" -w; }
trap stop EXIT INT TERM
tries=0
until grep -q 'ormasim: ready' sim.log 2>/dev/null; do
  [ "$tries" -lt 300 ] || { echo "ormasim did not start:"; cat sim.log; exit 1; }
  tries=$((tries + 1)); sleep 0.1
done

echo "== log folder of this demo: $runs"
echo "== A: ormactl --mode 3 --callback --timestamps watch 5 01 \"40 01 02\" \"7F 02 02\" \"7F 03\"   (in A/)"
echo "== B, a second later: ormactl --mode 4 --callback --timestamps --every 1000 watch 10 01   (in B/)"
(cd A && "$wine" "$bin/simdev/ormactl.exe" --mode 3 --callback --timestamps watch 5 01 "40 01 02" "7F 02 02" "7F 03" \
   >console.txt 2>&1) &
a=$!
sleep 1
(cd B && "$wine" "$bin/simdev/ormactl.exe" --mode 4 --callback --timestamps --every 1000 watch 10 01 >console.txt 2>&1) &
b=$!
wait "$a" "$b" || true

# The console without the reconnection spinner ("\r" and one of | / - \), each "Failed to open3"
# line (they have no line end) on a line of its own, as is each time-stamped line; repeated lines
# counted.
show() {
  sed -e 's/\r[|\/\\-]//g' -e 's/Failed to open3/\n&/g' -e 's/[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] /\n&/g' -e 's/\r//g' "$1" |
    grep -v '^$' | uniq -c | sed -E 's/^ +1 //; s/^ +([0-9]+) (.*)/\2   (x\1)/'
}
echo "== A's console: the owner. The USB lines are the driver's versions; F0 E0 03 FF 01 12 is the"
echo "   library's own notification that the process's pipe to the owner (here: itself) is connected."
show A/console.txt
echo "== B's console: while A holds the device and pipe 0, the device refuses B (0xe7 / 231: busy)"
echo "   and every 01 is answered 85 by the library itself. Once A has ended, B owns the device,"
echo "   is connected (F0 E0 03 FF 01 12) and gets the device's answers."
show B/console.txt
echo "== the device's side (blocks received and sent by ormasim --usb)"
stop
trap - EXIT INT TERM
cat sim.log

[ -f "$config" ] || { echo "== no log files: no $config"; exit 0; }
dump=A/ORMA_FSINotifications.txt
echo "== log files, without the configuration dump at the top of each (the FSI file holds nothing else)"
"$root/tools/show_logs.sh" "$dump"
