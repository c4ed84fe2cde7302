#!/usr/bin/python3
"""Runs the Kel script tests: every tests/kel/test-*.kel table, joined with
the harness tests/kel/run.kel into one script, run by `kel` in text mode. A
table keeps the files it makes under `scratch-dir`, a folder of its own that
is removed when it ends. Prints each failure and a closing line
"N passed, N failed"; exits non-zero when a case fails or a script breaks.

With --shuffle SEED each table's cases run in a random order of that seed
(setup rows still run before every case), which shows that no case leans on
another.

usage: run.py [--shuffle SEED] KEL_BINARY [test-file ...]"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    args = sys.argv[1:]
    seed = "none"
    if args[:1] == ["--shuffle"]:
        seed = str(int(args[1]))
        args = args[2:]
    kel = args[0]
    files = args[1:] or sorted(
        os.path.join(HERE, f) for f in os.listdir(HERE) if f.startswith("test-") and f.endswith(".kel"))
    harness = open(os.path.join(HERE, "run.kel"), encoding="utf-8").read()
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    passed = failed = 0
    broken = []
    for path in files:
        name = os.path.basename(path)
        table = open(path, encoding="utf-8").read()
        # Each table's files go into a folder of its own that goes when the
        # table ends: several runs of the suite share /tmp at once.
        scratch = tempfile.mkdtemp(prefix="kel-table-")
        script = "%s\nshuffle-seed: %s\nscratch-dir: %%%s/\nrun-table %s [\n%s\n]\nreport\n" % (
            harness, seed, scratch, '"%s"' % name, table)
        with tempfile.NamedTemporaryFile("w", suffix=".kel", delete=False, encoding="utf-8") as f:
            f.write(script)
        try:
            p = subprocess.run([kel, f.name], capture_output=True, text=True, env=env, timeout=600)
        finally:
            os.unlink(f.name)
            shutil.rmtree(scratch, ignore_errors=True)
        sys.stdout.write(p.stdout)
        m = re.search(r"^(\d+) passed, (\d+) failed$", p.stdout, re.M)
        if not m:
            broken.append(name)
            sys.stdout.write("BROKEN %s (exit %d): %s\n" % (name, p.returncode, p.stderr.strip()))
            continue
        passed += int(m.group(1))
        failed += int(m.group(2))
        if p.returncode != (0 if m.group(2) == "0" else 1):
            broken.append(name)
            sys.stdout.write("BROKEN %s: exit %d\n%s" % (name, p.returncode, p.stderr))
    print("%d passed, %d failed" % (passed, failed + len(broken)))
    sys.exit(1 if failed or broken else 0)


if __name__ == "__main__":
    main()
