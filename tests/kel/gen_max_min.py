#!/usr/bin/python3
"""Writes tests/kel/test-max-min.kel: `max` and `min` over every ordered
pairing of a pool of integer!, float! (a NaN among them), percent!, pair!,
point2D!, point3D!, tuple! (3 and 4 bytes), money! and time! values, each
expected result computed here from the rules of max and min and written as
its molded text, which shows both the result's type and its components.

The model, in rule order:
1. a NaN float wins against an integer!, float! or percent!;
2. an integer! or float! before a pair, point or tuple changes places with
   it; pair with pair or integer per component; pair with a float: truncated
   when it fits 32 bits, else the float becomes a point2D! and rule 3 runs;
3. points per component as float32 (a pair beside a point becomes one), a
   NaN component winning; points of different sizes go to rule 5;
4. tuples of one length per byte; a number meets every byte after clamping
   to 0..255 (NaN as 0); tuples of different lengths go to rule 5;
5. otherwise `lesser? value1 value2`: max takes value2 when it holds, min
   takes value2 when it does not. Values that do not compare raise
   invalid-compare; a money! meeting a NaN float orders as a float does
   (no ordering test holds).

usage: gen_max_min.py  (rewrites the table beside this script)"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0] if math.isfinite(x) and abs(x) < 3.4e38 else (
        x if not math.isfinite(x) else math.copysign(math.inf, x))


def fmt32(x):
    if math.isnan(x):
        return "1.#NaN"
    if math.isinf(x):
        return "1.#INF" if x > 0 else "-1.#INF"
    t = "%.7g" % x
    if "e" in t:
        m, e = t.split("e")
        t = "%se%d" % (m, int(e))
    return t


def mold(v):
    kind, x = v
    if kind == "pair":
        return "%dx%d" % x
    if kind in ("point2", "point3"):
        return "(" + ", ".join(fmt32(c) for c in x) + ")"
    if kind == "tuple":
        return ".".join(str(b) for b in x)
    raise ValueError(kind)


# (literal, kind, payload, molded text)
POOL = [
    ("3", "int", 3, "3"),
    ("-2", "int", -2, "-2"),
    ("300", "int", 300, "300"),
    ("2.5", "float", 2.5, "2.5"),
    ("-7.0", "float", -7.0, "-7.0"),
    ("1e20", "float", 1e20, "1.0e20"),
    ("1.#NaN", "float", math.nan, "1.#NaN"),
    ("50%", "percent", 0.5, "50%"),
    ("-25%", "percent", -0.25, "-25%"),
    ("1x5", "pair", (1, 5), "1x5"),
    ("-3x4", "pair", (-3, 4), "-3x4"),
    ("(1.5, -2)", "point2", (1.5, -2.0), "(1.5, -2)"),
    ("(1.#NaN, 4)", "point2", (math.nan, 4.0), "(1.#NaN, 4)"),
    ("(1, 2.5, -3)", "point3", (1.0, 2.5, -3.0), "(1, 2.5, -3)"),
    ("1.200.3", "tuple", (1, 200, 3), "1.200.3"),
    ("10.20.30.40", "tuple", (10, 20, 30, 40), "10.20.30.40"),
    ("$2", "money", 2.0, "$2.00"),
    ("-$1", "money", -1.0, "-$1.00"),
    ("0:00:03", "time", 3.0, "0:00:03"),
    ("-0:01", "time", -60.0, "-0:01:00"),
]

NUMBER = ("int", "float", "percent")
COMPOSITE = ("pair", "point2", "point3", "tuple")


class Refused(Exception):
    def __init__(self, text):
        self.text = text


def pick(is_max, a, b):
    return (b if b > a else a) if is_max else (b if b < a else a)


def pick32(is_max, a, b):
    if math.isnan(a):
        return a
    if math.isnan(b):
        return b
    return pick(is_max, a, b)


def comparable(ka, kb):
    if ka == kb:
        return True
    if ka in NUMBER and kb in NUMBER:
        return True
    if "time" in (ka, kb) and (ka in NUMBER or kb in NUMBER):
        return True
    if "money" in (ka, kb) and (ka in ("int", "float") or kb in ("int", "float")):
        return True
    return {ka, kb} == {"pair", "point2"}


def tuple_key(t, n):
    return tuple(t) + (0,) * (n - len(t))


def lesser(a, b):
    _, ka, xa, _ = a
    _, kb, xb, _ = b
    if not comparable(ka, kb):
        raise Refused("[script/invalid-compare %s %s]" % (a[3], b[3]))
    if ka == "tuple":
        n = max(len(xa), len(xb))
        return tuple_key(xa, n) < tuple_key(xb, n)
    if ka in ("pair", "point2", "point3"):
        raise ValueError("composites of one kind never reach the generic compare here")
    return xa < xb


def points(is_max, a, b):
    ka, xa = a
    kb, xb = b
    kind = ka if ka.startswith("point") else kb
    n = 3 if kind == "point3" else 2
    ca = [f32(float(c)) for c in xa] + [0.0] * (n - len(xa))
    if kb in ("pair", "point2", "point3"):
        cb = [f32(float(c)) for c in xb] + [0.0] * (n - len(xb))
    else:
        cb = [f32(float(xb))] * n
    return mold((kind, tuple(pick32(is_max, p, q) for p, q in zip(ca, cb))))


def clamp_byte(kind, x):
    if kind == "float" and math.isnan(x):
        return 0
    return int(max(0.0, min(255.0, float(x))))


def result(is_max, a, b):
    (la, ka, xa, ma), (lb, kb, xb, mb) = a, b
    nan_a = ka in ("float", "percent") and math.isnan(xa)
    nan_b = kb in ("float", "percent") and math.isnan(xb)
    if nan_a and kb in NUMBER:
        return ma
    if nan_b and ka in NUMBER:
        return mb
    if ka in ("int", "float") and kb in COMPOSITE:
        a, b = b, a
        (la, ka, xa, ma), (lb, kb, xb, mb) = a, b
    if ka == "pair":
        if kb == "pair":
            return mold(("pair", (pick(is_max, xa[0], xb[0]), pick(is_max, xa[1], xb[1]))))
        if kb == "int" or (kb == "float" and math.isfinite(xb) and -2147483648.0 <= xb <= 2147483647.0):
            n = int(xb)
            return mold(("pair", (pick(is_max, xa[0], n), pick(is_max, xa[1], n))))
        if kb == "float":
            return points(is_max, (ka, xa), ("point2", (f32(xb), f32(xb))))
        if kb in ("point2", "point3"):
            return points(is_max, (ka, xa), (kb, xb))
    if ka in ("point2", "point3"):
        mixed = kb in ("point2", "point3") and kb != ka
        if not mixed and (kb in ("point2", "point3", "pair", "int", "float")):
            return points(is_max, (ka, xa), (kb, xb))
    if ka == "tuple":
        if kb == "tuple" and len(xa) == len(xb):
            return mold(("tuple", tuple(pick(is_max, p, q) for p, q in zip(xa, xb))))
        if kb in ("int", "float"):
            n = clamp_byte(kb, xb)
            return mold(("tuple", tuple(pick(is_max, p, n) for p in xa)))
    try:
        below = lesser(a, b)
    except Refused as r:
        return r.text
    if is_max:
        return mb if below else ma
    return ma if below else mb


def main():
    rows = []
    for name, is_max in (("max", True), ("min", False)):
        rows.append("\n; %s over every ordered pairing of the pool" % name)
        for a in POOL:
            for b in POOL:
                want = result(is_max, a, b)
                src = "%s %s %s" % (name, a[0], b[0])
                text = want if want.startswith("[") else '"%s"' % want
                rows.append('%-50s %s' % ('"%s"' % src, text))
    head = ('Kel [Title: "max and min over every pairing of the numeric and composite scalars '
            '(generated by gen_max_min.py)"]\n')
    with open(os.path.join(HERE, "test-max-min.kel"), "w", encoding="utf-8") as f:
        f.write(head + "\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
