#!/usr/bin/env bash
# Ardentix: one entry point for building, testing and running the station.
#   ./run.sh demo        burn simulated devices with the command-line station
#   ./run.sh test        build and run the whole test suite (normal and sanitizer builds, Windows)
#   ./run.sh test-windows  cross-build for Windows and run its tests under Wine
#   ./run.sh fuzz [SECS] run each fuzz target for a while (default 60 s), growing fuzz/corpus/
#   ./run.sh bench       run the benchmarks
#   ./run.sh soak [N] [--seed S]  burn N simulated devices (default 10000) with faults, checking as it goes
#   ./run.sh system-test the station against a real Linux kernel's USB stack (QEMU)
#   ./run.sh build       build only
#   ./run.sh gui         the station's window on simulated devices
#   ./run.sh screenshot  render the window's pictures into docs/ (under Xvfb)
#   ./run.sh package     build the Debian package, lint it, install, check and remove it
#   ./run.sh translations  bring station/ui/translations/*.ts up to date with the string table
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

# A compiler cache shared by every build tree and clone: paths below the
# checkout are made relative, so a fresh clone elsewhere still hits.
use_ccache() {
  if command -v ccache >/dev/null 2>&1; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=1
  fi
}
deps() { "$ROOT/scripts/install-deps.sh"; use_ccache; }

# configure DIR [cmake args...]: configure once, then let ninja reconfigure as needed.
configure() {
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@"
  fi
}

build_main() {
  configure "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$ROOT/build" -j "$JOBS"
}

run_ctest() {
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" "$@")
}

cmd_test() {
  deps
  echo "== normal build =="
  build_main
  run_ctest "$ROOT/build"

  echo "== Debian package: lintian, install, use, remove =="
  "$ROOT/scripts/package.sh"

  echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
  configure "$ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug "-DARDENTIX_SANITIZE=address;undefined" -DARDENTIX_BENCH=OFF
  cmake --build "$ROOT/build-asan" -j "$JOBS"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest "$ROOT/build-asan"

  echo "== ThreadSanitizer build: the burn's, the station's and the line sender's threads =="
  configure "$ROOT/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DARDENTIX_SANITIZE=thread \
    -DARDENTIX_GUI=OFF -DARDENTIX_BENCH=OFF
  cmake --build "$ROOT/build-tsan" -j "$JOBS" --target burn_tests station_tests core_tests ardentix_soak pg_line_tests
  for t in burn_tests station_tests pg_line_tests "core_tests --gtest_filter=DeviceSlotTable*:SettingsFile*"; do
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "$ROOT/build-tsan/bin/"$t --gtest_brief=1
  done
  QMR52916_SIMULATE= TSAN_OPTIONS=halt_on_error=1 "$ROOT/build-tsan/bin/ardentix_soak" 500

  echo "== system test: a Debian kernel under QEMU, the devices on its USB stack =="
  run_system_test

  echo "== the portable station sources, compiled for Windows =="
  "$ROOT/scripts/check-windows.sh"

  if [ -d "$ROOT/fuzz" ] && ls "$ROOT"/fuzz/fuzz_*.cpp >/dev/null 2>&1; then
    echo "== fuzz targets, briefly =="
    build_fuzz
    run_fuzzers 10
  fi
  cmd_test_windows
  echo "All tests passed."
}

# The Windows deliverables: cross-built with MinGW-w64 into build-windows/
# (64-bit, tested under Wine) and build-windows-x86/ (the 32-bit library).
cmd_test_windows() {
  deps
  echo "== Windows cross build: QMR52916LIB.dll, ardentix-cli.exe and the tests, run under Wine =="
  local win="$ROOT/build-windows" x86="$ROOT/build-windows-x86"
  # The Linux command line is the reference the Windows burn is compared with.
  configure "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$ROOT/build" -j "$JOBS" --target ardentix-cli
  configure "$win" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DARDENTIX_GUI=OFF -DARDENTIX_BENCH=OFF -DARDENTIX_LINUX_CLI="$ROOT/build/bin/ardentix-cli"
  cmake --build "$win" -j "$JOBS"
  configure "$x86" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DARDENTIX_GUI=OFF -DARDENTIX_BENCH=OFF -DARDENTIX_TESTS=OFF
  cmake --build "$x86" -j "$JOBS" --target QMR52916LIB
  echo "-- 32-bit QMR52916LIB.dll exports"
  OBJDUMP=i686-w64-mingw32-objdump "$ROOT/tests/devicelib/check_exports.sh" "$x86/bin/QMR52916LIB.dll" \
    "$ROOT/devicelib/include/QMR52916LIB_ext.h"

  export WINEPREFIX="$win/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap 'wineserver -k 2>/dev/null || true' EXIT
  "$ROOT/scripts/wine-prefix.sh" "$WINEPREFIX"
  run_ctest "$win"
  wineserver -k 2>/dev/null || true
  trap - EXIT
}

build_fuzz() {
  configure "$ROOT/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DARDENTIX_FUZZ=ON -DARDENTIX_TESTS=OFF -DARDENTIX_GUI=OFF -DARDENTIX_BENCH=OFF
  cmake --build "$ROOT/build-fuzz" -j "$JOBS"
}

# run_fuzzers SECONDS: each target over its seeds and new inputs; a crash fails the run.
run_fuzzers() {
  local seconds=$1
  local work="$ROOT/build-fuzz/work"
  mkdir -p "$work" "$ROOT/fuzz/artifacts"
  for exe in "$ROOT"/build-fuzz/bin/fuzz_*; do
    local name; name=$(basename "$exe"); name=${name#fuzz_}
    local corpus="$work/$name"
    mkdir -p "$corpus"
    echo "-- fuzz $name (${seconds}s)"
    ASAN_OPTIONS=detect_leaks=1 "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 $(fuzz_dict "$name") \
      -artifact_prefix="$ROOT/fuzz/artifacts/" -print_final_stats=1 "$corpus" "$ROOT/fuzz/corpus/$name" \
      >"$work/$name.log" 2>&1 || { tail -40 "$work/$name.log"; echo "fuzz target $name failed" >&2; exit 1; }
    grep -E '^(stat::number_of_executed_units|#[0-9]+[[:space:]]+DONE)' "$work/$name.log" | tr '\n' ' ' || true; echo
  done
}

# fuzz_dict NAME: the target's dictionary of tokens (fuzz/<name>.dict), if it has one.
fuzz_dict() {
  if [ -f "$ROOT/fuzz/$1.dict" ]; then echo "-dict=$ROOT/fuzz/$1.dict"; fi
}

# merge_corpora: the inputs of the last runs that reach code (edges, not hit
# counts, which would keep thousands) the seeds do not join fuzz/corpus/<name>;
# the rest are left in build-fuzz/work.
merge_corpora() {
  local work="$ROOT/build-fuzz/work"
  for exe in "$ROOT"/build-fuzz/bin/fuzz_*; do
    local name; name=$(basename "$exe"); name=${name#fuzz_}
    [ -d "$work/$name" ] || continue
    mkdir -p "$ROOT/fuzz/corpus/$name"
    local before; before=$(ls "$ROOT/fuzz/corpus/$name" | wc -l)
    ASAN_OPTIONS=detect_leaks=0 "$exe" -merge=1 -use_counters=0 -timeout=10 -rss_limit_mb=2048 \
      "$ROOT/fuzz/corpus/$name" "$work/$name" >"$work/$name.merge.log" 2>&1 ||
      { tail -20 "$work/$name.merge.log"; echo "corpus merge of $name failed" >&2; exit 1; }
    echo "-- corpus $name: $before -> $(ls "$ROOT/fuzz/corpus/$name" | wc -l) inputs"
  done
}

# The guest kernel comes from the package lists; fresh ones if they have none.
run_system_test() {
  apt-cache show linux-image-amd64 >/dev/null 2>&1 || apt-get update -qq
  "$ROOT/tests/system/run.sh" "$ROOT/build"
}

cmd_system_test() {
  deps
  build_main
  run_system_test
}

cmd_demo() {
  deps
  build_main
  exec "$ROOT/scripts/demo.sh"
}

cmd_gui() {
  deps
  build_main
  exec "$ROOT/scripts/gui.sh" "$@"
}

cmd_screenshot() {
  deps
  build_main
  "$ROOT/scripts/screenshot.sh"
}

cmd_fuzz() {
  deps
  build_fuzz
  run_fuzzers "${1:-60}"
  merge_corpora
  echo "Fuzzing found nothing."
}

cmd_soak() {
  deps
  configure "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$ROOT/build" -j "$JOBS" --target ardentix_soak
  QMR52916_SIMULATE= QMR52916_TRACE= QMR52916_DRIVES= "$ROOT/build/bin/ardentix_soak" "${@:-10000}"
}

cmd_bench() {
  deps
  build_main
  for b in "$ROOT"/build/bin/bench_*; do
    [ -x "$b" ] || continue
    echo "== $(basename "$b") =="
    "$b"
  done
}

case "${1:-}" in
  demo) shift; cmd_demo "$@" ;;
  test) shift; cmd_test "$@" ;;
  test-windows) shift; cmd_test_windows "$@" ;;
  fuzz) shift; cmd_fuzz "$@" ;;
  bench) shift; cmd_bench "$@" ;;
  soak) shift; cmd_soak "$@" ;;
  system-test) shift; cmd_system_test ;;
  build) shift; deps; build_main ;;
  gui) shift; cmd_gui "$@" ;;
  screenshot) shift; cmd_screenshot ;;
  package) shift; deps; build_main; "$ROOT/scripts/package.sh" "$@" ;;
  translations) shift; deps; build_main; for ts in "$ROOT"/station/ui/translations/*.ts; do "$ROOT/build/bin/ardentix-ts" "$ts"; done ;;
  *) grep '^#   ./run.sh' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
