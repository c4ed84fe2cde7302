#!/usr/bin/python3
"""image! channels against a model of the pixel bytes: each pixel is the
memory bytes B, G, R, A. An image is made from random RGB and transparency
bytes (shorter than, as long as, or longer than the image), then one channel
is set from a binary of random length (shorter, equal, longer), a tuple of 3
or 4 bytes or an integer, and every channel is read back. The model: argb
copies bytes as they stand; rgb takes whole triples R G B and keeps A; alpha
sets A = 255 - byte and keeps R, G, B; a tuple or integer sets every pixel.
Reading: argb the bytes as stored, rgb R G B, alpha 255 - A.

usage: model_images.py KEL_BINARY [CASES] [SEED]"""
import random
import sys

import kel_script

MODES = ["alpha", "rgb", "argb"]


def hexs(bs):
    return "".join("%02X" % b for b in bs)


def made(n, rgb, alpha):
    px = []
    for i in range(n):
        r, g, b = (rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]) if 3 * i + 2 < len(rgb) else (255, 255, 255)
        a = 255 - alpha[i] if i < len(alpha) else 255
        px.append([b, g, r, a])
    return px


def set_channel(px, mode, kind, value):
    n = len(px)
    if kind == "binary":
        if mode == "argb":
            flat = [x for p in px for x in p]
            m = min(len(value), 4 * n)
            flat[:m] = value[:m]
            return [flat[4 * i:4 * i + 4] for i in range(n)]
        if mode == "rgb":
            for i in range(min(len(value) // 3, n)):
                px[i][2], px[i][1], px[i][0] = value[3 * i], value[3 * i + 1], value[3 * i + 2]
            return px
        for i in range(min(len(value), n)):
            px[i][3] = 255 - value[i]
        return px
    if kind == "tuple":
        r, g, b = value[0], value[1], value[2]
        a = 255 - value[3] if len(value) > 3 else 255
    else:  # integer: the word 0xAARRGGBB
        w = value & 0xFFFFFFFF
        a, r, g, b = w >> 24, (w >> 16) & 255, (w >> 8) & 255, w & 255
    for p in px:
        if mode == "argb":
            p[:] = [b, g, r, a]
        elif mode == "rgb":
            p[0], p[1], p[2] = b, g, r
        else:
            t = value[0] if kind == "tuple" else value & 255
            p[3] = 255 - t
    return px


def reads(px):
    return (hexs(255 - p[3] for p in px), hexs(x for p in px for x in (p[2], p[1], p[0])),
            hexs(x for p in px for x in p))


def main():
    kel = sys.argv[1]
    cases = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 7)
    lines, expected = ["Kel []"], []
    for _ in range(cases):
        w, h = rng.randint(0, 5), rng.randint(0, 4)
        n = w * h
        rgb = [rng.randrange(256) for _ in range(3 * n + rng.randint(-3 * n, 4))]
        alpha = [rng.randrange(256) for _ in range(max(0, n + rng.randint(-n, 2)))]
        mode = rng.choice(MODES)
        kind = rng.choice(["binary", "binary", "tuple", "integer"])
        unit = {"alpha": 1, "rgb": 3, "argb": 4}[mode]
        if kind == "binary":
            value = [rng.randrange(256) for _ in range(max(0, unit * n + rng.randint(-unit * n, 2 * unit)))]
            text = "#{%s}" % hexs(value)
        elif kind == "tuple":
            value = [rng.randrange(256) for _ in range(rng.choice([3, 4]))]
            text = ".".join(map(str, value))
        else:
            value = rng.randint(-2 ** 31, 2 ** 31 - 1)
            text = str(value)
        lines.append("img: make image! [%dx%d #{%s} #{%s}] img/%s: %s print [enbase/base img/alpha 16 "
                     "enbase/base img/rgb 16 enbase/base img/argb 16 length? img]" %
                     (w, h, hexs(rgb), hexs(alpha), mode, text))
        px = set_channel(made(n, rgb, alpha), mode, kind, value)
        expected.append(" ".join(reads(px)) + " " + str(n))
    p = kel_script.run(kel, lines)
    got = p.stdout.splitlines()
    bad = 0
    for i, want in enumerate(expected):
        have = got[i] if i < len(got) else "<missing>"
        # An empty binary prints as nothing: compare the fields, not the blanks.
        if have.split() != want.split():
            bad += 1
            if bad <= 5:
                print("case %d: %s\n  got:  %s\n  want: %s" % (i, lines[i + 1], have, want))
    if p.returncode != 0:
        print("kel exited %d: %s" % (p.returncode, p.stderr.strip()))
        bad += 1
    print("%d cases, %d wrong" % (len(expected), bad))
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
