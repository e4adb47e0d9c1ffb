#!/usr/bin/env bash
# The station's portable parts compile for Windows from the same source:
# everything under station/ but host/ and ui/, with the Win32 implementations
# in place of the POSIX ones, compiled (syntax and semantics, no code) by
# MinGW-w64. Also refuses OS headers and #if in the portable sources.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
command -v "$CXX" >/dev/null || { echo "check-windows: $CXX not found (package g++-mingw-w64-x86-64-posix)" >&2; exit 1; }

# nlohmann/json is header-only; reached without the rest of /usr/include.
inc=$(mktemp -d)
trap 'rm -rf "$inc"' EXIT
ln -s /usr/include/nlohmann "$inc/nlohmann"
# So is SQLite's one header (the records); the Windows build itself leaves
# the records out, having no SQLite library to link.
ln -s /usr/include/sqlite3.h "$inc/sqlite3.h"

sources=()
for dir in station/*/; do
  case "$dir" in station/host/|station/ui/) continue ;; esac
  for f in "$dir"*.cpp; do
    case "$f" in *_posix.cpp) continue ;; esac
    sources+=("$f")
  done
done

status=0
portable=$(printf '%s\n' "${sources[@]}" | grep -v '_win32\.cpp$')
headers=$(ls station/*/*.h | grep -v '^station/\(host\|ui\)/')
if grep -nE '^\s*#\s*include\s*<(unistd|fcntl|pwd|dirent|signal|poll|termios|dlfcn|windows|sys/[a-z_]+)\.h>|^\s*#\s*(if|ifdef|ifndef|elif)\b' \
    $portable $headers; then
  echo "check-windows: OS headers or #if in portable sources (above)" >&2
  status=1
fi
export CXX inc
printf '%s\0' "${sources[@]}" | xargs -0 -n 1 -P "$(nproc 2>/dev/null || echo 2)" sh -c \
  '"$CXX" -std=c++20 -Wall -Wextra -Wno-unused-parameter -fsyntax-only -Istation -Idevicelib/include -I"$inc" "$0" ||
   { echo "check-windows: $0 does not compile for Windows" >&2; exit 255; }' || status=1
[ $status -eq 0 ] && echo "check-windows: ${#sources[@]} sources compile for Windows"
exit $status
