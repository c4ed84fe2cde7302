#!/usr/bin/python3
"""load-json's numbers against Python's json on generated number texts, at
the top level and inside arrays and objects: integers of the 32-bit range
and far beyond it (read as the nearest float, as json.loads's integer
converted by float()), fractions and exponents of every form ("E", "+",
"-"), values that overflow to infinity or underflow to zero, -0 (a negative
zero is never produced: -0.0 reads as 0.0), and flawed texts (a leading
zero, a bare ".", a sign or an exponent without digits, "+1", hex) that
json.loads refuses and load-json answers with its error. A float is
compared by its eight bytes, and `to-json` of every value must read back in
Python as the same number.

usage: json_numbers.py KEL_BINARY [SEED]"""
import json
import random
import struct
import sys

from oracle import check
from text_functions import lit


def digits(rng, n):
    return "".join(rng.choice("0123456789") for _ in range(n))


def number_text(rng):
    sign = rng.choice(["", "", "-"])
    kind = rng.random()
    if kind < 0.15:
        whole = str(rng.choice([0, 2 ** 31 - 1, 2 ** 31, 2 ** 32, 2 ** 53 + 1, 2 ** 63, 10 ** 20]) + rng.randint(-2, 2))
        whole = whole.lstrip("-") or "0"
    elif kind < 0.3:
        whole = "0"
    else:
        n = rng.choice([1, 2, 5, 9, 10, 11, 16, 17, 19, 25, 40])
        whole = rng.choice("123456789") + digits(rng, n - 1)
    frac = "." + digits(rng, rng.randint(1, 20)) if rng.random() < 0.4 else ""
    exp = ""
    if rng.random() < 0.4:
        exp = rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.choice(
            [0, 1, 2, 7, 22, 23, 300, 307, 308, 309, 320, 324, 330, 400, rng.randint(0, 999)]))
    return sign + whole + frac + exp


def flawed(rng, t):
    """The text with one flaw json.loads refuses (or the text itself)."""
    k = rng.randrange(9)
    if k == 0:
        return "0" + t.lstrip("-") if t.lstrip("-")[:1] != "0" else "00"
    if k == 1:
        return t.split(".")[0].split("e")[0].split("E")[0] + "."
    if k == 2:
        return "." + digits(rng, 2)
    if k == 3:
        return "+" + t.lstrip("-")
    if k == 4:
        return t.split("e")[0].split("E")[0] + rng.choice(["e", "E+", "e-"])
    if k == 5:
        return "-"
    if k == 6:
        return "0x1F"
    if k == 7:
        return t + "."
    return "-" + "." + digits(rng, 1)


def refused(t):
    try:
        json.loads(t)
        return False
    except ValueError:
        return True


def expect(v):
    """What the row prints for the value json.loads gives."""
    if isinstance(v, int) and -2 ** 31 <= v < 2 ** 31:
        return "[integer! %d]" % v
    f = float(v) if not isinstance(v, float) else v
    if f == 0:
        f = 0.0
    return "[float! #{%s}]" % struct.pack(">d", f).hex().upper()


ROW = "x: load-json %s reduce [type? x either float? x [to binary! x] [x]]"


def cases(rng, n):
    out = []
    for _ in range(n):
        t = number_text(rng)
        v = json.loads(t)
        out.append((ROW % lit(t), expect(v)))
        # inside an array and an object, with blanks around (space, tab and
        # line feed: a carriage return is no JSON blank here, unlike Python)
        w = rng.choice(["", " ", "\t", "\n", " \n\t "])
        out.append(("x: load-json %s reduce [type? x/1 either float? x/1 [to binary! x/1] [x/1]]"
                    % lit("[%s%s%s]" % (w, t, w)), expect(v)))
        out.append(("x: load-json %s x: x/n reduce [type? x either float? x [to binary! x] [x]]"
                    % lit('{"n":%s}' % t), expect(v)))
        bad = flawed(rng, t)
        out.append(("error? load-json %s" % lit(bad), "true" if refused(bad) else "false"))
        # what to-json writes reads back in Python as the same number, but
        # for the non-finite, written as null
        f = v if isinstance(v, int) and -2 ** 31 <= v < 2 ** 31 else float(v)
        if f != f or f in (float("inf"), float("-inf")):
            want = "null"
        else:
            want = "ok"
        out.append(("to-json load-json %s" % lit(t), None, (f, want)))
    return out


def main():
    kel = sys.argv[1]
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 20261211
    rows = cases(random.Random(seed), 600)
    table = [(e, w) for e, w, *_ in rows if w is not None]
    # the to-json rows print the text, which Python reads back
    checks = [(e, x[0]) for e, w, *x in rows if w is None]
    back = {}

    def same(got, want):
        if want.startswith("@"):
            f, how = back[want]
            try:
                text = json.loads(got)
            except ValueError:
                return False
            if how == "null":
                return text == "null"
            r = json.loads(text)
            if f == 0:
                return r == 0
            return r == f and type(r) is type(f) or (isinstance(f, float) and float(r) == f)
        return got == want

    for i, (e, x) in enumerate(checks):
        key = "@%d" % i
        back[key] = x
        table.append((e, key))
    return check(kel, table, same=same)


if __name__ == "__main__":
    sys.exit(main())
