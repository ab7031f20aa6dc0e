#!/bin/sh
# What a user of the library gets:
#   package_test.sh NATIVE_TREE PACKAGES_DIR
# installs NATIVE_TREE (a build without sanitizers) into a fresh prefix, runs the installed
# ormactl with a clean environment and renders the manual pages, builds a small C program
# against it through find_package and through pkg-config (both module names), runs the first
# against the installed ormasim in mode 2 (port 5002), installs the Python package offline and
# runs its tests against the installed library, and checks the layout of the Windows archives in
# PACKAGES_DIR and that each DLL exports exactly the six functions.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$1" && pwd) packages=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "package_test: $*"; exit 1; }
prefix=$tmp/prefix

echo "-- install into $prefix"
cmake --install "$tree" --prefix "$prefix" >/dev/null
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$tree/CMakeCache.txt")
lib=$prefix/$libdir
for f in bin/ormactl bin/ormasim include/ORMA_DLL.h share/doc/ORMA_DLL/ORMA_DLL_Log.ini \
         share/doc/ORMA_DLL/LICENSE share/doc/ORMA_DLL/README.md share/doc/ORMA_DLL/CONTRIBUTING.md \
         share/man/man1/ormactl.1 share/man/man1/ormasim.1 "$libdir/pkgconfig/ORMA_DLL.pc" \
         "$libdir/cmake/ORMA_DLL/ORMA_DLLConfig.cmake"; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
[ "$(readlink "$lib/libORMA_DLL.so")" = libORMA_DLL.so.1 ] || fail "libORMA_DLL.so does not lead to libORMA_DLL.so.1"
objdump -p "$lib/libORMA_DLL.so.1.0.0" | grep -q 'SONAME *libORMA_DLL\.so\.1$' ||
  fail "the SONAME of libORMA_DLL.so.1.0.0 is not libORMA_DLL.so.1"

echo "-- the installed tools start without LD_LIBRARY_PATH or ldconfig; their manual pages render"
version_line=$(env -i "$prefix/bin/ormactl" --version 2>&1) ||
  fail "the installed ormactl --version failed with a clean environment: $version_line"
echo "$version_line" | grep -q "1\.0\.0" || fail "ormactl --version says: $version_line"
env -i "$prefix/bin/ormasim" --version >/dev/null 2>&1 || fail "the installed ormasim --version failed"
for page in ormactl ormasim; do
  text=$(MANWIDTH=80 man -l "$prefix/share/man/man1/$page.1" 2>&1 </dev/null | cat) || fail "man -l $page.1: $text"
  echo "$text" | grep -q "^NAME" && echo "$text" | grep -q -- "--version" || fail "man -l $page.1 renders no page: $text"
done

echo "-- a consumer through find_package(ORMA_DLL 1.0), one through pkg-config"
{ cmake -S "$here/package" -B "$tmp/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="-Wall -Werror" &&
  cmake --build "$tmp/cmake"; } >"$tmp/cmake.log" 2>&1 || { cat "$tmp/cmake.log"; fail "find_package consumer"; }
PKG_CONFIG_PATH=$lib/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
cc -Wall -Werror -o "$tmp/consumer_pc" "$here/package/consumer.c" $(pkg-config --cflags --libs ORMA_DLL) ||
  fail "pkg-config consumer"
# The module has the CMake package's name; the earlier name stays the same file.
[ "$(pkg-config --libs ORMA_DLL)" = "$(pkg-config --libs orma_dll)" ] || fail "ORMA_DLL.pc and orma_dll.pc differ"
readelf -d "$tmp/consumer_pc" | grep -q 'NEEDED.*\[libORMA_DLL\.so\.1\]' || fail "the pkg-config consumer does not need libORMA_DLL.so.1"

echo "-- the consumer with the sources as a subproject: no tests"
cmake -S "$here/package" -B "$tmp/sub" -DORMA_DLL_SOURCE="$here/.." >"$tmp/sub.log" 2>&1 ||
  { cat "$tmp/sub.log"; fail "subproject consumer"; }
grep -qx 'ORMA_TESTS:BOOL=OFF' "$tmp/sub/CMakeCache.txt" || fail "the tests are on in a subproject"
grep -qx 'ORMA_TOOLS:BOOL=OFF' "$tmp/sub/CMakeCache.txt" || fail "the tools are on in a subproject"
cmake --build "$tmp/sub" >"$tmp/sub.log" 2>&1 || { cat "$tmp/sub.log"; fail "subproject build"; }
cmake --install "$tmp/sub" --prefix "$tmp/sub-prefix" >/dev/null 2>&1
[ ! -e "$tmp/sub/orma_dll/bin/ormactl" ] && [ ! -e "$tmp/sub-prefix/bin/ormactl" ] ||
  fail "the subproject built or installed ormactl"

echo "-- the find_package consumer against the installed ormasim, mode 2"
mkdir "$tmp/run" && cd "$tmp/run"
"$here/e2e_run.sh" "$prefix/bin/ormasim" --tcp --port 5002 -- "$tmp/cmake/consumer" >run.log 2>&1 ||
  { cat run.log; fail "the consumer got no response"; }
version=$(pkg-config --modversion ORMA_DLL)
[ "$(sed -n 's/^ORMA_DLL //p' stdout.txt)" = "$version" ] ||
  fail "the header says $(cat stdout.txt), orma_dll.pc says $version"

echo "-- the Python package, installed offline, its tests against the installed library"
"$here/python_test.sh" "$prefix" "$libdir" || fail "the Python package"

echo "-- Windows archives in $packages"
expected="LICENSE ORMA_DLL_Log.ini README.txt bin/ORMA_DLL.dll bin/ormactl.exe include/ORMA_DLL.h lib/ORMA_DLL.def lib/ORMA_DLL.dll.a"
for arch in i686 x86_64; do
  top=ORMA_DLL-$version-win-$arch
  zip=$packages/$top.zip
  [ -f "$zip" ] || fail "no $zip"
  actual=$(cmake -E tar tf "$zip" | grep -v '/$' | sed "s|^$top/||" | LC_ALL=C sort | tr '\n' ' ')
  [ "$actual" = "$expected " ] || fail "$zip holds: $actual; expected: $expected"
  mkdir "$tmp/$arch" && (cd "$tmp/$arch" && cmake -E tar xf "$zip" "$top/bin/ORMA_DLL.dll")
  "$here/check_exports.sh" dll "$tmp/$arch/$top/bin/ORMA_DLL.dll" "$arch-w64-mingw32-objdump" || fail "$zip"
done
echo "package_test: passed"
