#!/usr/bin/env python3
"""Helpers for render.sh (standard library only).

  skin_tools.py size FILE W H            fail unless FILE is a W x H PNG
  skin_tools.py band FILE FIRST_ROW HEX  fail unless rows FIRST_ROW..bottom are
                                         all exactly colour HEX (e.g. eef1f4)
  skin_tools.py ico OUT PNG...           write a Windows icon: entries up to
                                         48 px as 32-bit DIBs (readable by every
                                         Windows version), larger ones as PNG
"""
import struct
import sys
import zlib

PNG_SIGNATURE = b'\x89PNG\r\n\x1a\n'


def png_size(path):
    with open(path, 'rb') as f:
        head = f.read(24)
    if head[:8] != PNG_SIGNATURE or head[12:16] != b'IHDR':
        sys.exit(f'{path}: not a PNG')
    return struct.unpack('>II', head[16:24])


def png_rgba(path):
    """Decode an 8-bit, non-interlaced PNG; returns (w, h, rows of RGBA tuples)."""
    data = open(path, 'rb').read()
    if data[:8] != PNG_SIGNATURE:
        sys.exit(f'{path}: not a PNG')
    pos, idat, plte, trns = 8, b'', [], b''
    while pos < len(data):
        n, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        pos += 12 + n
        if kind == b'IHDR':
            w, h, depth, ctype, _, _, interlace = struct.unpack('>IIBBBBB', body)
        elif kind == b'PLTE':
            plte = [tuple(body[i:i + 3]) for i in range(0, n, 3)]
        elif kind == b'tRNS':
            trns = body
        elif kind == b'IDAT':
            idat += body
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(ctype)
    if depth != 8 or interlace or channels is None:
        sys.exit(f'{path}: unsupported PNG (bit depth {depth}, colour type {ctype})')
    raw, stride = zlib.decompress(idat), w * channels
    prev, pos, rows = bytearray(stride), 0, []
    for _ in range(h):
        kind, line = raw[pos], bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        for x in range(stride):
            a = line[x - channels] if x >= channels else 0
            b = prev[x]
            c = prev[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + a) & 255
            elif kind == 2:
                line[x] = (line[x] + b) & 255
            elif kind == 3:
                line[x] = (line[x] + ((a + b) >> 1)) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        prev = line
        row = []
        for x in range(w):
            px = line[x * channels:(x + 1) * channels]
            if ctype == 6:
                row.append(tuple(px))
            elif ctype == 2:
                row.append(tuple(px) + (255,))
            elif ctype == 3:
                i = px[0]
                row.append(plte[i] + ((trns[i] if i < len(trns) else 255),))
            elif ctype == 0:
                row.append((px[0],) * 3 + (255,))
            else:
                row.append((px[0],) * 3 + (px[1],))
        rows.append(row)
    return w, h, rows


def cmd_size(path, w, h):
    got = png_size(path)
    if got != (int(w), int(h)):
        sys.exit(f'{path}: is {got[0]}x{got[1]}, must be {w}x{h}')


def cmd_band(path, first_row, hexcolour):
    want = tuple(bytes.fromhex(hexcolour)) + (255,)
    w, h, rows = png_rgba(path)
    for y in range(int(first_row), h):
        for x in range(w):
            if rows[y][x] != want:
                sys.exit(f'{path}: pixel ({x},{y}) is {rows[y][x]}, band must be #{hexcolour}')


def dib_entry(path):
    w, h, rows = png_rgba(path)
    header = struct.pack('<IiiHHIIiiII', 40, w, 2 * h, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b''.join(bytes((r[2], r[1], r[0], r[3])) for row in reversed(rows) for r in row)
    mask_stride = ((w + 31) // 32) * 4
    mask = b''
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, px in enumerate(row):
            if px[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return w, h, header + colour + mask


def cmd_ico(out, *pngs):
    entries = []
    for path in pngs:
        w, h = png_size(path)
        if w > 256 or h > 256:
            sys.exit(f'{path}: icons are at most 256 px')
        if w <= 48:
            entries.append(dib_entry(path))
        else:
            entries.append((w, h, open(path, 'rb').read()))
    entries.sort(key=lambda e: e[0])
    directory, offset = b'', 6 + 16 * len(entries)
    for w, h, blob in entries:
        # width/height byte 0 means 256; no palette, 1 plane, 32 bits per pixel
        directory += struct.pack('<BBBBHHII', w % 256, h % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    with open(out, 'wb') as f:
        f.write(struct.pack('<HHH', 0, 1, len(entries)) + directory)
        for _, _, blob in entries:
            f.write(blob)


COMMANDS = {'size': (cmd_size, 3), 'band': (cmd_band, 3), 'ico': (cmd_ico, None)}

if __name__ == '__main__':
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        sys.exit(__doc__)
    func, nargs = COMMANDS[sys.argv[1]]
    args = sys.argv[2:]
    if (nargs is not None and len(args) != nargs) or (nargs is None and len(args) < 2):
        sys.exit(__doc__)
    func(*args)
