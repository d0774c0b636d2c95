#!/usr/bin/env python3
"""Marks a 64-bit Windows program to be copied to the swap file before it runs when it is
started from a network share or a removable drive, and puts the header's checksum right.

The setup program reads its payload straight from its own mapped image: started from a
share that drops or a stick pulled out, a page of it that cannot be read again would end
the process part way through the install. Copied first, it runs to its end.

    run_from_swap.py PROGRAM.exe
"""
import struct
import sys
from array import array

IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP = 0x0400
IMAGE_FILE_NET_RUN_FROM_SWAP = 0x0800


def checksum(image: bytearray, field: int) -> int:
    """The loader's checksum: 16-bit words summed with their carries folded back, the
    checksum field itself taken as zero, plus the file's length."""
    words = array("H", bytes(image) + (b"\0" if len(image) % 2 else b""))
    if sys.byteorder != "little":
        words.byteswap()
    words[field // 2] = words[field // 2 + 1] = 0
    total = sum(words)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    path = sys.argv[1]
    with open(path, "rb") as file:
        image = bytearray(file.read())
    pe = struct.unpack_from("<I", image, 0x3C)[0] if len(image) >= 0x40 else 0
    if image[:2] != b"MZ" or image[pe:pe + 4] != b"PE\0\0" or struct.unpack_from("<H", image, pe + 24)[0] != 0x20B:
        print(f"{path}: not a 64-bit Windows program", file=sys.stderr)
        return 1
    flags_field = pe + 4 + 18       # the file header's Characteristics
    checksum_field = pe + 24 + 64   # the optional header's CheckSum
    flags = struct.unpack_from("<H", image, flags_field)[0]
    struct.pack_into("<H", image, flags_field, flags | IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP | IMAGE_FILE_NET_RUN_FROM_SWAP)
    struct.pack_into("<I", image, checksum_field, checksum(image, checksum_field))
    with open(path, "r+b") as file:
        file.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
