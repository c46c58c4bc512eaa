#!/usr/bin/python3
"""Writes the reference pixels test_image compares with, once per build.

Usage: image_refs.py OUT_DIR PNGSUITE_DIR

OUT_DIR/png/NAME.rgba: every valid PngSuite file decoded by Pillow to RGBA,
8 bits a channel. OUT_DIR/jpeg/NAME.jpg with NAME.rgba beside it: JPEG files
made here (Pillow and cjpeg) and Pillow's decode of each, libjpeg-turbo's
output turned as the file's EXIF orientation says. Each .rgba file is the
width and height (32-bit little-endian) and then the pixels, rows top first.

Where Pillow reads a PNG differently from the PNG rules, the decode is
corrected here, not in the test: 16-bit grey opens as 32-bit integers (its
high byte is kept, as for every 16-bit channel), and a tRNS grey value of a
file below 8 bits is compared before Pillow widens the pixels.
A stamp file marks a finished run; without Pillow, OUT_DIR/NO-PILLOW says why.
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


def png_header(path):
    with open(path, "rb") as f:
        head = f.read(33)
    return head[24], head[25]  # bit depth, colour type


def decode_png(path):
    from PIL import Image
    im = Image.open(path)
    im.load()
    depth, ctype = png_header(path)
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
    count = 0
    for name in sorted(os.listdir(suite)):
        if not name.endswith(".png") or name.startswith("x"):
            continue
        write_rgba(os.path.join(out, name[:-4] + ".rgba"), decode_png(os.path.join(suite, name)))
        count += 1
    return count


def source_image(width, height, grey=False):
    """A smooth scene with a little deterministic noise, like a photograph."""
    from PIL import Image
    im = Image.new("RGB", (width, height))
    seed = 7
    pixels = []
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
    files = {}
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
    for name in sorted(os.listdir(out)):
        if name.endswith(".jpg"):
            im = ImageOps.exif_transpose(Image.open(os.path.join(out, name))).convert("RGBA")
            write_rgba(os.path.join(out, name[:-4] + ".rgba"), im)
            files[name] = im.size
    return len(files)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    out, suite = sys.argv[1], sys.argv[2]
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
