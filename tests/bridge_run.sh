#!/bin/sh
# A module on another machine, as the README sets it up: ser2net in front of the simulator's
# serial line, listening on 127.0.0.2 and a free port (neither the default address nor the
# default port), and a host in mode 2 that reaches it through Host and Port.
#   bridge_run.sh SIMULATOR PROGRAM [arguments]
# The program may restart the bridge with the command in ORMA_BRIDGE_RESTART.
set -u
sim=$1; shift
rm -f sim.out ser2net.pid
"$sim" --serial >sim.out 2>&1 &
sim_pid=$!
tries=0
until grep -q '^ormasim: ready' sim.out 2>/dev/null; do
  [ "$tries" -lt 200 ] || { echo "bridge_run.sh: the simulator did not get ready" >&2; cat sim.out; exit 1; }
  tries=$((tries + 1)); sleep 0.05
done
line=$(sed -n 's/^ormasim: serial on \(.*\)$/\1/p' sim.out)
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.2", 0)); print(s.getsockname()[1])')
cat >ser2net.yaml <<YAML
%YAML 1.1
---
connection: &module
    accepter: tcp,127.0.0.2,$port
    connector: serialdev,$line,115200e82,local
    options:
      kickolduser: true
YAML
start_bridge='ser2net -n -c ser2net.yaml -P ser2net.pid >>ser2net.out 2>&1 &'
# The old bridge must be gone, its port free, before the new one starts.
ORMA_BRIDGE_RESTART="old=\$(cat ser2net.pid); kill \$old; while kill -0 \$old 2>/dev/null; do sleep 0.05; done; $start_bridge"
export ORMA_BRIDGE_RESTART
eval "$start_bridge"
tries=0
until [ -s ser2net.pid ]; do
  [ "$tries" -lt 200 ] || { echo "bridge_run.sh: ser2net did not start" >&2; cat ser2net.out; exit 1; }
  tries=$((tries + 1)); sleep 0.05
done
printf '[ORMA_LINK]\nHost = 127.0.0.2\nPort = %s\n' "$port" >ORMA_DLL_Log.ini
"$@"
status=$?
kill "$(cat ser2net.pid)" 2>/dev/null
kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
exit "$status"
