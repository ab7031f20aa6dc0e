#!/bin/sh
# Runs one end-to-end test program against a fresh ormasim:
#   e2e_run.sh [--com1 WINE_RUNNER] SIMULATOR [simulator options] -- PROGRAM [arguments]
# Starts the simulator in the current directory, waits for its ready line, exports the serial
# path of a --serial simulator as ORMA_SIM_SERIAL (and, with --com1, maps the Wine prefix's COM1
# to it through HKLM\Software\Wine\Ports), the port of a --tcp one as ORMA_SIM_PORT (written as
# [ORMA_LINK] Port into the library's settings file there unless it is the default, 5002; the
# program may rewrite the file), runs the program with its output in stdout.txt and
# stderr.txt (the program may read them), shows both, stops the simulator and exits with the
# program's status. With --com1 the Wine prefix (ORMA_WINEPREFIX) must be one that no other test
# uses at the same time: its server is restarted.
set -u
com1_runner=
if [ "${1:-}" = --com1 ]; then com1_runner=$2; shift 2; fi
sim=$1; shift
sim_args=
while [ $# -gt 0 ] && [ "$1" != -- ]; do sim_args="$sim_args $1"; shift; done
[ "${1:-}" = -- ] || { echo "e2e_run.sh: missing -- before the program" >&2; exit 2; }
shift

rm -f sim.out stdout.txt stderr.txt sim_rx.txt
# shellcheck disable=SC2086
"$sim" $sim_args >sim.out 2>&1 &
sim_pid=$!
stop_sim() {
  kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  echo "--- simulator"; cat sim.out
}

tries=0
until grep -q '^ormasim: ready' sim.out 2>/dev/null; do
  if ! kill -0 "$sim_pid" 2>/dev/null || [ "$tries" -ge 200 ]; then
    echo "e2e_run.sh: the simulator did not get ready" >&2; stop_sim; exit 1
  fi
  tries=$((tries + 1)); sleep 0.05
done

# The port to give the host: the line itself, or the symbolic link to it (--link).
ORMA_SIM_SERIAL=$(sed -n 's/^ormasim: host command line: ormactl --mode 1 --device \([^ ]*\) send 01$/\1/p' sim.out)
ORMA_COM1=$ORMA_SIM_SERIAL # natively port 1 opens the simulator's line
# The port a TCP simulator listens on (--port 0 picks a free one).
ORMA_SIM_PORT=$(sed -n 's/^ormasim: tcp on .*:\([0-9]*\)$/\1/p' sim.out)
export ORMA_SIM_SERIAL ORMA_COM1 ORMA_SIM_PORT
[ -z "$ORMA_SIM_PORT" ] || [ "$ORMA_SIM_PORT" = 5002 ] || printf '[ORMA_LINK]\nPort = %s\n' "$ORMA_SIM_PORT" >ORMA_DLL_Log.ini
if [ -n "$com1_runner" ]; then
  [ -n "$ORMA_SIM_SERIAL" ] || { echo "e2e_run.sh: --com1 needs a --serial simulator" >&2; stop_sim; exit 2; }
  # The prefix's device manager maps the ports when its server starts. So: stop the server,
  # write the key, let the server that reg started save it and end, and the program's own
  # server then maps COM1 anew (the prefix serves the serial tests alone, one at a time).
  server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  WINEPREFIX=${ORMA_WINEPREFIX:-$PWD/wineprefix} "$server" -w 2>/dev/null
  WINEPREFIX=${ORMA_WINEPREFIX:-$PWD/wineprefix} "$server" -w 2>/dev/null
  "$com1_runner" reg add 'HKLM\Software\Wine\Ports' /v "${ORMA_E2E_COM_NAME:-COM1}" /t REG_SZ /d "$ORMA_SIM_SERIAL" /f >/dev/null 2>&1
  WINEPREFIX=${ORMA_WINEPREFIX:-$PWD/wineprefix} "$server" -w 2>/dev/null
fi

"$@" >stdout.txt 2>stderr.txt
status=$?
echo "--- program output"; cat stdout.txt
echo "--- program errors"; cat stderr.txt
stop_sim
exit "$status"
