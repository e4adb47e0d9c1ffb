#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the demo and the tools need.
# This is the one list; run.sh calls it before each command.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libsqlite3-dev
  libudev-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-tools-dev qt6-l10n-tools
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix
  xvfb xauth dosfstools util-linux
  fonts-dejavu-core fonts-dejavu-extra
  lintian bash-completion desktop-file-utils fonts-wqy-microhei
  qemu-system-x86 busybox-static kmod libusbredirparser-dev
  postgresql libpq-dev
  libarchive-dev libssl-dev zlib1g-dev bmap-tools gzip xz-utils bzip2 zstd zip unzip
  g++-mingw-w64-i686-posix wine wine64
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Run as root or install: ${missing[*]}" >&2; exit 1; }
  SUDO=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}"
