#!/usr/bin/python3
"""Random sequences of map! and hash! operations checked against models.

map!: a small model keeps each entry's original key in insertion order.
Lookups (put, select, paths, extend) fold case; building from a block and
remove/key compare exactly, so `remove/key m "A"` leaves the entry "a", and a
key put again after its removal comes back at its old place. Text folds as
Kel folds it: each character by the first code point of its upper case.
Keys stay ASCII, where that is the whole rule.

hash!: the same edits are made to a hash! and to a block!; after every edit
find and select (with /skip, /last, /reverse, /case, /tail) must answer the
same positions on both.

usage: model_maps.py KEL_BINARY [SEED]"""
import os
import random
import subprocess
import sys
import tempfile


def fold(text):
    return "".join(c.upper()[0] for c in text)


# --- map! --------------------------------------------------------------------

class Key:
    """A key as written in Kel, its mold inside a map, and how it compares."""

    def __init__(self, kind, text):
        self.kind, self.text = kind, text

    def source(self):
        return {"string": '"%s"' % self.text, "word": "'" + self.text, "integer": self.text,
                "char": '#"%s"' % self.text, "issue": "#" + self.text}[self.kind]

    def block_source(self):  # as written inside a block given to make
        return self.source()[1:] if self.kind == "word" else self.source()

    def mold(self):
        return self.text + ":" if self.kind == "word" else self.source()

    def loose(self):  # equality of lookups: text and words fold, chars do not
        folded = self.text if self.kind in ("integer", "char") else fold(self.text)
        return (self.kind, folded)

    def exact(self):
        return (self.kind, self.text)


def random_key(rng):
    kind = rng.choice(["string", "word", "integer", "char", "issue"])
    if kind == "integer":
        return Key(kind, str(rng.randint(-3, 12)))
    if kind == "char":
        return Key(kind, rng.choice("aAbBz"))
    name = "".join(rng.choice("aAbB") for _ in range(rng.randint(1, 2)))
    if kind == "word" or kind == "issue":
        name = "k" + name  # never a number or a reserved word
    return Key(kind, name)


class MapModel:
    def __init__(self):
        self.entries = []  # [key, value, live]

    def find(self, key, exact=False):
        for e in self.entries:
            if (e[0].exact() == key.exact()) if exact else (e[0].loose() == key.loose()):
                return e
        return None

    def put(self, key, value):
        e = self.find(key)
        if e is None:
            self.entries.append([key, value, True])
        else:
            e[1], e[2] = value, True

    def select(self, key):
        e = self.find(key)
        return str(e[1]) if e and e[2] else "none"

    def remove(self, key):
        e = self.find(key, exact=True)
        if e:
            e[2] = False

    def mold(self):
        return "#[" + " ".join("%s %d" % (e[0].mold(), e[1]) for e in self.entries if e[2]) + "]"

    def length(self):
        return sum(1 for e in self.entries if e[2])


def map_case(rng, steps):
    """Kel lines and the output the model expects from them."""
    model = MapModel()
    # The first block: exact duplicates (the last value wins at the first
    # place), never two keys that differ only in case, whose lookup order
    # would be the table's probe order.
    pairs = []
    for _ in range(rng.randint(0, 6)):
        k = random_key(rng)
        if any(p[0].loose() == k.loose() and p[0].exact() != k.exact() for p in pairs):
            continue
        pairs.append((k, rng.randint(0, 99)))
    lines = ["m: make map! [%s]" % " ".join("%s %d" % (k.block_source(), v) for k, v in pairs)]
    for k, v in pairs:
        model.put(k, v)
    lines.append("print mold/flat m")
    expected = [model.mold()]
    for _ in range(steps):
        op = rng.random()
        k = random_key(rng)
        if op < 0.3:
            v = rng.randint(0, 99)
            if rng.random() < 0.5:
                lines.append("print mold put m %s %d" % (k.source(), v))
            else:
                lines.append("print mold m/(%s): %d" % (k.source(), v))
            model.put(k, v)
            expected.append(str(v))
        elif op < 0.5:
            form = rng.choice(["select m %s", "m/(%s)"])
            lines.append("print mold " + form % k.source())
            expected.append(model.select(k))
        elif op < 0.75:
            # Often the exact key of an entry, or a case variant of it.
            if model.entries and rng.random() < 0.7:
                e = rng.choice(model.entries)[0]
                k = Key(e.kind, e.text if rng.random() < 0.6 or e.kind in ("integer",) else e.text.swapcase())
            lines.append("remove/key m %s" % k.source())
            model.remove(k)
            lines.append("print length? m")
            expected.append(str(model.length()))
        elif op < 0.9:
            new = [(random_key(rng), rng.randint(0, 99)) for _ in range(rng.randint(1, 3))]
            lines.append("extend m reduce [%s]" % " ".join("%s %d" % (nk.source(), nv) for nk, nv in new))
            for nk, nv in new:
                model.put(nk, nv)
        elif op < 0.93:
            lines.append("clear m")
            model.entries = []
        lines.append("print mold/flat m")
        expected.append(model.mold())
        # what mold writes loads back as an equal map
        lines.append("print equal? m do mold m")
        expected.append("true")
    return lines, expected


# --- hash! against block! ------------------------------------------------------

VALUES = ["1", "2", "3", "'a", "'A", "'b", '"x"', '"X"', '"y"', "none", "#k"]


def hash_case(rng, steps):
    lines = [
        "ix: func [s] [either s [index? s] ['none]]",
        "bad: 0",
        "same-answer: func [what h b] [if h <> b [bad: bad + 1 print ['MISMATCH what h b]]]",
    ]
    start = " ".join(rng.choice(VALUES) for _ in range(rng.randint(0, 8)))
    lines.append("h: make hash! reduce [%s] b: reduce [%s]" % (start, start))
    # Positions past the tail clamp to it (at), so any position is an edit.
    pos = lambda: rng.randint(1, 12)
    for step in range(steps):
        v = rng.choice(VALUES)
        edits = [
            "append S %s" % v,
            "insert at S %d %s" % (pos(), v),
            "remove/part at S %d %d" % (pos(), rng.randint(1, 3)),
            "change/part at S %d reduce [%s] %d" % (
                pos(), " ".join(rng.choice(VALUES) for _ in range(rng.randint(0, 3))), rng.randint(0, 3)),
            "if %d <= length? S [poke S %d %s]" % ((lambda k: (k, k))(pos()) + (v,)),
            "take at S %d" % pos(),
            "take/part at S %d %d" % (pos(), rng.randint(1, 3)),
            "take/last S",
            "move/part at S %d at S %d %d" % (pos(), pos(), rng.randint(1, 3)),
            "reverse/part at S %d %d" % (pos(), rng.randint(1, 4)),
            "swap at S %d at S %d" % (pos(), pos()),
            "sort S",
            "sort/reverse S",
            "trim S",
            "clear at S %d" % pos(),
            "put S %s %s" % (rng.choice(VALUES[:-2]), rng.choice(VALUES)),
            "append S reduce [%s %s]" % (v, rng.choice(VALUES)),
        ]
        weights = [8, 6, 4, 4, 3, 2, 2, 1, 3, 2, 2, 1, 1, 1, 1, 2, 3]
        edit = rng.choices(edits, weights)[0]
        lines.append("%s %s" % (edit.replace("S", "h"), edit.replace("S", "b")))
        lines.append("same-answer %s mold/flat to block! h mold/flat b" % quote("step %d" % step))
        for _ in range(6):
            q = rng.choice(VALUES)
            refs = rng.choice(["", "/last", "/case", "/reverse", "/tail", "/skip", "/skip/last", "/skip/reverse",
                               "/case/last", "/part", "/part/last", "/reverse/case"])
            args = ""
            for r in refs.split("/")[1:]:  # arguments follow the refinements in the order written
                if r == "skip":
                    args += " %d" % rng.randint(1, 3)
                if r == "part":
                    args += " %d" % rng.randint(1, 5)
            action = "select" if "tail" not in refs and rng.random() < 0.3 else "find"
            query = "%s%s at S %d %s%s" % (action, refs, pos(), q, args)
            shown = "mold" if action == "select" else "ix"
            lines.append("same-answer %s %s %s %s %s" % (
                quote(query.replace("S", "s")), shown, query.replace("S", "h"), shown, query.replace("S", "b")))
    lines.append("print ['mismatches bad]")
    return lines


def quote(text):
    return "{%s}" % text


def run(kel, lines):
    with tempfile.NamedTemporaryFile("w", suffix=".kel", delete=False, encoding="utf-8") as f:
        f.write("Kel []\n" + "\n".join(lines) + "\n")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    try:
        p = subprocess.run([kel, f.name], capture_output=True, text=True, env=env, timeout=600)
    finally:
        os.unlink(f.name)
    return p


def main():
    kel = sys.argv[1]
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 20240611
    rng = random.Random(seed)
    failures = 0
    for case in range(40):
        lines, expected = map_case(rng, 60)
        p = run(kel, lines)
        got = p.stdout.splitlines()
        if p.returncode != 0 or got != expected:
            failures += 1
            for i, (g, e) in enumerate(zip(got + ["<missing>"] * len(expected), expected)):
                if g != e:
                    print("map case %d, output line %d: got %s, model %s" % (case, i, g, e))
                    break
            if p.stderr:
                print(p.stderr.strip())
    for case in range(12):
        lines = hash_case(rng, 120)
        p = run(kel, lines)
        out = p.stdout.strip().splitlines()
        if p.returncode != 0 or not out or out[-1] != "mismatches 0":
            failures += 1
            print("hash case %d:\n%s\n%s" % (case, "\n".join(out[:10]), p.stderr.strip()))
    print("%d failures" % failures)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
