#!/usr/bin/env python3
"""Writes the generated seeds of the fuzz targets into this folder.

  fuzz/seeds/make-seeds.py [OUT_DIR]

Fonts for the FreeType path (TrueType, CFF OpenType, BDF, PCF), wide PSF
fonts, PNG files with ancillary chunks and JPEG files with arithmetic coding
and many scans. Every file is built here from nothing but Python's struct
and zlib, except the JPEG files, which cjpeg (Debian: libjpeg-turbo-progs)
encodes from a picture made here. Beside each well-formed font are copies
with one size field pushed to an extreme (ascent, units per em, bounding
box, pixel size, glyph box), as hostile files have them. The hand-made
seeds in this folder (the BMP files, the older PSF, PNG and JPEG files) are
not touched.

Running it again gives the same files, byte for byte (with the same zlib
and cjpeg).
"""

import os
import struct
import subprocess
import sys
import tempfile
import zlib

OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))


def write(name, data):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


# ---- glyph pictures shared by the bitmap formats -----------------------------

def picture(cp, width, height):
    """Rows of 0/1 for a recognisable glyph of code point cp in width x height."""
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            if cp == ord("A"):
                on = y == height // 2 or abs(2 * x - (width - 1)) <= (y * width) // max(height, 1)
            elif cp == ord("g"):
                on = (x + y) % 3 == 0
            elif cp == ord("?"):
                on = y in (0, height - 1) or x == width - 1
            elif cp == 0xFFFD:
                on = abs(2 * x - (width - 1)) + abs(2 * y - (height - 1)) <= max(width, height) - 1
            else:
                on = (x * 7 + y * 3 + cp) % 5 == 0
            row.append(1 if on else 0)
        rows.append(row)
    return rows


def pack_rows(rows, width, pad=1):
    """Rows of bits, most significant bit first, each padded to pad bytes."""
    out = bytearray()
    per_row = (width + 7) // 8
    per_row = (per_row + pad - 1) // pad * pad
    for row in rows:
        b = bytearray(per_row)
        for x, on in enumerate(row):
            if on:
                b[x >> 3] |= 0x80 >> (x & 7)
        out += b
    return bytes(out)


# ---- PSF ----------------------------------------------------------------------

PSF2_MAGIC = b"\x72\xb5\x4a\x86"


def psf2(width, height, cps, table=True, header_extra=b"", sequences=(), override=None):
    """A PSF2 font: one glyph per code point in cps (index order); with a
    Unicode table mapping each, and sequences (lists of code points) on the
    first glyph. override sets header fields after the fact (by name)."""
    charsize = (width + 7) // 8 * height
    fields = {
        "version": 0, "headersize": 32 + len(header_extra), "flags": 1 if table else 0,
        "length": len(cps), "charsize": charsize, "height": height, "width": width,
    }
    fields.update(override or {})
    head = PSF2_MAGIC + struct.pack("<7I", fields["version"], fields["headersize"], fields["flags"],
                                    fields["length"], fields["charsize"], fields["height"], fields["width"])
    glyphs = b"".join(pack_rows(picture(cp, width, height), width) for cp in cps)
    out = head + header_extra + glyphs
    if table:
        for i, cp in enumerate(cps):
            out += chr(cp).encode("utf-8")
            if i == 0:
                for seq in sequences:
                    out += b"\xfe" + "".join(chr(c) for c in seq).encode("utf-8")
            out += b"\xff"
    return out


def psf1(height, cps512=False, table=True):
    count = 512 if cps512 else 256
    mode = (0x01 if cps512 else 0) | (0x02 if table else 0)
    out = bytes([0x36, 0x04, mode, height])
    cps = list(range(count))
    out += b"".join(pack_rows(picture(cp, 8, height), 8) for cp in cps)
    if table:
        for cp in cps:
            # Glyph 0 also stands for U+FFFD, glyph 1 for a two-character sequence.
            out += struct.pack("<H", cp)
            if cp == 0:
                out += struct.pack("<H", 0xFFFD)
            if cp == 1:
                out += struct.pack("<3H", 0xFFFE, 0x41, 0x301)
            out += b"\xff\xff"
    return out


def make_psf():
    ascii_cps = [0xFFFD] + list(range(0x20, 0x7F))
    # Wide fonts: wider than high, up to the widest accepted.
    write("psf2-wide-64x8.psf", psf2(64, 8, ascii_cps))
    write("psf2-wide-32x4.psf", psf2(32, 4, list(range(256)), table=False))
    write("psf2-wide-40x6-seq.psf", psf2(40, 6, ascii_cps[:40], sequences=[[0x41, 0x300], [0x1100, 0x1161]]))
    write("psf2-wide-17x1.psf", psf2(17, 1, ascii_cps))
    write("psf2-wide-64x1-no-table.psf", psf2(64, 1, list(range(128)), table=False))
    # The largest glyph accepted, and a longer header than the usual 32 bytes.
    write("psf2-64x128.psf", psf2(64, 128, [0x3F, 0x41, 0x67, 0xFFFD]))
    write("psf2-header-48.psf", psf2(12, 10, ascii_cps, header_extra=bytes(range(16))))
    write("psf1-8x2-table-512.psf", psf1(2, cps512=True))
    # Size fields pushed past what the bytes hold or the reader accepts.
    write("psf2-wide-65x8.psf", psf2(65, 8, ascii_cps[:8]))
    write("psf2-64x129.psf", psf2(64, 129, ascii_cps[:1]))
    write("psf2-wide-64x8-count-high.psf", psf2(64, 8, ascii_cps[:8], override={"length": 0x10000}))
    write("psf2-wide-64x8-charsize-short.psf", psf2(64, 8, ascii_cps[:8], override={"charsize": 63}))
    write("psf2-wide-64x8-headersize-huge.psf", psf2(64, 8, ascii_cps[:8], override={"headersize": 0xFFFFFFF0}))
    write("psf2-wide-64x8-height-zero.psf", psf2(64, 8, ascii_cps[:8], override={"height": 0}))


# ---- BDF ----------------------------------------------------------------------

def bdf(name, glyphs, ascent, descent, pixel_size, bbox, default_char=None, size=None, props=()):
    """glyphs: (code point, width, height, xoff, yoff, dwidth, rows or None)."""
    bw, bh, bx, by = bbox
    lines = [
        "STARTFONT 2.1",
        f"FONT -zr-{name}-medium-r-normal--{pixel_size}-{pixel_size * 10}-75-75-c-{bw * 10}-iso10646-1",
        f"SIZE {size if size is not None else pixel_size} 75 75",
        f"FONTBOUNDINGBOX {bw} {bh} {bx} {by}",
    ]
    p = [
        f"PIXEL_SIZE {pixel_size}",
        f"POINT_SIZE {pixel_size * 10}",
        "RESOLUTION_X 75",
        "RESOLUTION_Y 75",
        f"FONT_ASCENT {ascent}",
        f"FONT_DESCENT {descent}",
        'CHARSET_REGISTRY "ISO10646"',
        'CHARSET_ENCODING "1"',
        'FAMILY_NAME "zr seed"',
        "SPACING \"C\"",
    ]
    if default_char is not None:
        p.append(f"DEFAULT_CHAR {default_char}")
    p += list(props)
    lines.append(f"STARTPROPERTIES {len(p)}")
    lines += p
    lines.append("ENDPROPERTIES")
    lines.append(f"CHARS {len(glyphs)}")
    for cp, w, h, xo, yo, dw, rows in glyphs:
        lines += [
            f"STARTCHAR U+{cp:04X}",
            f"ENCODING {cp}",
            f"SWIDTH {dw * 1000 // max(pixel_size, 1)} 0",
            f"DWIDTH {dw} 0",
            f"BBX {w} {h} {xo} {yo}",
            "BITMAP",
        ]
        if rows is None:
            rows = picture(cp, w, h)
        for row in rows:
            lines.append(pack_rows([row], w).hex().upper())
        lines.append("ENDCHAR")
    lines.append("ENDFONT")
    return ("\n".join(lines) + "\n").encode("ascii")


def make_bdf():
    def g(cp, w=6, h=8, xo=0, yo=-2, dw=None, rows=None):
        return (cp, w, h, xo, yo, w if dw is None else dw, rows)

    full = [g(0x20, rows=[[0] * 6] * 8), g(0x3F), g(0x41), g(0x67), g(0xFFFD), g(0xD55C)]
    bare = [g(0x41), g(0x67)]
    write("bdf-6x8.bdf", bdf("seed", full, 6, 2, 8, (6, 8, 0, -2), default_char=0xFFFD))
    write("bdf-6x8-no-replacement.bdf", bdf("bare", bare, 6, 2, 8, (6, 8, 0, -2)))
    # Size fields at extremes, glyphs as before.
    write("bdf-ascent-huge.bdf", bdf("tall", bare, 30000, 2, 8, (6, 8, 0, -2)))
    write("bdf-descent-huge.bdf", bdf("deep", bare, 6, 30000, 8, (6, 8, 0, -2)))
    write("bdf-pixel-size-1024.bdf", bdf("big", full, 6, 2, 1024, (6, 8, 0, -2), size=1024))
    write("bdf-pixel-size-huge.bdf", bdf("huge", bare, 6, 2, 65535, (6, 8, 0, -2), size=65535))
    write("bdf-fontbbox-huge.bdf", bdf("wide", bare, 6, 2, 8, (30000, 30000, -15000, -15000)))
    # Glyph boxes: wide, large (one row given, the rest left blank),
    # far from the pen, and advances far along.
    write("bdf-glyph-wide.bdf", bdf("wideglyph", [g(0x41, 500, 2), g(0x67, 2, 500)], 6, 2, 8, (500, 500, 0, -2)))
    one_row = [[1] * 1000]
    write("bdf-glyph-1000.bdf", bdf("large", [g(0x41, 1000, 500, 0, 0, rows=one_row),
                                              g(0x67, 1000, 500, 0, 0, rows=one_row),
                                              g(0xFFFD, 500, 1000, 0, 0, rows=[[1] * 500])],
                                    500, 500, 1000, (1000, 1000, 0, 0)))
    write("bdf-glyph-offset-far.bdf", bdf("far", [g(0x41, 6, 8, -30000, 30000), g(0x67, 6, 8, 30000, -30000)],
                                          6, 2, 8, (6, 8, 0, -2)))
    write("bdf-advance-huge.bdf", bdf("adv", [g(0x41, dw=32767), g(0x67, dw=-32767), g(0x3F, dw=0)], 6, 2, 8,
                                      (6, 8, 0, -2)))


# ---- PCF ----------------------------------------------------------------------

PCF_PROPERTIES, PCF_ACCELERATORS, PCF_METRICS, PCF_BITMAPS = 1 << 0, 1 << 1, 1 << 2, 1 << 3
PCF_INK_METRICS, PCF_BDF_ENCODINGS, PCF_SWIDTHS, PCF_GLYPH_NAMES = 1 << 4, 1 << 5, 1 << 6, 1 << 7
PCF_BDF_ACCELERATORS = 1 << 8
PCF_COMPRESSED_METRICS = 0x100
PCF_BYTE_MSB = 1 << 2
PCF_BIT_MSB = 1 << 3


def pcf(glyphs, ascent, descent, props, compressed=False, big_endian=False, default_char=None):
    """glyphs: (code point, left, right, advance, ascent, descent, rows or None),
    ascent and descent over the font; props: name -> int or str. Tables in
    little- or big-endian order; bitmaps padded to bytes, most significant
    bit first."""
    e = ">" if big_endian else "<"
    order = PCF_BYTE_MSB if big_endian else 0
    tables = []

    # Properties.
    names = b""
    strings = b""
    entries = []
    for name, value in props.items():
        name_off = len(names)
        names += name.encode() + b"\0"
        entries.append((name_off, value))
    string_pool = names
    recs = b""
    for name_off, value in entries:
        if isinstance(value, str):
            off = len(string_pool)
            string_pool += value.encode() + b"\0"
            recs += struct.pack(e + "iBi", name_off, 1, off)
        else:
            recs += struct.pack(e + "iBi", name_off, 0, value)
    pad = (4 - len(entries) % 4) % 4
    fmt = order
    body = struct.pack(e + "i", len(entries)) + recs + bytes(pad) + struct.pack(e + "i", len(string_pool)) + string_pool
    tables.append((PCF_PROPERTIES, fmt, body))
    del strings

    def metric(m, compress):
        left, right, adv, asc, desc = m
        if compress:
            return bytes(v + 0x80 for v in (left, right, adv, asc, desc))
        return struct.pack(e + "5hH", left, right, adv, asc, desc, 0)

    mets = [(g[1], g[2], g[3], g[4], g[5]) for g in glyphs]
    minb = tuple(min(m[i] for m in mets) for i in range(5))
    maxb = tuple(max(m[i] for m in mets) for i in range(5))

    # Accelerators.
    accel = struct.pack(e + "8B", 1, 0, 0, 0, 1, 0, 0, 0) + struct.pack(e + "3i", ascent, descent, 0)
    accel += metric(minb, False) + metric(maxb, False)
    tables.append((PCF_ACCELERATORS, order, accel))
    tables.append((PCF_BDF_ACCELERATORS, order, accel))

    # Metrics.
    if compressed:
        body = struct.pack(e + "h", len(mets)) + b"".join(metric(m, True) for m in mets)
        tables.append((PCF_METRICS, order | PCF_COMPRESSED_METRICS, body))
    else:
        body = struct.pack(e + "i", len(mets)) + b"".join(metric(m, False) for m in mets)
        tables.append((PCF_METRICS, order, body))

    # Bitmaps, padded to one byte; the sizes for the other paddings are
    # given as the format asks, though only the first is used.
    offsets = []
    data = b""
    for cp, left, right, adv, asc, desc, rows in glyphs:
        w, h = right - left, asc + desc
        if rows is None:
            rows = picture(cp, max(w, 0), max(h, 0))
        offsets.append(len(data))
        data += pack_rows(rows, max(w, 0))
    sizes = [len(data)] * 4
    body = struct.pack(e + "i", len(glyphs)) + struct.pack(e + f"{len(glyphs)}i", *offsets)
    body += struct.pack(e + "4i", *sizes) + data
    tables.append((PCF_BITMAPS, order | PCF_BIT_MSB, body))

    # Encodings: two-byte codes, rows (first byte) min_b1 .. max_b1.
    cps = [g[0] for g in glyphs]
    b1s = [cp >> 8 for cp in cps]
    min_b1, max_b1 = min(b1s), max(b1s)
    cols = [cp & 0xFF for cp in cps]
    min_c, max_c = min(cols), max(cols)
    idx = [0xFFFF] * ((max_b1 - min_b1 + 1) * (max_c - min_c + 1))
    for i, cp in enumerate(cps):
        idx[((cp >> 8) - min_b1) * (max_c - min_c + 1) + (cp & 0xFF) - min_c] = i
    dflt = default_char if default_char is not None else cps[0]
    body = struct.pack(e + "5h", min_c, max_c, min_b1, max_b1, dflt & 0x7FFF) + struct.pack(e + f"{len(idx)}H", *idx)
    tables.append((PCF_BDF_ENCODINGS, order, body))

    # Scalable widths and glyph names.
    body = struct.pack(e + "i", len(glyphs)) + struct.pack(e + f"{len(glyphs)}i", *[g[3] * 100 for g in glyphs])
    tables.append((PCF_SWIDTHS, order, body))
    gn = [f"uni{cp:04X}".encode() + b"\0" for cp in cps]
    pool = b"".join(gn)
    offs, at = [], 0
    for n in gn:
        offs.append(at)
        at += len(n)
    body = struct.pack(e + "i", len(gn)) + struct.pack(e + f"{len(gn)}i", *offs) + struct.pack(e + "i", len(pool)) + pool
    tables.append((PCF_GLYPH_NAMES, order, body))

    tables.sort(key=lambda t: t[0])
    head = b"\x01fcp" + struct.pack("<i", len(tables))
    at = len(head) + 16 * len(tables)
    toc = b""
    blobs = b""
    for kind, fmt, body in tables:
        blob = struct.pack("<i", fmt) + body
        blob += bytes((4 - len(blob) % 4) % 4)
        toc += struct.pack("<4i", kind, fmt, len(blob), at + len(blobs))
        blobs += blob
    return head + toc + blobs


def make_pcf():
    def props(pixel_size=8, ascent=6, descent=2, **more):
        p = {
            "FOUNDRY": "zr", "FAMILY_NAME": "seed", "WEIGHT_NAME": "Medium", "SLANT": "R",
            "PIXEL_SIZE": pixel_size, "POINT_SIZE": pixel_size * 10, "RESOLUTION_X": 75, "RESOLUTION_Y": 75,
            "SPACING": "C", "AVERAGE_WIDTH": 60, "CHARSET_REGISTRY": "ISO10646", "CHARSET_ENCODING": "1",
            "FONT_ASCENT": ascent, "FONT_DESCENT": descent,
        }
        p.update(more)
        return p

    def g(cp, w=6, asc=6, desc=2, left=0, adv=None, rows=None):
        return (cp, left, left + w, w if adv is None else adv, asc, desc, rows)

    # The encoding table spans every row (first byte) between the lowest and
    # the highest code, so ASCII and U+FFFD go in fonts of their own.
    full = [g(0x3F), g(0x41), g(0x67)]
    bare = [g(0x41), g(0x67)]
    write("pcf-6x8.pcf", pcf(full, 6, 2, props(), default_char=0x3F))
    write("pcf-6x8-fffd-only.pcf", pcf([g(0xFF21), g(0xFF47), g(0xFFFD)], 6, 2, props()))
    write("pcf-6x8-compressed-msb.pcf", pcf(full, 6, 2, props(), compressed=True, big_endian=True))
    write("pcf-6x8-no-replacement.pcf", pcf(bare, 6, 2, props()))
    # Size fields at extremes: the font's ascent and descent (accelerators and
    # properties), its pixel size, and glyph boxes and advances.
    write("pcf-ascent-huge.pcf", pcf(bare, 30000, 2, props(ascent=30000)))
    write("pcf-descent-huge.pcf", pcf(bare, 6, 30000, props(descent=30000)))
    write("pcf-pixel-size-huge.pcf", pcf(bare, 6, 2, props(pixel_size=30000, POINT_SIZE=300000)))
    write("pcf-pixel-size-1024.pcf", pcf(full, 6, 2, props(pixel_size=1024)))
    write("pcf-glyph-wide.pcf", pcf([g(0x41, w=600, asc=1, desc=1), g(0x67, w=1, asc=300, desc=300)], 300, 300,
                                    props(ascent=300, descent=300)))
    write("pcf-advance-huge.pcf", pcf([g(0x41, adv=32767), g(0x67, adv=-32767, left=-20000)], 6, 2, props()))


# ---- TrueType and CFF OpenType ------------------------------------------------

def checksum(data):
    data += bytes((4 - len(data) % 4) % 4)
    return sum(struct.unpack(f">{len(data) // 4}I", data)) & 0xFFFFFFFF


def sfnt(version, tables):
    """An sfnt file from {tag: bytes}, tables in tag order, head's checksum set."""
    tags = sorted(tables)
    n = len(tags)
    es = max(k for k in range(8) if 1 << k <= n)
    head = struct.pack(">IHHHH", version, n, 16 << es, es, n * 16 - (16 << es))
    at = 12 + 16 * n
    recs, blobs = b"", b""
    for tag in tags:
        data = tables[tag]
        recs += struct.pack(">4sIII", tag.encode("latin-1"), checksum(data), at + len(blobs), len(data))
        blobs += data + bytes((4 - len(data) % 4) % 4)
    out = bytearray(head + recs + blobs)
    if "head" in tables:
        where = at + blobs.find(tables["head"])
        adj = (0xB1B0AFBA - checksum(bytes(out))) & 0xFFFFFFFF
        out[where + 8:where + 12] = struct.pack(">I", adj)
    return bytes(out)


def t_head(upem, bbox, long_loca=True):
    return struct.pack(">IIIIHHqqhhhhHHhhh", 0x00010000, 0x00010000, 0, 0x5F0F3CF5, 0x000B, upem, 0, 0,
                       *bbox, 0, 8, 2, 1 if long_loca else 0, 0)


def t_hhea(ascender, descender, line_gap, adv_max, n_metrics):
    return struct.pack(">IhhhHhhhhhh4hhH", 0x00010000, ascender, descender, line_gap, adv_max, 0, 0, adv_max,
                       1, 0, 0, 0, 0, 0, 0, 0, n_metrics)


def t_maxp_tt(n, points=64, contours=8, stack=32, fdefs=1, instr=64):
    return struct.pack(">IHHHHHHHHHHHHHH", 0x00010000, n, points, contours, points, contours, 2, 0, 0, fdefs, 0,
                       stack, instr, 4, 2)


def t_maxp_cff(n):
    return struct.pack(">IH", 0x00005000, n)


def t_hmtx(metrics):
    return b"".join(struct.pack(">Hh", adv, lsb) for adv, lsb in metrics)


def t_cmap(mapping):
    """mapping: code point -> glyph id. A format 4 subtable (3, 1) for the
    BMP, and a format 12 subtable (3, 10) for everything."""
    bmp = sorted((cp, gid) for cp, gid in mapping.items() if cp <= 0xFFFF)
    segs = [(cp, cp, (gid - cp) & 0xFFFF) for cp, gid in bmp] + [(0xFFFF, 0xFFFF, 1)]
    n = len(segs)
    es = max(k for k in range(8) if 1 << k <= n)
    f4 = struct.pack(">HHHH", 2 * n, 2 << es, es, 2 * n - (2 << es))
    f4 += b"".join(struct.pack(">H", s[1]) for s in segs) + b"\0\0"
    f4 += b"".join(struct.pack(">H", s[0]) for s in segs)
    f4 += b"".join(struct.pack(">H", s[2]) for s in segs)
    f4 += b"".join(struct.pack(">H", 0) for s in segs)
    f4 = struct.pack(">HHH", 4, 6 + len(f4), 0) + f4
    groups = sorted(mapping.items())
    f12 = struct.pack(">HHIII", 12, 0, 16 + 12 * len(groups), 0, len(groups))
    f12 += b"".join(struct.pack(">III", cp, cp, gid) for cp, gid in groups)
    head = struct.pack(">HH", 0, 2)
    at = 4 + 16
    head += struct.pack(">HHI", 3, 1, at) + struct.pack(">HHI", 3, 10, at + len(f4))
    return head + f4 + f12


def t_name(family):
    names = {1: family, 2: "Regular", 4: family + " Regular", 6: family.replace(" ", "") + "-Regular"}
    recs, pool = b"", b""
    for nid, s in names.items():
        b = s.encode("utf-16-be")
        recs += struct.pack(">6H", 3, 1, 0x409, nid, len(b), len(pool))
        pool += b
    return struct.pack(">HHH", 0, len(names), 6 + len(recs)) + recs + pool


def t_os2(asc, desc, gap, win_asc, win_desc, first, last, typo=False):
    return (struct.pack(">HhHHH10hh", 4, 500, 400, 5, 0, *([0] * 10), 0) + bytes(10)
            + struct.pack(">4I4sHHHhhhHHIIhhHHH", 1, 0, 0, 0, b"ZR  ", 0x40 | (0x80 if typo else 0),
                          first, last, asc, desc, gap, win_asc, win_desc, 1, 0, asc // 2, asc, 0, 32, 2))


def t_post():
    return struct.pack(">IIhhIIIII", 0x00030000, 0, -100, 50, 0, 0, 0, 0, 0)


def simple_glyph(contours, instructions=b""):
    """contours: lists of (x, y, on_curve); stored with full-size deltas."""
    pts = [p for c in contours for p in c]
    xs, ys = [p[0] for p in pts], [p[1] for p in pts]
    out = struct.pack(">hhhhh", len(contours), min(xs), min(ys), max(xs), max(ys))
    end = -1
    for c in contours:
        end += len(c)
        out += struct.pack(">H", end)
    out += struct.pack(">H", len(instructions)) + instructions
    out += bytes(1 if p[2] else 0 for p in pts)
    px = py = 0
    dx, dy = b"", b""
    for x, y, _ in pts:
        dx += struct.pack(">h", x - px)
        dy += struct.pack(">h", y - py)
        px, py = x, y
    return out + dx + dy


def composite_glyph(parts, bbox):
    """parts: (glyph id, dx, dy, scale or None)."""
    out = struct.pack(">hhhhh", -1, *bbox)
    for i, (gid, dx, dy, scale) in enumerate(parts):
        flags = 0x0001 | 0x0002  # word arguments, x/y offsets
        if i + 1 < len(parts):
            flags |= 0x0020
        if scale is not None:
            flags |= 0x0008
        out += struct.pack(">HHhh", flags, gid, dx, dy)
        if scale is not None:
            out += struct.pack(">h", int(scale * 16384))
    return out


def box(x0, y0, x1, y1):
    return [(x0, y0, True), (x0, y1, True), (x1, y1, True), (x1, y0, True)]


def truetype(upem=1000, asc=800, desc=-200, gap=0, unit=1, replacement=True, glyph_scale=1, hinted=True,
             os2_asc=None, bbox=None):
    """A TrueType font of .notdef, 'A', 'g' (a composite), '?' and U+FFFD
    (when replacement), drawn in a 1000-unit square times unit, and glyph
    coordinates times glyph_scale more."""
    s = unit * glyph_scale

    def p(*pts):
        return [(int(x * s), int(y * s), on) for x, y, on in pts]

    notdef = simple_glyph([p(*box(50, 0, 450, 700)), p(*box(100, 50, 400, 650))[::-1]])
    a_instr = b"\xb0\x00\x2f\x30\x31" if hinted else b""  # PUSHB 0, MDAP[r], IUP[y], IUP[x]
    glyph_a = simple_glyph([p((0, 0, True), (300, 700, True), (350, 700, True), (650, 0, True),
                              (550, 0, True), (325, 600, False), (100, 0, True)),
                            p(*box(150, 200, 500, 280))], a_instr)
    ring = simple_glyph([p((250, -200, True), (500, -200, False), (500, 250, True), (500, 500, False),
                           (250, 500, True), (0, 500, False), (0, 250, True), (0, -200, False))])
    glyph_g = composite_glyph([(4, 0, 0, None), (4, int(100 * s), int(50 * s), 0.5)],
                              (0, int(-200 * s), int(500 * s), int(500 * s)))
    question = simple_glyph([p((100, 500, True), (300, 700, False), (500, 500, True), (300, 300, True),
                               (300, 200, True), (350, 200, True), (350, 300, True), (550, 500, False),
                               (300, 750, False), (50, 500, True)), p(*box(300, 0, 350, 100))])
    diamond = simple_glyph([p((300, -100, True), (650, 300, True), (300, 700, True), (-50, 300, True)),
                            p((300, 100, True), (100, 300, True), (300, 500, True), (500, 300, True))])
    glyphs = [notdef, glyph_a, glyph_g, question, ring, diamond]
    mapping = {0x41: 1, 0x67: 2, 0xD55C: 4}
    if replacement:
        mapping.update({0x3F: 3, 0xFFFD: 5})
    loca, glyf = [], b""
    for gl in glyphs:
        loca.append(len(glyf))
        glyf += gl + bytes((4 - len(gl) % 4) % 4)
    loca.append(len(glyf))
    adv = int(700 * unit)
    tables = {
        "head": t_head(upem, bbox or (int(-50 * s), int(-200 * s), int(650 * s), int(750 * s))),
        "hhea": t_hhea(asc, desc, gap, min(adv, 0xFFFF), len(glyphs)),
        "maxp": t_maxp_tt(len(glyphs)),
        "hmtx": t_hmtx([(min(adv, 0xFFFF), 0)] * len(glyphs)),
        "loca": struct.pack(f">{len(loca)}I", *loca),
        "glyf": glyf,
        "cmap": t_cmap(mapping),
        "name": t_name("Zr Seed"),
        "OS/2": t_os2(os2_asc if os2_asc is not None else asc, desc, gap, abs(asc) & 0xFFFF, abs(desc) & 0xFFFF,
                      0x3F, 0xFFFD),
        "post": t_post(),
    }
    if hinted:
        tables["fpgm"] = b"\xb0\x00\x2c\xb0\x01\x21\x2d"  # FDEF 0: PUSHB 1, POP, ENDF
        tables["prep"] = b"\xb0\x00\x2b\xb8\x01\xff\x85"  # CALL 0; SCANCTRL 0x1FF
        tables["cvt "] = struct.pack(">4h", 0, 700, -200, 50)
    return sfnt(0x00010000, tables)


def cff_int(v):
    return bytes([29]) + struct.pack(">i", v)


def cff_index(items, off_size=2):
    if not items:
        return b"\0\0"
    offs, at = [], 1
    for it in items:
        offs.append(at)
        at += len(it)
    offs.append(at)
    fmt = {1: ">B", 2: ">H", 4: ">I"}[off_size]
    return struct.pack(">HB", len(items), off_size) + b"".join(struct.pack(fmt, o) for o in offs) + b"".join(items)


def t2(*ops):
    """A Type 2 charstring: numbers (as 16-bit) and operators (strings)."""
    code = {"hstem": b"\x01", "rlineto": b"\x05", "rrcurveto": b"\x08", "endchar": b"\x0e", "rmoveto": b"\x15"}
    out = b""
    for o in ops:
        out += code[o] if isinstance(o, str) else b"\x1c" + struct.pack(">h", o)
    return out


def opentype_cff(upem=1000, asc=800, desc=-200, scale=1, font_matrix=None, replacement=True):
    s = scale
    glyphs = [
        t2(50 * s, 0, "rmoveto", 400 * s, 0, "rlineto", 0, 700 * s, "rlineto", -400 * s, 0, "rlineto", "endchar"),
        t2(0, 0, "rmoveto", 300 * s, 700 * s, "rlineto", 50 * s, 0, "rlineto", 300 * s, -700 * s, "rlineto",
           "endchar"),
        t2(0, 100 * s, 200 * s, "hstem", 250 * s, -200 * s, "rmoveto", 250 * s, 0, 0, 250 * s, 0, 450 * s,
           "rrcurveto", -250 * s, 0, 0, -250 * s, 0, -450 * s, "rrcurveto", "endchar"),
        t2(300 * s, 0, "rmoveto", 50 * s, 0, "rlineto", 0, 100 * s, "rlineto", -50 * s, 0, "rlineto", "endchar"),
        t2(300 * s, -100 * s, "rmoveto", 350 * s, 400 * s, "rlineto", -350 * s, 400 * s, "rlineto",
           -350 * s, -400 * s, "rlineto", "endchar"),
    ]
    private = bytes([139, 20, 139, 21])  # defaultWidthX 0, nominalWidthX 0
    name = cff_index([b"ZrSeed"], 1)
    strings = cff_index([])
    gsubrs = cff_index([])
    charstrings = cff_index(glyphs)

    def top(cs_at, priv_at):
        d = b""
        if font_matrix is not None:
            for v in font_matrix:
                d += bytes([30]) + real_bcd(v)
            d += bytes([12, 7])
        d += cff_int(int(-50 * s)) + cff_int(int(-200 * s)) + cff_int(int(650 * s)) + cff_int(int(750 * s)) + b"\x05"
        d += cff_int(cs_at) + b"\x11"
        d += cff_int(len(private)) + cff_int(priv_at) + b"\x12"
        return d

    head = bytes([1, 0, 4, 4])
    probe = cff_index([top(0, 0)])
    cs_at = len(head) + len(name) + len(probe) + len(strings) + len(gsubrs)
    priv_at = cs_at + len(charstrings)
    cff = head + name + cff_index([top(cs_at, priv_at)]) + strings + gsubrs + charstrings + private
    mapping = {0x41: 1, 0x67: 2}
    if replacement:
        mapping.update({0x3F: 3, 0xFFFD: 4})
    adv = min(700 * s, 0xFFFF)
    tables = {
        "CFF ": cff,
        "head": t_head(upem, (int(-50 * s), int(-200 * s), int(650 * s), int(750 * s))),
        "hhea": t_hhea(asc, desc, 0, adv, len(glyphs)),
        "maxp": t_maxp_cff(len(glyphs)),
        "hmtx": t_hmtx([(adv, 0)] * len(glyphs)),
        "cmap": t_cmap(mapping),
        "name": t_name("Zr Seed CFF"),
        "OS/2": t_os2(asc, desc, 0, abs(asc) & 0xFFFF, abs(desc) & 0xFFFF, 0x3F, 0xFFFD),
        "post": t_post(),
    }
    return sfnt(0x4F54544F, tables)


def real_bcd(v):
    """A CFF real number (nibbles: digits, 'a' point, 'c' minus, 'f' end)."""
    s = repr(float(v)).replace("e-", "c").replace("e+", "b").replace("e", "b")
    nib = []
    for ch in s:
        if ch.isdigit():
            nib.append(int(ch))
        elif ch == ".":
            nib.append(0xA)
        elif ch == "-":
            nib.append(0xE)
        elif ch == "b":
            nib.append(0xB)
        elif ch == "c":
            nib.append(0xC)
    nib.append(0xF)
    if len(nib) % 2:
        nib.append(0xF)
    return bytes(nib[i] << 4 | nib[i + 1] for i in range(0, len(nib), 2))


def make_sfnt():
    write("ttf-seed.ttf", truetype())
    write("ttf-no-replacement.ttf", truetype(replacement=False, hinted=False))
    write("ttf-upem-16.ttf", truetype(upem=16, asc=13, desc=-3, unit=0.016))
    # Size fields at extremes: ascent (hhea and OS/2) with the smallest em,
    # glyphs far larger than their em, and a bounding box at the limits.
    write("ttf-ascent-huge.ttf", truetype(upem=16, asc=32767, desc=-3, unit=0.016, replacement=False))
    write("ttf-descent-huge.ttf", truetype(upem=16, asc=13, desc=-32768, unit=0.016, replacement=False))
    write("ttf-linegap-huge.ttf", truetype(upem=16, asc=13, desc=-3, gap=32767, unit=0.016))
    write("ttf-typo-ascent-huge.ttf", truetype(upem=64, asc=0, desc=0, os2_asc=32767, unit=0.064))
    write("ttf-glyph-20x-em.ttf", truetype(upem=16, asc=13, desc=-3, unit=0.016, glyph_scale=20))
    write("ttf-glyph-40x-em.ttf", truetype(upem=16, asc=13, desc=-3, unit=0.016, glyph_scale=40, hinted=False))
    write("ttf-glyph-400x-em.ttf", truetype(upem=16, asc=13, desc=-3, unit=0.016, glyph_scale=400, hinted=False))
    write("ttf-bbox-extreme.ttf", truetype(upem=16, asc=13, desc=-3, unit=0.016,
                                           bbox=(-32768, -32768, 32767, 32767)))
    write("ttf-upem-16384.ttf", truetype(upem=16384, asc=13107, desc=-3277, unit=16.384))
    write("otf-cff-seed.otf", opentype_cff())
    write("otf-cff-no-replacement.otf", opentype_cff(replacement=False))
    write("otf-cff-glyph-30x-em.otf", opentype_cff(scale=30))
    write("otf-cff-ascent-huge.otf", opentype_cff(upem=16, asc=32767, desc=-3, replacement=False))
    write("otf-cff-font-matrix.otf", opentype_cff(font_matrix=(0.5, 0, 0, 0.5, 0, 0)))


# ---- PNG ----------------------------------------------------------------------

def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def png(width, height, colour_type, before=(), after=(), bit_depth=8, plte=None, interlace=0):
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]
    row = (width * channels * bit_depth + 7) // 8
    raw = b"".join(bytes([y % 5]) + bytes((x * 31 + y * 17) & 0xFF for x in range(row)) for y in range(height))
    if colour_type == 3:
        raw = b"".join(bytes([0]) + bytes((x + y) % len(plte) for x in range(row)) for y in range(height))
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, bit_depth, colour_type,
                                                                 0, 0, interlace))
    for c in before:
        out += c
    if plte is not None:
        out += chunk(b"PLTE", b"".join(bytes(c) for c in plte))
    out += chunk(b"IDAT", zlib.compress(raw, 9))
    for c in after:
        out += c
    return out + chunk(b"IEND", b"")


def text(key, value):
    return chunk(b"tEXt", key + b"\0" + value)


def ztxt(key, value):
    return chunk(b"zTXt", key + b"\0\0" + zlib.compress(value, 9))


def itxt(key, value, compressed, lang=b"ko", translated="설명".encode()):
    body = zlib.compress(value, 9) if compressed else value
    return chunk(b"iTXt", key + b"\0" + bytes([1 if compressed else 0, 0]) + lang + b"\0" + translated + b"\0"
                 + body)


def icc_profile(colour_space=b"RGB ", length=None, tags=0):
    """An ICC profile header (version 2.1, display class) with tags empty
    tag entries, padded with zeros to length bytes."""
    n = 132 + 12 * tags
    length = length or n
    head = struct.pack(">I4sI4s4s4s6H4s4sI4s4sQI3i4s16s28s", length, b"zr  ", 0x02100000, b"mntr", colour_space,
                       b"XYZ ", 2024, 1, 1, 0, 0, 0, b"acsp", b"APPL", 0, b"zr  ", b"seed", 0, 0,
                       0x0000F6D6, 0x00010000, 0x0000D32D, b"zr  ", bytes(16), bytes(28))
    body = struct.pack(">I", tags) + b"".join(struct.pack(">4sII", b"desc", 132 + 12 * tags, 0)
                                               for _ in range(tags))
    return (head + body).ljust(length, b"\0")


def iccp(name, profile):
    return chunk(b"iCCP", name + b"\0\0" + zlib.compress(profile, 9))


def make_png():
    write("png-text-chunks.png", png(8, 6, 2,
                                     before=[text(b"Title", b"zr seed"), ztxt(b"Comment", b"small " * 20),
                                             itxt(b"Description", "한글 텍스트".encode() * 4, True),
                                             itxt(b"Author", b"zr", False)],
                                     after=[text(b"Software", b"make-seeds.py"),
                                            ztxt(b"Disclaimer", b"after the image " * 8),
                                            itxt(b"Warning", b"x" * 64, True, lang=b"", translated=b"")]))
    write("png-iccp.png", png(7, 5, 2, before=[iccp(b"zr profile", icc_profile(tags=1))]))
    write("png-iccp-grey.png", png(5, 7, 0, before=[iccp(b"grey", icc_profile(b"GRAY"))],
                                   after=[text(b"Comment", b"grey")]))
    write("png-ancillary-palette.png", png(9, 4, 3, plte=[(255, 0, 0), (0, 255, 0), (0, 0, 255), (9, 9, 9)],
                                           before=[chunk(b"gAMA", struct.pack(">I", 45455)),
                                                   chunk(b"cHRM", struct.pack(">8I", 31270, 32900, 64000, 33000,
                                                                              30000, 60000, 15000, 6000)),
                                                   chunk(b"sBIT", bytes([5, 6, 5])),
                                                   chunk(b"sRGB", b"\0"),
                                                   chunk(b"pHYs", struct.pack(">IIB", 2835, 2835, 1)),
                                                   chunk(b"tIME", struct.pack(">HBBBBB", 2024, 2, 29, 12, 0, 0)),
                                                   ztxt(b"Comment", b"palette")],
                                           after=[chunk(b"tIME", struct.pack(">HBBBBB", 2024, 2, 29, 12, 0, 1))]))
    # Compressed text and profiles that inflate far beyond their size: 4 MiB
    # of text, 9 MiB of text (past what the reader keeps of a chunk), a
    # 6 MiB profile, and several chunks of 2 MiB after the image.
    write("png-ztxt-4mib.png", png(4, 4, 2, before=[ztxt(b"Comment", b"\0" * (4 << 20))]))
    write("png-itxt-9mib.png", png(4, 4, 6, before=[itxt(b"Comment", b"a" * (9 << 20), True)]))
    write("png-iccp-6mib.png", png(4, 4, 2, before=[iccp(b"big", icc_profile(length=6 << 20))]))
    write("png-ztxt-many.png", png(3, 3, 0, after=[ztxt(b"Comment", b"\0" * (2 << 20)) for _ in range(4)]
                                   + [itxt(b"Comment", b"b" * (2 << 20), True) for _ in range(2)]))


# ---- JPEG ---------------------------------------------------------------------

def ppm(width, height, grey=False, flat=False):
    if grey:
        px = bytes(128 if flat else (x * 13 + y * 7) & 0xFF for y in range(height) for x in range(width))
        return f"P5\n{width} {height}\n255\n".encode() + px
    px = bytearray()
    for y in range(height):
        for x in range(width):
            px += bytes((128, 128, 128) if flat else ((x * 16) & 0xFF, (y * 16) & 0xFF, ((x ^ y) * 8) & 0xFF))
    return f"P6\n{width} {height}\n255\n".encode() + bytes(px)


def scans_file(components, per_coefficient, refine):
    """A scans file for cjpeg (at most 100 scans): the DC coefficients of
    all components, then the AC coefficients of each component in bands of
    per_coefficient (1: one coefficient per scan); with refine, the DC
    first at half precision, refined at the end."""
    comps = ",".join(str(c) for c in range(components))
    lines = [f"{comps}: 0 0 0 {1 if refine else 0};"]
    for c in range(components):
        lines += [f"{c}: {k} {min(k + per_coefficient - 1, 63)} 0 0;" for k in range(1, 64, per_coefficient)]
    if refine:
        lines.append(f"{comps}: 0 0 1 0;")
    return "\n".join(lines) + "\n"


def jpeg_segments(data):
    """The marker segments of a JPEG file, each with the entropy-coded data
    that follows an SOS."""
    segs, i = [], 2
    assert data[:2] == b"\xff\xd8"
    while i < len(data):
        assert data[i] == 0xFF
        marker = data[i + 1]
        if marker == 0xD9:
            segs.append(data[i:i + 2])
            break
        n = struct.unpack(">H", data[i + 2:i + 4])[0]
        j = i + 2 + n
        if marker == 0xDA:
            while not (data[j] == 0xFF and data[j + 1] != 0 and not 0xD0 <= data[j + 1] <= 0xD7):
                j += 1
        segs.append(data[i:j])
        i = j
    return segs


def repeat_scans(data, total):
    """The file with its AC scans (and the tables before each) repeated in
    turn until it holds total scans. A first scan of coefficients already
    decoded is only warned about, so each copy is a further pass over the
    image."""
    segs = jpeg_segments(data)
    head, scans, pending = [], [], []
    for seg in segs[:-1]:
        if seg[1] == 0xDA:
            scans.append(b"".join(pending) + seg)
            pending = []
        elif scans:
            pending.append(seg)
        else:
            head.append(seg)
    ac = [sc for sc in scans if sc[sc.index(b"\xff\xda") + 5 + 2 * sc[sc.index(b"\xff\xda") + 4]] != 0]
    out = list(scans)
    k = 0
    while len(out) < total:
        out.append(ac[k % len(ac)])
        k += 1
    return b"\xff\xd8" + b"".join(head) + b"".join(out) + b"".join(pending) + segs[-1]


def with_size(data, width, height):
    """The file with the size in its frame header (SOF) changed."""
    for seg in jpeg_segments(data):
        if 0xC0 <= seg[1] <= 0xCF and seg[1] not in (0xC4, 0xC8, 0xCC):
            at = data.index(seg) + 5
            return data[:at] + struct.pack(">HH", height, width) + data[at + 4:]
    raise ValueError("no frame header")


def make_jpeg():
    with tempfile.TemporaryDirectory() as tmp:
        def path(name):
            return os.path.join(tmp, name)

        def cjpeg(source, *args):
            return subprocess.run(["cjpeg", *args, path(source)], check=True, stdout=subprocess.PIPE).stdout

        for name, data in {"colour.ppm": ppm(16, 12), "small.ppm": ppm(8, 8), "grey.pgm": ppm(24, 16, True),
                           "flat.pgm": ppm(1024, 1024, True, True)}.items():
            with open(path(name), "wb") as f:
                f.write(data)
        for name, text_ in {"grey.txt": scans_file(1, 1, False), "colour.txt": scans_file(3, 2, True),
                            "grey-refine.txt": scans_file(1, 1, True)}.items():
            with open(path(name), "w") as f:
                f.write(text_)
        write("jpeg-arith.jpg", cjpeg("colour.ppm", "-arithmetic", "-quality", "80"))
        write("jpeg-arith-progressive.jpg", cjpeg("colour.ppm", "-arithmetic", "-progressive"))
        write("jpeg-arith-grey-restart.jpg", cjpeg("grey.pgm", "-arithmetic", "-restart", "1B"))
        write("jpeg-arith-420.jpg", cjpeg("colour.ppm", "-arithmetic", "-sample", "2x2,1x1,1x1"))
        # One coefficient per scan (64 scans), in both codings; colour in
        # bands of two with the DC refined (98 scans).
        write("jpeg-scans-64-grey.jpg", cjpeg("grey.pgm", "-progressive", "-scans", path("grey.txt")))
        write("jpeg-arith-scans-64-grey.jpg", cjpeg("grey.pgm", "-arithmetic", "-scans", path("grey.txt")))
        write("jpeg-arith-scans-98.jpg", cjpeg("small.ppm", "-arithmetic", "-scans", path("colour.txt")))
        write("jpeg-scans-98.jpg", cjpeg("small.ppm", "-progressive", "-scans", path("colour.txt")))
        # More scans than cjpeg writes: AC scans repeated up to just below
        # and just past the reader's bound.
        refine = cjpeg("small.ppm", "-grayscale", "-arithmetic", "-scans", path("grey-refine.txt"))
        refine_480 = repeat_scans(refine, 480)
        write("jpeg-arith-scans-480.jpg", refine_480)
        huffman = cjpeg("small.ppm", "-grayscale", "-progressive", "-scans", path("grey.txt"))
        huffman_520 = repeat_scans(huffman, 520)
        write("jpeg-scans-520.jpg", huffman_520)
        # A whole megapixel of one grey in a few hundred bytes.
        flat = cjpeg("flat.pgm", "-arithmetic", "-quality", "50")
        write("jpeg-arith-flat-1024.jpg", flat)
        # Frames declaring more than their data: the arithmetic decoder reads
        # zeros past a marker, the Huffman decoder too (with a warning), so
        # these decode whole, one pass over the declared size per scan.
        write("jpeg-arith-flat-sof-8192.jpg", with_size(flat, 8192, 8192))
        write("jpeg-arith-progressive-sof-8192x4096.jpg",
              with_size(cjpeg("colour.ppm", "-arithmetic", "-progressive"), 8192, 4096))
        write("jpeg-arith-scans-480-sof-1024.jpg", with_size(refine_480, 1024, 1024))
        write("jpeg-scans-520-sof-2048.jpg", with_size(huffman_520, 2048, 2048))
        # The same at sizes within the pixel cap whose decoding takes
        # seconds: ten passes over 16384 x 16384, and 480 over 8192 x 8192.
        write("jpeg-arith-progressive-sof-16384.jpg",
              with_size(cjpeg("colour.ppm", "-arithmetic", "-progressive"), 16384, 16384))
        write("jpeg-arith-scans-480-sof-8192.jpg", with_size(refine_480, 8192, 8192))


def main():
    make_psf()
    make_bdf()
    make_pcf()
    make_sfnt()
    make_png()
    make_jpeg()


if __name__ == "__main__":
    main()
