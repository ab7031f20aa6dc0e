#!/bin/sh
# Runs a Windows program under Wine with COM1 and COM2 joined to each other: socat makes a
# pseudo-terminal pair, and the Wine prefix's ports COM1 and COM2 are mapped to its two ends
# through the registry key HKLM\Software\Wine\Ports.
#
# usage: wine_com_run.sh WINE_RUNNER PROGRAM [ARGUMENTS...]
# The prefix is ORMA_WINEPREFIX (as for the runner). Guard users with the CTest resource lock
# wine_com: the mapping is one per prefix.
set -u
runner=$1
shift
prefix=${ORMA_WINEPREFIX:?ORMA_WINEPREFIX must name the Wine prefix}
command -v socat >/dev/null 2>&1 || { echo "wine_com_run.sh: socat is not installed (apt-get install socat)" >&2; exit 1; }

dir=$(mktemp -d)
socat -d -d "pty,raw,echo=0,link=$dir/com1" "pty,raw,echo=0,link=$dir/com2" 2>"$dir/socat.log" &
socat_pid=$!
old1=$(readlink "$prefix/dosdevices/com1" 2>/dev/null || true)
old2=$(readlink "$prefix/dosdevices/com2" 2>/dev/null || true)

cleanup() {
  "$runner" reg delete 'HKLM\Software\Wine\Ports' /v COM1 /f >/dev/null 2>&1
  "$runner" reg delete 'HKLM\Software\Wine\Ports' /v COM2 /f >/dev/null 2>&1
  for n in 1 2; do
    eval old=\$old$n
    if [ -n "$old" ]; then ln -sfn "$old" "$prefix/dosdevices/com$n"; else rm -f "$prefix/dosdevices/com$n"; fi
  done
  kill "$socat_pid" 2>/dev/null
  wait "$socat_pid" 2>/dev/null
  rm -rf "$dir"
}
trap 'cleanup; exit 1' INT TERM

tries=0
until [ -e "$dir/com1" ] && [ -e "$dir/com2" ]; do
  tries=$((tries + 1))
  if [ "$tries" -gt 100 ]; then
    echo "wine_com_run.sh: socat made no pseudo-terminal pair" >&2
    cat "$dir/socat.log" >&2
    cleanup
    exit 1
  fi
  sleep 0.05
done
end1=$(readlink "$dir/com1")
end2=$(readlink "$dir/com2")

"$runner" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$end1" /f >/dev/null &&
  "$runner" reg add 'HKLM\Software\Wine\Ports' /v COM2 /d "$end2" /f >/dev/null || {
  echo "wine_com_run.sh: could not write the port mapping" >&2
  cleanup
  exit 1
}
# Wine's mount manager turns the key into the prefix's device links when it starts; a Wine
# server that is already running (other tests share the prefix) would not see the new values
# until it restarts, so the links are set now as the mount manager sets them.
ln -sfn "$end1" "$prefix/dosdevices/com1"
ln -sfn "$end2" "$prefix/dosdevices/com2"

echo "COM1 -> $end1, COM2 -> $end2"
"$runner" "$@"
status=$?
cleanup
exit "$status"
