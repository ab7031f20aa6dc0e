#!/bin/sh
# The main job in one command: builds the module simulator and the host tool (native tree
# build/demo, BUILD_ROOT overrides build/), starts ormasim on 127.0.0.1:5002 and runs ormactl
# against it in mode 2: commands and their answers, then periodic notifications. Each ormactl run
# works in its own folder under build/demo/runs/<date-time>/, with the sample log configuration,
# so that every run keeps its log files. Shows the exchange from both ends, the log configuration
# once and then the messages of each log file, and stops the simulator.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}/demo
jobs=$(nproc 2>/dev/null || echo 2)
config=$root/config/ORMA_DLL_Log.ini

mkdir -p "$out"
echo "== building ormasim and ormactl in $out"
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORMA_TESTS=OFF >"$out.configure.log" 2>&1 ||
  { cat "$out.configure.log"; exit 1; }
cmake --build "$out" -j "$jobs" --target ormasim ormactl >"$out.build.log" 2>&1 || { cat "$out.build.log"; exit 1; }

runs=$out/runs/$(date +%Y%m%d-%H%M%S)
mkdir -p "$runs"
cd "$runs"
"$out/bin/ormasim" --port 5002 --verbose --timestamps --seed 1 >sim.log 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT INT TERM
tries=0
until grep -q 'ormasim: ready' sim.log 2>/dev/null; do
  if ! kill -0 "$sim" 2>/dev/null || [ "$tries" -ge 100 ]; then
    echo "ormasim did not start:"; cat sim.log; exit 1
  fi
  tries=$((tries + 1)); sleep 0.1
done

# run FOLDER ormactl-arguments...: one ormactl run (one ORMA_DLL_Init) in a folder of its own
run() {
  mkdir "$runs/$1"
  [ -f "$config" ] && cp "$config" "$runs/$1/"
  dir=$1; shift
  printf "== ormactl"
  for a; do case $a in *" "*) printf ' "%s"' "$a" ;; *) printf ' %s' "$a" ;; esac; done
  echo "   (in $dir/)"
  (cd "$runs/$dir" && "$out/bin/ormactl" "$@")
}

echo "== log folder of this demo: $runs"
run 1-send --mode 2 --timestamps send 01 "40 01 02" "7F 02 02" "7F 03"
echo "   Sent: a command, a command with payload, one asking for two sub-channel notifications, one for"
echo "   an error notification. ORMA_Cli_Start(), Client connecting to: 127.0.0.1, ClientReceiveThread ..."
echo "   and ORMA_Cli_Stop: ... are the library's own console lines as its link starts and stops."
run 2-watch --mode 2 --timestamps watch 2 "7F 01 01 2C"
echo "   ormasim was asked for notifications every 300 ms: sub-channel configurations (E0 46), and on"
echo "   every fourth tick an error notification F0 02 (error 2: periodic, the last command, its clock"
echo "   in ms) that stands in for a module's error report; the library logs those to ORMA_ErrNotifications.txt."

echo "== the module's side (frames received and sent by ormasim)"
kill "$sim" && wait "$sim" 2>/dev/null || true
trap - EXIT INT TERM
cat sim.log

[ -f "$config" ] || { echo "== no log files: no $config"; exit 0; }
# The library writes the same configuration dump at the top of every log file; the FSI file
# holds nothing else.
dump=1-send/ORMA_FSINotifications.txt
echo "== the log configuration, as the library writes it at the top of each log file:"
cat "$dump"
echo "== log files, without that dump. Each ORMA_DLL_Init creates its log files anew (empty), so"
echo "   each ormactl run works in its own folder and keeps its own log."
"$root/tools/show_logs.sh" "$dump"
