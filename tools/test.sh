#!/bin/sh
# Builds every target and runs every test lane:
#   native  libORMA_DLL.so and its tests, with AddressSanitizer and UndefinedBehaviorSanitizer
#   wine    x86_64 ORMA_DLL.dll and the same tests as Windows programs under wine64
#   tsan    the threaded unit tests (label "threaded") again, with ThreadSanitizer
#   i686    ORMA_DLL.dll for 32-bit Windows: built, exports checked (no 32-bit Wine here)
#   package install of a Release build, consumers through find_package and pkg-config, the
#           Windows archives made by tools/package.sh from the two Windows trees
# Build trees go to build/ (BUILD_ROOT overrides). Exits non-zero when anything fails.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)
werror=${ORMA_WERROR:-ON}

configure() { # dir, extra cmake arguments...
  dir=$1; shift
  cmake -S "$root" -B "$out/$dir" -G Ninja -DORMA_WERROR="$werror" "$@" >"$out/$dir.configure.log" 2>&1 ||
    { cat "$out/$dir.configure.log"; exit 1; }
}

mkdir -p "$out"
echo "== native (ASan + UBSan)"
configure native -DCMAKE_BUILD_TYPE=Debug -DORMA_SANITIZE=ON
cmake --build "$out/native" -j "$jobs"

echo "== ThreadSanitizer (threaded unit tests)"
configure tsan -DCMAKE_BUILD_TYPE=Debug -DORMA_TSAN=ON
tsan_tests=$(cd "$out/tsan" && ctest -N -L threaded | sed -n 's/^ *Test *#[0-9]*: //p')
cmake --build "$out/tsan" -j "$jobs" --target $tsan_tests

echo "== x86_64 Windows"
# The end-to-end tests run the Windows programs against the native module simulator.
configure win-x86_64 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" \
  -DORMA_HOST_TOOLS_DIR="$out/native/bin"
cmake --build "$out/win-x86_64" -j "$jobs"

echo "== i686 Windows"
configure win-i686 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
cmake --build "$out/win-i686" -j "$jobs"

echo "== native Release (what is installed)"
configure release -DCMAKE_BUILD_TYPE=Release -DORMA_TESTS=OFF
cmake --build "$out/release" -j "$jobs"

status=0
echo "== native tests"
(cd "$out/native" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest -j "$jobs" --output-on-failure) || status=1

echo "== threaded tests under ThreadSanitizer"
(cd "$out/tsan" && TSAN_OPTIONS=halt_on_error=1 ctest -L threaded -j "$jobs" --output-on-failure) || status=1

echo "== Windows tests under Wine"
prefix=$out/win-x86_64/wineprefix
if [ ! -f "$prefix/system.reg" ]; then
  ORMA_WINEPREFIX=$prefix "$root/cmake/wine-run.sh" wineboot -i >/dev/null 2>&1 || true
fi
(cd "$out/win-x86_64" && ctest -j "$jobs" --output-on-failure) || status=1

echo "== i686 exports"
(cd "$out/win-i686" && ctest -R '^exports_dll$' --output-on-failure) || status=1

echo "== packaging"
{ BUILD_ROOT=$out "$root/tools/package.sh" "$out/win" &&
  "$root/tests/package_test.sh" "$out/release" "$out/packages"; } || status=1

if [ "$status" -eq 0 ]; then echo "all lanes passed"; else echo "some tests failed"; fi
exit "$status"
