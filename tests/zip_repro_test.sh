#!/bin/sh
# The Windows archives are the same bytes when made again from the same files at another time:
#   zip_repro_test.sh TREES PACKAGES_DIR
# makes the four archives again with tools/package.sh from the built trees TREES-i686 and
# TREES-x86_64 (nothing is rebuilt) into a folder of its own, under another time zone and with
# the trees' copies of the text files dated otherwise, and compares each archive with the one of
# the same name in PACKAGES_DIR, byte for byte.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
trees=$1 packages=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "zip_repro_test: $*"; exit 1; }

for arch in i686 x86_64; do
  # Copies made at configure time, which no build rule reads: their dates change nothing else.
  [ -d "$trees-$arch/crlf" ] || fail "no $trees-$arch/crlf: not a Windows tree"
  touch -d '2001-02-03 04:05:06' "$trees-$arch"/crlf/*
done
TZ=ORM-13:45 BUILD_ROOT=$tmp "$here/../tools/package.sh" "$trees" >"$tmp/package.log" 2>&1 ||
  { cat "$tmp/package.log"; fail "tools/package.sh failed the second time"; }
count=0 differ=
for again in "$tmp"/packages/*.zip; do
  name=$(basename "$again")
  [ -f "$packages/$name" ] || fail "no $packages/$name"
  cmp -s "$packages/$name" "$again" || differ="$differ $name"
  count=$((count + 1))
done
[ "$count" = 4 ] || fail "tools/package.sh made $count archives, not four: $(ls "$tmp/packages")"
[ -z "$differ" ] || fail "made again, these archives differ from those in $packages:$differ"
echo "zip_repro_test: the four archives are the same bytes when made again"
