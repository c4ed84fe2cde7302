# compress and decompress beside Python's zlib on 100 MB of text and of
# random bytes: writes the data and zlib's level-6 streams, runs
# build/bench_compression on them (which writes our streams), then times zlib
# compressing at level 1 with fixed codes (the size class of ours) and at
# level 6, and zlib inflating our streams and its own.
#   python3 bench/compression.py [BUILD_DIR] [megabytes]
import os
import random
import subprocess
import sys
import tempfile
import time
import zlib

build = sys.argv[1] if len(sys.argv) > 1 else "build"
mb = int(sys.argv[2]) if len(sys.argv) > 2 else 100
WBITS = {"deflate": -15, "zlib": 15, "gzip": 31}


def text_block(rng, n):
    words = ["the", "quick", "brown", "fox", "jumps", "over", "lazy", "dog", "series", "value", "block",
             "function", "return", "print", "\n", "1234", "kel", "if", "either", "word"]
    out, size = [], 0
    while size < n:
        w = rng.choice(words)
        out.append(w)
        size += len(w) + 1
    return " ".join(out).encode()[:n]


def best(f):
    t, v = float("inf"), None
    for _ in range(3):
        t0 = time.perf_counter()
        v = f()
        t = min(t, (time.perf_counter() - t0) * 1000)
    return t, v


def pack(data, method, level, strategy=zlib.Z_DEFAULT_STRATEGY):
    c = zlib.compressobj(level, zlib.DEFLATED, WBITS[method], 8, strategy)
    return c.compress(data) + c.flush()


def unpack(stream, method):
    d = zlib.decompressobj(WBITS[method])
    return d.decompress(stream) + d.flush()


rng = random.Random(117)
n = mb * 1000 * 1000
datas = {"text": text_block(rng, 4 * 1000 * 1000) * (mb // 4 or 1), "random": rng.randbytes(n)}
tmp = tempfile.mkdtemp(prefix="kel-bench-compression-")
for kind, data in datas.items():
    with open(os.path.join(tmp, kind), "wb") as f:
        f.write(data)
    for method in WBITS:
        with open(os.path.join(tmp, "%s.%s.z6" % (kind, method)), "wb") as f:
            f.write(pack(data, method, 6))
print(subprocess.run([os.path.join(build, "bench_compression"), tmp], capture_output=True, text=True).stdout, end="")
for kind, data in datas.items():
    size_mb = len(data) / 1e6
    for method in WBITS:
        for label, level, strategy in (("1 fixed", 1, zlib.Z_FIXED), ("6", 6, zlib.Z_DEFAULT_STRATEGY)):
            ms, out = best(lambda: pack(data, method, level, strategy))
            print("zlib compress  %-6s %-7s %8.1f ms %7.0f MB/s  %11d bytes (level %s)"
                  % (kind, method, ms, size_mb / (ms / 1000), len(out), label))
        for source in ("kel", "z6"):
            with open(os.path.join(tmp, "%s.%s.%s" % (kind, method, source)), "rb") as f:
                stream = f.read()
            ms, out = best(lambda: unpack(stream, method))
            assert out == data
            print("zlib decompress %-6s %-7s %8.1f ms %7.0f MB/s  (%s stream)"
                  % (kind, method, ms, size_mb / (ms / 1000), source))
for name in os.listdir(tmp):
    os.unlink(os.path.join(tmp, name))
os.rmdir(tmp)
