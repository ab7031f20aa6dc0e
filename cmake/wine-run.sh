#!/bin/sh
# Runs a Windows program of the build under Wine, in a private prefix inside the build tree.
# ORMA_WINEPREFIX overrides the prefix; it defaults to ./wineprefix below the current build directory.
: "${ORMA_WINEPREFIX:=${WINEPREFIX:-$PWD/wineprefix}}"
WINEPREFIX=$ORMA_WINEPREFIX
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
for w in wine64 /usr/lib/wine/wine64 wine; do
  if command -v "$w" >/dev/null 2>&1; then exec "$w" "$@"; fi
done
echo "wine-run.sh: no wine64 found" >&2
exit 127
