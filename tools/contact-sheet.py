#!/usr/bin/env python3
"""Lays out 8-bit RGB PNG pictures of one size in a grid, halved, as one PNG.

Usage: contact-sheet.py OUT.png COLUMNS IN.png...
Standard library only: reads and writes plain (non-interlaced) PNGs.
"""
import struct
import sys
import zlib


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise SystemExit(f"{path}: not a PNG")
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or ctype != 2 or interlace != 0:
                raise SystemExit(f"{path}: only 8-bit RGB, non-interlaced")
        elif kind == b"IDAT":
            idat += body
    raw = zlib.decompress(idat)
    stride = width * 3
    rows, prev = [], bytearray(stride)
    for y in range(height):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 3] if i >= 3 else 0
            b = prev[i]
            c = prev[i - 3] if i >= 3 else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    return width, height, rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    raw = b"".join(b"\x00" + bytes(r) for r in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def main():
    out, columns, inputs = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    pictures = [read_png(p) for p in inputs]
    w, h = pictures[0][0] // 2, pictures[0][1] // 2
    gap = 4
    grid_rows = (len(pictures) + columns - 1) // columns
    sheet_w, sheet_h = columns * (w + gap) + gap, grid_rows * (h + gap) + gap
    sheet = [bytearray(b"\x40" * (sheet_w * 3)) for _ in range(sheet_h)]
    for n, (_, _, rows) in enumerate(pictures):
        ox, oy = gap + (n % columns) * (w + gap), gap + (n // columns) * (h + gap)
        for y in range(h):
            src = rows[2 * y]
            dst = sheet[oy + y]
            for x in range(w):
                dst[(ox + x) * 3:(ox + x) * 3 + 3] = src[6 * x:6 * x + 3]
    write_png(out, sheet_w, sheet_h, sheet)


if __name__ == "__main__":
    main()
