#!/usr/bin/python3
"""The numeric natives against Python models, every case printed by one
`kel` run and compared here:
- shift: int32 arithmetic and logical right shifts and the left shift, for
  counts -5..40 over data across the 32-bit range (a negative count is 0, a
  count of 32 or more empties the value or leaves only its sign);
- sine, cosine, tangent on generated angles in degrees (small, negative,
  past the folds, exact multiples, large up to 1e6 in magnitude): the
  reduction modulo 360 with the fold into each function's range, then
  math.sin, math.cos or math.tan, within one unit in the last place; sine
  and cosine below the float64 epsilon are 0.0, and a tangent at exactly
  pi / 2 is infinite. Plain math.sin(math.radians(x)) would be the wrong
  oracle: it skips the folds that make sine 180 exactly 0.0;
- the same functions with /radians, and the inverse functions in degrees;
- log-2, log-10, log-e, exp and square-root against math's functions
  (unchecked: minus infinity for log 0, NaN below the domain).
Results cross as the eight bytes of the float (`to binary!`), so nothing is
lost in text.

usage: model_math.py KEL_BINARY [SEED]"""
import math
import random
import struct
import sys

import kel_script

PI = 3.141592653589793
EPSILON = 2.220446049250313e-16


def reduce_degrees(angle, mode):
    a = math.fmod(angle, 360.0) if math.isfinite(angle) else math.nan
    if a > 180.0 or a < -180.0:
        a = a + 360.0 if a < 0 else a - 360.0
    if a > 90.0 or a < -90.0:
        if mode == 0:
            a = a + 180.0 if a < 0 else a - 180.0
        elif mode == 2:
            a = -180.0 - a if a < 0 else 180.0 - a
    return a * PI / 180.0


def forward(mode, x):
    if not math.isfinite(x):
        return math.nan
    if mode == 0:
        if x == PI / 2.0:
            return math.inf
        if x == PI / -2.0:
            return -math.inf
        return math.tan(x)
    r = math.sin(x) if mode == 2 else math.cos(x)
    return 0.0 if abs(r) < EPSILON else r


def guarded(f, x):
    try:
        return f(x)
    except ValueError:
        return -math.inf if x == 0 else math.nan
    except OverflowError:
        return math.inf


LOGS = {
    "log-2": lambda x: guarded(math.log, x) / 0.6931471805599453,
    "log-10": lambda x: guarded(math.log10, x),
    "log-e": lambda x: guarded(math.log, x),
    "exp": lambda x: guarded(lambda v: math.pow(2.718281828459045, v), x),
    "square-root": lambda x: guarded(math.sqrt, x),
}


def shift_model(data, bits, left, logical):
    bits = max(bits, 0)
    if left:
        r = 0 if bits >= 32 else (data << bits) & 0xFFFFFFFF
    elif logical:
        r = 0 if bits >= 32 else (data & 0xFFFFFFFF) >> bits
    else:
        return (-1 if data < 0 else 0) if bits >= 32 else data >> bits
    return r - (1 << 32) if r >= 1 << 31 else r


def lit(x):
    if math.isnan(x):
        return "1.#NaN"
    if math.isinf(x):
        return "1.#INF" if x > 0 else "-1.#INF"
    t = repr(float(x))
    return t


def close(got, want):
    if math.isnan(want):
        return math.isnan(got)
    if math.isinf(want) or want == 0.0:
        return got == want
    if math.isinf(got) or math.isnan(got):
        return False
    a = struct.unpack("<q", struct.pack("<d", got))[0]
    b = struct.unpack("<q", struct.pack("<d", want))[0]
    return abs(a - b) <= 1


def angles(rng):
    out = [0.0, -0.0, 1e-300, -1e-300, 1e-10, 89.9, 90.1, -90.1, 179.999999, -179.999999, 180.0, -180.0,
           181.0, -181.0, 359.5, 450.0, 540.0, -540.0, 1080.0, 12345.6789, 1e6, -1e6, 999999.5, math.nan,
           math.inf]
    out += [k * step for step in (15.0, 30.0, 45.0, 90.0) for k in range(-26, 27)]
    out += [rng.uniform(-1.0, 1.0) for _ in range(40)]
    out += [rng.uniform(-90.0, 90.0) for _ in range(60)]
    out += [rng.uniform(-720.0, 720.0) for _ in range(100)]
    out += [rng.uniform(-1e6, 1e6) for _ in range(100)]
    out += [float(rng.randint(-1000000, 1000000)) for _ in range(40)]
    return out


def main():
    kel = sys.argv[1]
    rng = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 26)
    cases = []  # (kel expression, kind, expected)
    datas = [0, 1, -1, 5, -8, 255, 0x40000000, 0x7FFFFFFF, -0x80000000, -2, rng.randint(-2**31, 2**31 - 1),
             rng.randint(-2**31, 2**31 - 1)]
    for d in datas:
        for bits in range(-5, 41):
            for name, left, logical in (("shift", 0, 0), ("shift/left", 1, 0), ("shift/logical", 0, 1),
                                        ("shift/left/logical", 1, 1)):
                cases.append(("%s %d %d" % (name, d, bits), "int", shift_model(d, bits, left, logical)))
    for a in angles(rng):
        for mode, name in ((2, "sine"), (1, "cosine"), (0, "tangent")):
            cases.append(("%s %s" % (name, lit(a)), "float", forward(mode, reduce_degrees(a, mode))))
    for x in [0.0, 1e-9, 0.5, 1.0, 1.5707963267948966, -1.5707963267948966, 3.141592653589793, -2.0, 100.0,
              1e6] + [rng.uniform(-10.0, 10.0) for _ in range(60)]:
        for mode, name in ((2, "sine"), (1, "cosine"), (0, "tangent")):
            cases.append(("%s/radians %s" % (name, lit(x)), "float", forward(mode, x)))
    for x in [-1.0, -0.5, 0.0, 0.5, 1.0, 2.0, -2.0] + [rng.uniform(-1.0, 1.0) for _ in range(30)]:
        cases.append(("arcsine %s" % lit(x), "float", guarded(math.asin, x) * 180.0 / PI))
        cases.append(("arccosine %s" % lit(x), "float", guarded(math.acos, x) * 180.0 / PI))
        cases.append(("arctangent %s" % lit(x * 50), "float", math.atan(x * 50) * 180.0 / PI))
        cases.append(("arctangent2 %s %s" % (lit(x), lit(-x / 3 + 0.1)), "float",
                      math.atan2(x, -x / 3 + 0.1) * 180.0 / PI))
    for name, f in LOGS.items():
        for text, x in (("0", 0.0), ("1", 1.0), ("-1", -1.0), ("50%", 0.5), ("1.#INF", math.inf),
                        ("-1.#INF", -math.inf), ("2", 2.0), ("10", 10.0), ("1e-300", 1e-300), ("700", 700.0),
                        ("710", 710.0), ("0.1", 0.1), ("12.5%", 0.125), ("1e300", 1e300)):
            cases.append(("%s %s" % (name, text), "float", f(x)))
    lines = ["Kel []"]
    for expr, kind, _ in cases:
        lines.append("print %s" % (expr if kind == "int" else "mold to binary! (%s)" % expr))
    p = kel_script.run(kel, lines)
    out = p.stdout.splitlines()
    if p.returncode != 0 or len(out) != len(cases):
        print("kel failed (exit %d, %d of %d lines): %s" % (p.returncode, len(out), len(cases), p.stderr.strip()))
        sys.exit(1)
    failed = 0
    for (expr, kind, want), line in zip(cases, out):
        if kind == "int":
            ok = int(line) == want
            got = line
        else:
            got = struct.unpack(">d", bytes.fromhex(line.strip()[2:-1]))[0]
            ok = close(got, want)
        if not ok:
            failed += 1
            if failed <= 30:
                print("FAIL %s | got %r | model %r" % (expr, got, want))
    print("%d cases, %d failed" % (len(cases), failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
