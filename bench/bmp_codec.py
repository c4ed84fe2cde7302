# Decode and encode of a 4000x3000 32-bit BMP with PIL: the companion of
# bench/bmp_codec.cpp. Decoding reads a V5 32-bit file with alpha (as our
# writer makes) into RGBA pixels; encoding writes an RGBA image as BMP.
# Prints the best of five runs of each in milliseconds.
#   python3 bench/bmp_codec.py [width height]
import io
import os
import sys
import time

from PIL import Image

w, h = (int(sys.argv[1]), int(sys.argv[2])) if len(sys.argv) > 2 else (4000, 3000)
img = Image.frombytes("RGBA", (w, h), os.urandom(w * h * 4))


def best(f):
    t = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        v = f()
        t = min(t, (time.perf_counter() - t0) * 1000)
    return t, v


def encode():
    out = io.BytesIO()
    img.save(out, format="BMP")
    return out.getvalue()


enc, data = best(encode)
dec, _ = best(lambda: Image.open(io.BytesIO(data)).load())
print("python PIL bmp %dx%d 32-bit: decode %.1f ms, encode %.1f ms" % (w, h, dec, enc))
