#!/bin/sh
# capture_check.sh TSHARK DISSECTOR CAPTURE EXPECTED: tshark with the dissector decodes every packet
# without a complaint, the times only increase, and the messages that crossed the link are those of
# EXPECTED in order ("> hex" to the module, "< hex" to the host: what the exports saw).
set -u
tshark=$1 lua=$2 capture=$3 expected=$4
fail() { echo "capture_check: $*"; exit 1; }
read_capture() { # tshark arguments...
  env -u XDG_CONFIG_HOME HOME="$PWD" "$tshark" -X lua_script:"$lua" -r "$capture" "$@" 2>>tshark.err
}
: >tshark.err
read_capture -T fields -e frame.time_epoch >times.txt || fail "tshark failed: $(cat tshark.err)"
[ -s times.txt ] || fail "no packets in $capture"
awk 'NR > 1 && $1 <= last { print "packet " NR " is not later than the one before"; bad = 1 } { last = $1 }
     END { exit bad }' times.txt || fail "time stamps that do not increase"
read_capture -Y '_ws.malformed || _ws.expert' >complaints.txt
[ ! -s complaints.txt ] || fail "packets that tshark complains about: $(head -5 complaints.txt)"
! grep -v 'Running as user' tshark.err | grep . || fail "tshark's complaints (above)"
# What crossed the link: no made-up message, noise, bad frame, link event or message not sent.
read_capture -Y 'orma.origin == 0 && orma.flags.link == 0 && orma.flags.noise == 0 && orma.flags.bad_sum == 0 && orma.flags.not_sent == 0' \
  -T fields -e orma.direction -e orma.msg |
  awk '{ line = ($1 == 0 ? ">" : "<"); for (i = 2; i <= NF; i++) line = line " " tolower($i); print line }' >crossed.txt
tr -d '\r' <"$expected" | grep '^[<>]' >wanted.txt # Windows line ends
cmp -s crossed.txt wanted.txt || { diff crossed.txt wanted.txt | head -4 | cut -c1-120; fail "the messages differ from $expected"; }
echo "capture_check: $(wc -l <times.txt) packets, $(wc -l <crossed.txt) messages as expected"
