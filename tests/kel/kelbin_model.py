#!/usr/bin/python3
"""The Kelbin encoders against an independent encoder written from the format
alone (below): generated values made of integers, floats, none, logic,
strings of each unit size, binaries and nested blocks must give the very
bytes of `system/codecs/kelbin/encode*` in both layouts, and decode back to
what was encoded.

Then round trips of generated structures over every encodable type, with
parts shared between places (and some cycles): in both layouts the decoded
value molds as the original, and two places share their part after decoding
exactly when they shared it before, so a change through one is seen through
the other.

usage: kelbin_model.py KEL_BINARY [SEED] [COUNT]"""
import random
import struct
import sys

from kel_script import compare_lines, run

# --- the model encoder ----------------------------------------------------------------


def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def zigzag(n):
    return ((n << 1) ^ (n >> 31)) & 0xFFFFFFFF


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def text_unit(s):
    top = max((ord(c) for c in s), default=0)
    return 1 if top < 0x80 else 2 if top <= 0xFFFF else 4


def text_bytes(s, unit):
    if unit == 1:
        return s.encode("latin-1")
    return b"".join(ord(c).to_bytes(unit, "little") for c in s)


def whole_short(d):
    return d == int(d) and abs(d) <= 2147483000.0 and not (d == 0.0 and str(d).startswith("-"))


class Model:
    def __init__(self, compact):
        self.compact = compact
        self.out = bytearray()

    def value(self, v):
        o, c = self.out, self.compact
        kind = v[0]
        if kind == "none":
            o += b"\x03" if c else u32(3)
        elif kind == "logic":
            o += (b"\xC2" if v[1] else b"\xC3") if c else u32(4) + u32(1 if v[1] else 0)
        elif kind == "int":
            n = v[1]
            if c:
                o += bytes([0x80 | n]) if 0 <= n <= 63 else b"\x0B" + varint(zigzag(n))
            else:
                o += u32(11) + u32(n)
        elif kind == "float":
            d = v[1]
            bits = struct.unpack("<Q", struct.pack("<d", d))[0]
            lo, hi = bits & 0xFFFFFFFF, bits >> 32
            if c:
                if whole_short(d):
                    o += b"\x4C" + varint(zigzag(int(d)))
                else:
                    o += b"\x0C" + u32(lo) + u32(hi)
            else:
                if len(o) % 8:
                    o += u32(0)
                o += u32(12) + u32(hi) + u32(lo)
        elif kind == "string":
            s = v[1]
            unit = text_unit(s)
            data = text_bytes(s, unit)
            if c:
                o += b"\x07" + varint(len(s) << 2 | {1: 0, 2: 1, 4: 2}[unit]) + data
            else:
                o += u32(7 | unit << 8) + u32(0) + u32(len(s)) + data + b"\0" * (-len(data) % 4)
        elif kind == "binary":
            data = v[1]
            if c:
                o += b"\x29" + varint(len(data)) + data
            else:
                o += u32(41 | 1 << 8) + u32(0) + u32(len(data)) + data + b"\0" * (-len(data) % 4)
        elif kind == "block":
            o += (b"\x05" + varint(len(v[1]))) if c else (u32(5) + u32(0) + u32(len(v[1])))
            for x in v[1]:
                self.value(x)

    def block(self, v):
        self.value(v)
        if self.compact:
            return b"KELBIN\x02\x01" + varint(1) + varint(len(self.out)) + bytes(self.out)
        return b"KELBIN\x02\x00" + u32(1) + u32(len(self.out)) + bytes(self.out)


# --- generated values and their Kel source -------------------------------------------

CHARS = "abcxyz019 -_." + "\u00e9\u00fc" + "\u4e2d\u0416" + "\U0001F600"


def gen(rng, depth):
    r = rng.random()
    if depth < 3 and r < 0.2:
        return ("block", [gen(rng, depth + 1) for _ in range(rng.randint(0, 5))])
    k = rng.randrange(8)
    if k == 0:
        return ("none",)
    if k == 1:
        return ("logic", rng.random() < 0.5)
    if k == 2:
        return ("int", rng.choice([rng.randint(0, 63), rng.randint(64, 200), rng.randint(-300, -1),
                                   rng.randint(-2**31, 2**31 - 1), -2**31, 2**31 - 1, 63, 64]))
    if k == 3:
        return ("float", rng.choice([float(rng.randint(-10**6, 10**6)), rng.randint(-10**6, 10**6) / 8,
                                     2147483000.0, -2147483000.0, 2147483001.0, 3e9, -0.0, 0.5,
                                     float(rng.randint(-2**31, 2**31))]))
    if k in (4, 5):
        s = "".join(rng.choice(CHARS[:13]) for _ in range(rng.randint(0, 12)))
        if k == 5 and s:
            i = rng.randrange(len(s) + 1)
            s = s[:i] + rng.choice(CHARS[13:]) + s[i:]
        return ("string", s)
    return ("binary", bytes(rng.randrange(256) for _ in range(rng.randint(0, 9))))


def kel_float(d):
    if d == 0.0 and str(d).startswith("-"):
        return "(-1 * 0.0)"
    text = repr(d)
    if "e" in text or "inf" in text:
        return "(%d.0)" % int(d) if d == int(d) else "(%s)" % text
    return text


def source(v):
    kind = v[0]
    if kind == "none":
        return "none"
    if kind == "logic":
        return "true" if v[1] else "false"
    if kind == "int":
        return "(-2147483647 - 1)" if v[1] == -2**31 else str(v[1])
    if kind == "float":
        return kel_float(v[1])
    if kind == "string":
        return '"%s"' % v[1]
    if kind == "binary":
        return "#{%s}" % v[1].hex().upper()
    return "reduce [%s]" % " ".join(source(x) for x in v[1])


# --- shared structures -------------------------------------------------------------------

PARTS = [
    '[1 "two" 3.5]', '"text é"', '#{DEADBEEF}', 'make object! [a: 1 b: "x"]', '#[k 1 "s" 2]',
    'make hash! [a 1 b 2]', 'make vector! [integer! 32 [1 2 3]]', 'make bitset! "abc"',
    'make image! [2x1 #{010203040506}]', 'to paren! [p q]', 'to path! [a b c]', 'func [n] [n * 2]',
    ':print', ':+', 'make error! [script invalid-arg 1]', '%file.txt', '<tag>', '1.2.3', '$1.50',
    'make typeset! [block! string!]', '10:20:30', '3x4', "'lit", 'next "abcdef"', 'next [9 8 7]',
]


def structure(rng):
    """Kel lines building `root` from named parts, some built from others."""
    lines, names = [], []
    for i in range(rng.randint(2, 7)):
        name = "p%d" % i
        k = rng.random()
        if names and k < 0.25:
            lines.append("%s: reduce [%s]" % (name, " ".join(":" + rng.choice(names) for _ in range(rng.randint(1, 3)))))
        elif names and k < 0.35:
            lines.append("%s: make object! [f: none g: none] %s/f: :%s" % (name, name, rng.choice(names)))
        elif names and k < 0.42:
            o = rng.choice(names)
            lines.append("%s: make object! [w: 1 v: none] %s/v: :%s" % (name, name, o))
            lines.append("%sw: in %s 'w" % (name, name))
            names.append(name + "w")
        elif k < 0.47:
            lines.append("%s: copy [] append/only %s %s" % (name, name, name))
        else:
            lines.append("%s: %s" % (name, rng.choice(PARTS)))
        names.append(name)
    lines.append("root: reduce [%s]" % " ".join(":" + rng.choice(names) for _ in range(rng.randint(2, 8))))
    return lines


def sharing_main(kel, rng, count):
    lines = ["Kel []", "kb: select system/codecs 'kelbin",
             "shares: func [b /local out] [out: copy [] repeat i length? b [repeat j length? b [if i < j ["
             "append out either all [any [series? pick b i object? pick b i function? pick b i] "
             "same? pick b i pick b j] [1] [0]]]] out]",
             "check: func [root /local out x] [out: copy [] foreach compact? reduce [true false] ["
             "x: kb/decode kb/encode* root compact? "
             "append out all [(mold/all root) = mold/all x  (shares root) = shares x]] out]"]
    programs = []
    for i in range(count):
        programs.append(" ".join(structure(rng)))
        lines.append("do [%s]" % programs[-1])
        lines.append("print check root")
    lines.append("b: [1] s: \"x\" o: make object! [a: 1] m: #[k 1] root: reduce [b s o m b s o m]")
    p = run(kel, lines)
    got = p.stdout.splitlines()
    bad = [i for i, line in enumerate(got) if line != "true true"]
    if len(got) != count or bad:
        print("sharing: %d lines for %d cases (exit %d) %s; failing cases: %s" % (
            len(got), count, p.returncode, p.stderr.strip()[:300], bad[:10]))
        for i in bad[:5]:
            print("  %s -> %s" % (programs[i], got[i]))
        return 1
    return 0


def main():
    kel = sys.argv[1]
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 9407
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 400
    rng = random.Random(seed)
    values = [gen(rng, 0) for _ in range(count)]
    lines = ["Kel []", "kb: select system/codecs 'kelbin",
             "show: func [v /local c s] [c: kb/encode* :v true s: kb/encode* :v false "
             "print [enbase/base c 16 enbase/base s 16 equal? :v kb/decode c equal? :v kb/decode s]]"]
    lines += ["show %s" % source(v) for v in values]
    table = [(source(v), "%s %s true true" % (Model(True).block(v).hex().upper(), Model(False).block(v).hex().upper()))
             for v in values]
    failed = compare_lines(run(kel, lines), table, shown=20)
    shared_failed = sharing_main(kel, rng, 150)
    print("%d passed, %d failed" % (len(values) + 150 - failed - shared_failed * 150, failed + shared_failed))
    sys.exit(1 if failed or shared_failed else 0)


if __name__ == "__main__":
    main()
