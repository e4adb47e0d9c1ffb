#!/usr/bin/env bash
# Ardentix: one entry point for building, testing and running the station.
#   ./run.sh demo        burn simulated devices with the command-line station
#   ./run.sh check       the normal build and its tests, but the slow ones (minutes, no root)
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

# The build trees and their options live in CMakePresets.json.
# configure PRESET: configures the preset's tree when it has none yet or when
# the presets changed since it was last configured (a changed option reaches
# an existing tree); otherwise ninja reconfigures by itself as CMakeLists change.
configure() {
  local preset=$1 dir
  dir=$(preset_dir "$preset")
  local stamp="$dir/.ardentix-preset" want
  want="$preset $(sha256sum "$ROOT/CMakePresets.json" | cut -d' ' -f1)"
  if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    cmake --preset "$preset"
    echo "$want" >"$stamp"
  fi
}

# preset_dir PRESET: the preset's build tree.
preset_dir() {
  case "$1" in
    default) echo "$ROOT/build" ;;
    cross-windows) echo "$ROOT/build-windows" ;;
    cross-windows-x86) echo "$ROOT/build-windows-x86" ;;
    *) echo "$ROOT/build-$1" ;;
  esac
}

# build PRESET [cmake --build args...]: configures as needed, then builds.
build() {
  local preset=$1; shift
  configure "$preset"
  cmake --build --preset "$preset" -j "$JOBS" "$@"
}

build_main() { build default; }

# run_ctest PRESET [ctest args...]: the preset's tests (labels, environment).
run_ctest() {
  local preset=$1; shift
  ctest --preset "$preset" -j "$JOBS" "$@"
}

cmd_check() {
  deps
  build_main
  run_ctest check
  echo "Checked: the normal build's tests but those labelled slow (ctest --test-dir build -L slow; ./run.sh test runs all)."
}

cmd_test() {
  deps
  echo "== normal build =="
  build_main
  run_ctest default

  echo "== Debian package: lintian, install, use, remove =="
  "$ROOT/scripts/package.sh"

  echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
  build asan
  run_ctest asan

  echo "== ThreadSanitizer build: the burn's, the station's and the line sender's threads =="
  build tsan
  run_ctest tsan

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
  build default --target ardentix-cli
  build cross-windows
  build cross-windows-x86
  echo "-- 32-bit QMR52916LIB.dll exports"
  OBJDUMP=i686-w64-mingw32-objdump "$ROOT/tests/devicelib/check_exports.sh" "$x86/bin/QMR52916LIB.dll" \
    "$ROOT/devicelib/include/QMR52916LIB_ext.h"

  export WINEPREFIX="$win/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap 'wineserver -k 2>/dev/null || true' EXIT
  "$ROOT/scripts/wine-prefix.sh" "$WINEPREFIX"
  run_ctest cross-windows
  wineserver -k 2>/dev/null || true
  trap - EXIT
}

build_fuzz() { build fuzz; }

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
  build default --target ardentix_soak
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
  check) shift; cmd_check ;;
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
