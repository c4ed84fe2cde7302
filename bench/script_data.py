#!/usr/bin/python3
"""Writes the generated script of the `do_script` benchmark once, as Kel
(/tmp/kel-bench-script.kel) and as its Python equivalent
(/tmp/kel-bench-script.py), and prints the Kel file's path. 50,000 lines of
plain assignments, sums and tests, with a macro used on every fifth line and
an #if every 5,000 lines.

usage: bench/script_data.py"""
import os

LINES = 50000
KEL = "/tmp/kel-bench-script.kel"
PY = "/tmp/kel-bench-script.py"


def generate():
    kel = ['Kel [Title: "generated benchmark script"]', "#macro sq: func [x] [x * x]", "t: s: c: 0"]
    py = ["t = s = c = 0"]
    i = 0
    while len(kel) < LINES:
        j = (i // 5) % 20
        kind = i % 5
        if kind == 0:
            kel.append("a%d: %d * 3 + %d" % (j, i, j))
            py.append("a%d = %d * 3 + %d" % (j, i, j))
        elif kind == 1:
            kel.append("t: t + a%d" % j)
            py.append("t = t + a%d" % j)
        elif kind == 2:
            kel.append("if t > 1000000 [t: t - 1000000]")
            py.append("if t > 1000000: t = t - 1000000")
        elif kind == 3:
            kel.append("s: s + sq %d" % j)
            py.append("s = s + %d * %d" % (j, j))
        else:
            kel.append("c: c + 1")
            py.append("c = c + 1")
        if i % 5000 == 4999:
            kel.append("#if 1 = 2 [c: c - 1000]")
            kel.append("#if 1 = 1 [c: c + 10]")
            py.append("c = c + 10")
        i += 1
    kel.append("print [t s c]")
    py.append("print(t, s, c)")
    return kel, py


def main():
    if not (os.path.exists(KEL) and os.path.exists(PY)):
        kel, py = generate()
        for path, lines in ((KEL + ".part", kel), (PY + ".part", py)):
            with open(path, "w", encoding="utf-8") as f:
                f.write("\n".join(lines) + "\n")
        os.replace(KEL + ".part", KEL)
        os.replace(PY + ".part", PY)
    print(KEL)


if __name__ == "__main__":
    main()
