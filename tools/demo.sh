#!/bin/sh
# The main job in one command: builds the module simulator and the host tool (native tree
# build/demo, BUILD_ROOT overrides build/), starts ormasim on 127.0.0.1:5002, runs ormactl
# against it in mode 2, shows the exchange from both ends and the log files of the run, and
# stops the simulator.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}/demo
jobs=$(nproc 2>/dev/null || echo 2)

mkdir -p "$out"
echo "== building ormasim and ormactl in $out"
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORMA_TESTS=OFF >"$out.configure.log" 2>&1 ||
  { cat "$out.configure.log"; exit 1; }
cmake --build "$out" -j "$jobs" --target ormasim ormactl >"$out.build.log" 2>&1 || { cat "$out.build.log"; exit 1; }

run=$out/run
rm -rf "$run" && mkdir -p "$run" && cd "$run"
if [ -f "$root/config/ORMA_DLL_Log.ini" ]; then
  cp "$root/config/ORMA_DLL_Log.ini" .
  echo "== log configuration: config/ORMA_DLL_Log.ini"
fi

"$out/bin/ormasim" --port 5002 --verbose --seed 1 >sim.log 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT INT TERM
tries=0
until grep -q '^ormasim: ready' sim.log 2>/dev/null; do
  if ! kill -0 "$sim" 2>/dev/null || [ "$tries" -ge 100 ]; then
    echo "ormasim did not start:"; cat sim.log; exit 1
  fi
  tries=$((tries + 1)); sleep 0.1
done

echo "== ormactl --mode 2 --protocol 2 send 01 \"40 01 02\" \"7F 02 02\" \"7F 03\""
echo "   (a command, a command with payload, two sub-channel notifications, an error notification)"
"$out/bin/ormactl" --mode 2 --protocol 2 send 01 "40 01 02" "7F 02 02" "7F 03"
echo "== ormactl --mode 2 watch 2 \"7F 01 01 F4\"   (notifications every 500 ms, for 2 s)"
"$out/bin/ormactl" --mode 2 watch 2 "7F 01 01 F4"

echo "== the module's side (frames received and sent by ormasim)"
kill "$sim" && wait "$sim" 2>/dev/null || true
trap - EXIT INT TERM
cat sim.log

echo "== log files written in $run"
found=0
for f in ORMA_*.txt; do
  [ -f "$f" ] || continue
  found=1
  echo "--- $f"
  cat "$f"
done
[ "$found" = 1 ] || echo "(none: no log configuration in this run)"
