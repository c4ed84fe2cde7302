# Decode and encode of a 4000x3000 PNG and JPEG: makes the picture (smooth
# gradients with a little noise), runs build/bench_image_codecs on it as raw
# RGBA, then PIL on the same picture: RGBA in and out for PNG, RGB at
# quality 90 for JPEG (alpha dropped, as ours does). Prints the best of five
# runs of each in milliseconds and the encoded sizes.
#   /usr/bin/python3 bench/image_codecs.py [build] [width height]
import io
import os
import subprocess
import tempfile
import sys
import time

from PIL import Image, ImageChops

build = sys.argv[1] if len(sys.argv) > 1 else "build"
w, h = (int(sys.argv[2]), int(sys.argv[3])) if len(sys.argv) > 3 else (4000, 3000)
# Gradients across, down and diagonally, each with a little noise added.
across = Image.linear_gradient("L").rotate(90).resize((w, h))
down = Image.linear_gradient("L").resize((w, h))
diagonal = Image.blend(across, down, 0.5)
noise = Image.effect_noise((w, h), 4).point(lambda v: v // 16)
r, g, b = (ImageChops.add(c, noise) for c in (across, down, diagonal))
img = Image.merge("RGBA", (r, g, b, Image.new("L", (w, h), 255)))
rgb = img.convert("RGB")
with tempfile.NamedTemporaryFile(suffix=".rgba") as raw:
    raw.write(img.tobytes())
    raw.flush()
    subprocess.run([os.path.join(build, "bench_image_codecs"), str(w), str(h), raw.name], check=True)


def best(f):
    t = float("inf")
    v = None
    for _ in range(5):
        t0 = time.perf_counter()
        v = f()
        t = min(t, (time.perf_counter() - t0) * 1000)
    return t, v


for fmt, source, options in [("png", img, {}), ("jpeg", rgb, {"quality": 90})]:
    def encode():
        out = io.BytesIO()
        source.save(out, format=fmt.upper(), **options)
        return out.getvalue()

    enc, data = best(encode)
    dec, _ = best(lambda: Image.open(io.BytesIO(data)).convert("RGBA").load())
    print("python PIL %s %dx%d: decode %.1f ms, encode %.1f ms, %d bytes" % (fmt, w, h, dec, enc, len(data)))
