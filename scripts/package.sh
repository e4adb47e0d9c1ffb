#!/usr/bin/env bash
# The Debian package: made by CPack from the built tree, checked by lintian,
# then installed, used as an operator and as line software would use it, and
# removed again, also when a step fails.
#   scripts/package.sh           build, lint, install, check, remove
#   scripts/package.sh --build   build and lint only
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/${BUILD_DIR:-build}"
OUT="$BUILD/package"

step() { echo "-- $*"; }
fail() { echo "package: $*" >&2; exit 1; }

rm -rf "$OUT"
mkdir -p "$OUT"
step "cpack"
(cd "$BUILD" && cpack -G DEB -B "$OUT") >"$OUT/cpack.log" 2>&1 || { cat "$OUT/cpack.log"; fail "cpack failed"; }
deb=$(ls "$OUT"/ardentix_*.deb)
echo "   $deb ($(du -k "$deb" | cut -f1) KB)"
dpkg-deb -f "$deb" Depends | sed 's/^/   Depends: /'

step "lintian"
lint_status=0
lint=$(lintian --fail-on error,warning --info "$deb" 2>&1) || lint_status=$?
grep -v 'running with root privileges' <<<"$lint" || true
[ "$lint_status" -eq 0 ] || fail "lintian found errors or warnings"
[ "${1:-}" = "--build" ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || fail "installing the package needs root or sudo"
  SUDO=sudo
fi
# Test runs of other worktrees on this machine take turns: one package at a time.
exec 9>"${TMPDIR:-/tmp}/ardentix-package-check.lock"
flock 9
# (Outputs are taken whole before grep -q looks at them: an early exit of grep
# would break the pipe, and pipefail would count that as a failure.)
if [[ $(dpkg-query -W -f='${Status}' ardentix 2>/dev/null || true) == *"install ok installed"* ]]; then
  fail "ardentix is already installed on this machine; the check installs and removes it, so remove it first"
fi

work=$(mktemp -d)
cleanup() {
  # The machine is left as it was found: no package, no scratch files.
  $SUDO dpkg --purge ardentix >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP  # through the EXIT trap

step "dpkg -i"
$SUDO dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i failed"; }

# The operator: a fresh home, no station folder given.
home="$work/home"
mkdir -p "$home"
as_user() { env -u XDG_DATA_HOME -u ARDENTIX_STATION_DIR -u QMR52916_SIMULATE HOME="$home" "$@"; }
station="$home/.local/share/ardentix"

step "ardentix-cli burn --simulate 2"
[ "$(command -v ardentix-cli)" = /usr/bin/ardentix-cli ] || fail "ardentix-cli is not the installed one"
as_user ardentix-cli make-samples "$work/samples" >/dev/null
as_user ardentix-cli burn --simulate 2 --sd1 "$work/samples/sample.img" --flash "$work/samples/sample.vlr" \
  >"$work/burn.log" 2>&1 || { cat "$work/burn.log"; fail "the burn failed"; }
grep -q "Passed: 2  Failed: 0" "$work/burn.log" || { cat "$work/burn.log"; fail "the burn did not pass both devices"; }
cmp -s "$station/SpiList.ini" /usr/share/ardentix/SpiList.ini || fail "the station folder was not seeded with the starter catalogue"
grep -q "^Pass Count=2" "$station/RQ4820Ardentix.ini" || fail "the counters are not in $station"
# Nothing was written beside the installed files (dpkg --verify: every file as
# packaged; man pages and docs may be left out by the machine's dpkg excludes).
changed=$($SUDO dpkg --verify ardentix | grep -Ev ' /usr/share/(man|doc)/' || true)
[ -z "$changed" ] || { echo "$changed"; fail "installed files changed"; }
for f in /usr/bin/RQ4820Ardentix.ini /usr/bin/SpiList.ini /usr/bin/BurnFile /usr/share/ardentix/BurnFile; do
  [ ! -e "$f" ] || fail "$f was written under /usr"
done

step "ardentix --help"
usage=$(as_user env QT_QPA_PLATFORM=offscreen ardentix --help) || fail "ardentix does not start"
[[ $usage == *"usage: ardentix"* ]] || fail "ardentix does not start"

step "C program with pkg-config"
version=$(pkg-config --modversion QMR52916LIB) || fail "pkg-config does not know QMR52916LIB"
ls /usr/lib/*/"libQMR52916LIB.so.$version" >/dev/null || fail "pkg-config's version $version is not the library's"
# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/qmr_check" "$ROOT/packaging/check/qmr_check.c" $(pkg-config --cflags --libs QMR52916LIB)
libs=$(ldd "$work/qmr_check")
grep -Eq "libQMR52916LIB.so.1 => (/usr)?/lib/" <<<"$libs" || fail "the program does not load the installed library"
"$work/qmr_check" | sed 's/^/   /'

step "CMake find_package(QMR52916LIB)"
cmake -S "$ROOT/packaging/check" -B "$work/cmake-check" -G Ninja >"$work/cmake.log" 2>&1 &&
  cmake --build "$work/cmake-check" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "find_package check failed"; }
"$work/cmake-check/qmr_check" >/dev/null

step "man pages, completion, desktop entry, udev rule"
contents=$(dpkg-deb -c "$deb")
grep -q 'usr/share/man/man1/ardentix-cli.1.gz' <<<"$contents" || fail "no man page in the package"
if [ -e /usr/share/man/man1/ardentix.1.gz ]; then man -w ardentix ardentix-cli >/dev/null; fi
completions=$(bash -c 'source /usr/share/bash-completion/bash_completion
  source /usr/share/bash-completion/completions/ardentix-cli
  COMP_WORDS=(ardentix-cli package i); COMP_CWORD=2; COMP_LINE="ardentix-cli package i"; COMP_POINT=${#COMP_LINE}
  _ardentix_cli; echo "${COMPREPLY[*]}"')
[ "$completions" = "info import" ] || fail "completion of 'package i' gave '$completions'"
desktop-file-validate /usr/share/applications/ardentix.desktop
[ -f /usr/lib/udev/rules.d/99-ardentix.rules ] || fail "no udev rule"

step "dpkg -r"
$SUDO dpkg -r ardentix >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r failed"; }
for f in /usr/bin/ardentix /usr/bin/ardentix-cli /usr/lib/*/libQMR52916LIB.so.1 /usr/share/ardentix; do
  [ ! -e "$f" ] || fail "$f is still there after dpkg -r"
done
$SUDO dpkg --purge ardentix >/dev/null
echo "Package checks passed."
