#!/bin/sh
# [ORMA_CONSOLE] Output in a whole program: ormactl in mode 2 against a port where nothing
# listens (a free one, given as [ORMA_LINK] Port), once per value of Output; each run says in one
# line where it found no module and exits 1:
#   console_output.sh ORMACTL
# OFF: nothing of the library's lines reaches standard output or error. A file: the program
# prints what it printed with OFF, and the file holds exactly the lines that DEFAULT printed
# beyond that. STDERR: standard output keeps only the program's own lines.
set -u
ctl=$1
fail() { echo "console_output: $*"; exit 1; }
dead=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
run() { # NAME OUTPUT-VALUE: runs ormactl with that Output; its streams in NAME.out / NAME.err
  printf '[ORMA_CONSOLE]\nOutput = %s\n[ORMA_LINK]\nPort = %s\n' "$2" "$dead" >ORMA_DLL_Log.ini
  "$ctl" --timeout 300 --wait 0 send 01 >"$1.out" 2>"$1.err"
  status=$?
  [ "$status" -eq 1 ] || fail "$1: ormactl exited $status without a module"
  grep -qx "ormactl: no module at 127.0.0.1:$dead" "$1.out" || fail "$1: no line naming the port it tried"
}
rm -f console.txt
run default DEFAULT
run off OFF
run file console.txt
run stderr STDERR

grep -q '^Client connecting to: 127.0.0.1$' default.out || fail "DEFAULT: no library line on standard output"
for line in 'ORMA_Cli_Start()' 'Client connecting to' 'connect() failed' 'Open() failed'; do
  grep -qF "$line" off.out off.err && fail "OFF: the library printed \"$line\""
done
# Lines compared as sets. Whether the one command gets its 85 before the time-out depends on
# when the link's thread notices the dead port, so the program's own lines ("<- ..." and its
# summary) are left out; and "Open() failed" ends with a "!" that lands at the head of whichever
# line comes next, so a leading "!" is left out too.
norm() { sed 's/^!//' "$@" | grep -v -e '^<- ' -e '^ormactl: ' | sort; }
# The library's lines: what DEFAULT printed beyond OFF, both streams, in any order.
norm default.out default.err >default.all
norm off.out off.err >off.all
comm -23 default.all off.all >library.lines
[ -s library.lines ] || fail "DEFAULT printed nothing beyond OFF"
norm console.txt >file.lines
cmp -s library.lines file.lines || { diff library.lines file.lines; fail "the file does not hold exactly the library's lines"; }
norm file.out file.err | cmp -s - off.all || fail "with a file, the program printed more than with OFF"
norm stderr.out | cmp -s - "$(norm off.out >off.norm; echo off.norm)" || fail "STDERR: standard output holds more than the program's own lines"
norm stderr.err >stderr.all
sort off.err library.lines | norm | cmp -s - stderr.all || fail "STDERR: standard error does not hold every library line"
echo "console_output: passed ($(wc -l <library.lines) library lines)"
