#!/usr/bin/python3
"""The text functions against Python's str on generated strings of ASCII,
Latin-1, Greek, Cyrillic, Georgian, CJK and characters beyond the BMP
(Deseret, Adlam, emoji): uppercase and lowercase with and without /part (a
character's simple case mapping, the first character where Python's full
mapping gives several), find with /case, /last, /tail, /match, /part and
/skip, find/reverse from a position (case folded to upper case on both sides unless /case), select, replace with and without /all and /case, insert,
change, remove and take at a position and append, with /part and /dup (the
target widening its units for a wider value), poke, split on a string or a character (the search folds case, as find does), trim and
its refinements (the whitespace of the string type: controls, blank, the
Unicode spaces), reverse, copy/part forward and backward, pad, and length? and
index? counted in characters. Results are compared molded, with the string
mold rules modelled here (quotes or braces, the brace balance, the caret
escapes, /all), which are checked themselves on texts full of braces,
quotes and controls.

usage: text_functions.py KEL_BINARY [SEED]"""
import random
import sys

from oracle import run

ASCII = [chr(c) for c in range(0x20, 0x7F)]
WIDE = (["é", "ß", "ÿ", "À", "Ö", "µ", "ı", "İ", "ſ", "ǅ", "ǆ", "Σ", "σ", "ς", "ω", "Ω", "ΐ", "Ж", "ж", "Ё", "ё",
         "ა", "Ა", "中", "文", "ŉ", "ẞ", "K", "Å", "\U00010428", "\U00010400", "\U0001E922", "\U0001E900",
         "\U0001F600", "\U0010FFFF"])
SPACES = ["\t", "\n", " ", "\r", "\x0b", "\x85", "\xa0", "\u2000", "\u3000", "\u202f", "\x01"]
WS = set(chr(c) for c in range(1, 0x21)) | set("\x85\xa0\u1680\u180e\u2028\u2029\u202f\u205f\u3000") | set(
    chr(c) for c in range(0x2000, 0x200B))
BLANKS = (WS - set(chr(c) for c in range(1, 0x21))) | {" ", "\t"}
MOLD_LETTER = {0: "@", 9: "-", 10: "/", 0x1B: "[", 0x1C: "\\", 0x1D: "]", 0x1F: "_", 0x22: '"', 0x5E: "^"}
MOLD_LETTER.update({c: chr(ord("A") + c - 1) for c in range(1, 9)})
MOLD_LETTER.update({c: chr(ord("K") + c - 0x0B) for c in range(0x0B, 0x1B)})


def escape(c, braces, every=False):
    n = ord(c)
    if n == 0x1E or 0x80 <= n <= 0x9F or (every and n >= 0x80):
        return "^(%X)" % n
    if braces and c == '"':
        return c
    if n in MOLD_LETTER:
        return "^" + MOLD_LETTER[n]
    if n == 0x7F:
        return "^~"
    return c


def brace_closed(s, i):
    """Whether the "{" at i has its "}" later, counting nesting from it."""
    depth = 0
    for c in s[i:]:
        if c == "{":
            depth += 1
        elif c == "}":
            depth -= 1
            if depth == 0:
                return True
    return False


def mold(s, every=False):
    """The mold of a string: in quotes, or in braces when it holds three
    line feeds, a double quote or 50 characters; in braces a "{" stays as it
    is while every one so far is closed later, a "}" while one is open."""
    if not (s.count("\n") >= 3 or '"' in s or len(s) >= 50):
        return '"%s"' % "".join(escape(c, False, every) for c in s)
    out, opened, broken = [], 0, False
    for i, c in enumerate(s):
        if c == "{":
            broken = broken or not brace_closed(s, i)
            out.append("^{" if broken else "{")
            opened += 0 if broken else 1
        elif c == "}":
            out.append("}" if opened else "^}")
            opened -= 1 if opened else 0
        else:
            out.append(escape(c, True, every))
    return "{%s}" % "".join(out)


def lit(s):
    """A Kel literal of the text."""
    out = []
    for c in s:
        n = ord(c)
        if c in '"^{}' or n < 0x20 or n == 0x7F or 0x80 <= n <= 0x9F:
            out.append("^(%X)" % n)
        else:
            out.append(c)
    return '"%s"' % "".join(out)


def up(c):
    u = c.upper()
    return u[0] if u else c


def low(c):
    u = c.lower()
    return u[0] if u else c


def fold(s):
    return "".join(up(c) for c in s)


def text(rng, n_max=12, wide=0.3, spaces=0.0):
    n = rng.choice([0, 1, 2, rng.randint(0, n_max), rng.randint(0, n_max)])
    out = []
    for _ in range(n):
        r = rng.random()
        if r < spaces:
            out.append(rng.choice(SPACES))
        elif r < spaces + wide:
            out.append(rng.choice(WIDE))
        else:
            out.append(rng.choice(ASCII if rng.random() < 0.5 else "abcABC xyz"))
    return "".join(out)


def find_model(s, p, case=False, last=False, tail=False, match=False, part=None, skip=1):
    """1-based index of the result of find on strings, or None."""
    if not s:
        return None
    f = (lambda x: x) if case else fold
    hs, hp = f(s), f(p)
    end = len(s) if part is None else min(part, len(s))
    if part is not None and part < 1:
        return None
    if not hp:
        return None
    positions = range(0, end, skip)
    if last:
        positions = range(end - len(hp), -1, -skip)
    for i in positions:
        if i + len(hp) <= end and hs[i:i + len(hp)] == hp:
            return i + 1 + (len(hp) if tail else 0)
        if match:
            return None
    return None


def find_reverse_model(s, h, p, case=False, skip=1):
    """1-based index of find/reverse on `at s h + 1` (backward from the
    character before the head; the candidate is a match's last character)."""
    f = (lambda x: x) if case else fold
    hs, hp = f(s), f(p)
    e = h - 1
    while e >= 0:
        st = e - len(hp) + 1
        if st < 0:
            return None
        if hs[st:st + len(hp)] == hp:
            return st + 1
        e -= skip
    return None


def replace_model(s, p, v, case, every):
    f = (lambda x: x) if case else fold
    hs, hp = f(s), f(p)
    out, i, done = [], 0, False
    while i < len(s):
        if not done and hs[i:i + len(hp)] == hp:
            out.append(v)
            i += len(hp)
            done = not every
        else:
            out.append(s[i])
            i += 1
    return "".join(out)


def split_model(s, d):
    hs, hd = fold(s), fold(d)
    pieces, start, i = [], 0, 0
    while True:
        j = hs.find(hd, start)
        if j < 0:
            pieces.append(s[start:])
            return pieces
        pieces.append(s[start:j])
        start = j + len(d)
        if start == len(s):
            pieces.append("")
            return pieces


def trim_model(s, mode, chars=None):
    if mode == "head":
        return s.lstrip("".join(WS))
    if mode == "tail":
        return s.rstrip("".join(WS))
    if mode == "all":
        return "".join(c for c in s if c not in "\t\n\r ")
    if mode == "with":
        return "".join(c for c in s if c not in chars)
    if mode == "lines":
        out, gap = [], False
        for c in s:
            if c in WS:
                gap = True
            else:
                if gap and out:
                    out.append(" ")
                gap = False
                out.append(c)
        return "".join(out)
    core = s.strip("".join(WS))
    tail = s[len(s.rstrip("".join(WS))):]
    lines = core.split("\n")
    core = "\n".join(ln.strip("".join(BLANKS)) if 0 < k < len(lines) - 1 else
                     (ln.rstrip("".join(BLANKS)) if k == 0 and len(lines) > 1 else
                      (ln.lstrip("".join(BLANKS)) if k == len(lines) - 1 and len(lines) > 1 else ln))
                     for k, ln in enumerate(lines))
    return core + ("\n" if "\n" in tail and s.strip("".join(WS)) else "")


def block(items):
    return "[%s]" % " ".join(items)


def cases(rng, n):
    out = []
    for _ in range(n):
        s = text(rng)
        # case mapping, whole and /part
        out.append(("uppercase %s" % lit(s), mold("".join(up(c) for c in s))))
        out.append(("lowercase %s" % lit(s), mold("".join(low(c) for c in s))))
        k = rng.randint(-2, len(s) + 2)
        kk = max(0, min(k, len(s)))
        out.append(("uppercase/part %s %d" % (lit(s), k), mold("".join(up(c) for c in s[:kk]) + s[kk:])))
        out.append(("length? %s" % lit(s), str(len(s))))
        out.append(("reverse %s" % lit(s), mold(s[::-1])))

        # find and select
        p = text(rng, 3, 0.2) if rng.random() < 0.5 or not s else (
            lambda i: s[i:i + rng.randint(1, 3)])(rng.randrange(len(s)))
        if rng.random() < 0.3:
            p = "".join(c.swapcase() for c in p)
        if p:
            flags = {}
            refs = []
            for name in ("case", "last", "tail", "match"):
                if rng.random() < 0.25:
                    flags[name] = True
                    refs.append(name)
            if "last" in flags:
                flags.pop("match", None)
                if "match" in refs:
                    refs.remove("match")
            extra = ""
            if rng.random() < 0.2:
                flags["part"] = rng.randint(0, len(s) + 1)
                refs.append("part")
                extra = " %d" % flags["part"]
            if rng.random() < 0.15 and "last" not in flags and "match" not in flags and len(p) == 1:
                flags["skip"] = rng.randint(1, 3)
                refs.append("skip")
                extra += " %d" % flags["skip"]
            r = find_model(s, p, **flags)
            expr = "either r: find%s %s %s%s [index? r] [none]" % (
                "".join("/" + x for x in refs), lit(s), lit(p), extra)
            out.append((expr, "none" if r is None else str(r)))
            if len(p) == 1 and not flags:
                out.append(("either r: find %s #%s [index? r] [none]" % (lit(s), lit(p)), "none" if r is None else str(r)))
            r = find_model(s, p)
            want = "none"
            if r is not None and r - 1 + len(p) < len(s):
                want = '#"%s"' % escape(s[r - 1 + len(p)], False)
            out.append(("select %s %s" % (lit(s), lit(p)), want))

            h = rng.randint(0, len(s))
            sk = rng.choice([1, 1, 2])
            r = find_reverse_model(s, h, p, "case" in flags, sk)
            out.append(("either r: find/reverse%s%s at %s %d %s%s [index? r] [none]" % (
                "/case" if "case" in flags else "", "/skip" if sk > 1 else "", lit(s), h + 1, lit(p),
                " %d" % sk if sk > 1 else ""), "none" if r is None else str(r)))
            v = text(rng, 3, 0.3)
            case = rng.random() < 0.4
            every = rng.random() < 0.6
            out.append(("replace%s%s %s %s %s" % ("/all" if every else "", "/case" if case else "", lit(s), lit(p), lit(v)),
                        mold(replace_model(s, p, v, case, every))))

        # split
        d = rng.choice([" ", ",", "ab", "x", "é", "\U0001F600", ", "])
        t = rng.choice([s, s.replace(" ", d), d + s + d])
        out.append(("split %s %s" % (lit(t), lit(d)), block(mold(x) for x in split_model(t, d))))
        if len(d) == 1:
            out.append(("split %s #%s" % (lit(t), lit(d)), block(mold(x) for x in split_model(t, d))))

        # trim
        w = text(rng, 14, 0.2, 0.35)
        mode = rng.choice(["", "head", "tail", "all", "lines", "with", "", "head/tail"])
        if mode == "with":
            chars = "".join(rng.sample("abc xé\U0001F600", 3))
            out.append(("trim/with %s %s" % (lit(w), lit(chars)), mold(trim_model(w, "with", chars))))
        elif mode == "head/tail":
            out.append(("trim/head/tail %s" % lit(w), mold(w.strip("".join(WS)))))
        else:
            out.append(("trim%s %s" % ("/" + mode if mode else "", lit(w)), mold(trim_model(w, mode))))

        # copy/part at a position, forward or backward
        i = rng.randint(1, len(s) + 1)
        k = rng.randint(-len(s) - 1, len(s) + 1)
        want = s[i - 1:i - 1 + k] if k >= 0 else s[max(0, i - 1 + k):i - 1]
        out.append(("copy/part at %s %d %d" % (lit(s), i, k), mold(want)))

        # pad
        k = rng.randint(0, 16)
        c = rng.choice([" ", "*", "é", "\U0001F600"])
        out.append(("pad/with %s %d #%s" % (lit(s), k, lit(c)), mold(s.ljust(k, c))))
        out.append(("pad/left/with %s %d #%s" % (lit(s), k, lit(c)), mold(s.rjust(k, c))))

        # changes in place, where the target may have to widen its units
        v = text(rng, 4, 0.5)
        i = rng.randint(1, len(s) + 1)
        k = rng.randint(0, len(s) + 2)
        d = rng.randint(1, 3)
        rest = len(s) - (i - 1)
        out.append(("head insert/dup at %s %d %s %d" % (lit(s), i, lit(v), d), mold(s[:i - 1] + v * d + s[i - 1:])))
        out.append(("head change/part at %s %d %s %d" % (lit(s), i, lit(v), k),
                    mold(s[:i - 1] + v + s[i - 1 + min(k, rest):])))
        out.append(("head change at %s %d %s" % (lit(s), i, lit(v)),
                    mold(s[:i - 1] + v + s[i - 1 + min(len(v), rest):])))
        out.append(("head remove/part at %s %d %d" % (lit(s), i, k), mold(s[:i - 1] + s[i - 1 + k:])))
        # nothing from the head: none; a count of 0 takes the one character
        # before the head (nothing at the first)
        want = "none" if rest < 1 else mold(s[i - 1:i - 1 + k] if k else s[i - 2:i - 1])
        out.append(("take/part at %s %d %d" % (lit(s), i, k), want))
        out.append(("append/dup %s %s %d" % (lit(s), lit(v), d), mold(s + v * d)))
        if s and v:
            j = rng.randint(1, len(s))
            out.append(("s: %s poke s %d #%s s" % (lit(s), j, lit(v[0])), mold(s[:j - 1] + v[0] + s[j:])))

        # mold itself, of texts full of braces, quotes, carets and controls
        m = "".join(rng.choice('ab{}{}"^\n\t é\x1e\x85\x7f\x00\U0001F600') for _ in range(
            rng.choice([rng.randint(0, 12), rng.randint(40, 60)])))
        every = rng.random() < 0.3
        out.append(("(mold%s %s) == %s" % ("/all" if every else "", lit(m), lit(mold(m, every))), "true"))

        # index? after a character beyond the BMP
        if s:
            c = rng.choice(s)
            out.append(("index? find/case %s #%s" % (lit(s), lit(c)), str(s.index(c) + 1)))
    return out


def main():
    return run(cases, 700)


if __name__ == "__main__":
    sys.exit(main())
