#!/bin/sh
# What a user of the library gets:
#   package_test.sh NATIVE_TREE PACKAGES_DIR WINDOWS_TREES
# installs NATIVE_TREE (a build without sanitizers) into a fresh prefix, runs the installed
# ormactl with a clean environment and renders the manual pages, builds a small C program
# against it through find_package and through pkg-config (both module names), runs the first
# against the installed ormasim in mode 2 (port 5002), installs the Python package offline and
# runs its tests against the installed library, and checks the Windows archives in PACKAGES_DIR,
# which tools/package.sh made from WINDOWS_TREES-i686 and -x86_64: the same bytes when made
# again, their layout, that each DLL exports exactly its ten functions, and that the quick start
# of their README runs and leaves no file behind.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$1" && pwd) packages=$(cd "$2" && pwd) windows_trees=$3
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
         share/man/man1/ormactl.1 share/man/man1/ormasim.1 share/ORMA_DLL/wireshark/orma_dll.lua \
         "$libdir/pkgconfig/ORMA_DLL.pc" "$libdir/cmake/ORMA_DLL/ORMA_DLLConfig.cmake"; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
[ "$(readlink "$lib/libORMA_DLL.so")" = libORMA_DLL.so.1 ] || fail "libORMA_DLL.so does not lead to libORMA_DLL.so.1"
objdump -p "$lib/libORMA_DLL.so.1.1.0" | grep -q 'SONAME *libORMA_DLL\.so\.1$' ||
  fail "the SONAME of libORMA_DLL.so.1.1.0 is not libORMA_DLL.so.1"

echo "-- the installed tools start without LD_LIBRARY_PATH or ldconfig; their manual pages render"
version_line=$(env -i "$prefix/bin/ormactl" --version 2>&1) ||
  fail "the installed ormactl --version failed with a clean environment: $version_line"
echo "$version_line" | grep -q "1\.1\.0" || fail "ormactl --version says: $version_line"
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

echo "-- Windows archives in $packages, made again from $windows_trees-*"
"$here/zip_repro_test.sh" "$windows_trees" "$packages" || fail "the archives are not reproducible"
wine_run=$here/../cmake/wine-run.sh
ORMA_WINEPREFIX=$tmp/wineprefix
export ORMA_WINEPREFIX
"$wine_run" wineboot -i >/dev/null 2>&1 || true
server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# Stops every program of the prefix (a simulator started through cmd among them).
stop_wine() { WINEPREFIX=$ORMA_WINEPREFIX "$server" -k 2>/dev/null || true; WINEPREFIX=$ORMA_WINEPREFIX "$server" -w 2>/dev/null || true; }
trap 'stop_wine; cd / && rm -rf "$tmp"' EXIT

expected="LICENSE ORMA_DLL_Log.ini README.txt bin/ORMA_DLL.dll bin/ormactl.exe bin/ormasim.exe include/ORMA_DLL.h \
lib/ORMA_DLL.def lib/ORMA_DLL.dll.a lib/ORMA_DLL.lib share/ORMA_DLL/wireshark/orma_dll.lua"
binaries="ORMA_DLL.dll ormactl.exe ormasim.exe"
texts="LICENSE ORMA_DLL_Log.ini README.txt include/ORMA_DLL.h lib/ORMA_DLL.def share/ORMA_DLL/wireshark/orma_dll.lua"
# The files of the unpacked folder $dir but those of e2e_run.sh (the programs' output, the simulator's).
files() { (cd "$dir" && find . -type f | grep -vxE '\./(stdout\.txt|stderr\.txt|sim\.out)' | LC_ALL=C sort); }
for arch in i686 x86_64; do
  top=ORMA_DLL-$version-win-$arch
  dir=$tmp/$arch/$top
  for zip in "$top" "$top-debug"; do
    [ -f "$packages/$zip.zip" ] || fail "no $packages/$zip.zip"
    mkdir -p "$tmp/$arch" && (cd "$tmp/$arch" && cmake -E tar xf "$packages/$zip.zip")
  done
  actual=$(cd "$dir" && find . -type f ! -name '*.debug' | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
  [ "$actual" = "$expected " ] || fail "$top.zip holds: $actual; expected: $expected"
  "$here/check_exports.sh" dll "$dir/bin/ORMA_DLL.dll" "$arch-w64-mingw32-objdump" || fail "$top.zip"
  for b in $binaries; do
    python3 "$here/package/pe_check.py" stripped "$dir/bin/$b" "$dir/bin/$b.debug" || fail "$top(-debug).zip"
    python3 "$here/package/pe_check.py" version "$dir/bin/$b" "$version" || fail "$top.zip"
  done
  for t in $texts; do
    awk '!/\r$/ { exit 1 }' "$dir/$t" || fail "$top.zip: $t has a line without CR LF"
  done
  # The sample configuration logs nothing, and keeps every comment and key of config/'s.
  ini=$(tr -d '\r' <"$dir/ORMA_DLL_Log.ini")
  echo "$ini" | grep -iv '^ *logging *= *off *$' | grep -iq '^ *logging *=' &&
    fail "$top.zip: ORMA_DLL_Log.ini switches a log on: $(echo "$ini" | grep -i '^ *logging *=' | tr '\n' ' ')"
  [ "$(echo "$ini" | grep -iv '^ *logging *=')" = "$(grep -iv '^ *logging *=' "$here/../config/ORMA_DLL_Log.ini")" ] ||
    fail "$top.zip: ORMA_DLL_Log.ini differs from config/ORMA_DLL_Log.ini in more than its Logging lines"

  echo "-- $arch: a host without the MinGW runtime, linked by lld-link against ORMA_DLL.lib, mode 2"
  if [ "$arch" = i686 ]; then
    machine=i386 kernel32="GetStdHandle@4 WriteFile@20 ExitProcess@4 Sleep@4 GetTickCount@0"
  else
    machine=i386:x86-64 kernel32="GetStdHandle WriteFile ExitProcess Sleep GetTickCount"
  fi
  work=$tmp/$arch/msvc && mkdir -p "$work"
  printf 'LIBRARY kernel32.dll\nEXPORTS\n%s\n' "$(printf '  %s\n' $kernel32)" >"$work/kernel32.def"
  { llvm-dlltool -m "$machine" -k -d "$work/kernel32.def" -l "$work/kernel32.lib" &&
    clang --target="$arch-pc-windows-msvc" -ffreestanding -fno-builtin -O2 -Wall -Wextra -Werror -I "$dir/include" \
      -c "$here/package/msvc_host.c" -o "$work/msvc_host.obj" &&
    lld-link /nologo /entry:start /subsystem:console /nodefaultlib /out:"$dir/bin/msvc_host.exe" \
      "$work/msvc_host.obj" "$dir/lib/ORMA_DLL.lib" "$work/kernel32.lib"; } || fail "$arch: the lld-link host"
  if [ "$arch" = i686 ] && ! why=$("$wine_run" --i686-runs); then
    echo "-- i686: the lld-link host and the quick start NOT RUN: this machine cannot run 32-bit programs ($why)"
    continue
  fi
  (cd "$work" && "$here/e2e_run.sh" "$wine_run" "$dir/bin/ormasim.exe" --port 5002 -- "$wine_run" "$dir/bin/msvc_host.exe" \
     >run.log 2>&1) || { stop_wine; cat "$work/run.log"; fail "$arch: the lld-link host against ormasim.exe"; }
  stop_wine
  grep -q '^msvc_host: responses 100' "$work/stdout.txt" || { cat "$work/run.log"; fail "$arch: the lld-link host's summary"; }

  echo "-- $arch: the quick start of README.txt, as written, under Wine"
  # The indented command lines of the "Quick start" paragraph: the simulator, then the host tool.
  tr -d '\r' <"$dir/README.txt" | sed -n '/^Quick start/,/^$/s/^  \(bin\\.*\)$/\1/p' >"$work/quick.txt"
  [ "$(wc -l <"$work/quick.txt")" = 2 ] || fail "$top.zip: README.txt's quick start is not two command lines"
  sim_line=$(sed -n 1p "$work/quick.txt") host_line=$(sed -n 2p "$work/quick.txt")
  files >"$work/before.txt"
  (cd "$dir" && "$here/e2e_run.sh" "$wine_run" cmd /c "$sim_line" -- "$wine_run" cmd /c "$host_line" >"$work/quick.log" 2>&1) ||
    { stop_wine; cat "$work/quick.log"; fail "$arch: the quick start"; }
  stop_wine
  grep -q '^ormactl: sent 1000, responses 1000, ' "$dir/stdout.txt" || { cat "$work/quick.log"; fail "$arch: the quick start's summary"; }
  ! grep -q 'Unable to open configuration file' "$dir/stdout.txt" "$dir/stderr.txt" ||
    { cat "$work/quick.log"; fail "$arch: the quick start did not read the archive's ORMA_DLL_Log.ini"; }
  files | diff "$work/before.txt" - >"$work/left.txt" ||
    fail "$arch: the quick start left files in the unpacked folder: $(sed -n 's/^> //p' "$work/left.txt" | tr '\n' ' ')"
done
echo "package_test: passed"
