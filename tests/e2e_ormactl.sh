#!/bin/sh
# ormactl against a running simulator: every message printed once, with its class.
#   e2e_ormactl.sh [RUNNER] ORMACTL
set -u
out=ormactl.out
"$@" --mode 2 --protocol 2 --wait 300 send 01 "40 01 02" "7F 02 01" >ormactl.raw 2>&1
status=$?
tr -d '\r' <ormactl.raw >"$out" # Windows line ends under Wine
cat "$out"
[ "$status" -eq 0 ] || { echo "ormactl failed with $status"; exit 1; }
for line in "-> command      01" "-> command      40 01 02" "<- response     81" \
            "<- response     80 01 02" "<- response     BF 02 01"; do
  n=$(grep -cF -- "$line" "$out")
  [ "$n" = 1 ] || { echo "expected the line \"$line\" once, found it $n times"; exit 1; }
done
grep -q '^<- notification E0 46 .*\[sub-channel [0-9]* o[nf]*, start CU' "$out" ||
  { echo "no decoded sub-channel notification"; exit 1; }
