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

rm ORMA_DLL_Log.ini
"$ctl" config >out.txt 2>&1 && fail "no configuration, yet exit status 0"
grep -qF "no log configuration: $PWD/ORMA_DLL_Log.ini" out.txt || fail "no line about the missing file"
"$ctl" send 01 --mode 3 >out.txt 2>&1
[ $? = 2 ] && grep -qF "mode 3 cannot be used here" out.txt || fail "mode 3 was not refused"
echo "ormactl_config: passed"
