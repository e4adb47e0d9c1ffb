#!/usr/bin/env python3
"""Writes the seed packages of fuzz/fuzz_package_import.cpp into
fuzz/corpus/package_import/: a few small packages, accepted and refused, that
reach the import's branches. Run from anywhere; it finds the repository."""

import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parents[2]
OUT = ROOT / "fuzz" / "corpus" / "package_import"
NOT_CHECKED = 0x12345678


def word(offset):
    return 0x400000 + offset // 2


def package(size, firmware_end, voice_end, sys_start, sys_end, info_at=64, info=b"FW-SEED", sealed=True):
    data = bytearray((i * 131 + (i >> 8)) & 0xFF for i in range(size))
    struct.pack_into("<IIII", data, 160, firmware_end, voice_end, sys_start, sys_end)
    struct.pack_into("<I", data, 180, word(info_at))
    data[184:204] = b"SEED-USER-ID-0000000"
    text = info + b"\0"
    data[info_at:info_at + len(text)] = text
    if sealed:
        total = (sum(data) - sum(data[176:180])) & 0xFFFFFFFF
        struct.pack_into("<I", data, 176, total)
    else:
        struct.pack_into("<I", data, 176, NOT_CHECKED)
    return bytes(data)


SEEDS = {
    "three_sections.vlr": package(3072, word(1024), word(2000), word(2048), word(3000)),
    "rounded_firmware_end.vlr": package(2048, word(514), word(1500), 0, 0, sealed=False),
    "sysconfig_absent.vlr": package(2048, word(1024), word(2000), 0, word(2000)),
    "no_firmware_section.vlr": package(1536, 0, word(600), word(1024), word(1400)),
    "short_padded.vlr": package(700, word(700), word(1024), 0, 0, sealed=False),
    "odd_assembled.vlr": package(1057, word(512), word(513), word(1024), word(1057)),
    "voice_end_zero.vlr": package(2048, word(1024), 0, 0, 0),
    "end_before_start.vlr": package(2048, word(514), word(600), 0, 0),
    "header_only.vlr": package(204, 0, 0, 0, 0, info_at=0, info=b""),
}


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    for name, data in SEEDS.items():
        (OUT / name).write_bytes(data)
        print(f"{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
