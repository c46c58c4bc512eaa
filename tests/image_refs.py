#!/usr/bin/python3
"""Writes the reference pixels test_image compares with, once per build.

Usage: image_refs.py OUT_DIR PNGSUITE_DIR

OUT_DIR/png/NAME.rgba: every valid PngSuite file decoded by Pillow.
OUT_DIR/jpeg/NAME.jpg and NAME.rgba: JPEG files made here (Pillow and cjpeg)
and Pillow's decode of each, turned as its EXIF orientation says. An .rgba
file is the width and height (32-bit little-endian), then RGBA rows top first.
Where Pillow departs from the PNG rules the decode is corrected here: 16-bit
grey keeps its high byte, and a tRNS grey below 8 bits is compared before
Pillow widens it. A stamp marks a finished run; OUT_DIR/NO-PILLOW, no Pillow.
"""
import os
import shutil
import struct
import subprocess
import sys


def write_rgba(path, im):
    with open(path, "wb") as f:
        f.write(struct.pack("<II", im.width, im.height))
        f.write(im.tobytes())


def decode_png(path):
    from PIL import Image
    im = Image.open(path)
    im.load()
    with open(path, "rb") as f:
        depth = f.read(25)[24]
    trns = im.info.get("transparency")
    if im.mode in ("I", "I;16", "I;16B"):  # 16-bit grey
        values = list(im.getdata())
        out = Image.new("RGBA", im.size)
        out.putdata([(v >> 8, v >> 8, v >> 8, 0 if v == trns else 255) for v in values])
        return out
    if im.mode == "L" and trns is not None and depth < 8:
        scale = 255 // ((1 << depth) - 1)
        grey = im.copy()
        grey.info.pop("transparency", None)
        out = grey.convert("RGBA")
        out.putalpha(grey.point(lambda v: 0 if v == trns * scale else 255))
        return out
    return im.convert("RGBA")


def make_pngs(out, suite):
    os.makedirs(out, exist_ok=True)
    names = [n for n in sorted(os.listdir(suite)) if n.endswith(".png") and not n.startswith("x")]
    for name in names:
        write_rgba(os.path.join(out, name[:-4] + ".rgba"), decode_png(os.path.join(suite, name)))
    return len(names)


def source_image(width, height, grey=False):
    """A smooth scene with a little deterministic noise, like a photograph."""
    from PIL import Image
    im, seed, pixels = Image.new("RGB", (width, height)), 7, []
    for y in range(height):
        for x in range(width):
            seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
            n = (seed >> 16) % 17 - 8
            pixels.append((max(0, min(255, x * 255 // width + n)), max(0, min(255, y * 255 // height + n)),
                           max(0, min(255, 128 + (x - y) + n))))
    im.putdata(pixels)
    return im.convert("L") if grey else im


def make_jpegs(out):
    from PIL import Image, ImageOps
    os.makedirs(out, exist_ok=True)
    src = source_image(67, 45)  # sides that are not whole blocks
    src.save(os.path.join(out, "baseline-420.jpg"), quality=90)
    src.save(os.path.join(out, "baseline-444.jpg"), quality=90, subsampling=0)
    src.save(os.path.join(out, "progressive.jpg"), quality=85, progressive=True)
    source_image(67, 45, grey=True).save(os.path.join(out, "grey.jpg"), quality=90)
    source_image(67, 45, grey=True).save(os.path.join(out, "grey-progressive.jpg"), progressive=True)
    exif = Image.Exif()
    exif[0x0112] = 6  # a quarter turn clockwise: rows become columns
    src.save(os.path.join(out, "orientation-6.jpg"), quality=90, exif=exif.tobytes())
    cjpeg = shutil.which("cjpeg")
    if cjpeg:
        ppm = os.path.join(out, "source.ppm")
        src.save(ppm)
        for name, args in (("restart.jpg", ["-restart", "1", "-quality", "80"]),
                           ("restart-progressive.jpg", ["-restart", "2B", "-progressive"]),
                           ("arithmetic.jpg", ["-arithmetic"])):
            with open(os.path.join(out, name), "wb") as f:
                subprocess.run([cjpeg] + args + [ppm], stdout=f, check=True)
        os.remove(ppm)
    names = [n for n in sorted(os.listdir(out)) if n.endswith(".jpg")]
    for name in names:
        im = ImageOps.exif_transpose(Image.open(os.path.join(out, name))).convert("RGBA")
        write_rgba(os.path.join(out, name[:-4] + ".rgba"), im)
    return len(names)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    out, suite = sys.argv[1:]
    stamp = os.path.join(out, "stamp")
    if os.path.exists(stamp):
        return
    os.makedirs(out, exist_ok=True)
    try:
        import PIL  # noqa: F401
    except ImportError:
        with open(os.path.join(out, "NO-PILLOW"), "w") as f:
            f.write("python3-pil is not installed\n")
        return
    pngs = make_pngs(os.path.join(out, "png"), suite) if os.path.isdir(suite) else 0
    jpegs = make_jpegs(os.path.join(out, "jpeg"))
    with open(stamp, "w") as f:
        f.write(f"{pngs} PNG references from {suite}, {jpegs} JPEG files\n")


if __name__ == "__main__":
    main()
