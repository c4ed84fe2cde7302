#!/usr/bin/python3
"""money! against Python's decimal on generated amounts, for what the
arithmetic oracle of tests/kel/money_decimal.py leaves out: the ordering and
equality comparisons of amounts (with integers and floats as the other
operand), sums and differences with currencies, to money! of floats (with
more than five fraction digits refused), to integer! at the 32-bit edges,
to float!, round with each refinement and no scale, and form with the
currency code and separators. The rules stand in the docstrings: products
cut to five fraction digits, 10**17 or more is type-limit.

usage: money.py KEL_BINARY [SEED]"""
import decimal
import random
import sys
from decimal import Decimal

from oracle import run
import money_decimal  # noqa: E402  (tests/kel, on the path oracle sets)

decimal.getcontext().prec = 80
UNIT = Decimal("0.00001")
LIMIT = Decimal(10) ** 17
CODES = ["USD", "EUR", "CHF", "JPY"]


def amount(rng, digits=17):
    n = rng.randint(0, digits)
    whole = rng.randint(10 ** (n - 1), 10 ** n - 1) if n else 0
    frac = rng.choice([0, rng.randint(0, 99999), 50000, rng.randint(0, 9) * 10000])
    v = Decimal(whole) + Decimal(frac) * UNIT
    return -v if rng.random() < 0.5 else v


def mold_all(v, code=""):
    v = v.quantize(UNIT)
    sign = "-" if v < 0 else ""
    whole, frac = divmod(abs(v), 1)
    return "%s%s$%d.%05d" % (sign, code, int(whole), int(frac / UNIT))


def mold(v, code=""):
    """mold without /all: two fraction digits, the rest cut off."""
    v = v.quantize(UNIT)
    sign = "-" if v < 0 else ""
    whole, frac = divmod(abs(v), 1)
    return "%s%s$%d.%02d" % (sign, code, int(whole), int(frac / UNIT) // 1000)


def form(v, code=""):
    v = v.quantize(UNIT)
    sign = "-" if v < 0 else ""
    whole, frac = divmod(abs(v), 1)
    return "%s%s$%s.%02d" % (sign, code, "{:,}".format(int(whole)).replace(",", "'"), int(frac / UNIT) // 1000)


def sgn(x):
    return (x > 0) - (x < 0)


def round_none(v, mode):
    """round with no scale ($1), as the money type defines each mode (the
    model tests/kel/money_decimal.py states for any scale)."""
    return money_decimal.rounded(v, Decimal(1), mode)


def result(v, code=""):
    return "!type-limit" if abs(v) >= LIMIT else '"%s"' % mold_all(v, code)


def money_text(rng):
    """A money text and the amount it reads as (None when refused): a sign,
    a currency code, "$", digits grouped with apostrophes, a fraction (more
    than five digits refused), and one flaw now and then."""
    sign = rng.choice(["", "", "-", "+"])
    code = rng.choice(["", "", "USD", "EUR", "XQZ"])
    whole = str(rng.randint(0, 10 ** rng.randint(0, 17) - 1))
    if rng.random() < 0.5:
        grouped = "{:,}".format(int(whole)).replace(",", "'")
    else:
        grouped = whole
    frac = "".join(rng.choice("0123456789") for _ in range(rng.choice([0, 1, 2, 5, 7])))
    body = grouped + ("." + frac if frac else "")
    dollar = "$" if code or rng.random() < 0.7 else ""
    flaw = rng.choice([None] * 6 + ["''", "'$", "'end", ".'", "$.", "..", "x"])
    ok = code != "XQZ"
    if flaw == "''" and "'" in body:
        body = body.replace("'", "''", 1)
        ok = False
    elif flaw == "'$":
        body = "'" + body
        ok = False
    elif flaw == "'end":
        body = body + "'"
        ok = False
    elif flaw == ".'" and frac:
        body = body.replace(".", ".'", 1)
        ok = False
    elif flaw == "$.":
        body = "." + body.split(".")[-1] if frac else "." + body
        ok = False
    elif flaw == ".." and frac:
        body = body + "." + frac
        ok = False
    elif flaw == "x":
        body = body + "x"
        ok = False
    text = sign + code + dollar + body
    # as in a literal, at most five fraction digits
    if len(frac) > 5:
        ok = False
    if not ok:
        return text, None
    digits_int = body.split(".")[0].replace("'", "")
    frac_digits = body.split(".")[1] if "." in body else ""
    v = Decimal(int(digits_int)) + (Decimal(int(frac_digits[:5].ljust(5, "0"))) * UNIT if frac_digits else 0)
    return text, (-v if sign == "-" else v, code)


def cases(rng, n):
    out = []
    for _ in range(n):
        a, b = amount(rng), amount(rng)
        if rng.random() < 0.2:
            b = a
        for op, fn in (("<", lambda c: c < 0), ("<=", lambda c: c <= 0), (">", lambda c: c > 0),
                       (">=", lambda c: c >= 0), ("=", lambda c: c == 0), ("<>", lambda c: c != 0)):
            out.append(("%s %s %s" % (mold_all(a), op, mold_all(b)), "true" if fn(sgn(a - b)) else "false"))
        i = rng.randint(-2 ** 31, 2 ** 31 - 1)
        out.append(("%s < %d" % (mold_all(a), i), "true" if a < i else "false"))
        out.append(("%d = %s" % (i, mold_all(Decimal(i))), "true"))
        out.append(("sign? %s" % mold_all(a), str(sgn(a))))
        # a float operand with at most five fraction digits and a magnitude
        # in the money range compares as that amount
        g = Decimal(rng.randint(-10 ** 12, 10 ** 12)).scaleb(-rng.randint(0, 5))
        if g != 0 and abs(g) >= UNIT and float(repr(float(g))) == float(g) and Decimal(repr(float(g))) == g:
            out.append(("%s < %r" % (mold_all(a), float(g)), "true" if a < g else "false"))
            out.append(("%r >= %s" % (float(g), mold_all(a)), "true" if g >= a else "false"))
            out.append(("%s = %r" % (mold_all(g), float(g)), "true"))

        # currencies: the second operand's, else the first's
        c1, c2 = rng.choice(CODES), rng.choice(CODES + [""])
        s = a + b
        out.append(("mold/all %s + %s" % (mold_all(a, c1), mold_all(b)), result(s, c1)))
        out.append(("mold/all %s - %s" % (mold_all(a), mold_all(b, c1)), result(a - b, c1)))
        want = ("!wrong-denom" if c2 and c2 != c1 else result(s, c1))
        out.append(("mold/all %s + %s" % (mold_all(a, c1), mold_all(b, c2)), want))
        out.append(("form %s" % mold_all(a, c1), '"%s"' % form(a, c1)))
        # money-digits: an integer is used (capped at 5; none at 0 or less),
        # anything else counts as 2
        shown = rng.choice(["0", "1", "3", "4", "5", "7", "-1", "none", "3.0"])
        q = a.quantize(UNIT)
        whole, frac = divmod(abs(q), 1)
        k = max(0, min(int(shown), 5)) if shown.lstrip("-").isdigit() else 2
        digits = ("%05d" % int(frac / UNIT))[:k]
        want = "%s%s$%d%s" % ("-" if q < 0 else "", c1, int(whole), "." + digits if k else "")
        out.append(("system/options/money-digits: %s r: mold %s system/options/money-digits: 2 r"
                    % (shown, mold_all(a, c1)), '"%s"' % want))
        out.append(("(load mold/all %s) == %s" % (mold_all(a, c1), mold_all(a, c1)), "true"))
        out.append(("mold %s" % mold_all(a, c1), '"%s"' % mold(a, c1)))

        # to money! of a float: at most five fraction digits
        digits = rng.randint(0, 8)
        f = round(rng.uniform(-1e6, 1e6), digits)
        text = repr(f)
        d = Decimal(text)
        if "e" not in text:
            if -d.as_tuple().exponent > 5:
                want = "!bad-make-arg"
            elif 0 < abs(d) < UNIT:
                want = "!bad-make-arg"
            else:
                want = '"%s"' % mold_all(d)
            out.append(("mold/all to money! %s" % text, want))
            out.append(("mold/all $0 + %s" % text, '"%s"' % mold_all(d.quantize(UNIT, rounding=decimal.ROUND_DOWN))
                        if abs(d) >= UNIT or d == 0 else '"%s"' % mold_all(Decimal(0))))

        # to integer! keeps the 32-bit range, fraction dropped
        k = rng.choice([amount(rng, 11), Decimal(2 ** 31 - 1) + Decimal(rng.randint(0, 99999)) * UNIT,
                        Decimal(-2 ** 31) - Decimal(rng.randint(0, 99999)) * UNIT,
                        Decimal(2 ** 31), Decimal(-2 ** 31 - 1)])
        t = int(k)
        out.append(("to integer! %s" % mold_all(k), str(t) if -2 ** 31 <= t < 2 ** 31 else "!type-limit"))
        out.append(("(to float! %s) == %r" % (mold_all(a), float(a.quantize(UNIT))), "true"))

        txt, got = money_text(rng)
        out.append(('mold/all to money! "%s"' % txt,
                    "!bad-to-arg" if got is None else '"%s"' % mold_all(got[0], got[1])))

        for mode in ("", "even", "down", "half-down", "floor", "ceiling", "half-ceiling"):
            v = rng.choice([a, Decimal(rng.randint(-99, 99)) + Decimal("0.5"), amount(rng, 4)])
            r = round_none(v, mode)
            out.append(("mold/all round%s %s" % ("/" + mode if mode else "", mold_all(v)), result(r)))
    return out


def main():
    return run(cases, 2000)


if __name__ == "__main__":
    sys.exit(main())
