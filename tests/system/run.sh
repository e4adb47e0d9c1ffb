#!/usr/bin/env bash
# The system test: the station against a real Linux kernel's USB storage
# stack. A Debian kernel boots under QEMU (TCG) with the host's root shared
# read-only over 9p; ardentix-usbemu serves eight family devices and one with
# a foreign INQUIRY as USB mass-storage devices through QEMU's usb-redir, on
# the ports of a hub; QEMU's own usb-storage is an ordinary USB disk. Inside
# the guest, tests/system/guest.sh drives the real ardentix-cli and library
# through usb-storage, sd and sg. Prints "system-test: N checks passed", or
# the guest's console and the emulator's log on any fault.
#   tests/system/run.sh BUILD_DIR
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
BIN=$BUILD/bin
CACHE=$ROOT/build-system
RUN=$CACHE/run
GUEST_TIMEOUT=${SYSTEM_TEST_TIMEOUT:-600}
FAMILY=8

say() { echo "system-test: $*"; }
die() { echo "system-test: FAILED: $*" >&2; exit 1; }

for exe in ardentix-cli ardentix-usbemu; do [ -x "$BIN/$exe" ] || die "$BIN/$exe is not built"; done

# --- The guest kernel: Debian's, downloaded once and unpacked, never installed.
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
[ -n "$kernel_package" ] || die "apt-cache knows no linux-image-amd64 (run apt-get update)"
version=${kernel_package#linux-image-}
kroot=$CACHE/kernel/$version
if [ ! -f "$kroot/boot/vmlinuz-$version" ]; then
  say "fetching $kernel_package"
  rm -rf "$CACHE/kernel" && mkdir -p "$CACHE/kernel/download"
  (cd "$CACHE/kernel/download" && apt-get download "$kernel_package" >/dev/null 2>&1) || die "cannot download $kernel_package"
  dpkg-deb -x "$CACHE"/kernel/download/*.deb "$kroot.part"
  rm -rf "$CACHE/kernel/download"
  mv "$kroot.part" "$kroot"
fi
"$ROOT/tests/system/make-initramfs.sh" "$kroot" "$version" "$CACHE/initrd.gz"

# --- What the guest burns and the devices it burns.
rm -rf "$RUN"
mkdir -p "$RUN"
SOCK=$(mktemp -d /tmp/ardentix-system.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$SOCK"
}
trap cleanup EXIT

"$BIN/ardentix-cli" make-samples "$RUN/samples" --sd-kb 4096 --voice-kb 192 >/dev/null

# Family devices E..L for the simulator (the guest letters them C..J by port),
# three kinds of flash chip, the last with two logical units; then a device
# whose INQUIRY names another vendor and product.
flash_ids=(00EF4018 00EF4018 00EF4018 00EF4018 00C84018 00C84018 00C22018 00C22018)
id_texts=(001840EF 001840EF 001840EF 001840EF 001840C8 001840C8 001820C2 001820C2)
clocks=(80 80 80 80 80 80 104 104)
letters=(E F G H I J K L)
devices=""
for i in $(seq 0 $((FAMILY - 1))); do
  luns=1
  [ "$i" -eq $((FAMILY - 1)) ] && luns=2
  devices+="{\"letter\":\"${letters[$i]}\",\"luns\":$luns,\"flashId\":\"${flash_ids[$i]}\",\"serial\":\"00000001000$i\","
  devices+="\"usbInstanceId\":\"20261200000$i\",\"sdSectors\":16384,\"sd2Sectors\":8192},"
done
devices+="{\"letter\":\"N\",\"vendor\":\"Acme\",\"product\":\"Photo Frame\",\"serial\":\"000000019999\","
devices+="\"usbInstanceId\":\"202612000099\",\"sdSectors\":8192}"
echo "{\"devices\":[$devices]}" >"$RUN/devices.json"

cat >"$RUN/params.sh" <<PARAMS
BIN=$BIN
RUN=$RUN
FAMILY=$FAMILY
SAMPLES=$RUN/samples
SPILIST=$ROOT/data/SpiList.ini
ID_TEXTS=(${id_texts[*]})
CLOCKS=(${clocks[*]})
SIM_LETTERS=(${letters[*]})
PARAMS

new_station() {  # new_station DIR: the starter catalogue and Write Verify on
  mkdir -p "$1"
  cp "$ROOT/data/SpiList.ini" "$1/SpiList.ini"
  printf '[SETUP]\r\nWrite Verify=1\r\n[OID MP]\r\nPass Count=0\r\nFail Count=0\r\n' >"$1/RQ4820Ardentix.ini"
}

# The same burn on the simulator, for the command trace the guest compares.
new_station "$RUN/sim-station"
(
  QMR52916_TRACE=$RUN/trace-sim.part "$BIN/ardentix-cli" burn --simulate "$RUN/devices.json" \
    --station-dir "$RUN/sim-station" --sd1 "$RUN/samples/sample.img" --flash "$RUN/samples/sample.vlr" \
    --json "$RUN/sim-report.json" >"$RUN/sim-burn.txt" 2>&1
  echo $? >"$RUN/sim-status"
  mv "$RUN/trace-sim.part" "$RUN/trace-sim.txt"
) &
pids+=($!)

# --- The emulator, then the guest.
"$BIN/ardentix-usbemu" serve --config "$RUN/devices.json" --dir "$SOCK" 2>"$RUN/emulator.log" &
pids+=($!)
for _ in $(seq 100); do [ -f "$SOCK/ready" ] && break; sleep 0.1; done
[ -f "$SOCK/ready" ] || { cat "$RUN/emulator.log" >&2; die "the emulator did not start"; }

truncate -s 8M "$RUN/plain-disk.img"
usb=(-device qemu-xhci,id=xhci -device usb-hub,bus=xhci.0,port=1)
for i in $(seq 0 $((FAMILY - 1))); do
  usb+=(-chardev "socket,id=usb$i,path=$SOCK/usb$i.sock" -device "usb-redir,chardev=usb$i,bus=xhci.0,port=1.$((i + 1))")
done
usb+=(-chardev "socket,id=usb$FAMILY,path=$SOCK/usb$FAMILY.sock" -device "usb-redir,chardev=usb$FAMILY,bus=xhci.0,port=2")
usb+=(-drive "if=none,id=plain,file=$RUN/plain-disk.img,format=raw,file.locking=off")
usb+=(-device "usb-storage,bus=xhci.0,port=3,drive=plain,removable=on")

say "booting $kernel_package under QEMU (TCG)"
started=$(date +%s)
status=0
timeout "$GUEST_TIMEOUT" qemu-system-x86_64 -accel tcg -m 1536 -smp 2 -display none -no-reboot -nic none \
  -monitor none -serial "file:$RUN/console.log" \
  -kernel "$kroot/boot/vmlinuz-$version" -initrd "$CACHE/initrd.gz" \
  -append "console=ttyS0 loglevel=4 panic=-1 st.script=${SYSTEM_TEST_GUEST:-$ROOT/tests/system/guest.sh} st.out=$RUN" \
  -virtfs "local,path=/,mount_tag=hostroot,readonly=on,security_model=none,id=hostroot,multidevs=remap" \
  -virtfs "local,path=$RUN,mount_tag=results,security_model=none,id=results" \
  -device virtio-serial-pci -chardev "socket,id=ctl,path=$SOCK/control.sock" \
  -device virtserialport,chardev=ctl,name=ardentix.ctl \
  "${usb[@]}" >"$RUN/qemu.log" 2>&1 || status=$?
elapsed=$(($(date +%s) - started))

result=$(cat "$RUN/result" 2>/dev/null || true)
if [ "$status" -ne 0 ] || [[ $result != pass* ]]; then
  echo "---- guest console ($RUN/console.log) ----" >&2
  cat "$RUN/console.log" >&2 || true
  echo "---- qemu ----" >&2
  cat "$RUN/qemu.log" >&2 || true
  echo "---- emulator (last 60 lines of $RUN/emulator.log) ----" >&2
  tail -60 "$RUN/emulator.log" >&2 || true
  [ "$status" -eq 124 ] && die "the guest did not finish within $GUEST_TIMEOUT s"
  die "${result:-the guest ended without a result} (after ${elapsed} s)"
fi
grep '^system-test: ok' "$RUN/console.log" | sed 's/\r$//'
say "${result#pass } checks passed (guest ran ${elapsed} s)"
