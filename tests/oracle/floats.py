#!/usr/bin/python3
"""float! text and integer! edges against Python: mold of generated doubles
(random bit patterns, short decimals, integers, powers of ten at the
notation bounds) against the shortest round-trip digits of repr, load of the
molded text back to the same bits, form against the printf rule with the
pretty retry, integer + - * overflowing into float!, to integer! of floats
and text at the 32-bit edges, and round with each refinement against
decimal's rounding of the exact binary value.

usage: floats.py KEL_BINARY [SEED]"""
import decimal
import math
import random
import struct
import sys
from decimal import Decimal

from oracle import run
import series_text  # noqa: E402  (tests/kel, on the path oracle sets)

decimal.getcontext().prec = 400
I32_MIN, I32_MAX = -2 ** 31, 2 ** 31 - 1


def bits_of(x):
    return struct.pack(">d", x).hex().upper()


def from_bits(x):
    """The double as an expression that bypasses the lexer's reading."""
    return "to float! #{%s}" % bits_of(x)


def shortest(x):
    """(digits, e) with x = 0.d1d2..dn x 10^e, no trailing zeros."""
    t = Decimal(repr(abs(x))).as_tuple()
    digits = "".join(map(str, t.digits)).rstrip("0") or "0"
    stripped = len(t.digits) - len("".join(map(str, t.digits)).rstrip("0"))
    return digits, t.exponent + stripped + len(digits)


def mold(x):
    if math.isnan(x):
        return "1.#NaN"
    if math.isinf(x):
        return "1.#INF" if x > 0 else "-1.#INF"
    sign = "-" if math.copysign(1, x) < 0 else ""
    if x == 0:
        return sign + "0.0"
    d, e = shortest(x)
    n = len(d)
    if e > 17 or e < -6:
        text = d[0] + "." + d[1:] + "e" + str(e - 1)
    elif e <= 0:
        text = "0." + "0" * -e + d
    elif n <= e:
        text = d + "0" * (e - n) + "."
    else:
        text = d[:e] + "." + d[e:]
    if text.endswith(".") or ".e" in text:
        text = text.replace(".e", ".0e") if ".e" in text else text + "0"
    return sign + text


def g_format(x, prec):
    """printf's %.<prec>g of x, but an exact tie rounds away from zero (the
    formatter's rule, which C libraries differ on)."""
    if x == 0:
        return "-0" if math.copysign(1, x) < 0 else "0"
    d = Decimal(x)
    sign = "-" if d < 0 else ""
    d = abs(d)
    e = d.adjusted()
    q = d.scaleb(-e).quantize(Decimal(1).scaleb(-(prec - 1)), rounding=decimal.ROUND_HALF_UP)
    if q >= 10:
        e += 1
        q = d.scaleb(-e).quantize(Decimal(1).scaleb(-(prec - 1)), rounding=decimal.ROUND_HALF_UP)
    digits = "".join(map(str, q.as_tuple().digits)).ljust(prec, "0")[:prec].rstrip("0") or "0"
    if e < -4 or e >= prec:
        text = digits[0] + ("." + digits[1:] if len(digits) > 1 else "") + "e" + str(e)
    elif e >= 0:
        whole = digits[:e + 1].ljust(e + 1, "0")
        text = whole + ("." + digits[e + 1:] if len(digits) > e + 1 else "")
    else:
        text = "0." + "0" * (-e - 1) + digits
    return sign + text


def pretty_g(x, precision):
    """%.<precision>g, retried at 14 digits when the text is long and ends in
    01 or 99 (float noise)."""
    text = g_format(x, precision)
    mant = text.split("e")[0]
    digits = mant.lstrip("-")
    long_plain = "e" not in text and (len(text) > 17 if digits.startswith("0") else len(text) > 16)
    if (long_plain or ("e" in text and len(mant) > 16)) and mant[-2:] in ("01", "99"):
        text = g_format(x, 14)
    return text


def form(x):
    """float! form: %.16g, the pretty retry, a point added when missing."""
    if math.isnan(x):
        return "1.#NaN"
    if math.isinf(x):
        return "1.#INF" if x > 0 else "-1.#INF"
    if abs(x) < 2.220446049250313e-16:
        return "0.0"
    text = pretty_g(x, 16)
    if "." not in text:
        text = text.replace("e", ".0e") if "e" in text else text + ".0"
    return text


def rand_double(rng):
    kind = rng.randrange(7)
    if kind == 0:
        while True:
            x = struct.unpack(">d", rng.getrandbits(64).to_bytes(8, "big"))[0]
            if math.isfinite(x):
                return x
    if kind == 1:
        return float("%.*g" % (rng.randint(1, 15), rng.uniform(-1e6, 1e6)))
    if kind == 2:
        return float(rng.randint(-2 ** 53, 2 ** 53))
    if kind == 3:
        return rng.choice([1, -1]) * 10.0 ** rng.randint(-9, 20) * rng.choice([1, 1.5, 9.999999999999999, 0.999])
    if kind == 4:
        return rng.uniform(-1, 1) * 10.0 ** rng.randint(-320, 308)
    if kind == 5:
        return rng.choice([5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.1, 1 / 3, 2 / 3,
                           1e16, 1e17, 1e-7, 1.5e-7, 1.5e-8, 123.456, 9007199254740993.0, 0.3])
    return rng.random()


def kel_literal(x):
    """repr as a Kel literal (no "+" in the exponent)."""
    return repr(x).replace("e+", "e")


def rounding(x, mode, scale):
    """round of the exact value of x at a power-of-two scale (x / scale is
    then exact, so the tie test of the float algorithm is exact too)."""
    q = Decimal(x) / Decimal(scale)
    modes = {"": decimal.ROUND_HALF_UP, "even": decimal.ROUND_HALF_EVEN, "down": decimal.ROUND_DOWN,
             "half-down": decimal.ROUND_HALF_DOWN, "floor": decimal.ROUND_FLOOR,
             "ceiling": decimal.ROUND_CEILING}
    if mode == "half-ceiling":
        lo = q.to_integral_value(decimal.ROUND_FLOOR)
        r = lo + 1 if q - lo >= Decimal("0.5") else lo
        if r == 0 and q < 0:
            r = Decimal("-0")
    else:
        r = q.quantize(Decimal(1), rounding=modes[mode])
    return float(r * Decimal(scale))


def int_round(a, s, mode):
    v, r = abs(a), abs(a) % s
    if r == 0:
        return a
    down, up = v - r, v + (s - r)
    neg = a < 0
    if mode == "down":
        pick = down
    elif mode == "floor":
        pick = up if neg else down
    elif mode == "ceiling":
        pick = down if neg else up
    elif r < s - r:
        pick = down
    elif r > s - r:
        pick = up
    elif mode == "even":
        pick = up if (v // s) % 2 else down
    elif mode == "half-down":
        pick = down
    elif mode == "half-ceiling":
        pick = down if neg else up
    else:
        pick = up
    if pick > I32_MAX:
        return None
    return -pick if neg else pick


def decimal_text(rng):
    """Decimal text of many kinds: long digit strings (past the 40 digits
    the reader cuts), halfway cases between doubles, exponents at the
    ends of the range, apostrophes and a comma for the point."""
    kind = rng.randrange(5)
    if kind == 0:
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 60)))
        k = rng.randint(0, len(digits))
        return digits[:k] + "." + (digits[k:] or "0") + ("e%d" % rng.randint(-340, 320) if rng.random() < 0.5 else "")
    if kind == 1:
        # the exact halfway point between two adjacent doubles
        x = min(abs(rand_double(rng)) or 1.0, 1e308)
        mid = (Decimal(x) + Decimal(math.nextafter(x, math.inf))) / 2
        return format(mid, "f") if abs(mid.adjusted()) < 25 else format(mid, "e").replace("e+", "e")
    if kind == 2:
        return "%d.%de%d" % (rng.randint(1, 9), rng.randint(0, 10 ** 17), rng.choice([-324, -323, -308, -307, 308, 309, -400, 400]))
    if kind == 3:
        x = rand_double(rng)
        return repr(x if math.isfinite(x) else 1.5).replace("e+", "e")
    return "%d'%03d.%d" % (rng.randint(1, 999), rng.randint(0, 999), rng.randint(0, 99999))


def parse(text):
    return float(text.replace("'", "").replace(",", "."))


def cceil(v):
    """C's ceil: a negative value above -1 gives -0.0."""
    r = float(math.ceil(v))
    return -0.0 if r == 0 and v < 0 else r


def round_model(x, scale, mode):
    """float! round at a decimal scale, step by step as the float type
    computes it (the quotient is rounded, so a near tie may count as one)."""
    s = abs(scale)
    if s < abs(x) * 2.0 ** -53:
        return x
    n = x / s if s >= 1.0 else x * (1 / s)
    a = abs(n)
    if mode == "down":
        d = math.copysign(math.floor(a), n)
    elif mode == "floor":
        d = float(math.floor(n))
    elif mode == "ceiling":
        d = cceil(n)
    else:
        m = math.floor(a) + 0.5
        if a > m:
            d = math.ceil(a)
        elif a < m:
            d = math.floor(a)
        elif mode == "even":
            d = math.ceil(a) if math.fmod(a, 2.0) >= 1.0 else math.floor(a)
        elif mode == "half-down":
            d = math.floor(a)
        elif mode == "half-ceiling":
            d = cceil(n)
        else:
            d = math.ceil(a)
        if mode != "half-ceiling" or a != m:
            d = math.copysign(d, n)
    return d * s if s >= 1.0 else d / (1 / s)


# Kel's `=` on floats (the model tests/kel/series_text.py checks it with).
almost_equal = series_text.kel_equal


def percent_form(x):
    """percent! form: the value times 100 by %.13g, "%" appended."""
    v = x * 100
    if abs(v) < 2.220446049250313e-16:
        return "0%"
    text = pretty_g(v, 13)
    return text + "%"


def cases(rng, n):
    out = []
    for _ in range(n):
        x = rand_double(rng)
        out.append(("mold %s" % from_bits(x), '"%s"' % mold(x)))
        out.append(("(load mold %s) == %s" % (from_bits(x), from_bits(x)), "true"))
        out.append(("mold %s" % kel_literal(x), '"%s"' % mold(x)))
        out.append(("form %s" % from_bits(x), '"%s"' % form(x)))
        out.append(("to string! %s" % from_bits(x), '"%s"' % form(x)))
        out.append(('mold to float! "%s"' % repr(x), '"%s"' % mold(x)))

        # integer arithmetic overflowing into float!
        a = rng.choice([rng.randint(I32_MIN, I32_MAX), rng.choice([I32_MIN, I32_MAX, -1, 1, 0, 65536, 46341])])
        b = rng.choice([rng.randint(I32_MIN, I32_MAX), rng.randint(-70000, 70000), rng.choice([I32_MIN, I32_MAX, 1, -1])])
        for op, exact in (("+", a + b), ("-", a - b), ("*", a * b)):
            if I32_MIN <= exact <= I32_MAX:
                want = str(exact)
            else:
                want = mold({"+": float(a) + float(b), "-": float(a) - float(b), "*": float(a) * float(b)}[op])
            out.append(("%d %s %d" % (a, op, b), want))

        # to integer! at the 32-bit edges
        f = rng.choice([rng.uniform(-3e9, 3e9), rng.choice([2147483647.0, 2147483647.9, 2147483648.0,
                                                            -2147483648.0, -2147483648.5, -2147483649.0,
                                                            -0.9, 0.9, 1e300, -1e300])])
        want = str(math.trunc(f)) if -2147483648.0 <= f <= 2147483647.0 else "!type-limit"
        out.append(("to integer! %s" % from_bits(f), want))
        t = rng.choice([rng.randint(-2 ** 33, 2 ** 33), rng.choice([I32_MAX, I32_MIN, I32_MAX + 1, I32_MIN - 1,
                                                                    10 * I32_MIN])])
        out.append(('to integer! "%d"' % t, str(t) if I32_MIN <= t <= I32_MAX else "!bad-to-arg"))
        grouped = "{:,}".format(abs(t)).replace(",", "'")
        sign = rng.choice(["", "+"]) if t >= 0 else "-"
        out.append(('to integer! "%s%s"' % (sign, grouped), str(t) if I32_MIN <= t <= I32_MAX else "!bad-to-arg"))
        out.append(('to integer! "%d%s"' % (t, rng.choice(["a", " ", ".5", "e2"])), "!bad-to-arg"))

        # equality within ten units in the last place
        u = rand_double(rng)
        k = rng.randint(-12, 12)
        v = u
        for _ in range(abs(k)):
            v = math.nextafter(v, math.inf if k > 0 else -math.inf)
        if math.isfinite(v):
            out.append(("(%s) = (%s)" % (from_bits(u), from_bits(v)), "true" if almost_equal(u, v) else "false"))
            out.append(("(%s) == (%s)" % (from_bits(u), from_bits(v)), "true" if u == v else "false"))
            out.append(("(%s) < (%s)" % (from_bits(u), from_bits(v)), "true" if u < v else "false"))
        if math.isfinite(x * 100):
            out.append(("form to percent! %s" % from_bits(x), '"%s"' % percent_form(x)))

        # binaries: the first bytes as a big-endian number, fewer bytes
        # filling the low-order end
        raw = bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 10)))
        bits = int.from_bytes(raw[:8], "big")
        out.append(("mold to float! #{%s}" % raw.hex().upper(),
                    '"%s"' % mold(struct.unpack(">d", bits.to_bytes(8, "big"))[0])))
        word = int.from_bytes(raw[:4], "big")
        out.append(("to integer! #{%s}" % raw.hex().upper(), str(word - (1 << 32) if word >= 1 << 31 else word)))

        # a block of mantissa and exponent: mantissa x 10^exponent
        mant = rng.choice([float(rng.randint(-999, 999)), rng.uniform(-10, 10), rand_double(rng)])
        ex = rng.choice([rng.randint(-30, 30), rng.randint(-340, 320)])
        try:
            scaled = mant * math.pow(10.0, ex)
        except OverflowError:
            scaled = math.copysign(math.inf, mant)
        out.append(("mold to float! reduce [%s %d]" % (from_bits(mant).join("()"), ex), '"%s"' % mold(scaled)))

        # integers from issues (hexadecimal, at most eight digits) and times
        hx = "".join(rng.choice("0123456789abcdefABCDEF") for _ in range(rng.randint(1, 10)))
        hv = int(hx, 16)
        out.append(("to integer! #%s" % hx, str(hv - (1 << 32) if hv >= 1 << 31 else hv) if len(hx) <= 8 else "!invalid-data"))
        secs = rng.choice([rng.uniform(-1e6, 1e6), rng.randint(-1000, 1000) + 0.5, rng.randint(-10 ** 6, 10 ** 6)])
        out.append(("to integer! to time! %s" % from_bits(float(secs)), str(math.trunc(float(secs) + 0.5))))

        # round of the exact value
        r = rng.choice([rng.uniform(-1000, 1000), rng.randint(-1000, 1000) + 0.5,
                        rng.randint(-100, 100) / 4, rng.uniform(-1e15, 1e15)])
        for mode in ("", "even", "down", "half-down", "floor", "ceiling", "half-ceiling"):
            scale = rng.choice([1, 1, 2, 0.5, 0.25, 4])
            ref = "/" + mode if mode else ""
            if scale == 1 and rng.random() < 0.5:
                out.append(("round%s %s" % (ref, from_bits(r)), mold(rounding(r, mode, 1))))
            else:
                out.append(("round%s/to %s %s" % (ref, from_bits(r), repr(float(scale))),
                            mold(rounding(r, mode, scale))))
            ia = rng.choice([rng.randint(-100000, 100000), rng.randint(I32_MIN + 1, I32_MAX)])
            s = rng.choice([rng.randint(1, 20), 10, 100, rng.randint(1, 100000)])
            got = int_round(ia, s, mode)
            out.append(("round%s/to %d %d" % (ref, ia, s), "!overflow" if got is None else str(got)))
        t = decimal_text(rng)
        want = parse(t)
        # texts of 313 characters or more are refused whole
        long_text = len(t) >= 313
        out.append(('to float! "%s"' % t, "!bad-to-arg" if long_text else mold(want)))
        if "'" not in t and not long_text:
            out.append(("mold %s" % t, '"%s"' % mold(want)))
        c = t.replace(".", ",", 1)
        out.append(('to float! "%s"' % c, "!bad-to-arg" if long_text else mold(want)))

        v = rng.choice([rng.uniform(-1000, 1000), rng.randint(-100000, 100000) / 1000, rng.uniform(-1e9, 1e9)])
        sc = rng.choice([0.01, 0.1, 0.001, 0.05, 3.0, 10.0, 0.3, 1e-5, 1e5])
        mode = rng.choice(["", "even", "down", "half-down", "floor", "ceiling", "half-ceiling"])
        out.append(("round%s/to %s %r" % ("/" + mode if mode else "", from_bits(v), sc),
                    mold(round_model(v, sc, mode))))
        w = rng.choice([rand_double(rng), rng.uniform(-10, 10), float(rng.randint(-9, 9))])
        z = rng.choice([rand_double(rng), rng.uniform(-3, 3), float(rng.randint(-4, 4)), math.inf])
        fm = math.nan if z == 0 else math.fmod(w, z) if math.isfinite(z) else w
        out.append(("mold remainder %s %s" % (from_bits(w), from_bits(z)), '"%s"' % mold(fm)))
    return out


def main():
    return run(cases, 3000)


if __name__ == "__main__":
    sys.exit(main())
