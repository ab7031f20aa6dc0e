#!/bin/sh
# Prints every log file */ORMA_*.txt below the current folder without the configuration dump at
# its top (the dump is the whole of DUMP, an FSI log file, which holds nothing else). Line ends
# of Windows programs' files are shown as Unix ones.
#   show_logs.sh DUMP
dump=$1
for f in */ORMA_*.txt; do
  [ "${f#*/}" = ORMA_FSINotifications.txt ] && continue
  echo "--- $f"
  awk -v RS='\001' 'NR == FNR { dump = $0; next }
                    { i = index($0, dump); if (i) $0 = substr($0, 1, i - 1) substr($0, i + length(dump)); printf "%s", $0 }' \
      "$dump" "$f" | tr -d '\r'
done
