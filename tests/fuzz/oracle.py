#!/usr/bin/python3
"""Differential fuzzer of Kel's arithmetic: seeded random operands and
operations, evaluated by `kel` many to a script (`mold/all` of each result,
or the error id), each compared with a Python oracle: integer! arithmetic
with its 32-bit overflow rules, float! arithmetic, rounding and text,
money! against decimal, date! arithmetic and fields against datetime,
percent!, pair! and tuple! mixing, checksums against hashlib and zlib, and
the base codecs against base64 and binascii.

Where Kel sets a rule of its own (integer overflow into float!, money!
truncation, tuple clamping, date carrying) the oracle states that rule; the
rest comes from Python's libraries.

usage: oracle.py KEL [--seeds A[:B]] [--count N] [--areas a,b,...] [--shown N]
A failing case prints as a standalone Kel expression, what Kel printed and
what the oracle wanted. The closing line is "N passed, N failed", one count
a case. CTest runs a few fixed seeds; long runs are made by hand:
    oracle.py build/kel --seeds 1:200 --count 4000"""
import argparse
import base64
import binascii
import datetime
import decimal
import hashlib
import hmac
import math
import os
import random
import re
import struct
import subprocess
import sys
import tempfile
import zlib

I32_MIN, I32_MAX = -2**31, 2**31 - 1
PRELUDE = [
    "Kel []",
    "emit: func [code /local r] [r: try code print either error! = type? :r"
    " [append copy {!} form r/id] [mold/all/flat :r]]",
]


# --- text of values as Kel molds them ------------------------------------------

def shortest_digits(x):
    """The shortest digits that read back to |x| and the exponent e with
    |x| = 0.d1d2... x 10^e."""
    sign, digits, exp = decimal.Decimal(repr(abs(x))).as_tuple()
    text = "".join(map(str, digits)).rstrip("0") or "0"
    lead = len(digits) - len("".join(map(str, digits)).lstrip("0"))
    return text.lstrip("0"), len(digits) - lead + exp


def mold_float(x, point_zero=True):
    if math.isnan(x):
        return "1.#NaN"
    if math.isinf(x):
        return "1.#INF" if x > 0 else "-1.#INF"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if x == 0:
        return sign + ("0.0" if point_zero else "0")
    d, e = shortest_digits(x)
    if e > 17 or e < -6:
        text = d[0] + "." + (d[1:] or "0") + "e" + str(e - 1)
    elif e <= 0:
        text = "0." + "0" * -e + d
    elif len(d) <= e:
        text = d + "0" * (e - len(d)) + (".0" if point_zero else "")
    else:
        text = d[:e] + "." + d[e:]
    return sign + text


def kel_float(x):
    """A float literal for a script; non-finite values are made by division."""
    if math.isnan(x):
        return "(0.0 / 0.0)"
    if math.isinf(x):
        return "(1.0 / 0.0)" if x > 0 else "(-1.0 / 0.0)"
    text = mold_float(x)
    return "(" + text + ")" if text.startswith("-") else text


def kel_int(n):
    return "(%d)" % n if n < 0 else str(n)


def money_text(q, currency=""):
    """mold/all of an amount with five fraction digits."""
    q = q.quantize(decimal.Decimal("0.00001"), rounding=decimal.ROUND_DOWN)
    sign = "-" if q < 0 else ""
    whole, frac = format(abs(q), "f").split(".")
    return "%s%s$%s.%s" % (sign, currency, whole, frac.ljust(5, "0"))


# --- integers -------------------------------------------------------------------

def edge_int(rng):
    pick = rng.random()
    if pick < 0.3:
        return rng.choice([0, 1, -1, 2, -2, I32_MAX, I32_MIN, I32_MAX - 1, I32_MIN + 1, 46340, 46341,
                           -46341, 65535, 65536, -65536, 32768, 3, 10, 7, -7])
    if pick < 0.6:
        return rng.randint(-1000, 1000)
    if pick < 0.8:
        return rng.randint(I32_MIN, I32_MAX)
    base = rng.choice([2**31, 2**16, 2**15, 10**9, 2**24])
    return max(I32_MIN, min(I32_MAX, base + rng.randint(-3, 3))) * rng.choice([1, -1])


def int_or_float(exact):
    """Overflow of + - * leaves integer! for float!, computed in float64."""
    if I32_MIN <= exact <= I32_MAX:
        return str(exact)
    return mold_float(float(exact))


def trunc_div(a, b):
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


def int_power(a, b):
    if b < 0:
        return mold_float(float_pow(float(a), float(b)))
    exact = a ** b
    if I32_MIN <= exact <= I32_MAX:
        return str(exact)
    return mold_float(float_pow(float(a), float(b)))


def float_pow(a, b):
    try:
        return math.pow(a, b)
    except OverflowError:
        return math.inf if a > 0 or b % 2 == 0 else -math.inf
    except ValueError:
        return math.nan


def shift(a, n, way):
    n = max(n, 0)
    if way == "left":
        return 0 if n >= 32 else to_i32((a << n) & 0xFFFFFFFF)
    if way == "logical":
        return 0 if n >= 32 else to_i32((a & 0xFFFFFFFF) >> n)
    return (-1 if a < 0 else 0) if n >= 32 else a >> n


def to_i32(u):
    return u - 2**32 if u >= 2**31 else u


def int_round(v, scale, mode):
    """round/to of an integer by an integer scale, with one mode flag."""
    if v == I32_MIN:
        return str(v)
    if scale == I32_MIN:
        return "!overflow"
    s = abs(scale)
    if s == 0:
        return str(v)
    a = abs(v)
    q, r = divmod(a, s)
    if r == 0:
        return str(v)
    down, up = a - r, a + (s - r)
    pos = v > 0
    if mode == "down":
        pick_up = False
    elif mode == "floor":
        pick_up = not pos
    elif mode == "ceiling":
        pick_up = pos
    elif r < s - r:
        pick_up = False
    elif r > s - r:
        pick_up = True
    elif mode == "even":
        pick_up = q % 2 == 1
    elif mode == "half-down":
        pick_up = False
    elif mode == "half-ceiling":
        pick_up = pos
    else:
        pick_up = True
    chosen = up if pick_up else down
    result = chosen if pos else -chosen
    # an away-from-zero result overflows only when it does not fit: -2147483648 does
    if not I32_MIN <= result <= I32_MAX:
        return "!overflow"
    return str(result)


ROUND_MODES = ["", "even", "down", "half-down", "floor", "ceiling", "half-ceiling"]


def integer_case(rng):
    a, b = edge_int(rng), edge_int(rng)
    ka, kb = kel_int(a), kel_int(b)
    op = rng.choice(["+", "-", "*", "/", "%", "remainder", "power", "shift", "and", "or", "xor", "negate",
                     "abs", "min", "max", "cmp", "round", "mixed", "to", "complement"])
    if op in "+-*":
        exact = a + b if op == "+" else a - b if op == "-" else a * b
        return "%s %s %s" % (ka, op, kb), int_or_float(exact)
    if op == "/":
        if b == 0:
            return "%s / %s" % (ka, kb), "!zero-divide"
        if a == I32_MIN and b == -1:
            return "%s / %s" % (ka, kb), "!overflow"
        if a % b == 0:
            return "%s / %s" % (ka, kb), str(trunc_div(a, b))
        return "%s / %s" % (ka, kb), mold_float(a / b)
    if op in ("%", "remainder"):
        expr = "%s %% %s" % (ka, kb) if op == "%" else "remainder %s %s" % (ka, kb)
        if b == 0:
            return expr, "!zero-divide"
        if a == I32_MIN and b == -1:
            return expr, "!overflow"
        return expr, str(a - trunc_div(a, b) * b)
    if op == "power":
        e = rng.choice([rng.randint(0, 40), rng.randint(-3, 3), 31, 32, 30])
        a = rng.choice([a, rng.randint(-20, 20), 2, -2, 46340, 46341, -46341, 1290, 1291])
        return "power %s %s" % (kel_int(a), kel_int(e)), int_power(a, e) if a != 0 or e >= 0 else "1.#INF"
    if op == "shift":
        n = rng.choice([rng.randint(0, 40), rng.randint(-3, 3), 31, 32])
        way = rng.choice(["", "left", "logical"])
        return "shift%s %s %s" % ("/" + way if way else "", ka, kel_int(n)), str(shift(a, n, way))
    if op in ("and", "or", "xor"):
        r = a & b if op == "and" else a | b if op == "or" else a ^ b
        return "%s %s %s" % (ka, op, kb), str(r)
    if op == "negate":
        return "negate %s" % ka, "!overflow" if a == I32_MIN else str(-a)
    if op == "abs":
        return "absolute %s" % ka, "!overflow" if a == I32_MIN else str(abs(a))
    if op == "complement":
        return "complement %s" % ka, str(~a)
    if op in ("min", "max"):
        return "%s %s %s" % (op, ka, kb), str(min(a, b) if op == "min" else max(a, b))
    if op == "cmp":
        word = rng.choice(["<", "<=", ">", ">=", "=", "<>"])
        r = {"<": a < b, "<=": a <= b, ">": a > b, ">=": a >= b, "=": a == b, "<>": a != b}[word]
        return "%s %s %s" % (ka, word, kb), "true" if r else "false"
    if op == "round":
        mode = rng.choice(ROUND_MODES)
        s = rng.choice([b, rng.randint(-20, 20), 10, 100, 1000, 7, 2, I32_MAX])
        expr = "round/to%s %s %s" % ("/" + mode if mode else "", ka, kel_int(s))
        return expr, int_round(a, s, mode)
    if op == "to":
        x = rng.choice([a + 0.5, a - 0.7, float(a) * 1.25, rng.uniform(-3e9, 3e9), 2147483647.5, -2147483648.5,
                        -2147483648.0, 2147483647.0])
        if math.isnan(x) or x > I32_MAX or x < I32_MIN:
            want = "!type-limit"
        else:
            want = str(int(x))
        return "to integer! %s" % kel_float(x), want
    # integer with a float
    x = float_operand(rng)
    fop = rng.choice(["+", "-", "*", "/"])
    return "%s %s %s" % (ka, fop, kel_float(x)), mold_float(float_op(float(a), x, fop))


# --- floats ----------------------------------------------------------------------

def float_operand(rng):
    # a negative zero cannot be written: the literal -0.0 reads as 0.0
    x = some_float(rng)
    return 0.0 if x == 0 else x


def some_float(rng):
    pick = rng.random()
    if pick < 0.2:
        return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
    if pick < 0.45:
        return round(rng.uniform(-1000, 1000), rng.randint(0, 6))
    if pick < 0.6:
        return rng.choice([0.1, 0.2, 0.3, 2.5, -2.5, 0.5, 1.5, 1e16, 1e17, 1e-7, 1.5e-7, 5e-324,
                           1.7976931348623157e308, 2.2250738585072014e-308, 9007199254740993.0, 0.0, -0.0,
                           1e22, 1e23, 123456789012345678.0, 4.35, 2.675, 1.005])
    if pick < 0.8:
        return rng.randint(-10**6, 10**6) / rng.choice([2, 4, 8, 10, 100, 1000, 3, 7])
    x = math.ldexp(rng.random(), rng.randint(-1074, 1024)) * rng.choice([1, -1])
    return x


def float_op(a, b, op):
    if op == "+":
        return a + b
    if op == "-":
        return a - b
    if op == "*":
        return a * b
    if op == "/":
        if b == 0:
            if a == 0 or math.isnan(a):
                return math.nan
            return math.copysign(math.inf, a) * math.copysign(1.0, b)
        return a / b
    if op == "%":
        if math.isnan(b) or math.isnan(a):
            return math.nan
        if math.isinf(b):
            return a if math.isfinite(a) else math.nan
        if b == 0 or math.isinf(a):
            return math.nan
        return math.fmod(a, b)
    raise ValueError(op)


def float_round(x, scale, mode, scale_is_int):
    """Kel's float round, step by step in float64."""
    s = 1.0 if scale is None else abs(scale)
    if not (s >= abs(x) * 2.0 ** -53) or math.isnan(x) or math.isinf(x):
        result = x
    else:
        n = x / s if s >= 1.0 else x * (1.0 / s)
        an = abs(n)
        if mode == "down":
            d = math.copysign(math.floor(an), n)
        elif mode == "floor":
            d = float(math.floor(n))
        elif mode == "ceiling":
            d = ceil_keeping_sign(n)
        else:
            m = math.floor(an) + 0.5
            if an > m:
                d = math.ceil(an)
            elif an < m:
                d = math.floor(an)
            elif mode == "even":
                d = math.ceil(an) if math.fmod(an, 2.0) >= 1.0 else math.floor(an)
            elif mode == "half-down":
                d = math.floor(an)
            elif mode == "half-ceiling":
                d = ceil_keeping_sign(n)
            else:
                d = math.ceil(an)
            if not (mode == "half-ceiling" and an == m):
                d = math.copysign(float(d), n)
        if s >= 1.0:
            result = d * s
            if abs(result) == sys.float_info.max:
                return "!overflow"
        else:
            result = d / (1.0 / s)
    if scale_is_int:
        if math.isnan(result) or not (I32_MIN <= result <= I32_MAX):
            return None
        return str(int(result))
    return mold_float(result)


def ceil_keeping_sign(n):
    """C's ceil: a negative value above -1 gives -0.0."""
    return math.copysign(float(math.ceil(n)), n)


def float_case(rng):
    a, b = float_operand(rng), float_operand(rng)
    ka, kb = kel_float(a), kel_float(b)
    op = rng.choice(["+", "-", "*", "/", "%", "mold", "load", "to", "round", "round", "cmp", "form-int"])
    if op in "+-*/%":
        expr = "%s %s %s" % (ka, op, kb)
        return expr, mold_float(float_op(a, b, op))
    if op == "mold":
        return "%s" % ka, mold_float(a)
    if op == "load":
        return "load {%s}" % repr(a).replace("inf", "1.#INF").replace("nan", "1.#NaN"), \
            mold_float(a) if math.isfinite(a) else None
    if op == "to":
        text = rng.choice([repr(a), "%.20g" % a, "%.3e" % a, "%.25f" % a if abs(a) < 1e10 else repr(a)])
        if not math.isfinite(a):
            return None
        # reading text never gives a negative zero
        return "to float! {%s}" % text, mold_float(float(text) + 0.0)
    if op == "round":
        mode = rng.choice(ROUND_MODES)
        x = rng.choice([a, round(rng.uniform(-100, 100), rng.randint(0, 4)), rng.randint(-50, 50) + 0.5,
                        rng.randint(-5000, 5000) / 1000])
        if not math.isfinite(x):
            return None
        x += 0.0  # Python's round may give -0.0, which no literal can write
        kind = rng.choice(["none", "float", "int"])
        if kind == "none":
            want = float_round(x, None, mode, False)
            return "round%s %s" % ("/" + mode if mode else "", kel_float(x)), want
        s = rng.choice([0.01, 0.1, 0.5, 0.25, 10.0, 0.001, 1e-5, 3.0, 100.0]) if kind == "float" \
            else rng.choice([1, 2, 5, 10, 100, 1000, 3])
        want = float_round(x, float(s), mode, kind == "int")
        if want is None:
            return None
        flags = "/to" + ("/" + mode if mode else "")
        return "round%s %s %s" % (flags, kel_float(x), kel_float(s) if kind == "float" else str(s)), want
    if op == "cmp":
        word = rng.choice(["<", "<=", ">", ">="])
        if math.isnan(a) or math.isnan(b):
            r = False
        else:
            r = {"<": a < b, "<=": a <= b, ">": a > b, ">=": a >= b}[word]
        return "%s %s %s" % (ka, word, kb), "true" if r else "false"
    # form of an integral float: exact digits
    n = float(rng.randint(-10**15, 10**15))
    return "form %s" % kel_float(n), '"%s"' % mold_float(n)


# --- money -----------------------------------------------------------------------

D = decimal.Decimal
decimal.getcontext().prec = 80
MONEY_LIMIT = D(10) ** 17
UNIT = D("0.00001")


def money_operand(rng):
    digits = rng.choice([1, 2, 3, 5, 8, 12, 16, 17, 17])
    whole = rng.randint(0, 10 ** digits - 1)
    frac = rng.choice([0, rng.randint(0, 99999), 50000, 99999, 1])
    q = D(whole) + D(frac) * UNIT
    return -q if rng.random() < 0.3 else q


def kel_money(q):
    text = money_text(q)
    return "(" + text + ")" if text.startswith("-") else text


def money_case(rng):
    ctx = decimal.Context(prec=80)
    a, b = money_operand(rng), money_operand(rng)
    op = rng.choice(["+", "-", "*", "/", "/", "//", "%", "round", "mold", "to-int", "cmp"])
    if op in "+-":
        r = ctx.add(a, b) if op == "+" else ctx.subtract(a, b)
        want = "!type-limit" if abs(r) >= MONEY_LIMIT else money_text(r)
        return "%s %s %s" % (kel_money(a), op, kel_money(b)), want
    if op == "*":
        n = rng.choice([rng.randint(-1000, 1000), rng.randint(I32_MIN, I32_MAX), 10, 3])
        r = ctx.multiply(a, D(n))
        want = "!type-limit" if abs(r.quantize(UNIT, rounding=decimal.ROUND_DOWN)) >= MONEY_LIMIT \
            else money_text(r)
        return "%s * %s" % (kel_money(a), kel_int(n)), want
    if op in ("/", "%"):
        n = rng.choice([rng.randint(-1000, 1000), 3, 7, rng.randint(I32_MIN, I32_MAX)])
        bn = D(n)
        if op == "%":
            return money_remainder(a, b)
        expr = "%s / %s" % (kel_money(a), kel_int(n))
        if n == 0:
            return expr, "!zero-divide"
        if a == 0:
            return expr, money_text(a)
        # only a quotient that does not fit overflows
        r = ctx.divide(a, bn)
        if abs(r.quantize(UNIT, rounding=decimal.ROUND_DOWN)) >= MONEY_LIMIT:
            return expr, "!type-limit"
        return expr, money_text(r)
    if op == "//":
        # money by money gives the float of the truncated quotient
        expr = "%s / %s" % (kel_money(a), kel_money(b))
        if b == 0:
            return expr, "!zero-divide"
        if a == 0:
            return expr, "0.0"
        r = ctx.divide(a, b).quantize(UNIT, rounding=decimal.ROUND_DOWN, context=ctx)
        if abs(r) >= MONEY_LIMIT:
            return expr, "!type-limit"
        return expr, mold_float(float(r)) if r else "0.0"
    if op == "round":
        return money_round(rng, a)
    if op == "mold":
        return "mold %s" % kel_money(a), '"%s"' % money_text(a)[:-3]
    if op == "to-int":
        w = int(a)
        return "to integer! %s" % kel_money(a), str(w) if I32_MIN <= w <= I32_MAX else "!type-limit"
    word = rng.choice(["<", ">", "="])
    r = {"<": a < b, ">": a > b, "=": a == b}[word]
    return "%s %s %s" % (kel_money(a), word, kel_money(b)), "true" if r else "false"


def money_remainder(a, b):
    expr = "remainder %s %s" % (kel_money(a), kel_money(b))
    if b == 0:
        return expr, "!zero-divide"
    if a == 0:
        return expr, money_text(a)
    r = abs(a) % abs(b)
    return expr, money_text(r if a > 0 else -r)


def money_round(rng, a):
    mode = rng.choice(ROUND_MODES)
    scale = rng.choice([None, D(1), D("0.01"), D(10), D("0.05"), D(100)])
    flags = ("/to" if scale is not None else "") + ("/" + mode if mode else "")
    expr = "round%s %s%s" % (flags, kel_money(a), "" if scale is None else " " + kel_money(scale))
    s = D(1) if scale is None else scale
    if a == 0 or s == 0:
        return expr, money_text(a)
    v = abs(a)
    rem = v % s
    up = s - rem
    tie = rem.quantize(UNIT) - rem.to_integral_value(rounding=decimal.ROUND_DOWN) == D("0.5")
    neg = a < 0
    if s != 1 and mode in ("even", "half-down", "half-ceiling", ""):
        # ties are only well defined for whole units
        if rem == up or tie:
            return None
    nearest_up = not rem < up
    if mode == "down":
        go_up = False
    elif mode == "floor":
        go_up = neg
    elif mode == "ceiling":
        go_up = not neg
    elif mode == "even":
        go_up = False if tie and int(v) % 2 == 0 else nearest_up
    elif mode == "half-down":
        go_up = False if tie else nearest_up
    elif mode == "half-ceiling":
        go_up = (not neg) if tie else nearest_up
    else:
        go_up = nearest_up
    r = v + up if go_up and rem != 0 else v - rem
    if r >= MONEY_LIMIT:
        return expr, "!type-limit"
    return expr, money_text(-r if neg else r)


# --- dates -----------------------------------------------------------------------

MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def mold_date(d, t=None, zone=None):
    year = "%04d" % d.year if d.year < 100 else str(d.year)
    text = "%d-%s-%s" % (d.day, MONTHS[d.month - 1], year)
    if t is not None:
        text += "/" + mold_time(t)
        if zone:
            sign = "-" if zone < 0 else "+"
            text += "%s%02d:%02d" % (sign, abs(zone) // 3600, abs(zone) % 3600 // 60)
    return text


def mold_time(sec):
    sign = "-" if sec < 0 else ""
    sec = abs(sec)
    h, rest = divmod(int(sec), 3600)
    m, s = divmod(rest, 60)
    return "%s%d:%02d:%02d" % (sign, h, m, s)


def random_date(rng):
    if rng.random() < 0.2:
        year = rng.choice([1900, 2000, 2004, 2100, 1600, 2020, 2021])
        month = rng.choice([2, 3, 12, 1])
        day = rng.choice([1, 28, 29 if month != 2 or year % 4 == 0 and (year % 100 or year % 400 == 0) else 28, 31
                          if month != 2 else 1])
        return datetime.date(year, month, day)
    return datetime.date.fromordinal(rng.randint(datetime.date(1 if rng.random() < 0.1 else 100, 1, 1).toordinal(),
                                                 datetime.date(9999, 1, 1).toordinal()))


def sunday_week(d):
    jan1 = datetime.date(d.year, 1, 1)
    e = jan1.isoweekday() % 7
    yday = d.timetuple().tm_yday
    return 1 if yday <= 7 - e else (yday + e - 1) // 7 + 1


def date_case(rng):
    try:
        d = random_date(rng)
    except ValueError:
        return None
    op = rng.choice(["+days", "-days", "diff", "field", "field", "+time", "zone-diff", "to-int"])
    if op in ("+days", "-days"):
        n = rng.randint(-100000, 100000)
        sign = "+" if op == "+days" else "-"
        try:
            r = d + datetime.timedelta(days=n if sign == "+" else -n)
        except OverflowError:
            return None
        return "%s %s %s" % (mold_date(d), sign, kel_int(n)), mold_date(r)
    if op == "diff":
        e = random_date(rng)
        return "%s - %s" % (mold_date(d), mold_date(e)), str((d - e).days)
    if op == "field":
        name = rng.choice(["weekday", "yearday", "julian", "isoweek", "week", "year", "month", "day"])
        want = {"weekday": d.isoweekday(), "yearday": d.timetuple().tm_yday, "julian": d.timetuple().tm_yday,
                "isoweek": d.isocalendar()[1], "week": sunday_week(d), "year": d.year, "month": d.month,
                "day": d.day}[name]
        return "pick %s '%s" % (mold_date(d), name) if rng.random() < 0.3 else \
            "d: %s d/%s" % (mold_date(d), name), str(want)
    zone = rng.choice([0, 3600, -3600, 5 * 3600 + 1800, -(9 * 3600 + 2700), 14 * 3600, -12 * 3600])
    local = datetime.datetime(d.year, d.month, d.day) + datetime.timedelta(seconds=rng.randint(0, 86399))
    secs = local.hour * 3600 + local.minute * 60 + local.second
    lit = mold_date(local.date(), secs, zone)
    if op == "+time":
        t = rng.randint(-500000, 500000)
        r = local + datetime.timedelta(seconds=t)
        if r.year < 100 or r.year > 9999:
            return None
        return "%s + %s" % (lit, mold_time(t)), mold_date(r.date(), r.hour * 3600 + r.minute * 60 + r.second,
                                                          zone)
    if op == "to-int":
        utc = local - datetime.timedelta(seconds=zone)
        return "to integer! %s" % lit, \
            str(int((utc - datetime.datetime(1970, 1, 1)).total_seconds())) \
            if -2**31 <= (utc - datetime.datetime(1970, 1, 1)).total_seconds() < 2**31 else None
    # difference of two instants in different zones
    zone2 = rng.choice([0, 7200, -18000])
    local2 = local + datetime.timedelta(seconds=rng.randint(-400000, 400000))
    if local2.year < 100:
        return None
    secs2 = local2.hour * 3600 + local2.minute * 60 + local2.second
    lit2 = mold_date(local2.date(), secs2, zone2)
    delta = (local - datetime.timedelta(seconds=zone)) - (local2 - datetime.timedelta(seconds=zone2))
    return "difference %s %s" % (lit, lit2), mold_time(int(delta.total_seconds()))


# --- percent!, pair!, tuple! ------------------------------------------------------

def clamp_byte(n):
    return max(0, min(255, n))


def tuple_op(t, n, op):
    """One byte combined with an integer operand, integer rules."""
    if op == "+":
        return t + n
    if op == "-":
        return t - n
    if op == "*":
        return t * n
    if op == "/":
        if n == 0:
            raise ZeroDivisionError
        return trunc_div(t, n) if t % n == 0 else t / n
    if op == "%":
        if n == 0:
            raise ZeroDivisionError
        return t - trunc_div(t, n) * n
    raise ValueError(op)


def byte_of(r):
    if isinstance(r, float):
        return 0 if math.isnan(r) else clamp_byte(int(r)) if math.isfinite(r) else (255 if r > 0 else 0)
    if not I32_MIN <= r <= I32_MAX:
        return 255 if r > 0 else 0
    return clamp_byte(r)


def mold_tuple(bs):
    return ".".join(map(str, bs))


def mixed_case(rng):
    kind = rng.choice(["tuple", "tuple", "pair", "percent"])
    if kind == "tuple":
        t = [rng.randint(0, 255) for _ in range(rng.randint(3, 6))]
        op = rng.choice(["+", "-", "*", "/", "%"])
        if rng.random() < 0.4:
            u = [rng.randint(0, 255) for _ in range(rng.randint(3, 6))]
            length = max(len(t), len(u))
            tt, uu = t + [0] * (length - len(t)), u + [0] * (length - len(u))
            try:
                r = [byte_of(tuple_op(x, y, op)) for x, y in zip(tt, uu)]
            except ZeroDivisionError:
                return "%s %s %s" % (mold_tuple(t), op, mold_tuple(u)), "!zero-divide"
            return "%s %s %s" % (mold_tuple(t), op, mold_tuple(u)), mold_tuple(r)
        if rng.random() < 0.5:
            n = rng.choice([rng.randint(-300, 300), 0, I32_MAX, I32_MIN, 2, 3])
            try:
                r = [byte_of(tuple_op(x, n, op)) for x in t]
            except ZeroDivisionError:
                return "%s %s %s" % (mold_tuple(t), op, kel_int(n)), "!zero-divide"
            if rng.random() < 0.5 and op in "+*":
                return "%s %s %s" % (kel_int(n), op, mold_tuple(t)), mold_tuple(r)
            return "%s %s %s" % (mold_tuple(t), op, kel_int(n)), mold_tuple(r)
        f = rng.choice([0.5, 1.5, -2.25, 2.0, 100.75, 0.1, 3.0])
        r = [byte_of(float_op(float(x), f, op)) for x in t]
        return "%s %s %s" % (mold_tuple(t), op, kel_float(f)), mold_tuple(r)
    if kind == "pair":
        x, y = edge_int(rng), edge_int(rng)
        op = rng.choice(["+", "-", "*"])
        if rng.random() < 0.5:
            u, v = edge_int(rng), edge_int(rng)
        else:
            u = v = rng.choice([rng.randint(-100, 100), edge_int(rng)])
        rx = x + u if op == "+" else x - u if op == "-" else x * u
        ry = y + v if op == "+" else y - v if op == "-" else y * v
        right = "%dx%d" % (u, v) if rng.random() < 0.5 or u != v else kel_int(u)
        expr = "%dx%d %s %s" % (x, y, op, right)
        if not (I32_MIN <= rx <= I32_MAX and I32_MIN <= ry <= I32_MAX):
            return "type? " + expr, "point2D!"
        return expr, "%dx%d" % (rx, ry)
    # percent!
    p = rng.randint(-10000, 10000) / 100
    q = rng.choice([rng.randint(-500, 500), rng.randint(-10000, 10000) / 100])
    op = rng.choice(["+", "-", "*", "/"])
    left_is_percent = rng.random() < 0.5
    if isinstance(q, int):
        right = kel_int(q)
        qv = float(q)
        right_type = "integer!"
    elif rng.random() < 0.5:
        right = "(-%s%%)" % mold_percent_text(q) if q < 0 else "%s%%" % mold_percent_text(q)
        qv = float(D(repr(q)) / 100)
        right_type = "percent!"
    else:
        right = kel_float(q)
        qv = q
        right_type = "float!"
    pv = float(D(repr(p)) / 100)
    ptext = "(-%s%%)" % mold_percent_text(p) if p < 0 else "%s%%" % mold_percent_text(p)
    if left_is_percent:
        expr = "%s %s %s" % (ptext, op, right)
        r = float_op(pv, qv, op)
        rtype = "percent!"
    else:
        expr = "%s %s %s" % (right, op, ptext)
        r = float_op(qv, pv, op)
        rtype = "percent!" if right_type == "percent!" else "float!"
    if math.isnan(r) or math.isinf(r):
        return None
    return "r: %s reduce [type? r to float! r]" % expr, "[%s %s]" % (rtype, mold_float(r))


def mold_percent_text(p):
    return repr(abs(p)) if abs(p) != int(abs(p)) else str(int(abs(p)))


# --- checksums and codecs ----------------------------------------------------------

B58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"


def b58encode(data):
    n = int.from_bytes(data, "big")
    out = ""
    while n:
        n, r = divmod(n, 58)
        out = B58[r] + out
    return "1" * (len(data) - len(data.lstrip(b"\0"))) + out


def encode_base(data, base):
    if base == 2:
        return "".join("{:08b}".format(b) for b in data)
    if base == 16:
        return binascii.hexlify(data).decode().upper()
    if base == 58:
        return b58encode(data)
    return base64.b64encode(data).decode()


def random_bytes(rng):
    size = rng.choice([0, 1, 2, 3, 4, 5, 31, 32, 33, 63, 64, 65, 100, 1000, rng.randint(0, 300),
                       rng.randint(3000, 70000)])
    if rng.random() < 0.1:
        return bytes(size)
    return rng.randbytes(size)


def kel_binary(data):
    return "#{%s}" % data.hex().upper()


def tcp_checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack(">%dH" % (len(data) // 2), data))
    s = (s >> 16) + (s & 0xFFFF)
    s += s >> 16
    return ~s & 0xFFFF


def codec_case(rng):
    data = random_bytes(rng)
    method = rng.choice(["crc32", "adler32", "tcp", "md5", "sha1", "sha256", "sha384", "sha512",
                         "enbase", "enbase", "debase", "debase", "hmac"])
    kb = kel_binary(data)
    if method == "crc32":
        return "checksum %s 'crc32" % kb, str(to_i32(zlib.crc32(data)))
    if method == "adler32":
        return "checksum %s 'adler32" % kb, str(to_i32(zlib.adler32(data)))
    if method == "tcp":
        return "checksum %s 'tcp" % kb, str(tcp_checksum(data))
    if method == "hmac":
        key = random_bytes(rng)[:300]
        algo = rng.choice(["md5", "sha1", "sha256", "sha384", "sha512"])
        return "checksum/with %s '%s %s" % (kb, algo, kel_binary(key)), \
            kel_binary(hmac.new(key, data, algo).digest())
    if method in ("md5", "sha1", "sha256", "sha384", "sha512"):
        return "checksum %s '%s" % (kb, method), kel_binary(hashlib.new(method, data).digest())
    base = rng.choice([2, 16, 58, 64])
    if base == 58:
        data = data[:200]
        kb = kel_binary(data)
    if base == 2:
        data = data[:4000]
        kb = kel_binary(data)
    text = encode_base(data, base)
    if method == "enbase":
        return "enbase/base %s %d" % (kb, base), '"%s"' % text if len(text) < 50 else None
    if base == 16 and rng.random() < 0.5:
        text = text.lower()
    if base == 64 and rng.random() < 0.3:
        text = "\n".join(text[i:i + 76] for i in range(0, len(text), 76))
    return "debase/base {%s} %d" % (text, base), kel_binary(data)


def enbase_text_case(rng):
    """enbase of long data: compared through its length and a checksum."""
    data = random_bytes(rng)
    base = rng.choice([2, 16, 64, 58])
    if base == 58:
        data = data[:300]
    if base == 2:
        data = data[:8000]
    text = encode_base(data, base)
    return "t: enbase/base %s %d reduce [length? t checksum t 'crc32]" % (kel_binary(data), base), \
        "[%d %d]" % (len(text), to_i32(zlib.crc32(text.encode())))


# --- time!, text to number, money with numbers -------------------------------------

def mold_time_fraction(sec):
    """Text of a time as mold/all writes it: h:mm:ss with the seconds' fraction
    at 6 significant digits, or at the fewest past them that read back."""
    sign = "-" if sec < 0 else ""
    sec = abs(sec)
    h = int(sec // 3600)
    m = int(math.fmod(sec, 3600) // 60)
    s = math.fmod(sec, 60)
    if s < 0.000001:
        stext = "00"
    else:
        for digits in range(6, 18):
            stext = "%.*g" % (digits, s)
            if h * 3600 + m * 60 + float(stext) == sec:
                break
        if "e" in stext:
            return None
        if "." in stext:
            stext = stext.rstrip("0").rstrip(".")
        if len(stext) == 1 or stext[1] == ".":
            stext = "0" + stext
    return "%s%d:%02d:%s" % (sign, h, m, stext)


def time_case(rng):
    a = rng.choice([rng.randint(-200000, 200000), rng.randint(0, 86400 * 3) + rng.choice([0, 0.5, 0.25, 0.125])])
    ta = mold_time_fraction(a)
    op = rng.choice(["+", "-", "*", "/", "/t", "%", "negate", "abs", "fields"])
    if op in "+-":
        b = rng.randint(-100000, 100000) + rng.choice([0, 0.5, 0.75])
        r = a + b if op == "+" else a - b
        tb = mold_time_fraction(b)
        want = mold_time_fraction(r)
        return ("(%s) %s (%s)" % (ta, op, tb), want) if want and ta and tb else None
    if op == "*":
        n = rng.choice([2, 3, -1, 0, 10, 1.5, 0.5])
        want = mold_time_fraction(a * n)
        return ("(%s) * %s" % (ta, kel_float(n) if isinstance(n, float) else kel_int(n)), want) if want else None
    if op == "/":
        n = rng.choice([2, 4, -2, 8])
        want = mold_time_fraction(a / n)
        return ("(%s) / %s" % (ta, kel_int(n)), want) if want else None
    if op == "/t":
        b = rng.choice([3600, 60, 1800, -7200, 0.5])
        return "(%s) / (%s)" % (ta, mold_time_fraction(b)), mold_float(a / b)
    if op == "%":
        b = rng.choice([3600, 60, 7200, 86400])
        want = mold_time_fraction(math.fmod(a, b))
        return ("remainder (%s) (%s)" % (ta, mold_time_fraction(b)), want) if want else None
    if op == "negate":
        want = mold_time_fraction(-a) if a else "0:00:00"
        return "negate (%s)" % ta, want
    if op == "abs":
        return "absolute (%s)" % ta, mold_time_fraction(abs(a))
    name = rng.choice(["hour", "minute", "second"])
    if name == "hour":
        want = str(int(a / 3600))
    elif name == "minute":
        want = str(int(math.fmod(abs(a), 3600) // 60))
    else:
        want = mold_float(math.fmod(a, 60.0))
    return "t: %s t/%s" % (ta, name), want


def text_number_case(rng):
    kind = rng.choice(["int", "int", "money", "money-num"])
    if kind == "int":
        n = rng.choice([edge_int(rng), rng.randint(-10**11, 10**11), 2**31, -2**31, -2**31 - 1])
        text = str(n)
        if rng.random() < 0.3 and abs(n) >= 1000:
            digits = str(abs(n))
            parts = []
            while digits:
                parts.insert(0, digits[-3:])
                digits = digits[:-3]
            text = ("-" if n < 0 else "") + "'".join(parts)
        if rng.random() < 0.2:
            text = "+" + text if n >= 0 else text
        want = str(n) if I32_MIN <= n <= I32_MAX else "!bad-to-arg"
        return "to integer! {%s}" % text, want
    if kind == "money":
        q = money_operand(rng)
        cur = rng.choice(["", "USD", "EUR"])
        text = money_text(q, cur)
        return "to money! {%s}" % text, money_text(q, cur)
    # money with an integer or float operand
    a = money_operand(rng)
    x = rng.choice([rng.randint(-10**6, 10**6), round(rng.uniform(-1e6, 1e6), rng.randint(0, 8))])
    op = rng.choice(["+", "-", "*"])
    left = rng.random() < 0.5
    if isinstance(x, float):
        d = shortest_decimal(x)
        if abs(x) >= 1e17 or (x != 0 and abs(x) < 1e-5):
            return None
        xd = d.quantize(UNIT, rounding=decimal.ROUND_DOWN)
        kx = kel_float(x)
    else:
        xd = D(x)
        kx = kel_int(x)
    if op == "+":
        r = a + xd
    elif op == "-":
        r = a - xd if left else xd - a
    else:
        r = (a * xd).quantize(UNIT, rounding=decimal.ROUND_DOWN)
    expr = "%s %s %s" % (kel_money(a), op, kx) if left else "%s %s %s" % (kx, op, kel_money(a))
    if abs(r) >= MONEY_LIMIT:
        return expr, "!type-limit"
    return expr, money_text(r)


def shortest_decimal(x):
    return D(repr(x))


def zoned_date_case(rng):
    d = random_date(rng)
    zone = rng.choice([0, 3600, -3600, 5 * 3600 + 1800, -(9 * 3600 + 2700), 14 * 3600, -12 * 3600, 900])
    local = datetime.datetime(d.year, d.month, d.day) + datetime.timedelta(seconds=rng.randint(0, 86399))
    secs = local.hour * 3600 + local.minute * 60 + local.second
    lit = mold_date(local.date(), secs, zone)
    op = rng.choice(["+days", "-days", "fields", "date-diff", "timezone", "utc"])
    if op in ("+days", "-days"):
        n = rng.randint(-3000, 3000)
        try:
            r = local + datetime.timedelta(days=n if op == "+days" else -n)
        except OverflowError:
            return None
        if r.year < 100 or r.year > 9999:
            return None
        return "%s %s %s" % (lit, "+" if op == "+days" else "-", kel_int(n)), mold_date(r.date(), secs, zone)
    if op == "fields":
        name = rng.choice(["hour", "minute", "second", "weekday", "yearday", "zone", "time", "date"])
        want = {"hour": str(local.hour), "minute": str(local.minute), "second": mold_float(float(local.second)),
                "weekday": str(local.isoweekday()), "yearday": str(local.timetuple().tm_yday),
                "zone": mold_time(zone), "time": mold_time(secs), "date": mold_date(local.date())}[name]
        return "d: %s d/%s" % (lit, name), want
    if op == "date-diff":
        e = random_date(rng)
        return "%s - %s" % (mold_date(local.date()), mold_date(e)), str((local.date() - e).days)
    new_zone = rng.choice([0, 7200, -18000, 3600 * 10 + 2700])
    zt = mold_time(new_zone)
    if op == "timezone":
        try:
            moved = local - datetime.timedelta(seconds=zone) + datetime.timedelta(seconds=new_zone)
        except OverflowError:
            return None
        if moved.year < 100 or moved.year > 9999:
            return None
        return "d: %s d/timezone: %s d" % (lit, zt), \
            mold_date(moved.date(), moved.hour * 3600 + moved.minute * 60 + moved.second, new_zone)
    return "d: %s d/zone: %s d" % (lit, zt), mold_date(local.date(), secs, new_zone)


def pair_case(rng):
    x, y = rng.randint(-1000, 1000), rng.randint(-1000, 1000)
    op = rng.choice(["/", "%", "and", "or", "xor", "negate", "abs", "min", "max", "round"])
    n = rng.choice([rng.randint(-20, 20), 0, 3, 7])
    if op in ("/", "%"):
        expr = "%dx%d %s %s" % (x, y, op, kel_int(n))
        if n == 0:
            return expr, "!zero-divide"
        if op == "/":
            return expr, "%dx%d" % (trunc_div(x, n), trunc_div(y, n))
        return expr, "%dx%d" % (x - trunc_div(x, n) * n, y - trunc_div(y, n) * n)
    if op in ("and", "or", "xor"):
        f = {"and": lambda a: a & n, "or": lambda a: a | n, "xor": lambda a: a ^ n}[op]
        return "%dx%d %s %s" % (x, y, op, kel_int(n)), "%dx%d" % (f(x), f(y))
    if op == "negate":
        return "negate %dx%d" % (x, y), "%dx%d" % (-x, -y)
    if op == "abs":
        return "absolute %dx%d" % (x, y), "%dx%d" % (abs(x), abs(y))
    if op in ("min", "max"):
        f = min if op == "min" else max
        return "%s %dx%d %s" % (op, x, y, kel_int(n)), "%dx%d" % (f(x, n), f(y, n))
    s = rng.choice([2, 5, 10, 3])
    mode = rng.choice(ROUND_MODES)
    return "round/to%s %dx%d %d" % ("/" + mode if mode else "", x, y, s), \
        "%sx%s" % (int_round(x, s, mode), int_round(y, s, mode))


AREAS = {
    "integer": integer_case,
    "float": float_case,
    "money": money_case,
    "date": date_case,
    "mixed": mixed_case,
    "codec": codec_case,
    "enbase": enbase_text_case,
    "time": time_case,
    "text": text_number_case,
    "zoned": zoned_date_case,
    "pair": pair_case,
}


# --- the runner --------------------------------------------------------------------

def make_cases(seed, count, areas):
    rng = random.Random(seed)
    cases = []
    while len(cases) < count:
        area = rng.choice(areas)
        case = AREAS[area](rng)
        if case is None or case[1] is None:
            continue
        cases.append(case)
    return cases


def run_kel(kel, cases):
    script = "\n".join(PRELUDE + ["emit [%s]" % expr for expr, _ in cases]) + "\n"
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    with tempfile.NamedTemporaryFile("w", suffix=".kel", prefix="kel-oracle-", delete=False,
                                     encoding="utf-8") as f:
        f.write(script)
        path = f.name
    try:
        p = subprocess.run([kel, path], capture_output=True, text=True, env=env, stdin=subprocess.DEVNULL,
                           timeout=600)
    finally:
        os.unlink(path)
    return p


LITERAL_WORDS = re.compile(r"#\((true|false|none|[A-Za-z0-9-]+!)\)")


def same(got, want):
    # mold/all writes logic values and datatypes in their construction form
    got = LITERAL_WORDS.sub(r"\1", got)
    if got == want:
        return True
    # a long string molds in braces
    return got.startswith("{") and got.endswith("}") and want.startswith('"') and got[1:-1] == want[1:-1]


def shorten(text, limit=240):
    return text if len(text) <= limit else text[:limit // 2] + " ... " + text[-limit // 2:]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("kel")
    ap.add_argument("--seeds", default="1")
    ap.add_argument("--count", type=int, default=2000)
    ap.add_argument("--areas", default=",".join(AREAS))
    ap.add_argument("--shown", type=int, default=30)
    args = ap.parse_args()
    lo, _, hi = args.seeds.partition(":")
    seeds = range(int(lo), int(hi or lo) + 1)
    areas = args.areas.split(",")
    passed = failed = shown = 0
    for seed in seeds:
        cases = make_cases(seed, args.count, areas)
        p = run_kel(args.kel, cases)
        lines = p.stdout.splitlines()
        if len(lines) != len(cases):
            print("seed %d: kel printed %d lines for %d cases (exit %d): %s"
                  % (seed, len(lines), len(cases), p.returncode, p.stderr.strip()[:500]))
        for i, (expr, want) in enumerate(cases):
            got = lines[i] if i < len(lines) else "<nothing>"
            if same(got, want):
                passed += 1
                continue
            failed += 1
            if shown < args.shown:
                shown += 1
                print("seed %d: %s\n    kel:    %s\n    oracle: %s" % (seed, shorten(expr), shorten(got), shorten(want)))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
