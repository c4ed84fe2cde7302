#!/usr/bin/python3
"""money! arithmetic, rounding and text against Python's decimal module on
generated amounts (up to 17 integer and 5 fraction digits, of every length).

One Kel script holds every case as a line that prints its outcome (the molded
value, or "!" and the error id); the expected lines come from decimal with
the rules the money type keeps: products and quotients cut to five fraction
digits (ROUND_DOWN), a remainder with the dividend's sign, and a magnitude of
10**17 or more is `type-limit`. Divisions stay out of the band the divide's
digit-count pre-check refuses (the Kel tables have rows for it).

usage: money_decimal.py KEL_BINARY [CASES_PER_KIND] [SEED]"""
import decimal
import random
import sys
from decimal import Decimal

import kel_script

decimal.getcontext().prec = 80
UNIT = Decimal("0.00001")
LIMIT = Decimal(10) ** 17


def amount(rng, max_int_digits=17):
    """A random amount: a random count of integer digits, five fraction
    digits (some of them zero), a random sign."""
    n = rng.randint(0, max_int_digits)
    whole = rng.randint(10 ** (n - 1), 10 ** n - 1) if n else 0
    frac = rng.choice([0, rng.randint(0, 99999), rng.randint(0, 9) * 10000, 50000])
    v = Decimal(whole) + Decimal(frac) * UNIT
    return -v if rng.random() < 0.5 else v


def small_decimal(rng):
    """A float-literal-safe decimal: at most 15 significant digits, at most
    five after the point, so its shortest float text is itself."""
    frac_digits = rng.randint(0, 5)
    total = rng.randint(max(1, frac_digits), 15)
    digits = rng.randint(1, 10 ** total - 1)
    v = Decimal(digits).scaleb(-frac_digits)
    return -v if rng.random() < 0.5 else v


def significant(v):
    a = int(abs(v) / UNIT)
    return max(1, len(str(a))) if a else 1


def mold_all(v):
    v = v.quantize(UNIT)
    sign = "-" if v < 0 else ""
    whole, frac = divmod(abs(v), 1)
    return "%s$%d.%05d" % (sign, int(whole), int(frac / UNIT))


def form_grouped(v):
    v = v.quantize(UNIT)
    sign = "-" if v < 0 else ""
    whole, frac = divmod(abs(v), 1)
    return '"%s$%s.%02d"' % (sign, "{:,}".format(int(whole)).replace(",", "'"), int(frac / UNIT) // 1000)


def literal(v):
    return mold_all(v)


def money_result(v):
    if abs(v) >= LIMIT:
        return "!type-limit"
    return '"%s"' % mold_all(v)


def cut(v):
    return v.quantize(UNIT, rounding=decimal.ROUND_DOWN)


def rounded(v, scale, mode):
    """round/<mode>/to v scale as the money type defines it."""
    if v == 0:
        return v
    neg = v < 0
    m = abs(v)
    rem = m % scale
    if rem == 0:
        return v
    down, up = m - rem, m - rem + scale
    tie = rem * 2 == scale
    nearest = up if rem * 2 >= scale else down
    if mode == "down":
        r = down
    elif mode == "floor":
        r = up if neg else down
    elif mode == "ceiling":
        r = down if neg else up
    elif mode == "even":
        units = int(m) % 10
        r = (down if units % 2 == 0 else up) if tie else nearest
    elif mode == "half-down":
        r = down if tie else nearest
    elif mode == "half-ceiling":
        r = (down if neg else up) if tie else nearest
    else:
        r = nearest
    return -r if neg else r


def decimal_round(v, scale, mode):
    """The same through decimal's own rounding modes where they agree."""
    modes = {"": decimal.ROUND_HALF_UP, "down": decimal.ROUND_DOWN, "floor": decimal.ROUND_FLOOR,
             "ceiling": decimal.ROUND_CEILING, "half-down": decimal.ROUND_HALF_DOWN}
    if mode == "half-ceiling":
        modes[mode] = decimal.ROUND_HALF_UP if v > 0 else decimal.ROUND_HALF_DOWN
    if mode == "even":
        modes[mode] = decimal.ROUND_HALF_EVEN
    q = (v / scale).quantize(Decimal(1), rounding=modes[mode])
    return q * scale


def cases(rng, n):
    out = []  # (kel expression, expected line)
    for _ in range(n):
        a, b = amount(rng), amount(rng)
        out.append(("mold/all %s + %s" % (literal(a), literal(b)), money_result(a + b)))
        out.append(("mold/all %s - %s" % (literal(a), literal(b)), money_result(a - b)))
        # multiply: a money by a float whose text is exact
        f = small_decimal(rng)
        out.append(("mold/all %s * %s" % (literal(a), f), money_result(cut(a * f))))
        out.append(("mold/all %s * %s" % (f, literal(a)), money_result(cut(a * f))))
        # divide and remainder, outside the pre-check's band
        for _ in range(20):
            b = amount(rng)
            if b != 0 and significant(a) - significant(b) + 6 <= 22:
                break
        else:
            continue
        q = cut(a / b)
        out.append(("mold/all %s %% %s" % (literal(a), literal(b)),
                    '"%s"' % mold_all(a - b * int(a / b))))
        if abs(q) < LIMIT:
            out.append(("%s / %s" % (literal(a), literal(b)), "~%r" % float(q)))
        else:
            out.append(("%s / %s" % (literal(a), literal(b)), "!type-limit"))
        # a money by a money's float twin gives a money
        if significant(b) <= 15:
            fb = b.normalize()
            if abs(fb) >= UNIT:
                text = format(fb, "f")
                if "." not in text:
                    text += ".0"
                out.append(("mold/all %s / %s" % (literal(a), text), money_result(q)))
        # text: the literal, mold, form and to
        out.append(("mold/all %s" % literal(a), '"%s"' % mold_all(a)))
        out.append(("form %s" % literal(a), form_grouped(a)))
        out.append(('mold/all to money! "%s"' % form_grouped(a)[1:-1], '"%s"' % cut2(a)))
        out.append(('(do mold/all %s) == %s' % (literal(a), literal(a)), "true"))
    # rounding at three scales with every refinement
    for _ in range(n):
        v = amount(rng, 15)
        for scale_text, scale in (("$1", Decimal(1)), ("$0.05", Decimal("0.05")), ("$5", Decimal(5))):
            for mode in ("", "down", "floor", "ceiling", "even", "half-down", "half-ceiling"):
                expr = "mold/all round%s/to %s %s" % ("/" + mode if mode else "", literal(v), scale_text)
                ours = rounded(v, scale, mode)
                if mode != "even" or scale == 1:
                    assert ours == decimal_round(v, scale, mode), (v, scale, mode)
                out.append((expr, '"%s"' % mold_all(ours)))
    return out


def cut2(v):
    """form shows two fraction digits, cut: what reading the form back gives."""
    return mold_all(v.quantize(Decimal("0.01"), rounding=decimal.ROUND_DOWN))


def main():
    kel = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 400
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 20240607
    rng = random.Random(seed)
    table = cases(rng, n)
    def same(line, want):
        if not want.startswith("~"):
            return line == want
        try:
            return float(line) == float(want[1:])
        except ValueError:
            return False

    failed = kel_script.emit_table(kel, table, same)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
