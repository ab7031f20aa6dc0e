#!/bin/sh
# Two builds of one commit in two different folders give the same bytes:
#   reproducible_test.sh TREE
# copies the sources to a folder of their own, builds ORMA_DLL.dll there in a fresh tree
# configured as TREE (a mingw-w64 tree of the project), and compares the stripped DLL and its
# debug information with TREE's, byte for byte.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
tree=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
setting() { sed -n "s/^$1:[A-Z]*=//p" "$tree/CMakeCache.txt"; }

mkdir "$tmp/sources"
(cd "$root" && tar -cf - --exclude=./build --exclude=./.git .) | (cd "$tmp/sources" && tar -xf -)
cmake -S "$tmp/sources" -B "$tmp/other-tree" -G Ninja -DORMA_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$tmp/sources/cmake/$(basename "$(setting CMAKE_TOOLCHAIN_FILE)")" \
  -DCMAKE_BUILD_TYPE="$(setting CMAKE_BUILD_TYPE)" -DORMA_WERROR="$(setting ORMA_WERROR)" >"$tmp/configure.log" 2>&1 &&
  cmake --build "$tmp/other-tree" --target ORMA_DLL >"$tmp/build.log" 2>&1 ||
  { cat "$tmp/configure.log" "$tmp/build.log"; echo "reproducible_test: the second build failed"; exit 1; }
for f in ORMA_DLL.dll ORMA_DLL.dll.debug; do
  cmp "$tree/bin/$f" "$tmp/other-tree/bin/$f" ||
    { echo "reproducible_test: $f differs between $tree and a build in $tmp/other-tree"; exit 1; }
done
echo "reproducible_test: ORMA_DLL.dll and its debug information are the same from two folders"
