#!/bin/sh
# ormactl config on the sample log configuration and on faulty ones, and a mode that this
# system's library does not have:
#   ormactl_config.sh ORMACTL SAMPLE_INI
set -u
ctl=$1 sample=$2
fail() { echo "ormactl_config: $*"; cat out.txt; exit 1; }
# check NAME SED-SCRIPT STATUS LINE...: ormactl config on the edited sample exits with STATUS
# and prints the absolute path and each LINE
check() {
  name=$1; edit=$2; want=$3; shift 3
  sed "$edit" "$sample" >ORMA_DLL_Log.ini
  "$ctl" config >out.txt 2>&1
  got=$?
  [ "$got" = "$want" ] || fail "$name: exit status $got, expected $want"
  grep -qxF "ormactl: log configuration $PWD/ORMA_DLL_Log.ini" out.txt || fail "$name: no absolute path"
  for line; do grep -qF -- "$line" out.txt || fail "$name: no line with \"$line\""; done
}
error='/^\[ORMA_ERROR\]/,/^Startup/'
check sample '' 0 "general     ALL -> $PWD/ORMA_Notifications.txt" "sub-channel ON -> $PWD/ORMA_CfgSubChannels.txt" \
  "error       ALL -> $PWD/ORMA_ErrNotifications.txt, restart banner" "no warning"
check misspelt-key '0,/^Logging = ALL/s//Loging = ALL/' 1 \
  "unknown key Loging in [ORMA_GENERAL] (did you mean Logging?)" "general     off (no Logging key)"
check unknown-section '$a [ORMA_EXTRA]' 1 "unknown section [ORMA_EXTRA]"
check unknown-mode "${error}s/^Logging = ALL/Logging = notifications_only/" 1 \
  "Logging = notifications_only is no mode of this channel" "error       off (unknown mode" \
  "FSI         not set up"
check no-filter '0,/^Logging = ALL/s//Logging = Enclosed_Filter/; /^Filter = F0, C1/d' 1 \
  "no filter expression for ENCLOSED_FILTER" "error       not set up"
check error-filter "${error}s/^Logging = ALL/Logging = EXCLOSED_FILTER/; ${error}s/^Filter = .*/Filter = F0 x 02, C1 01/" 1 \
  '"C1 01" is dropped' "EXCLOSED_FILTER -> $PWD/ORMA_ErrNotifications.txt, filter F0 x 02, restart" "FSI         ON"
check syntax '$a no key line' 1 "neither a section, a comment nor key = value"
check capture 's/^;File = ORMA_DLL.pcapng/File = cap.pcapng/; s/^;MaxSize = 0/MaxSize = 64/' 0 \
  "capture     into $PWD/cap.pcapng, at most 64 KB, then cap.pcapng.1"

# What breaks logging only later: an empty or shared file name, a folder that is missing or
# cannot be written. ormactl must say so, never crash (an empty File once ended it with rc 134).
general='/^\[ORMA_GENERAL\]/,/^Filter/'
check empty-file "${general}s/^File = .*/File =/" 1 "[ORMA_GENERAL] File is empty" "general     off (no file name)" \
  "error       not set up"
check shared-file "${error}s/^File = .*/File = .\/ORMA_Notifications.txt/" 1 \
  "the general and error channels both write $PWD/ORMA_Notifications.txt"
check missing-folder "${general}s/^File = .*/File = nowhere\/log.txt/" 1 \
  "log file $PWD/nowhere/log.txt is in a folder that does not exist"
if [ "$(id -u)" = 0 ]; then locked=/proc/sys; else locked=$PWD/locked; mkdir -p locked; chmod 555 locked; fi
check locked-folder "${general}s|^File = .*|File = $locked/log.txt|" 1 "log file $locked/log.txt cannot be written here"
check folder-as-file "${general}s|^File = .*|File = /tmp|" 1 "log file /tmp is a folder"
# The library's own sections: unknown keys and bad values.
check link-key 's/^Reconnect = ON/&\nResponseTimout = 100/' 1 \
  "unknown key ResponseTimout in [ORMA_LINK] (did you mean ResponseTimeout?)"
check link-values 's/^ResponseTimeout = .*/ResponseTimeout = 5s/; s/^Reconnect = .*/Reconnect = yes/' 1 \
  "ResponseTimeout = 5s is not a number of milliseconds" "Reconnect = yes is neither ON nor OFF: the library keeps ON" \
  "link        response deadline 5000 ms, reconnects every 300 ms"
check link-plain 's/^ResponseTimeout = .*/ResponseTimeout = 0/; s/^Reconnect = .*/Reconnect = off/' 0 \
  "link        response deadline none (waits forever), no reconnection"
# Every [ORMA_LINK] key of the table: a value that the library passes over is reported (why,
# where given) with the default it keeps, shown where given; a good one is taken and shown.
while IFS='|' read -r key bad kept good shown why bad_shown; do
  check "$key-bad" "s|^$key = .*|$key = $bad|" 1 "$key = ${bad:-\"\"} is $why" "the library keeps $kept" "$bad_shown"
  check "$key-good" "s|^$key = .*|$key = $good|" 0 "$shown"
done <<'EOF'
StartWait|soon|READY|fixed|Init always waits its fixed time (StartWait = FIXED)
Host||127.0.0.1|::1|module at ::1 port 5002
Port|70000|5002|05003|port 5003 (mode 2)|not a TCP port from 1 to 65535|module at 127.0.0.1 port 5002 (mode 2)
Port|0|5002|65535|port 65535 (mode 2)
ComPort|0|1|/dev/ttyUSB0|on serial port /dev/ttyUSB0 (mode 1)
ComPort||1|12|on serial port 12 (mode 1)
SplitLongMessages|1|OFF|On|long USB messages split
EOF
# OFF, in any case, is a value of every switch: no warning (ormactl once warned on it).
check switches-off "s/^Startup = .*/Startup = OFF/; s/^LogListById = .*/LogListById = off/; \
  s/^LogListByCU = .*/LogListByCU = Off/; s/^Reconnect = .*/Reconnect = oFF/" 0 "no warning" "no reconnection"
grep -qF -e "restart banner" -e ", table by" out.txt && fail "switches-off: a switch that is OFF is shown on"
check switch-odd "s/^LogListByCU = .*/LogListByCU = no/" 1 "LogListByCU = no reads as OFF: only ON turns it on"
check console-key 's/^Output = .*/Outptu = OFF/' 1 "unknown key Outptu in [ORMA_CONSOLE] (did you mean Output?)"
check console-file 's/^Output = .*/Output = gone\/console.txt/' 1 \
  "console output file $PWD/gone/console.txt is in a folder that does not exist"
check console-log-file 's/^Output = .*/Output = ORMA_CfgSubChannels.txt/' 1 \
  "the console output file is also the sub-channel channel's log file"
check console-off 's/^Output = .*/Output = off/' 0 "console     silent"
check max-size "${general}s/^File = .*/&\nMaxSize = 1MB/" 1 "MaxSize = 1MB is not a size in KB"
check max-size-ok "${general}s/^File = .*/&\nMaxSize = 100/" 0 \
  "general     ALL -> $PWD/ORMA_Notifications.txt, at most 100 KB, then renamed to ORMA_Notifications.txt.1"

rm ORMA_DLL_Log.ini
mkdir ORMA_DLL_Log.ini
"$ctl" config >out.txt 2>&1 && fail "a folder as configuration, yet exit status 0"
grep -qF "$PWD/ORMA_DLL_Log.ini is a folder, not a file" out.txt || fail "no line about the folder"
rmdir ORMA_DLL_Log.ini
"$ctl" config >out.txt 2>&1 && fail "no configuration, yet exit status 0"
grep -qF "no log configuration: $PWD/ORMA_DLL_Log.ini" out.txt || fail "no line about the missing file"
"$ctl" send 01 --mode 3 >out.txt 2>&1
[ $? = 2 ] && grep -qF "mode 3 cannot be used here" out.txt || fail "mode 3 was not refused"
echo "ormactl_config: passed"
