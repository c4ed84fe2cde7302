#!/usr/bin/python3
"""The file path functions against Python's: clean-path of generated absolute
paths against posixpath.normpath, make-dir/deep against os.makedirs (and its
rollback when a step fails), change-dir against the working directory a
child process starts in, and flip-exe-flag on small PE files built here.

usage: file_paths.py KEL_BINARY"""
import os
import posixpath
import random
import shutil
import struct
import sys
import tempfile

from kel_script import EMIT_PRELUDE, emit_table, run


def kel_text(s):
    return "{" + s + "}"


def random_path(rng):
    """An absolute path on which clean-path and normpath agree: one leading
    "/", no trailing "/", no ".." above the root, and something left. Runs
    of "/" are left out too: clean-path keeps one where the segments after
    it were all removed (%/a//b/.. gives %/a/), a case of the Kel table."""
    while True:
        parts, depth = [], 0
        for _ in range(rng.randint(1, 9)):
            r = rng.random()
            if r < 0.2 and depth > 0:
                parts.append("..")
                depth -= 1
            elif r < 0.35:
                parts.append(".")
            else:
                parts.append(rng.choice(["a", "bc", "d.e", "...", ".f", "g..", "x-1"]))
                depth += 1
        path = "/" + "/".join(parts)
        if depth > 0 and not path.endswith("/") and not path.startswith("//"):
            return path


def clean_path_cases(kel):
    rng = random.Random(20260610)
    table = []
    for _ in range(400):
        p = random_path(rng)
        table.append(("clean-path to file! %s" % kel_text(p), "%" + posixpath.normpath(p)))
    return emit_table(kel, table)


def walk_dirs(root):
    found = set()
    for folder, dirs, _ in os.walk(root):
        for d in dirs:
            found.add(os.path.relpath(os.path.join(folder, d), root))
    return found


def make_dir_cases(kel):
    failed = 0
    base = tempfile.mkdtemp(prefix="kel_make_dir_")
    try:
        ours, theirs = os.path.join(base, "ours"), os.path.join(base, "theirs")
        os.makedirs(os.path.join(ours, "pre", "existing"))
        os.makedirs(os.path.join(theirs, "pre", "existing"))
        wanted = ["a/b/c", "a/b/d", "pre/existing/x/y", "pre", "e", "f/g/", "sp ace/é/z"]
        long_name = "z" * 300
        lines = ["Kel []"] + EMIT_PRELUDE
        for w in wanted:
            lines.append("emit [make-dir/deep to file! %s]" % kel_text(ours + "/" + w))
            os.makedirs(os.path.join(theirs, w), exist_ok=True)
        # the last segment is too long for the file system: the error, and
        # the folders the call made first are gone again
        lines.append("emit [make-dir/deep to file! %s]" % kel_text(ours + "/new/deeper/" + long_name))
        lines.append("emit [exists? to file! %s]" % kel_text(ours + "/new/"))
        p = run(kel, lines)
        got = p.stdout.splitlines()
        molded = lambda t: '%"' + t + '"' if " " in t else "%" + t
        expected = [molded(ours + "/" + (w if w.endswith("/") else w + "/")) for w in wanted]
        expected += ["!cannot-open", "false"]
        if got != expected:
            failed += 1
            print("FAIL make-dir/deep: got %r, expected %r (%s)" % (got, expected, p.stderr.strip()[:300]))
        if walk_dirs(ours) != walk_dirs(theirs):
            failed += 1
            print("FAIL make-dir/deep made %r, os.makedirs %r" % (sorted(walk_dirs(ours)), sorted(walk_dirs(theirs))))
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print("make-dir/deep: %d failed" % failed)
    return failed


def change_dir_cases(kel):
    base = tempfile.mkdtemp(prefix="kel_change_dir_")
    try:
        os.makedirs(os.path.join(base, "one", "two"))
        child = 'python3 -c "import os; print(os.getcwd())"'
        lines = ["Kel []"] + EMIT_PRELUDE + [
            "cwd: func [/local o] [o: copy {} call/wait/output %s o trim/lines o]" % kel_text(child),
            "before: what-dir",
            "emit [change-dir to file! %s]" % kel_text(base + "/one/two/nope"),
            "emit [before = what-dir]",
            "emit [change-dir to file! %s]" % kel_text(base + "/one"),
            "emit [change-dir 'two]",
            "emit [what-dir]",
            "emit [cwd]",
            "emit [change-dir %..]",
            "emit [cwd]",
        ]
        p = run(kel, lines)
        got = p.stdout.splitlines()
        expected = ["!cannot-open", "true", "%%%s/one/" % base, "%%%s/one/two/" % base, "%%%s/one/two/" % base,
                    '"%s/one/two"' % base, "%%%s/one/" % base, '"%s/one"' % base]
        failed = 0 if got == expected else 1
        if failed:
            print("FAIL change-dir: got %r, expected %r (%s)" % (got, expected, p.stderr.strip()[:300]))
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print("change-dir: %d failed" % failed)
    return failed


def pe_file(subsystem, lfanew=0x80, early_pe=False, header=True):
    """A DOS stub pointing at a PE header whose optional header holds the
    subsystem; with early_pe a stray "PE" pair sits inside the stub."""
    data = bytearray(lfanew + 0x100)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, lfanew)
    if early_pe:
        data[0x40:0x42] = b"PE"
    if header:
        data[lfanew:lfanew + 4] = b"PE\0\0"
    struct.pack_into("<H", data, lfanew + 0x5C, subsystem)
    return bytes(data)


def flip_cases(kel):
    base = tempfile.mkdtemp(prefix="kel_flip_")
    failed = 0
    try:
        cases = [
            # name, bytes, expected outcome, expected file afterwards
            ("gui.exe", pe_file(2), "ok", pe_file(3)),
            ("console.exe", pe_file(3), "ok", pe_file(2)),
            ("early.exe", pe_file(2, early_pe=True), "ok", pe_file(3, early_pe=True)),
            ("native.exe", pe_file(1), "!invalid-data", pe_file(1)),
            ("none.exe", pe_file(2, header=False), "!invalid-data", pe_file(2, header=False)),
            ("short.exe", b"MZ", "!invalid-data", b"MZ"),
        ]
        # e_lfanew pointing past the end of the file
        beyond = bytearray(pe_file(2))
        struct.pack_into("<I", beyond, 0x3C, 0x7FFFFFF0)
        cases.append(("beyond.exe", bytes(beyond), "!invalid-data", bytes(beyond)))
        os.makedirs(os.path.join(base, "folder"))
        with open(os.path.join(base, "folder", "kel.exe"), "wb") as f:
            f.write(pe_file(3))
        lines = ["Kel []"] + EMIT_PRELUDE
        for name, data, _, _ in cases:
            with open(os.path.join(base, name), "wb") as f:
                f.write(data)
            lines.append("emit [also 'ok flip-exe-flag to file! %s]" % kel_text(base + "/" + name))
        # a folder: its kel.exe
        lines.append("emit [also 'ok flip-exe-flag to file! %s]" % kel_text(base + "/folder/"))
        p = run(kel, lines)
        got = p.stdout.splitlines()
        expected = [c[2] for c in cases] + ["ok"]
        if got != expected:
            failed += 1
            print("FAIL flip-exe-flag: got %r, expected %r (%s)" % (got, expected, p.stderr.strip()[:300]))
        for name, _, _, after in cases + [("folder/kel.exe", None, None, pe_file(2))]:
            with open(os.path.join(base, name), "rb") as f:
                if f.read() != after:
                    failed += 1
                    print("FAIL flip-exe-flag: %s is not as expected afterwards" % name)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print("flip-exe-flag: %d failed" % failed)
    return failed


def main():
    kel = sys.argv[1]
    failed = clean_path_cases(kel) + make_dir_cases(kel) + change_dir_cases(kel) + flip_cases(kel)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
