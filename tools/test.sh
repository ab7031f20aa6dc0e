#!/bin/sh
# Builds every target and runs every test lane:
#   native  libORMA_DLL.so and its tests, with AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan    the threaded unit tests (label "threaded") again, with ThreadSanitizer
#   wine    ORMA_DLL.dll for x86_64 and for i686, and the same tests as Windows programs, under
#           wine64 and under (32-bit) wine, each tree with its own Wine prefixes
#   package install of a Release build, the installed tools and manual pages, consumers through
#           find_package and pkg-config, the Python package and its tests, the
#           Windows archives made by tools/package.sh from the two Windows trees (the same bytes
#           when made again, stripped, versioned, DLLs of the same bytes from a second build
#           elsewhere, used by an lld-link host
#           and by the quick start of their README under Wine); beside the native tests where it
#           can have a network of its own (root), else at the end
#   fuzz    the libFuzzer targets, built with clang and run 20 s each (side by side) from fuzz/corpus, beside the
#           native tests (when clang is installed)
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

# A lane's prefixes (but the serial tests' own, whose server those tests restart) are booted before
# its tests, with servers that stay until the lane ends: otherwise the test that happens to start
# a server holds its CTest slot until Wine's own processes end, which they do only when the prefix
# has been idle for a while (over a minute in a busy lane).
wine_lane() ( # arch, jobs
  cd "$out/win-$1" || exit 1
  server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  for p in wineprefix wineprefix-usb-a wineprefix-usb-b; do
    WINEPREFIX=$PWD/$p "$server" -p >/dev/null 2>&1
    ORMA_WINEPREFIX=$PWD/$p "$root/cmake/wine-run.sh" wineboot >/dev/null 2>&1
  done
  rc=0
  ctest -j "$2" --output-on-failure || rc=$?
  for p in wineprefix wineprefix-usb-a wineprefix-usb-b; do WINEPREFIX=$PWD/$p "$server" -k || true; done
  exit "$rc"
)

started=$(date +%s)
phase() { # the heading of a step, with the time since the start
  echo "== $* [$(( $(date +%s) - started )) s]"
}

mkdir -p "$out"
phase "native (ASan + UBSan)"
configure native -DCMAKE_BUILD_TYPE=Debug -DORMA_SANITIZE=ON
cmake --build "$out/native" -j "$jobs"

phase "ThreadSanitizer (threaded unit tests)"
configure tsan -DCMAKE_BUILD_TYPE=Debug -DORMA_TSAN=ON
tsan_tests=$(cd "$out/tsan" && ctest -N -L threaded | sed -n 's/^ *Test *#[0-9]*: //p')
cmake --build "$out/tsan" -j "$jobs" --target $tsan_tests

phase "x86_64 Windows"
# The end-to-end tests run the Windows programs against the native module simulator.
configure win-x86_64 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" \
  -DORMA_HOST_TOOLS_DIR="$out/native/bin"
cmake --build "$out/win-x86_64" -j "$jobs"

phase "i686 Windows"
configure win-i686 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DORMA_HOST_TOOLS_DIR="$out/native/bin"
cmake --build "$out/win-i686" -j "$jobs"

phase "native Release (what is installed)"
configure release -DCMAKE_BUILD_TYPE=Release -DORMA_TESTS=OFF
cmake --build "$out/release" -j "$jobs"
fuzz=
if command -v clang >/dev/null 2>&1 && command -v clang++ >/dev/null 2>&1; then
  phase "fuzz targets (clang, libFuzzer, ASan + UBSan)"
  configure fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DORMA_FUZZ=ON -DORMA_SANITIZE=ON -DORMA_TESTS=OFF
  cmake --build "$out/fuzz" -j "$jobs"
  fuzz=yes
else
  phase "fuzz targets skipped: clang is not installed"
fi

status=0
wine_prefix() { # prefix: made before the tests start, and its server ended
  if [ ! -f "$1/system.reg" ]; then
    ORMA_WINEPREFIX=$1 nice -n 10 "$root/cmake/wine-run.sh" wineboot -i >/dev/null 2>&1 || true
  fi
  # Its server ends here, so that the lane's own programs start the next one where they run.
  WINEPREFIX=$1 "$(command -v wineserver || echo /usr/lib/wine/wineserver)" -w
}
wine_prefixes() { # arch: every prefix of the tree's tests (making one takes half a minute of
  # processor time, which a test that waits on Wine must not share)
  for name in wineprefix wineprefix-com wineprefix-usb-a wineprefix-usb-b; do
    wine_prefix "$out/win-$1/$name"
  done
}
# The reproducibility test builds the DLLs a second time elsewhere, and the fuzz targets run,
# at the lowest priority beside the native tests, which mostly wait; never beside the Wine lanes,
# whose waits on Wine and on the library's own timers must not share the processor with a
# compiler.
side_work() {
  failed=0
  nice -n 19 "$root/tests/reproducible_test.sh" "$out/win-x86_64" || failed=1
  nice -n 19 "$root/tests/reproducible_test.sh" "$out/win-i686" || failed=1
  phase "second builds done"
  if [ -n "$fuzz" ]; then
    phase "fuzz targets, 20 s each, side by side"
    targets="fuzz_reassembly fuzz_log_filter fuzz_log_config"
    for target in $targets; do
      # New inputs go to the run's own folder; the committed seeds stay as they are.
      work=$out/fuzz/run/$target
      rm -rf "$work" && mkdir -p "$work/new"
      (cd "$work" && nice -n 19 "$out/fuzz/bin/$target" -max_total_time=20 -max_len=8192 new "$root/fuzz/corpus/$target" >fuzz.log 2>&1
       echo $? >rc) &
    done
    wait
    for target in $targets; do
      work=$out/fuzz/run/$target
      if [ "$(cat "$work/rc")" = 0 ]; then
        echo "$target: $(grep '^Done' "$work/fuzz.log")"
      else
        tail -40 "$work/fuzz.log"; echo "$target failed: its input is in $work"; failed=1
      fi
    done
  fi
  return "$failed"
}
side_work >"$out/side.log" 2>&1 &
side=$!
# The packaging's programs take the library's default port, 127.0.0.1:5002, which no test of the
# build trees uses (theirs listen on free ports), so it runs beside them.
{ BUILD_ROOT=$out "$root/tools/package.sh" "$out/win" && "$root/tests/package_test.sh" "$out/release" "$out/packages" "$out/win"; } \
  >"$out/packaging.log" 2>&1 &
packaging_job=$!
# The Wine prefixes are made meanwhile too.
{ wine_prefixes x86_64 & wine_prefixes i686; wait; } >/dev/null 2>&1 &
prefixes=$!

phase "native tests"
(cd "$out/native" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest -j "$jobs" --output-on-failure) || status=1

phase "threaded tests under ThreadSanitizer"
(cd "$out/tsan" && TSAN_OPTIONS=halt_on_error=1 ctest -L threaded -j "$jobs" --output-on-failure) || status=1

phase "reproducible DLLs$( [ -n "$fuzz" ] && echo ", fuzz targets"), beside the native tests"
wait "$side" || status=1
cat "$out/side.log"

phase "Windows tests under Wine: x86_64 and i686"
wait "$prefixes"
phase "Wine prefixes ready"
# The two lanes mostly wait (on Wine, on the library's own waits): they run side by side, each
# with one test more than there are processors. A kernel without IA-32 emulation runs no 32-bit
# program: the i686 DLL is then built and its archive checked, but its tests cannot run.
if why=$("$root/cmake/wine-run.sh" --i686-runs); then
  wine_lane i686 $((jobs + 1)) >"$out/win-i686.ctest.log" 2>&1 &
  i686_lane=$!
else
  i686_lane=
  echo "== i686 Windows tests NOT RUN: this machine cannot run 32-bit programs ($why)"
fi
wine_lane x86_64 $((jobs + 1)) || status=1
phase "x86_64 lane ended"
if [ -n "$i686_lane" ]; then
  wait "$i686_lane" || status=1
  echo "-- i686 (wine)"; cat "$out/win-i686.ctest.log"
  phase "i686 lane ended"
fi

# The packaging's last steps (the Python package's tests, the archives, the quick start under a
# Wine prefix of its own) run beside the Wine lanes, which do not wait for them.
phase "packaging, beside the native tests and the Wine lanes"
wait "$packaging_job" || status=1
cat "$out/packaging.log"

phase "done"
if [ "$status" -eq 0 ]; then echo "all lanes passed"; else echo "some tests failed"; fi
exit "$status"
