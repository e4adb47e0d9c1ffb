#!/usr/bin/env bash
# Builds the guest's initramfs: static busybox, the kernel modules the guest
# needs (with their dependencies, in load order) and tests/system/init.
#   make-initramfs.sh KERNEL_ROOT VERSION OUT
set -euo pipefail
kroot=$1 version=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
mods=$kroot/lib/modules/$version
dep=$mods/modules.dep
[ -f "$dep" ] || /sbin/depmod -b "$kroot" "$version"

# What the guest loads: the USB host controller and storage stack, SCSI disk
# and generic, the 9p root share, the control channel and FAT for the mount.
wanted=(xhci-pci usb-storage sd_mod sg 9p 9pnet_virtio virtio_pci virtio_console vfat nls_cp437 nls_ascii)

declare -A seen=()
order=()
add() {  # add MODULE_PATH: its dependencies first
  local path=$1
  [ -n "${seen[$path]:-}" ] && return
  seen[$path]=1
  local line; line=$(grep -E "^${path}:" "$dep")
  for d in ${line#*:}; do add "$d"; done
  order+=("$path")
}
for m in "${wanted[@]}"; do
  path=$(grep -oE "^[^:]*/${m}\.ko:" "$dep" | head -1)
  [ -n "$path" ] || { echo "module $m not found in $dep" >&2; exit 1; }
  add "${path%:}"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"/{bin,dev,proc,sys,host,lib/modules}
cp /bin/busybox "$work/bin/busybox"
for p in "${order[@]}"; do
  cp "$mods/$p" "$work/lib/modules/"
  basename "$p" >>"$work/lib/modules/order"
done
cp "$here/init" "$work/init"
chmod +x "$work/init"
(cd "$work" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$out"
