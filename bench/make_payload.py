#!/usr/bin/env python3
"""Writes a browser-like payload folder for the extraction benchmark.

About 300 files and 12.7 MB, shaped like a real browser build: a few large programs and
libraries (machine-code-like bytes with import and string tables), skins (already
compressed images), pages, scripts and ini files. Everything comes from one seeded
generator, so every run makes the same bytes and the figures compare across machines.
Packed with LZMA level 9 it shrinks to about 3.9 MB, a ratio near 3.3.

    make_payload.py OUT_DIR [--seed N] [--scale F]

--seed makes another payload of the same shape (its random file names differ too, so two
seeds share the fixed files and part of the folders); --scale multiplies every file's size
(--scale 10 gives about 130 MB).
"""
import argparse
import os
import random
import struct
import sys
import zlib

SEED = 20240611
# Share of functions that repeat an earlier one with a few bytes changed.
COPY_SHARE = 0.48

WORDS = (
    "window document element style page game account skin tab frame load save user "
    "server click event value index list item node text image button panel menu view "
    "option config update socket packet client login token cache timer render draw "
    "color width height left top right bottom visible enabled handler callback result"
).split()


def machine_code(rng, size):
    """Bytes with the statistics of compiled code: functions built from a skewed vocabulary
    of instruction sequences with offsets and addresses, many of them near-copies of earlier
    ones (templates, inlined helpers), padded to alignment, with the odd literal table."""
    vocabulary = [bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 6))) for _ in range(3000)]
    weights = [1.0 / (i + 1) ** 1.08 for i in range(len(vocabulary))]
    addresses = [struct.pack("<I", 0x00400000 + rng.randint(0, 0x2FFFFF)) for _ in range(6000)]
    functions = []
    out = bytearray()
    while len(out) < size:
        if functions and rng.random() < COPY_SHARE:
            body = bytearray(rng.choice(functions))
            for _ in range(rng.randint(0, 3)):
                at = rng.randrange(len(body))
                body[at] = rng.getrandbits(8)
        else:
            body = bytearray()
            for token in rng.choices(vocabulary, weights=weights, k=rng.randint(8, 120)):
                body += token
                roll = rng.random()
                if roll < 0.16:
                    body += struct.pack("<i", rng.randint(-600, 600))  # branch or stack offset
                elif roll < 0.22:
                    body += rng.choice(addresses)  # call or data reference
            if rng.random() < 0.03:
                body += bytes(rng.getrandbits(8) for _ in range(rng.randint(64, 512)))  # literal table
            functions.append(bytes(body))
        out += body
        out += b"\xcc" * (-len(out) % 16)  # alignment between functions
    return bytes(out[:size])


def string_table(rng, size):
    out = bytearray()
    while len(out) < size:
        name = "".join(w.capitalize() for w in rng.choices(WORDS, k=rng.randint(2, 4)))
        if rng.random() < 0.5:
            out += name.encode("utf-16-le") + b"\0\0"
        else:
            out += name.encode() + b"\0"
    return bytes(out[:size])


def program(rng, size):
    """A PE-like image: header page, code, read-only data, zero-filled alignment."""
    header = b"MZ" + bytes(58) + struct.pack("<I", 0x80) + bytes(0x80 - 64) + b"PE\0\0" + bytes(0x400 - 0x84)
    code = machine_code(rng, int(size * 0.80))
    strings = string_table(rng, int(size * 0.13))
    body = header + code + strings
    body += bytes(max(0, size - len(body)))
    return body[:size]


def text_file(rng, size, kind):
    lines = []
    total = 0
    while total < size:
        words = rng.choices(WORDS, k=rng.randint(3, 10))
        if kind == "js":
            line = "  %s.%s = function(%s) { return %s(%d); };" % (
                words[0], "".join(w.capitalize() for w in words[1:3]), words[-1], words[2], rng.randint(0, 9999))
        elif kind == "html":
            line = '<div class="%s-%s" id="%s%d">%s</div>' % (
                words[0], words[1], words[2], rng.randint(0, 999), " ".join(words))
        else:
            line = "%s%s=%d" % (words[0], words[1].capitalize(), rng.randint(0, 99999))
        lines.append(line)
        total += len(line) + 2
    return ("\r\n".join(lines)).encode()[:size]


def image(rng, size):
    """A PNG with a deflated pixel body: close to incompressible, like shipped skins."""
    width = 64
    raw = bytearray()
    while len(raw) < size * 3:
        row = bytearray([0])
        for _ in range(width):
            base = rng.randint(0, 255)
            row += bytes([base, (base + rng.randint(0, 40)) & 255, rng.randint(0, 255), 255])
        raw += row
    body = zlib.compress(bytes(raw), 9)[: max(0, size - 57)]
    ihdr = struct.pack(">IIBBBBB", width, len(raw) // (width * 4 + 1), 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + b"IHDR" + ihdr + b"\0\0\0\0" +
            struct.pack(">I", len(body)) + b"IDAT" + body)[:size]


def sound(rng, size):
    """Short PCM effects: smooth samples that compress a little."""
    out = bytearray(b"RIFF" + struct.pack("<I", size - 8) + b"WAVEfmt ")
    value = 0
    while len(out) < size:
        value = max(-32000, min(32000, value + rng.randint(-900, 900)))
        out += struct.pack("<h", value)
    return bytes(out[:size])


def plan(rng):
    """(relative path, size, kind) for every file: 23 at the top level, the rest in folders."""
    files = [
        ("KeloBrowser.exe", 2_300_000, "program"),
        ("KeloUninstall.exe", 180_000, "program"),
        ("KeloUpdate.exe", 420_000, "program"),
        ("KeloWeb.exe", 650_000, "program"),
        ("KeloCore.dll", 2_350_000, "program"),
        ("KeloRender.dll", 1_400_000, "program"),
        ("KeloNet.dll", 520_000, "program"),
        ("rt100.dll", 770_000, "program"),
        ("rtcpp100.dll", 420_000, "program"),
        ("ui100u.dll", 1_100_000, "program"),
        ("rt100.manifest", 600, "ini"),
        ("ui100u.manifest", 600, "ini"),
        ("KeloS.ini", 200, "ini"),
        ("config.ini", 1_500, "ini"),
        ("notify.wav", 36_000, "sound"),
        ("click.wav", 12_000, "sound"),
        ("msg.wav", 22_000, "sound"),
        ("license.txt", 9_000, "ini"),
        ("readme.txt", 2_000, "ini"),
        ("version.ini", 300, "ini"),
        ("server.ini", 900, "ini"),
        ("account.ini", 400, "ini"),
        ("crash.ini", 300, "ini"),
    ]
    for i in range(150):
        files.append(("Skin\\%s\\%s_%d.png" % (rng.choice(["default", "dark", "blue"]), rng.choice(WORDS), i),
                      rng.randint(1_000, 12_000), "image"))
    for i in range(40):
        files.append(("Page\\%s_%d.html" % (rng.choice(WORDS), i), rng.randint(2_000, 16_000), "html"))
    for i in range(30):
        files.append(("Lib\\%s_%d.js" % (rng.choice(WORDS), i), rng.randint(4_000, 24_000), "js"))
    for i in range(25):
        files.append(("PageType\\%s_%d.ini" % (rng.choice(WORDS), i), rng.randint(300, 3_000), "ini"))
    for i in range(20):
        files.append(("MoreAccount\\acc_%d.ini" % i, rng.randint(200, 1_500), "ini"))
    for i in range(13):
        files.append(("Plugins\\%s_%d.dll" % (rng.choice(WORDS), i), rng.randint(20_000, 90_000), "program"))
    return files


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("out_dir")
    parser.add_argument("--seed", type=int, default=SEED)
    parser.add_argument("--scale", type=float, default=1.0)
    args = parser.parse_args()
    out_dir = args.out_dir
    rng = random.Random(args.seed)
    makers = {"program": program, "image": image, "sound": sound,
              "html": lambda r, s: text_file(r, s, "html"), "js": lambda r, s: text_file(r, s, "js"),
              "ini": lambda r, s: text_file(r, s, "ini")}
    total = 0
    files = plan(rng)
    for name, size, kind in files:
        size = int(size * args.scale)
        path = os.path.join(out_dir, *name.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        data = makers[kind](rng, size)
        with open(path, "wb") as f:
            f.write(data)
        total += len(data)
    print("%d files, %d bytes" % (len(files), total))


if __name__ == "__main__":
    main()
