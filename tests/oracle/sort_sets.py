#!/usr/bin/python3
"""sort and the set natives against Python's sorted and a first-occurrence
walk on generated blocks and strings. sort: integers, floats, strings
(folded to upper case unless /case; a shorter prefix first), mixed values
(numbers compare by value, other pairs by their datatype's id: string!,
file!, integer! and float!, word!, tag!), /reverse, /skip with a /compare
offset, /all over whole records, /part with a count, and strings sorted as
characters (folded to upper case through the case tables unless /case). Orders that the unstable sort leaves open are
avoided: with equal keys the rows use /stable, where sorted() gives the same
order. Long blocks and strings (up to 2000 records) of the shapes the sorts
treat apart: sorted, reversed, nearly sorted, sawtooth runs, few keys. Set operations: unique, union, intersect, exclude and difference of
blocks (integers, words, strings: plain equality folds case, /case does not)
and of strings, with /skip records, every result in walking order keeping
first occurrences.

usage: sort_sets.py KEL_BINARY [SEED]"""
import functools
import random
import sys

from oracle import run
from text_functions import fold, lit, mold

TYPE_ID = {"string": 7, "file": 8, "integer": 11, "float": 12, "word": 15, "tag": 44}
LETTERS = "abcABCxyzXYZ_"
WIDE = ["é", "É", "ß", "ÿ", "Ÿ", "σ", "Σ", "中", "\U0001F600", "\U00010428", "\U00010400"]


def word_text(rng):
    return rng.choice("abcxyzABC") + "".join(rng.choice("abcxyzAB-?") for _ in range(rng.randint(0, 3)))


def string_text(rng):
    n = rng.randint(0, 4)
    return "".join(rng.choice(WIDE) if rng.random() < 0.2 else rng.choice(LETTERS) for _ in range(n))


def flt(rng):
    return rng.randint(-4000, 4000) / 8


def fmt_float(f):
    return repr(f)


class V:
    """A generated value: its kind, its Python value and its Kel source."""

    def __init__(self, kind, value):
        self.kind, self.value = kind, value

    def src(self):
        if self.kind == "none":
            return "none"
        if self.kind == "string":
            return lit(self.value)
        if self.kind == "float":
            return fmt_float(self.value)
        if self.kind == "file":
            return "%" + self.value
        if self.kind == "tag":
            return "<%s>" % self.value
        return str(self.value)

    def molded(self):
        return mold(self.value) if self.kind == "string" else self.src()


def gen(rng, kind):
    if kind == "integer":
        return V("integer", rng.choice([rng.randint(-20, 20), rng.randint(-2 ** 31, 2 ** 31 - 1)]))
    if kind == "float":
        return V("float", flt(rng))
    if kind == "string":
        return V("string", string_text(rng))
    if kind == "word":
        return V("word", word_text(rng))
    if kind in ("file", "tag"):
        return V(kind, rng.choice("abAB") + "".join(rng.choice("abAB") for _ in range(rng.randint(0, 2))))
    return V("word", "none")  # in a block literal, a word


def cmp_text(a, b, case):
    fa, fb = (a, b) if case else (fold(a), fold(b))
    for x, y in zip(fa, fb):
        if x != y:
            return -1 if ord(x) < ord(y) else 1
    return (len(fa) > len(fb)) - (len(fa) < len(fb))


def cmp_values(a, b, case):
    num = ("integer", "float")
    if a.kind in num and b.kind in num:
        return (a.value > b.value) - (a.value < b.value)
    if a.kind != b.kind:
        return -1 if TYPE_ID[a.kind] < TYPE_ID[b.kind] else 1
    if a.kind in ("string", "word", "file", "tag"):
        return cmp_text(a.value, b.value, case)
    return 0


def cmp_records(r1, r2, case, offset=None):
    cells = [offset] if offset is not None else range(len(r1))
    for i in cells:
        c = cmp_values(r1[i], r2[i], case)
        if c:
            return c
    return 0


def has_ties(records, key_cmp):
    for i in range(len(records)):
        for j in range(i + 1, len(records)):
            if key_cmp(records[i], records[j]) == 0:
                return True
    return False


def sort_rows(rng):
    out = []
    kind = rng.choice(["integer", "float", "string", "word", "mixed", "mixed"])
    n = rng.choice([0, 1, 2, rng.randint(0, 12), rng.randint(0, 40)])
    skip = rng.choice([1, 1, 2, 3])
    n -= n % skip
    kinds = ["integer", "float", "string", "word", "none", "file", "tag"] if kind == "mixed" else [kind]
    vals = [gen(rng, rng.choice(kinds)) for _ in range(n)]
    records = [vals[i:i + skip] for i in range(0, n, skip)]
    case = rng.random() < 0.3
    reverse = rng.random() < 0.3
    refs = []
    args = ""
    offset = 0
    whole = False
    if case:
        refs.append("case")
    if skip > 1:
        refs.append("skip")
        args += " %d" % skip
        r = rng.random()
        if r < 0.4:
            offset = rng.randint(0, skip - 1)
            refs.append("compare")
            args += " %d" % (offset + 1)
        elif r < 0.7:
            whole = True
            refs.append("all")
    if reverse:
        refs.append("reverse")
    part = None
    if rng.random() < 0.2 and records:
        part = rng.randint(0, len(records))
        refs.append("part")
        args += " %d" % (part * skip)

    def key_cmp(r1, r2):
        return cmp_records(r1, r2, case, None if whole else offset)

    back = None
    if part is None and records and rng.random() < 0.15:
        # a negative /part sorts the records just before the head
        back = rng.randint(0, len(records))
        at = rng.randint(back, len(records))
        head = records[at - back:at]
        if has_ties(head, key_cmp):
            refs.append("stable")
        ordered = sorted(head, key=functools.cmp_to_key(key_cmp), reverse=reverse)
        whole_block = records[:at - back] + ordered + records[at:]
        src = "[%s]" % " ".join(v.src() for v in vals)
        want = "[%s]" % " ".join(v.molded() for r in whole_block[at - back:] for v in r)
        refs.append("part")
        return [("sort%s at %s %d%s %d" % ("".join("/" + x for x in refs), src, at * skip + 1, args, -back * skip),
                 want)]
    head = records if part is None else records[:part]
    if has_ties(head, key_cmp):
        refs.append("stable")
    if reverse:
        ordered = sorted(head, key=functools.cmp_to_key(key_cmp), reverse=True)
    else:
        ordered = sorted(head, key=functools.cmp_to_key(key_cmp))
    ordered += records[len(head):]
    src = "[%s]" % " ".join(v.src() for v in vals)
    want = "[%s]" % " ".join(v.molded() for r in ordered for v in r)
    out.append(("sort%s %s%s" % ("".join("/" + x for x in refs), src, args), want))
    return out


def string_sort_rows(rng):
    wide = rng.random() < 0.5
    pool = LETTERS + "[]^`09 " + ("éÉσΣ中" if wide else "")
    s = "".join(rng.choice(pool) for _ in range(rng.randint(0, 20)))
    case = rng.random() < 0.4
    def key(c):
        if case:
            return ord(c)
        return ord(fold(c))

    keys = [key(c) for c in s]
    stable = len(set(keys)) < len(keys)
    if stable and case:
        return []
    refs = ("/case" if case else "") + ("/stable" if stable else "")
    rev = rng.random() < 0.3
    out = sorted(s, key=key, reverse=rev)
    return [("sort%s%s %s" % (refs, "/reverse" if rev else "", lit(s)), mold("".join(out)))]


def big_sort_rows(rng):
    """Long inputs of the shapes the sorts treat apart: sorted, reversed,
    sorted with a few records moved, sawtooth runs, few distinct keys;
    records of two integers keyed by the first, so /stable shows the order
    of equal keys."""
    n = rng.choice([30, 100, 600, 2000])
    shape = rng.choice(["sorted", "reversed", "nearly", "saw", "few", "random"])
    keys = sorted(rng.randint(-10 ** 6, 10 ** 6) for _ in range(n))
    if shape == "reversed":
        keys.reverse()
    elif shape == "nearly":
        for _ in range(rng.randint(1, 5)):
            i, j = rng.randrange(n), rng.randrange(n)
            keys[i], keys[j] = keys[j], keys[i]
    elif shape == "saw":
        w = rng.randint(2, 50)
        keys = [rng.randint(0, 5) * 1000 + (i % w) * rng.choice([1, -1]) for i in range(n)]
    elif shape == "few":
        keys = [rng.randint(0, 3) for _ in range(n)]
    elif shape == "random":
        rng.shuffle(keys)
    rev = rng.random() < 0.3
    if rng.random() < 0.5:
        src = "[%s]" % " ".join(map(str, keys))
        want = "[%s]" % " ".join(map(str, sorted(keys, reverse=rev)))
        return [("sort%s %s" % ("/reverse" if rev else "", src), want)]
    recs = [(k, i) for i, k in enumerate(keys)]
    src = "[%s]" % " ".join("%d %d" % r for r in recs)
    want = "[%s]" % " ".join("%d %d" % r for r in sorted(recs, key=lambda r: r[0], reverse=rev))
    rows = [("sort/skip/stable%s %s 2" % ("/reverse" if rev else "", src), want)]
    text = "".join(rng.choice("aAbBcdé😀"[:rng.choice([4, 7, 8])]) for _ in range(n))
    rows.append(("sort/case %s" % lit(text), mold("".join(sorted(text)))))
    rows.append(("sort/stable %s" % lit(text), mold("".join(sorted(text, key=fold)))))
    return rows


def equal(a, b, case):
    if a.kind != b.kind:
        return False
    if a.kind in ("string", "word"):
        return a.value == b.value if case else fold(a.value) == fold(b.value)
    return a.value == b.value


def set_model(op, s1, s2, case, skip, eq):
    r1 = [s1[i:i + skip] for i in range(0, len(s1), skip)]
    r2 = [s2[i:i + skip] for i in range(0, len(s2), skip)]

    def present(rec, recs):
        return any(eq(rec[0], r[0], case) for r in recs)

    if op == "unique" or op == "union":
        walk = r1 + (r2 if op == "union" else [])
    elif op == "intersect":
        walk = [r for r in r1 if present(r, r2)]
    elif op == "exclude":
        walk = [r for r in r1 if not present(r, r2)]
    else:
        walk = [r for r in r1 if not present(r, r2)] + [r for r in r2 if not present(r, r1)]
    result = []
    for r in walk:
        if not present(r, result):
            result.append(r)
    return [x for r in result for x in r]


def set_rows(rng):
    out = []
    op = rng.choice(["unique", "union", "intersect", "exclude", "difference"])
    case = rng.random() < 0.3
    skip = rng.choice([1, 1, 1, 2, 3])
    refs = ("/case" if case else "") + ("/skip" if skip > 1 else "")
    tail = " %d" % skip if skip > 1 else ""
    kind = rng.choice(["integer", "word", "string", "text"])
    if kind == "text":
        pool = "abcABé" + ("ÉσΣ\U0001F600" if rng.random() < 0.5 else "")

        def s(k):
            return "".join(rng.choice(pool) for _ in range(k * skip))

        a, b = s(rng.randint(0, 8)), s(rng.randint(0, 8))
        chars_eq = (lambda x, y, c: x == y if c else fold(x) == fold(y))
        want = "".join(set_model(op, list(a), list(b), case, skip, chars_eq))
        args = lit(a) + ("" if op == "unique" else " " + lit(b))
        out.append(("%s%s %s%s" % (op, refs, args, tail), mold(want)))
        return out

    def blk(k):
        if kind == "integer":
            return [V("integer", rng.randint(0, 6)) for _ in range(k * skip)]
        if kind == "word":
            return [V("word", rng.choice(["a", "b", "A", "c", "B", "x-y", "X-Y"])) for _ in range(k * skip)]
        return [V("string", rng.choice(["a", "b", "A", "é", "É", "", "ab", "AB", "\U00010428", "\U00010400"]))
                for _ in range(k * skip)]

    a, b = blk(rng.randint(0, 8)), blk(rng.randint(0, 8))
    want = set_model(op, a, b, case, skip, equal)
    # a hash! for either set (but for unique the second) makes the result one
    h1 = rng.random() < 0.2
    h2 = op != "unique" and rng.random() < 0.2
    src = ("make hash! [%s]" if h1 else "[%s]") % " ".join(v.src() for v in a)
    if op != "unique":
        src += (" make hash! [%s]" if h2 else " [%s]") % " ".join(v.src() for v in b)
    body = " ".join(v.molded() for v in want)
    out.append(("%s%s %s%s" % (op, refs, src, tail), ("make hash! [%s]" if h1 or h2 else "[%s]") % body))
    return out


def cases(rng, n):
    out = []
    for _ in range(n):
        out += sort_rows(rng)
        out += string_sort_rows(rng)
        if rng.random() < 0.1:
            out += big_sort_rows(rng)
        out += set_rows(rng)
        out += set_rows(rng)
    return out


def main():
    return run(cases, 1500)


if __name__ == "__main__":
    sys.exit(main())
