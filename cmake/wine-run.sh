#!/bin/sh
# Runs a Windows program of the build under Wine, in a private prefix inside the build tree.
# ORMA_WINEPREFIX overrides the prefix; it defaults to ./wineprefix below the current build directory.
# Wine's own messages are off; ORMA_WINEDEBUG turns channels on (e.g. err+serial,trace+serial).
# A 32-bit program runs under wine, anything else (64-bit programs, Wine's own tools such as reg
# or wineboot) under wine64; both share the same 64-bit prefix, as on a 64-bit Windows.
: "${ORMA_WINEPREFIX:=${WINEPREFIX:-$PWD/wineprefix}}"
WINEPREFIX=$ORMA_WINEPREFIX
WINEDEBUG=${ORMA_WINEDEBUG:--all}
export WINEPREFIX WINEDEBUG

# The machine field of a PE image: 14c for i386, 8664 for x86-64, nothing for other files.
pe_machine() {
  [ -f "$1" ] || return 0
  pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$pe" ] && od -An -tx2 -j$((pe + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}

# wine-run.sh --i686-runs: whether this machine runs 32-bit programs at all (its kernel may lack
# the IA-32 emulation that the 32-bit loader needs); exit 0 when it does, else 1 with the reason.
if [ "${1:-}" = --i686-runs ]; then
  for w in /usr/lib/wine/wine wine; do
    command -v "$w" >/dev/null 2>&1 || continue
    why=$("$w" --version 2>&1) && exit 0
    echo "$w: $why"; exit 1
  done
  echo "no 32-bit wine"; exit 1
fi

if [ "$(pe_machine "${1:-}")" = 014c ]; then
  loaders="wine /usr/lib/wine/wine"
else
  loaders="wine64 /usr/lib/wine/wine64 wine"
fi
for w in $loaders; do
  if command -v "$w" >/dev/null 2>&1; then exec "$w" "$@"; fi
done
echo "wine-run.sh: none of $loaders found" >&2
exit 127
