#!/usr/bin/python3
"""tuple! arithmetic against a model over Python ints: every byte position
is combined as whole numbers and then clamped with max(0, min(255, ...)).
Operands: tuples of 3 to 12 bytes (the result takes the longer length,
missing bytes count as 0), integers across the whole 32-bit range, and
floats and percents (applied in double precision, truncated toward zero,
then clamped; NaN gives 0). A number on the left swaps for add, multiply
and the bit operators, and is `not-related` for subtract, divide and
remainder. Division and remainder by a zero byte are integer! errors.

usage: model_tuples.py KEL_BINARY [CASES] [SEED]"""
import math
import random
import sys

import kel_script

OPS = ["+", "-", "*", "/", "%", "or", "and", "xor"]


def clamp(v):
    return max(0, min(255, v))


def tdiv(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b >= 0) else -q


def trem(a, b):
    return a - tdiv(a, b) * b


def int_op(op, a, b):
    if op in ("/", "%") and b == 0:
        raise ZeroDivisionError
    return clamp({"+": a + b, "-": a - b, "*": a * b, "/": tdiv(a, b) if b else 0,
                  "%": trem(a, b) if b else 0, "or": a | b, "and": a & b, "xor": a ^ b}[op])


def float_op(op, a, x):
    if op in ("or", "and", "xor"):
        raise TypeError
    try:
        r = {"+": lambda: a + x, "-": lambda: a - x, "*": lambda: a * x, "/": lambda: a / x,
             "%": lambda: math.fmod(a, x)}[op]()
    except ZeroDivisionError:
        r = math.nan if a == 0 or op == "%" else math.inf
    except ValueError:
        r = math.nan
    if math.isnan(r) or r <= 0:
        return 0
    return 255 if r >= 255 else int(r)


def tuple_text(bs):
    return ".".join(str(b) for b in bs)


def rand_tuple(rng):
    n = rng.randint(3, 12)
    return [rng.choice([0, 1, 2, 127, 128, 200, 254, 255, rng.randint(0, 255)]) for _ in range(n)]


def rand_int(rng):
    return rng.choice([0, 1, -1, 2, 3, 7, 255, 256, -255, 1000, 2147483647, -2147483648,
                       rng.randint(-300, 300), rng.randint(-2**31, 2**31 - 1)])


def rand_float(rng):
    return rng.choice([0.5, 1.5, -1.5, 2.0, 0.0, 1e10, -1e10, 0.1, 255.9, rng.uniform(-300, 300)])


def case(rng):
    op = rng.choice(OPS)
    left = rand_tuple(rng)
    kind = rng.choice(["tuple", "int", "float", "percent", "int-left", "float-left"])
    if kind == "tuple":
        right = rand_tuple(rng)
        if op in ("/", "%") and rng.random() < 0.8:
            # mostly divisors without a zero byte, at least as long as the left
            right = [rng.randint(1, 255) for _ in range(rng.randint(len(left), 12))]
        expr = "%s %s %s" % (tuple_text(left), op, tuple_text(right))
        n = max(len(left), len(right))
        l = left + [0] * (n - len(left))
        r = right + [0] * (n - len(right))
        try:
            return expr, tuple_text([int_op(op, a, b) for a, b in zip(l, r)])
        except ZeroDivisionError:
            return expr, "!zero-divide"
    if kind in ("int", "int-left"):
        n = rand_int(rng)
        if kind == "int":
            expr = "%s %s %d" % (tuple_text(left), op, n)
        else:
            expr = "%d %s %s" % (n, op, tuple_text(left))
            if op in ("-", "/", "%"):
                return expr, "!not-related"
        try:
            return expr, tuple_text([int_op(op, a, n) for a in left])
        except ZeroDivisionError:
            return expr, "!zero-divide"
    x = rand_float(rng)
    text = repr(x) if kind != "percent" else repr(x * 100) + "%"
    if kind == "float-left":
        expr = "%s %s %s" % (text, op, tuple_text(left))
        if op in ("-", "/", "%"):
            return expr, "!not-related"
    else:
        expr = "%s %s %s" % (tuple_text(left), op, text)
    if kind == "percent":
        x = float(repr(x * 100)) / 100
    try:
        return expr, tuple_text([float_op(op, a, x) for a in left])
    except TypeError:
        return expr, None


def main():
    kel = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 20240611
    rng = random.Random(seed)
    table = []
    while len(table) < n:
        expr, want = case(rng)
        if want is not None:  # the bit operators take no float
            table.append((expr, want))
    failed = kel_script.emit_table(kel, table)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
