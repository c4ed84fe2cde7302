#!/usr/bin/python3
"""compress and decompress against Python: a model of the compressor (below)
must give the very bytes `compress` writes, in all three framings; Python's
zlib must inflate them; and `decompress` must read what zlib writes at every
level and strategy, multi-block streams, and `gzip -c` files with a name.
Streams that would give more than the largest binary are refused.

One Kel script writes every result to a file (or prints an error's id); the
expected bytes come from Python.

usage: compression.py KEL_BINARY [SEED]"""
import os
import random
import subprocess
import sys
import tempfile
import zlib

# --- the model of the compressor ----------------------------------------------------

LEN_BASE = [3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131,
            163, 195, 227, 258]
LEN_EXTRA = [0] * 8 + [1] * 4 + [2] * 4 + [3] * 4 + [4] * 4 + [5] * 4 + [0]
DIST_BASE = [1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049,
             3073, 4097, 6145, 8193, 12289, 16385, 24577]
DIST_EXTRA = [0, 0, 0, 0] + [i // 2 for i in range(2, 28)]


class Bits:
    def __init__(self):
        self.out, self.acc, self.n = bytearray(), 0, 0

    def put(self, v, n):
        self.acc |= v << self.n
        self.n += n
        while self.n >= 8:
            self.out.append(self.acc & 255)
            self.acc >>= 8
            self.n -= 8

    def huff(self, code, n):  # Huffman codes go most significant bit first
        self.put(int(format(code, "0%db" % n)[::-1], 2), n)

    def literal(self, s):
        if s < 144: self.huff(0x30 + s, 8)
        elif s < 256: self.huff(0x190 + s - 144, 9)
        elif s < 280: self.huff(s - 256, 7)
        else: self.huff(0xC0 + s - 280, 8)


def bucket(b):
    h = ((b[0] ^ (b[0] << 16 | b[1] << 8 | b[2])) * 0x7FEB352D) & 0xFFFFFFFF
    h ^= h >> 15
    h = (h * 0x846CA68B) & 0xFFFFFFFF
    h ^= h >> 16
    return h & 0x3FF


def model_deflate(data):
    n, table, w, p = len(data), [0] * 4096, Bits(), 0
    w.put(1, 1); w.put(1, 2)
    while p < n:
        start = p
        hashed = n - p >= 3
        b = bucket(data[p:p + 3]) if hashed else 0
        match = None
        if p >= 3 and hashed:
            for c in table[b * 4:b * 4 + 4]:
                if c != 0 and c < p and p - c < 32768 and data[c:c + 3] == data[p:p + 3]:
                    length = 3
                    while length < 258 and p + length < n and data[c + length] == data[p + length]:
                        length += 1
                    match = (length, p - c)
                    break
        if match:
            length, dist = match
            lc = max(i for i in range(29) if LEN_BASE[i] <= length)
            w.literal(257 + lc); w.put(length - LEN_BASE[lc], LEN_EXTRA[lc])
            dc = max(i for i in range(30) if DIST_BASE[i] <= dist)
            w.huff(dc, 5); w.put(dist - DIST_BASE[dc], DIST_EXTRA[dc])
            p += length
        else:
            w.literal(data[p]); p += 1
        if hashed:
            b1 = data[p + 1] if p + 1 < n else 0
            b2 = data[p + 2] if p + 2 < n else 0
            table[b * 4 + (((b1 >> 6) - b2) & 3)] = start
    w.literal(256)
    w.put(0, (8 - w.n) % 8)
    return bytes(w.out)


def model(data, method):
    d = model_deflate(data)
    if method == "deflate":
        return d
    if method == "zlib":
        return b"\x78\x01" + d + zlib.adler32(data).to_bytes(4, "big")
    return (b"\x1f\x8b\x08\x00\0\0\0\0\x04\x04" + d + zlib.crc32(data).to_bytes(4, "little")
            + (len(data) & 0xFFFFFFFF).to_bytes(4, "little"))


WBITS = {"deflate": -15, "zlib": 15, "gzip": 31}


def zlib_stream(data, method, level=6, strategy=zlib.Z_DEFAULT_STRATEGY, flush_every=0):
    c = zlib.compressobj(level, zlib.DEFLATED, WBITS[method], 8, strategy)
    if not flush_every:
        return c.compress(data) + c.flush()
    out = b""
    for i in range(0, len(data), flush_every):
        out += c.compress(data[i:i + flush_every]) + c.flush(zlib.Z_FULL_FLUSH)
    return out + c.flush()


def text(rng, n):
    words = ["the", "quick", "brown", "fox", "jumps", "over", "lazy", "dog", "kel", "block", "series",
             "value", "é", "\n", "1234", "zz"]
    out = []
    size = 0
    while size < n:
        w = rng.choice(words)
        out.append(w)
        size += len(w) + 1
    return " ".join(out).encode()[:n]


def main():
    kel = sys.argv[1]
    rng = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 35)
    tmp = tempfile.mkdtemp(prefix="kel-compression-")
    lines = ["Kel []"]
    checks = []  # (description, file written by Kel, expected bytes)
    counter = [0]

    def path(name):
        return os.path.join(tmp, name)

    def put(data):
        counter[0] += 1
        name = "in%d" % counter[0]
        with open(path(name), "wb") as f:
            f.write(data)
        return "%" + path(name)

    def case(what, expr, want):
        counter[0] += 1
        out = "out%d" % counter[0]
        lines.append("write %%%s %s" % (path(out), expr))
        checks.append((what, out, want))

    inputs = {
        "empty": b"",
        "one byte": b"a",
        "two bytes": b"ab",
        "three bytes": b"abc",
        "run of 1000 a": b"a" * 1000,
        "run of 70000 a": b"a" * 70000,
        "random 5000": bytes(rng.randrange(256) for _ in range(5000)),
        "text 100 KB": text(rng, 100000),
        "sparse bytes": bytes(rng.choice([0, 0, 0, 64, 128, 255]) for _ in range(20000)),
        "repeats far apart": (bytes(rng.randrange(256) for _ in range(300)) + b"x" * 40000) * 3,
        "1 MB": text(rng, 600000) + bytes(rng.randrange(256) for _ in range(400000)),
    }
    # Ours against the model and against zlib's inflate.
    for what, data in inputs.items():
        f = put(data)
        for method in ("deflate", "zlib", "gzip"):
            case("compress %s %s" % (what, method), "compress read/binary %s '%s" % (f, method), model(data, method))
    # Text is compressed as its UTF-8.
    f = put(inputs["text 100 KB"])
    case("text as a string", "decompress compress to string! read/binary %s 'zlib 'zlib" % f, inputs["text 100 KB"])
    # zlib's output at every level and strategy, and multi-block streams.
    strategies = [zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED, zlib.Z_HUFFMAN_ONLY, zlib.Z_RLE, zlib.Z_FIXED]
    sources = [inputs["text 100 KB"], inputs["random 5000"], inputs["run of 1000 a"], inputs["empty"]]
    for level in range(10):
        for si, strategy in enumerate(strategies):
            for method in ("deflate", "zlib", "gzip"):
                data = sources[(level + si) % len(sources)]
                stream = zlib_stream(data, method, level, strategy)
                case("zlib level %d strategy %d %s" % (level, strategy, method),
                     "decompress read/binary %s '%s" % (put(stream), method), data)
    for method in ("deflate", "zlib", "gzip"):
        for every in (1000, 65536):
            data = inputs["text 100 KB"]
            stream = zlib_stream(data, method, 6, zlib.Z_DEFAULT_STRATEGY, every)
            case("full flush every %d %s" % (every, method), "decompress read/binary %s '%s" % (put(stream), method),
                 data)
        # /size: a right guess, a short guess (one retry) and one not above the input length
        stream = zlib_stream(inputs["text 100 KB"], method, 9)
        for sz in (100000, 5000, 10):
            if method != "gzip":
                case("/size %d %s" % (sz, method), "decompress/size read/binary %s '%s %d" % (put(stream), method, sz),
                     inputs["text 100 KB"])
    # gzip -c files with a name field, read and round-tripped.
    src = path("named.txt")
    with open(src, "wb") as fh:
        fh.write(inputs["text 100 KB"])
    gz = subprocess.run(["gzip", "-c", src], capture_output=True, check=True).stdout
    assert gz[3] & 0x08, "gzip -c wrote no name"
    g = put(gz)
    case("gzip -c file", "decompress read/binary %s 'gzip" % g, inputs["text 100 KB"])
    # Data that begins like a gzip file is compressed all the same.
    for what, data in (("gzip file", gz), ("1F 8B 08 and text", b"\x1f\x8b\x08" + b"plain text after it")):
        f = put(data)
        case("round trip of %s" % what, "decompress compress read/binary %s 'gzip 'gzip" % f, data)
        case("gzip bytes of %s" % what, "compress read/binary %s 'gzip" % f, model(data, "gzip"))

    # Bombs: streams that would give more than the largest binary are refused
    # with no-memory as soon as their output passes it. Blocks of zeros end
    # in a full flush, which leaves the compressor as it began, so one block
    # repeated makes a stream of any length; the trailers are never reached.
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk = bytes(1 << 26)
    block = c.compress(chunk) + c.flush(zlib.Z_FULL_FLUSH)
    assert block == c.compress(chunk) + c.flush(zlib.Z_FULL_FLUSH)
    end = c.flush()

    def bomb(blocks, method):
        body = block * blocks + end
        if method == "zlib":
            return b"\x78\xda" + body + bytes(4)
        if method == "gzip":
            size = (blocks << 26) & 0xFFFFFFFF
            return b"\x1f\x8b\x08\x00\0\0\0\0\x02\x03" + body + bytes(4) + size.to_bytes(4, "little")
        return body

    refusals = []  # (description, expression, what it prints)
    for method in ("deflate", "zlib"):
        refusals.append(("%s bomb" % method, "decompress read/binary %s '%s" % (put(bomb(33, method)), method),
                         "no-memory"))
        refusals.append(("%s bomb with /size" % method,
                         "decompress/size read/binary %s '%s 1000" % (put(bomb(33, method)), method), "no-memory"))
    # A gzip trailer keeps the size modulo 2^32: past 4 GB it claims a small one.
    refusals.append(("gzip bomb past 4 GB", "decompress read/binary %s 'gzip" % put(bomb(65, "gzip")), "no-memory"))
    refusals.append(("gzip bomb claiming 2 GB", "decompress read/binary %s 'gzip" % put(bomb(33, "gzip")), "no-memory"))
    # The same blocks, fewer of them: 64 MB comes out.
    refusals.append(("one block", "decompress read/binary %s 'deflate" % put(bomb(1, "deflate")), str(1 << 26)))
    for what, expr, _ in refusals:
        lines.append("r: try [%s] print either error? r [form r/id] [length? r]" % expr)

    script = path("compression.kel")
    with open(script, "w", encoding="utf-8") as fh:
        fh.write("\n".join(lines) + "\nprint \"done\"\n")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    p = subprocess.run([kel, script], capture_output=True, text=True, env=env, timeout=600)
    failures = 0
    if p.returncode != 0 or "done" not in p.stdout:
        print("kel failed (%d): %s %s" % (p.returncode, p.stdout.strip()[-500:], p.stderr.strip()[-500:]))
        failures += 1
    printed = p.stdout.split("\n")
    for (what, _, want), got in zip(refusals, printed):
        if got != want:
            failures += 1
            print("FAIL %s: got %r, expected %r" % (what, got, want))
    for what, out, want in checks:
        try:
            with open(path(out), "rb") as fh:
                got = fh.read()
        except OSError:
            got = None
        ok = got == want
        # What we write, zlib must read.
        if ok and what.startswith("compress "):
            method = what.rsplit(" ", 1)[1]
            d = zlib.decompressobj(WBITS[method])
            ok = d.decompress(got) + d.flush() == inputs[what[len("compress "):].rsplit(" ", 1)[0]] and d.eof
        if not ok:
            failures += 1
            if failures <= 20:
                print("FAIL %s: got %s bytes, expected %d" % (what, "no" if got is None else len(got), len(want)))
    for name in os.listdir(tmp):
        os.unlink(path(name))
    os.rmdir(tmp)
    print("%d cases, %d failed" % (len(checks) + len(refusals), failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
