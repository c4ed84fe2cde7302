#!/usr/bin/python3
"""Times each Kel benchmark script bench/<name>.kel beside its Python 3 twin
(<name>.py) and its Lua 5.4 twin (<name>.lua), best of a few runs, checks
that the three print the same, and prints the ratios. `startup` runs `kel`
on an empty script (the whole library booted) beside `python3 -c pass` and
`lua5.4 -e ""`. Not part of `make test`.

usage: bench/run.py [KEL_BINARY] [name ...]   (default: build/kel, all)"""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
LUA = "lua5.4"
RUNS = 3


def best_time(argv):
    best, out = None, None
    for _ in range(RUNS):
        start = time.perf_counter()
        p = subprocess.run(argv, capture_output=True, text=True)
        elapsed = time.perf_counter() - start
        if p.returncode != 0:
            return None, "exit %d: %s" % (p.returncode, p.stderr.strip().splitlines()[0] if p.stderr else "")
        best = elapsed if best is None else min(best, elapsed)
        out = p.stdout
    return best, out


def main():
    args = sys.argv[1:]
    kel = args.pop(0) if args and not args[0].isidentifier() else os.path.join(HERE, "..", "build", "kel")
    names = args or sorted(f[:-4] for f in os.listdir(HERE) if f.endswith(".kel"))
    print("%-16s %10s %10s %10s %9s %9s" % ("benchmark", "kel s", "python s", "lua s", "kel/py", "kel/lua"))
    failed = False
    for name in names:
        k, kout = best_time([kel, os.path.join(HERE, name + ".kel")])
        if name == "startup":
            p, pout = best_time([PYTHON, "-c", "pass"])
            l, lout = best_time([LUA, "-e", ""])
        else:
            p, pout = best_time([PYTHON, os.path.join(HERE, name + ".py")])
            l, lout = best_time([LUA, os.path.join(HERE, name + ".lua")])
        if k is None:
            print("%-16s kel failed: %s" % (name, kout))
            failed = True
            continue
        note = ""
        if p is not None and pout != kout:
            note += "  (python prints differently)"
        if l is not None and lout != kout:
            note += "  (lua prints differently)"
        fmt = lambda t: "%10.3f" % t if t is not None else "%10s" % "-"
        ratio = lambda a, b: "%9.2f" % (a / b) if a is not None and b else "%9s" % "-"
        print("%-16s %s %s %s %s %s%s" % (name, fmt(k), fmt(p), fmt(l), ratio(k, p), ratio(k, l), note))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
