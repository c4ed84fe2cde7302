#!/usr/bin/python3
"""Kelbin encode and decode of a nested block of mixed values (about 10 MB
encoded in the standard layout) in both layouts, beside Python's
pickle.dumps / pickle.loads and marshal.dumps / marshal.loads of the same
data. Kel times each step itself (now/precise), so the figures leave out
start-up and building the data. Not part of `make test`.

usage: bench/kelbin_codec.py [KEL_BINARY] [ROWS]   (default: build/kel, 50000)"""
import marshal
import os
import pickle
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

KEL = r"""Kel []
kb: select system/codecs 'kelbin
rows: %d
data: make block! rows
repeat i rows [
    append/only data reduce [
        i  i * 1.5  "row text of some length"  reduce [i "x" [1 2 3] 2.5]  #{0102030405060708}  i // 7 = 0  none
    ]
]
best: func [code /local t r b] [
    b: none
    loop 3 [t: now/precise r: do code t: to float! difference now/precise t if any [none? b t < b] [b: t]]
    b
]
t: best [s: kb/encode* data false]
print ["encode standard" t length? s]
t: best [c: kb/encode* data true]
print ["encode compact" t length? c]
t: best [x: kb/decode s]
print ["decode standard" t equal? x data]
t: best [y: kb/decode c]
print ["decode compact" t equal? y data]
"""


def data_of(rows):
    return [[i, i * 1.5, "row text of some length", [i, "x", [1, 2, 3], 2.5], bytes(range(1, 9)), i % 7 == 0, None]
            for i in range(1, rows + 1)]


def best(fn):
    b, r = None, None
    for _ in range(3):
        t = time.perf_counter()
        r = fn()
        t = time.perf_counter() - t
        b = t if b is None else min(b, t)
    return b, r


def main():
    kel = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "kel")
    rows = int(sys.argv[2]) if len(sys.argv) > 2 else 50000
    with tempfile.NamedTemporaryFile("w", suffix=".kel", delete=False) as f:
        f.write(KEL % rows)
    try:
        out = subprocess.run([kel, f.name], capture_output=True, text=True, timeout=1200)
    finally:
        os.unlink(f.name)
    if out.returncode:
        sys.exit("kel failed: " + out.stderr)
    print("%-24s %10s %12s" % ("step", "seconds", "bytes / ok"))
    for line in out.stdout.splitlines():
        w = line.split()
        print("%-24s %10.3f %12s" % ("kel " + " ".join(w[:2]), float(w[2]), w[3]))
    data = data_of(rows)
    t, p = best(lambda: pickle.dumps(data, protocol=pickle.HIGHEST_PROTOCOL))
    print("%-24s %10.3f %12d" % ("python pickle.dumps", t, len(p)))
    t, m = best(lambda: marshal.dumps(data))
    print("%-24s %10.3f %12d" % ("python marshal.dumps", t, len(m)))
    t, r = best(lambda: pickle.loads(p))
    print("%-24s %10.3f %12s" % ("python pickle.loads", t, r == data))
    t, r = best(lambda: marshal.loads(m))
    print("%-24s %10.3f %12s" % ("python marshal.loads", t, r == data))


if __name__ == "__main__":
    main()
