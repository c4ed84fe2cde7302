#!/usr/bin/env python3
"""BMP fixtures and oracles for the codec's unit tests, made at test time.

  bmp_fixtures.py make DIR    one 5x3 image with transparent and half-
                              transparent pixels, written by ImageMagick in
                              every bit count and header form it offers, plus
                              top-down copies; each NAME.bmp gets NAME.rgba,
                              ImageMagick's own decoding (8-bit RGBA).
  bmp_fixtures.py check FILE  FILE is one of our encodings: its header fields
                              are checked with struct, then ImageMagick's
                              decoding is written to FILE.rgba.
"""
import os
import struct
import subprocess
import sys

CONVERT = "/usr/bin/convert"

# name, output format, options
FORMS = [
    ("core1", "BMP2", ["-alpha", "off", "-colors", "2", "-type", "palette"]),
    ("core4", "BMP2", ["-alpha", "off", "-colors", "9", "-type", "palette"]),
    ("core24", "BMP2", ["-alpha", "off", "-type", "truecolor"]),
    ("info1", "BMP3", ["-alpha", "off", "-colors", "2", "-type", "palette"]),
    ("info4", "BMP3", ["-alpha", "off", "-colors", "9", "-type", "palette"]),
    ("info24", "BMP3", ["-alpha", "off", "-type", "truecolor"]),
    ("v1", "BMP", ["-alpha", "off", "-colors", "2", "-type", "palette"]),
    ("v4", "BMP", ["-alpha", "off", "-colors", "9", "-type", "palette"]),
    ("v16", "BMP", ["-alpha", "off", "-define", "bmp:subtype=RGB565"]),
    ("v24", "BMP", ["-alpha", "off", "-type", "truecolor"]),
    ("v32", "BMP", []),
    ("v32_5551", "BMP", ["-define", "bmp:subtype=RGBA5551"]),
    ("rle8", "BMP3", ["-alpha", "off", "-colors", "9", "-type", "palette", "-compress", "RLE"]),
]


def rgba(path):
    return subprocess.run([CONVERT, path, "-depth", "8", "rgba:-"], check=True, capture_output=True).stdout


def source(folder):
    """5x3 pixels, straight RGBA: opaque, half-transparent and clear ones."""
    pixels = [
        (255, 0, 0, 255), (0, 128, 255, 128), (0, 0, 0, 0), (40, 90, 160, 255), (9, 9, 9, 255),
        (40, 90, 160, 255), (200, 100, 50, 255), (10, 200, 30, 255), (40, 90, 160, 255), (0, 0, 0, 0),
        (250, 250, 5, 255), (40, 90, 160, 255), (123, 45, 67, 200), (40, 90, 160, 255), (77, 66, 55, 64),
    ]
    raw = os.path.join(folder, "src.rgba")
    with open(raw, "wb") as f:
        f.write(bytes(b for p in pixels for b in p))
    src = os.path.join(folder, "src.png")
    subprocess.run([CONVERT, "-size", "5x3", "-depth", "8", "rgba:" + raw, src], check=True)
    return src


def widen_to_8(data):
    """A 4-bit palette file rewritten with one index per byte (ImageMagick
    picks 4 bits for so few colours)."""
    off = struct.unpack_from("<I", data, 10)[0]
    hsize = struct.unpack_from("<I", data, 14)[0]
    w, h = struct.unpack_from("<ii", data, 18)
    row4 = (w * 4 + 31) // 32 * 4
    row8 = (w * 8 + 31) // 32 * 4
    out = bytearray(data[:off])
    for y in range(h):
        r = data[off + y * row4: off + (y + 1) * row4]
        idx = bytes((r[x >> 1] >> (0 if x & 1 else 4)) & 15 for x in range(w))
        out += idx + bytes(row8 - w)
    struct.pack_into("<H", out, 28, 8)
    if struct.unpack_from("<I", out, 46)[0] == 0:
        struct.pack_into("<I", out, 46, 16)
    struct.pack_into("<I", out, 2, len(out))
    return bytes(out)


def top_down(data):
    """The same file with its rows reversed and its height negated."""
    off = struct.unpack_from("<I", data, 10)[0]
    hsize = struct.unpack_from("<I", data, 14)[0]
    if hsize == 12:
        return None  # the core header's height is unsigned
    w, h = struct.unpack_from("<ii", data, 18)
    bits = struct.unpack_from("<H", data, 28)[0]
    row = (w * bits + 31) // 32 * 4
    rows = [data[off + i * row: off + (i + 1) * row] for i in range(h)]
    out = bytearray(data[:off]) + b"".join(reversed(rows)) + data[off + h * row:]
    struct.pack_into("<i", out, 22, -h)
    return bytes(out)


def make(folder):
    src = source(folder)
    for name, fmt, opts in FORMS:
        path = os.path.join(folder, name + ".bmp")
        subprocess.run([CONVERT, src] + opts + [fmt + ":" + path], check=True)
        if name.startswith("rle"):
            # Run-length rows are bottom-up only: no top-down copy.
            with open(path + ".rgba", "wb") as f:
                f.write(rgba(path))
            continue
        with open(path, "rb") as f:
            data = f.read()
        if name in ("info4", "v4"):
            wide = os.path.join(folder, name.replace("4", "8") + ".bmp")
            with open(wide, "wb") as f:
                f.write(widen_to_8(data))
            write_family(wide)
        write_family(path)


def write_family(path):
    """path.rgba, and the top-down copy with its own .rgba."""
    with open(path + ".rgba", "wb") as f:
        f.write(rgba(path))
    with open(path, "rb") as f:
        flipped = top_down(f.read())
    if flipped:
        down = path[:-4] + "_down.bmp"
        with open(down, "wb") as f:
            f.write(flipped)
        with open(down + ".rgba", "wb") as f:
            f.write(rgba(down))


def check(path):
    with open(path, "rb") as f:
        d = f.read()
    w = struct.unpack_from("<i", d, 18)[0]
    h = -struct.unpack_from("<i", d, 22)[0]
    fields = struct.unpack_from("<2sIHHI", d, 0)
    assert fields[0] == b"BM" and fields[1] == len(d) and fields[4] == 138, fields
    v5 = struct.unpack_from("<IiiHHIIiiII4I4I", d, 14)
    assert v5[0] == 124 and v5[3] == 1 and v5[4] == 32 and v5[5] == 3, v5
    assert v5[6] == w * h * 4 and len(d) == 138 + w * h * 4, v5
    assert v5[11:15] == (0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000), v5
    assert v5[15] == 0x57696E20, v5
    assert struct.unpack_from("<I", d, 14 + 108)[0] == 4
    with open(path + ".rgba", "wb") as f:
        f.write(rgba(path))


if __name__ == "__main__":
    {"make": make, "check": check}[sys.argv[1]](sys.argv[2])
