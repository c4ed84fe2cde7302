#!/usr/bin/python3
"""The library routines and functions that meet the process and the file
system, checked by Python: `exists?`, `create-dir`, `get-current-dir` and
`set-current-dir` on a fixture tree against os; `count-chars` against
len(bytes.decode('utf-8')); the exit status of `quit`; the output of `??`,
`probe` and `write-stdout` beside `print`.

usage: library_core.py KEL_BINARY"""
import os
import random
import subprocess
import sys
import tempfile

FAILS = []


def run(kel, body, cwd):
    path = os.path.join(cwd, "case.kel")
    with open(path, "w", encoding="utf-8") as f:
        f.write("Kel []\n" + body + "\n")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    p = subprocess.run([kel, path], capture_output=True, env=env, timeout=120, cwd=cwd)
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


def check(name, got, want):
    if got != want:
        FAILS.append("%s: got %r, expected %r" % (name, got, want))


def kel_file(path):
    return "%" + path


def files(kel, root):
    os.makedirs(os.path.join(root, "dir", "sub"))
    with open(os.path.join(root, "file.txt"), "w") as f:
        f.write("x")
    os.symlink("file.txt", os.path.join(root, "link"))
    os.symlink("missing", os.path.join(root, "dangling"))
    probes = ["file.txt", "file.txt/", "dir", "dir/", "dir/sub/", "dir/none", "link", "dangling", "none/", ""]
    lines = "\n".join("print exists? %s" % kel_file(os.path.join(root, p)) for p in probes)
    status, out, err = run(kel, lines, root)
    want = []
    for p in probes:
        full = os.path.join(root, p)
        # a trailing "/" on a regular file names no file
        want.append("true" if os.path.exists(full) and not (p.endswith("/") and not os.path.isdir(full)) else "false")
    check("exists?", out.split(), want)

    made = os.path.join(root, "made")
    body = """
create-dir %s
print mold try [create-dir %s]
print mold try [create-dir %s]
print mold try [create-dir %s]
""" % (kel_file(made), kel_file(made), kel_file(os.path.join(root, "no", "parent")), kel_file(os.path.join(root, "file.txt")))
    status, out, err = run(kel, body.replace("print mold try", "e: try").replace("]\n", "] print e/id\n"), root)
    check("create-dir makes one directory", os.path.isdir(made), True)
    check("create-dir failures", out.split(), ["no-create"] * 3)

    real = os.path.realpath(root)
    body = """
print mold get-current-dir
set-current-dir %s
print mold get-current-dir
print mold exists? %%file.txt
e: try [set-current-dir %%no-such-dir] print e/id
""" % kel_file(os.path.join(real, "dir") + "/")
    status, out, err = run(kel, body, real)
    lines = out.splitlines()
    check("set-current-dir then get-current-dir", lines[1:2], ["%" + os.path.join(real, "dir") + "/"])
    check("a relative path after set-current-dir", lines[2:3], ["false"])
    check("set-current-dir failure", lines[3:4], ["cannot-open"])
    # the first answer is the process's own directory as the platform reports it
    check("get-current-dir against the child's cwd", lines[:1], ["%" + real + "/"])


def count_chars(kel, root):
    rng = random.Random(30)
    cases = []
    alphabet = [0x41, 0x7F, 0x80, 0xE9, 0x7FF, 0x800, 0x4E2D, 0xFFFD, 0x10000, 0x1F600, 0x10FFFF]
    for _ in range(200):
        text = "".join(chr(rng.choice(alphabet)) for _ in range(rng.randrange(0, 12)))
        b = text.encode("utf-8")
        bounds = [0]
        for ch in text:
            bounds.append(bounds[-1] + len(ch.encode("utf-8")))
        i = rng.choice(bounds)
        j = rng.choice([x for x in bounds if x >= i])
        cases.append((b, i, j, len(b[i:j].decode("utf-8"))))
    body = "\n".join("b: #{%s} print count-chars skip b %d skip b %d" % (b.hex().upper(), i, j) for b, i, j, _ in cases)
    status, out, err = run(kel, body, root)
    check("count-chars against Python", out.split(), [str(n) for *_, n in cases])


def process(kel, root):
    rows = [
        ("quit/return 3", 3, ""),
        ("quit", 0, ""),
        ("quit/return 256", 0, ""),
        ("quit/return 257", 1, ""),
        ('print "a" quit/return 4 print "b"', 4, "a\n"),
        ('prin "a" quit-return 5', 5, "a"),
        ('prin "a" write-stdout "b" print "c" write-stdout #{64}', 0, "abc\nd"),
        ("x: 10 ?? x", 0, "x: 10\n"),
        ("?? no-such-word-here", 0, "no-such-word-here: unset!\n"),
        ("?? system/version", 0, 'system/version: "0.1.0"\n'),
        ("probe [1 2] probe ()", 0, "[1 2]\nunset\n"),
        ("comment (print 1) 2", 0, ""),
    ]
    for src, status, out in rows:
        got_status, got_out, err = run(kel, src, root)
        check(src, (got_status, got_out), (status, out))


def main():
    kel = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as root:
        files(kel, root)
    with tempfile.TemporaryDirectory() as root:
        count_chars(kel, root)
        process(kel, root)
    for f in FAILS:
        print("FAIL", f)
    print("%d failed" % len(FAILS))
    sys.exit(1 if FAILS else 0)


if __name__ == "__main__":
    main()
