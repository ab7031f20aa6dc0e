#!/bin/sh
# Makes the Windows archives ORMA_DLL-<version>-win-i686.zip and ORMA_DLL-<version>-win-x86_64.zip,
# and beside each its debug information (...-win-<arch>-debug.zip), in build/packages (BUILD_ROOT
# overrides build/). Each comes from a mingw-w64 tree
# <trees>-i686 / <trees>-x86_64: by default build/package-win-*, configured here (Release, no
# tests) when new; tools/test.sh passes its own trees (build/win).
#   tools/package.sh [TREES]
# Two runs give byte-identical archives from identical files: every entry is dated
# SOURCE_DATE_EPOCH, else the time of the commit checked out, and the entries are sorted.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}
trees=${1:-$out/package-win}
jobs=$(nproc 2>/dev/null || echo 2)
dest=$out/packages
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)}

mkdir -p "$dest"
for arch in i686 x86_64; do
  dir=$trees-$arch
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORMA_TESTS=OFF \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" >"$dir.configure.log" 2>&1 ||
      { cat "$dir.configure.log"; exit 1; }
  fi
  cmake --build "$dir" -j "$jobs" >"$dir.build.log" 2>&1 || { cat "$dir.build.log"; exit 1; }
  (cd "$dir" && cpack -G ZIP -B "$dest" >"$dir.cpack.log" 2>&1) || { cat "$dir.cpack.log"; exit 1; }
  # CPack dates each entry as its file in the tree, in local time, and adds the owner.
  python3 "$root/tools/normalize_zip.py" "$epoch" \
    "$dest"/ORMA_DLL-*-win-"$arch".zip "$dest"/ORMA_DLL-*-win-"$arch"-debug.zip
done
rm -rf "$dest/_CPack_Packages"
ls "$dest"/*.zip
