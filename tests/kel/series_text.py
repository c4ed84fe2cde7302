#!/usr/bin/python3
"""The series and text functions against Python: `split` with a string
delimiter against str.split, `extract` against slicing, `pad` against
str.ljust and str.rjust, `replace` and `replace/all` against str.replace
(with /case as it is; without, both sides lowered, as the search folds case),
`mod` against Python's % for integers and against a model of its three steps
for floats (with Kel's float equality), and `math` over + - * / ** against Python's eval. All cases run in
one script, one molded result a line.

usage: series_text.py KEL_BINARY"""
import math
import os
import random
import struct
import subprocess
import sys
import tempfile

rng = random.Random(20240611)
CASES = []   # (kel expression, checker taking the molded result)


def kel_str(s):
    return '"%s"' % s


def exact(want):
    return lambda got: got == want


def block_of_strings(xs):
    return "[" + " ".join(kel_str(x) for x in xs) + "]"


def word(alphabet, lo, hi):
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(lo, hi)))


def split_cases():
    for _ in range(300):
        sep = word("ab,-", 1, 2)
        s = word("ab,-c", 0, 14)
        CASES.append(("split %s %s" % (kel_str(s), kel_str(sep)), exact(block_of_strings(s.split(sep)))))


def extract_cases():
    for _ in range(200):
        xs = [rng.randint(0, 99) for _ in range(rng.randint(0, 12))]
        w = rng.randint(1, 4)
        b = "[" + " ".join(map(str, xs)) + "]"
        CASES.append(("extract %s %d" % (b, w), exact("[" + " ".join(map(str, xs[::w])) + "]")))
        i = rng.randint(1, len(xs) + 1)
        CASES.append(("extract/index %s %d %d" % (b, w, i), exact("[" + " ".join(map(str, xs[i - 1::w])) + "]")))
        s = word("abcdef", 0, 12)
        CASES.append(("extract/index %s %d %d" % (kel_str(s), w, i), exact(kel_str(s[i - 1::w]))))


def pad_cases():
    for _ in range(150):
        s = word("abc ", 0, 8)
        n = rng.randint(-2, 12)
        CASES.append(("pad %s %d" % (kel_str(s), n), exact(kel_str(s.ljust(n)))))
        CASES.append(("pad/left %s %d" % (kel_str(s), n), exact(kel_str(s.rjust(n)))))
        CASES.append(("pad/with %s %d #\"*\"" % (kel_str(s), n), exact(kel_str(s.ljust(n, "*")))))


def lowered(want):
    return lambda got: got.lower() == want


def replace_cases():
    for _ in range(300):
        s = word("abAB-", 0, 14)
        old = word("abAB-", 1, 3)
        new = word("xyX", 0, 3)
        args = (kel_str(s), kel_str(old), kel_str(new))
        CASES.append(("replace/case %s %s %s" % args, exact(kel_str(s.replace(old, new, 1)))))
        CASES.append(("replace/all/case %s %s %s" % args, exact(kel_str(s.replace(old, new)))))
        CASES.append(("replace %s %s %s" % args, lowered(kel_str(s.lower().replace(old.lower(), new.lower(), 1)))))
        CASES.append(("replace/all %s %s %s" % args, lowered(kel_str(s.lower().replace(old.lower(), new.lower())))))


def ordered_key(d):
    u = struct.unpack("<Q", struct.pack("<d", d))[0]
    return (2**64 - u) % 2**64 if u >> 63 else u | 2**63


def kel_equal(a, b):
    """Kel's `=` on floats: exact, within the machine epsilon, or at most ten
    units apart in the last place (within one step of the high word)."""
    if math.isnan(a) or math.isnan(b):
        return False
    if a == b:
        return True
    if math.isinf(a) or math.isinf(b):
        return False
    if abs(a - b) < 2.220446049250313e-16:
        return True
    ka, kb = ordered_key(a), ordered_key(b)
    return abs((ka >> 32) - (kb >> 32)) < 2 and abs(ka - kb) <= 10


def mod_model(a, b):
    r = math.fmod(a, b)
    if r < 0:
        r = r + b
    a = abs(a)
    return r - b if kel_equal(a + r, a + b) and (r + r) - b > 0 else r


def close_float(want):
    def check(got):
        try:
            return float(got) == want
        except ValueError:
            return False
    return check


def mod_cases():
    for _ in range(300):
        a = rng.choice([rng.randint(-1000, 1000), rng.randint(-2**31, 2**31 - 1)])
        b = rng.choice([rng.randint(1, 20), rng.randint(1, 2**31 - 1)])
        CASES.append(("mod %d %d" % (a, b), exact(str(a % b))))
    floats = [-1e-20, 1e-20, -7.5, 7.5, -0.1, 3.0, -3.0, 1e300, -1e300, 5e-324]
    for _ in range(300):
        a = rng.choice(floats + [rng.uniform(-1e6, 1e6), rng.uniform(-1, 1) * 10 ** rng.randint(-20, 20)])
        b = rng.choice([3.0, 0.1, 2.5, 1e-10, rng.uniform(0.001, 1000)])
        CASES.append(("mod %r %r" % (a, b), close_float(mod_model(a, b))))


def near(want):
    def check(got):
        try:
            g = float(got)
        except ValueError:
            return False
        return g == want or abs(g - want) <= 1e-9 * max(1.0, abs(want))
    return check


def math_cases():
    for _ in range(300):
        terms = [str(rng.randint(1, 9))]
        powers = 0
        for _ in range(rng.randint(1, 5)):
            op = rng.choice(["+", "-", "*", "/", "**"])
            if op == "**":
                if powers == 2:
                    op = "*"
                else:
                    powers += 1
            terms += [op, str(rng.randint(0, 2) if op == "**" else rng.randint(1, 9))]
        expr = " ".join(terms)
        CASES.append(("math [%s]" % expr, near(eval(expr))))


def main():
    kel = sys.argv[1]
    for make in (split_cases, extract_cases, pad_cases, replace_cases, mod_cases, math_cases):
        make()
    lines = ["Kel []"] + ["print mold/flat try [%s]" % expr for expr, _ in CASES]
    with tempfile.NamedTemporaryFile("w", suffix=".kel", delete=False, encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    try:
        p = subprocess.run([kel, f.name], capture_output=True, text=True, env=env, timeout=600)
    finally:
        os.unlink(f.name)
    out = p.stdout.split("\n")
    fails = 0
    for i, (expr, check) in enumerate(CASES):
        got = out[i] if i < len(out) else "<no output>"
        if not check(got):
            fails += 1
            print("FAIL %s | got: %s" % (expr, got))
    print("%d cases, %d failed" % (len(CASES), fails))
    if p.returncode != 0:
        print("exit %d: %s" % (p.returncode, p.stderr.strip()))
    sys.exit(1 if fails or p.returncode else 0)


if __name__ == "__main__":
    main()
