#!/usr/bin/python3
"""The image codecs against ImageMagick, the oracle for every format.

Decoding: one small image (5x3, with opaque, fully transparent and
half-transparent pixels) is written by `convert` in many forms (PNG palette,
grey, grey with alpha, 16-bit, interlaced; JPEG grey and CMYK; GIF with
transparency; TIFF in strips, in tiles, big-endian, with associated and with
unassociated alpha; a 32-bit BMP and a run-length one), decoded by the
codecs' `decode` from the file and from its bytes, and compared with
`convert FILE -depth 8 rgba:-`: exactly for the lossless forms (TIFF with
associated alpha: +-1 on half-transparent pixels and any colour where
A = 0; a 16-bit PNG +-1), within 2 for JPEG.

Encoding: the same image made in Kel is encoded by each codec, written out,
and read back by `identify` (format and size) and `convert` (pixels): exact
for PNG and BMP; TIFF exact on opaque pixels and +-1 on half-transparent
ones; GIF exact on its palette (A = 0 stays transparent, other pixels come
back opaque); JPEG, on a smooth opaque picture, within a tolerance.

Files that cannot be read raise cannot-open with the file; files read
that do not decode raise bad-media, as the same bytes do from anywhere.

usage: image_codecs.py KEL_BINARY"""
import os
import subprocess
import sys
import tempfile

import kel_script

PIXELS = [(255, 0, 0, 255), (0, 255, 0, 255), (0, 0, 255, 255), (255, 255, 255, 0), (10, 20, 30, 128),
          (200, 100, 50, 255), (0, 0, 0, 255), (128, 128, 128, 64), (90, 60, 30, 255), (255, 255, 0, 200),
          (30, 60, 90, 0), (12, 200, 77, 255), (250, 5, 100, 255), (40, 40, 40, 255), (0, 128, 255, 1)]
W, H = 5, 3

# file name, convert options, comparison
FIXTURES = [
    ("palette.png", ["PNG8:"], "exact"),
    ("grey.png", ["-alpha", "off", "-colorspace", "Gray", "-define", "png:color-type=0"], "exact"),
    ("grey-alpha.png", ["-colorspace", "Gray", "-define", "png:color-type=4"], "exact"),
    ("deep.png", ["-depth", "16", "PNG64:"], "one"),
    ("interlaced.png", ["-interlace", "PNG", "PNG32:"], "exact"),
    ("grey.jpg", ["-alpha", "off", "-colorspace", "Gray", "-quality", "95"], "near"),
    ("cmyk.jpg", ["-alpha", "off", "-colorspace", "CMYK", "-quality", "95"], "near"),
    ("transparent.gif", [], "exact"),
    ("strips.tif", ["-compress", "lzw", "-define", "tiff:rows-per-strip=1"], "tiff"),
    ("tiles.tif", ["-compress", "zip", "-define", "tiff:tile-geometry=16x16"], "tiff"),
    ("big-endian.tif", ["-define", "tiff:endian=msb"], "tiff"),
    ("associated.tif", ["-define", "tiff:alpha=associated"], "tiff"),
    ("unassociated.tif", ["-define", "tiff:alpha=unassociated"], "exact"),
    ("grey-unassociated.tif", ["-colorspace", "Gray", "-define", "tiff:alpha=unassociated"], "exact"),
    ("rle8.bmp", ["-alpha", "off", "-colors", "9", "-type", "palette", "-compress", "RLE", "BMP3:"], "exact"),
    ("alpha.bmp", ["-define", "bmp:format=bmp4"], "exact"),
]

JPEG_TOLERANCE = 16


def convert(*args):
    return subprocess.run(["convert", *args], check=True, capture_output=True).stdout


def rgba_of(path):
    raw = convert(path, "-depth", "8", "rgba:-")
    return [tuple(raw[i:i + 4]) for i in range(0, len(raw), 4)]


def differs(got, want, rule):
    """A description of the first pixel out of the rule, or None."""
    for k, (g, w) in enumerate(zip(got, want)):
        if rule == "tiff" and w[3] == 0 and g[3] == 0:
            continue
        limit = 0
        if rule == "one":
            limit = 1
        elif rule == "tiff" and 0 < w[3] < 255:
            # libtiff hands colours premultiplied in 8 bits: dividing them
            # back is good to +-1 from half transparency up, and coarser
            # below it (at A = 1 a colour is all but lost).
            limit = max(1, 255 // w[3] // 2 + 1)
        elif rule == "near":
            limit = 2  # the same library decodes both sides; only rounding may differ
        elif rule == "jpeg":
            limit = JPEG_TOLERANCE
        if any(abs(a - b) > limit for a, b in zip(g, w)):
            return "pixel %d: got %s, convert %s" % (k, g, w)
    if len(got) != len(want):
        return "%d pixels, convert %d" % (len(got), len(want))
    return None


def pixels_of_hex(text):
    """The argb channel's hex (memory order B, G, R, A) as RGBA tuples."""
    raw = bytes.fromhex(text)
    return [(raw[i + 2], raw[i + 1], raw[i], raw[i + 3]) for i in range(0, len(raw), 4)]


def kel_image_spec(pixels, w, h):
    rgb = "".join("%02X%02X%02X" % p[:3] for p in pixels)
    alpha = "".join("%02X" % (255 - p[3]) for p in pixels)
    return "make image! [%dx%d #{%s} #{%s}]" % (w, h, rgb, alpha)


def main():
    kel = sys.argv[1]
    failed = 0
    cases = 0
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "source.png")
        with open(os.path.join(tmp, "source.raw"), "wb") as f:
            f.write(bytes(b for p in PIXELS for b in p))
        convert("-size", "%dx%d" % (W, H), "-depth", "8", "rgba:" + os.path.join(tmp, "source.raw"), src)
        for name, options, _ in FIXTURES:
            target = os.path.join(tmp, name)
            if options and options[-1].endswith(":"):
                convert(src, *options[:-1], options[-1] + target)
            else:
                convert(src, *options, target)

        # Decoding, from the file and from its bytes.
        lines = ["Kel []", "c: select system/codecs 'png"]
        for name, _, _ in FIXTURES:
            path = os.path.join(tmp, name)
            lines.append('i: c/decode %%%s j: c/decode read/binary %%%s print [i/size equal? i j enbase/base i/argb 16]'
                         % (path, path))
        p = kel_script.run(kel, lines)
        out = p.stdout.splitlines()
        if len(out) != len(FIXTURES):
            print("decoding: %d lines for %d files (exit %d): %s" % (len(out), len(FIXTURES), p.returncode,
                                                                    p.stderr.strip()[:500]))
            failed += 1
        for (name, _, rule), line in zip(FIXTURES, out):
            cases += 1
            size, same, hexs = line.split()
            want = rgba_of(os.path.join(tmp, name))
            problem = None
            if size != "%dx%d" % (W, H):
                problem = "size " + size
            elif same != "true":
                problem = "the file and its bytes decode differently"
            else:
                problem = differs(pixels_of_hex(hexs), want, rule)
            if problem:
                failed += 1
                print("FAIL decode %s: %s" % (name, problem))

        # Encoding, read back by ImageMagick.
        smooth = [(16 * x, 8 * y + 40, 200 - 4 * x - 4 * y, 255) for y in range(16) for x in range(16)]
        lines = ["Kel []", "i: " + kel_image_spec(PIXELS, W, H), "s: " + kel_image_spec(smooth, 16, 16)]
        for codec in ["png", "bmp", "tiff", "gif"]:
            lines.append("c: select system/codecs '%s write %%%s c/encode i none"
                         % (codec, os.path.join(tmp, "ours." + codec)))
        lines.append("c: select system/codecs 'jpeg write %%%s c/encode s none" % os.path.join(tmp, "ours.jpeg"))
        lines.append('print "written"')
        p = kel_script.run(kel, lines)
        if p.stdout.strip() != "written":
            print("encoding failed (exit %d): %s" % (p.returncode, p.stderr.strip()[:500]))
            failed += 1
        else:
            gif_want = [(0, 0, 0, 0) if a == 0 else (r, g, b, 255) for r, g, b, a in PIXELS]
            for codec, fmt, want, w, h, rule in [
                ("png", "PNG", PIXELS, W, H, "exact"),
                ("bmp", "BMP", PIXELS, W, H, "exact"),
                ("tiff", "TIFF", PIXELS, W, H, "tiff"),
                ("gif", "GIF", gif_want, W, H, "tiff"),
                ("jpeg", "JPEG", smooth, 16, 16, "jpeg"),
            ]:
                cases += 1
                path = os.path.join(tmp, "ours." + codec)
                ident = subprocess.run(["identify", "-format", "%m %wx%h", path], capture_output=True, text=True)
                problem = None
                if ident.stdout.strip() != "%s %dx%d" % (fmt, w, h):
                    problem = "identify: %r %s" % (ident.stdout, ident.stderr.strip())
                else:
                    problem = differs(rgba_of(path), want, rule)
                if problem:
                    failed += 1
                    print("FAIL encode %s: %s" % (codec, problem))

        # Files that cannot be read or decoded.
        with open(os.path.join(tmp, "text.png"), "w") as f:
            f.write("not an image")
        with open(os.path.join(tmp, src), "rb") as f:
            head = f.read()[:30]
        with open(os.path.join(tmp, "cut.png"), "wb") as f:
            f.write(head)
        table = [("c: select system/codecs 'png c/decode %%%s" % os.path.join(tmp, n), want)
                 for n, want in [("missing.png", "!cannot-open"), ("text.png", "!bad-media"),
                                 ("cut.png", "!bad-media"), ("", "!cannot-open")]]
        table.append(("c: select system/codecs 'tiff type? c/decode %%%s" % os.path.join(tmp, "grey.png"), "image!"))
        failed += kel_script.emit_table(kel, table, same=lambda got, want: got.startswith(want))
    print("%d passed, %d failed" % (cases + len(table) - failed, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
