#!/usr/bin/python3
"""Files read, written, listed, dated, deleted and renamed by `kel`, checked
with Python: the fixtures are made in a fresh temporary folder, one Kel script
(run there) prints one line per case, and the files the script wrote are read
back with open(p, 'rb').

Every value is printed in a form Python can build exactly: text as its code
points, binary as hex, blocks element by element, errors as category/id and
their first argument molded.

A full file system: the writes run in a small tmpfs where the test can
mount one (in a mount namespace of its own), else under a file-size limit,
which fails a write the same way after the file opened; the error names the
system's reason. size? is asked of a file its process may not read.

usage: files_io.py KEL_BINARY"""
import datetime
import errno
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile

MONTHS = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec".split()

HARNESS = r"""Kel []
enc: func [v [any-type!] /local r c] [
    switch/default type?/word :v [
        string! [r: copy "S" foreach c v [append append r " " to integer! c] r]
        file! [r: copy "F" foreach c v [append append r " " to integer! c] r]
        binary! [append copy "X" enbase/base v 16]
        block! [r: copy "B[" foreach c v [append append r enc :c ";"] append r "]"]
        none! ["N"]
        unset! ["U"]
    ] [mold :v]
]
show: func [code [block!] /local r] [
    either error! = type? set/any 'r try code [
        print append append append append copy "E " form r/type "/" form r/id append copy " " mold get/any in r 'arg1
    ] [print enc get/any 'r]
]
"""


UNSET = ("M", "U")  # what `write` answers


class F(str):
    """A file! value expected."""


def enc(v):
    if isinstance(v, F):
        return "F" + "".join(" %d" % ord(c) for c in v)
    if isinstance(v, str):
        return "S" + "".join(" %d" % ord(c) for c in v)
    if isinstance(v, bytes):
        return "X" + v.hex().upper()
    if isinstance(v, list):
        return "B[" + "".join(enc(x) + ";" for x in v) + "]"
    if v is None:
        return "N"
    if isinstance(v, tuple):  # ("M", molded text) or ("E", "cat/id", molded arg1)
        return v[1] if v[0] == "M" else "E %s %s" % (v[1], v[2])
    raise TypeError(v)


def kel_name(raw):
    """A name as Kel reads it: each byte that starts no well-formed sequence
    becomes U+DC00 + byte, as Python's surrogateescape does."""
    return F(raw.decode("utf-8", "surrogateescape"))


def date_mold(ns):
    """A file date as Kel molds it: UTC, milliseconds without trailing zeros."""
    t = datetime.datetime.fromtimestamp(ns // 10**9, datetime.timezone.utc)
    ms = (ns // 10**6) % 1000
    text = "%d-%s-%d/%d:%02d:%02d" % (t.day, MONTHS[t.month - 1], t.year, t.hour, t.minute, t.second)
    return text + ("." + ("%03d" % ms).rstrip("0") if ms else "")


def make(folder, name, data):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    kel = os.path.abspath(sys.argv[1])
    folder = tempfile.mkdtemp(prefix="kel-files-")
    try:
        ok = run(kel, folder)
        ok = full_disk(kel, folder) and ok
        ok = unreadable_size(kel, folder) and ok
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    sys.exit(0 if ok else 1)


WHY = r"""
why: func [code [block!] /local r] [
    either error? set/any 'r try code [
        print rejoin ["E " r/type "/" r/id " " mold r/arg1 " " enc r/arg2]
    ] [print enc get/any 'r]
]
"""


def full_disk(kel, folder):
    """Writes that fail once the file is open: 1 MB of text, of binary, and a
    PNG of noise, into 256 KB of room."""
    room = os.path.join(folder, "room")
    os.mkdir(room)
    with open(os.path.join(folder, "noise.bin"), "wb") as f:
        f.write(os.urandom(750000))
    at = lambda name: "%" + os.path.join(room, name)
    cases = [
        ('write %s head insert/dup copy "" "a" 1000000' % at("text.txt"), at("text.txt")),
        ("write %s head insert/dup copy #{} #{00} 1000000" % at("bytes.bin"), at("bytes.bin")),
        ("save %s make image! reduce [500x500 read/binary %s]" % (at("noise.png"), "%" + os.path.join(folder, "noise.bin")),
         at("noise.png")),
        ('write/lines %s append/dup copy [] "aaaa" 250000' % at("lines.txt"), at("lines.txt")),
    ]
    script = os.path.join(folder, "full.kel")
    with open(script, "w", encoding="utf-8") as f:
        f.write(HARNESS + WHY + "".join("why [%s]\n" % expr for expr, _ in cases))
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    mount = ["unshare", "-rm", "sh", "-c", 'mount -t tmpfs -o size=256k tmpfs "$0" && cd "$0" || exit 99; exec "$@"', room,
             kel, script]
    p = subprocess.run(mount, cwd=room, capture_output=True, env=env, timeout=600)
    reason = os.strerror(errno.ENOSPC)
    if p.returncode == 99 or (p.returncode != 0 and not p.stdout):
        # No mount here: a file-size limit in the child, with the signal it
        # would send ignored, fails the write with EFBIG instead.
        def limited():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (256 * 1024, 256 * 1024))
        p = subprocess.run([kel, script], cwd=room, capture_output=True, env=env, timeout=600, preexec_fn=limited)
        reason = os.strerror(errno.EFBIG)
    out = p.stdout.decode("utf-8", "replace").splitlines()
    failures = 0
    if p.returncode != 0 or len(out) != len(cases):
        print("full disk: kel exited %d after %d of %d lines\n%s" % (
            p.returncode, len(out), len(cases), p.stderr.decode("utf-8", "replace")))
        failures += 1
    for (expr, name), got in zip(cases, out):
        want = "E access/cannot-write %s %s" % (name, enc(reason))
        if got != want:
            print("FAIL %s (full disk)\n  want %s\n  got  %s" % (expr, want, got))
            failures += 1
    print("%d full-disk cases, %d failures" % (len(cases), failures))
    return failures == 0


def unreadable_size(kel, folder):
    """size? of a file its process may not read: stat needs no read right.
    Run as nobody when the test runs as root, who may read anything."""
    locked = os.path.join(folder, "locked")
    make(folder, "locked", b"12345")
    os.chmod(locked, 0)
    os.chmod(folder, 0o755)
    script = os.path.join(folder, "locked.kel")
    with open(script, "w", encoding="utf-8") as f:
        f.write("Kel []\nprint mold reduce [size? %locked error? try [read %locked]]\n")
    os.chmod(script, 0o644)

    def as_nobody():
        if os.geteuid() == 0:
            os.setgid(65534)
            os.setuid(65534)
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    p = subprocess.run([kel, script], cwd=folder, capture_output=True, env=env, timeout=600, preexec_fn=as_nobody)
    got = p.stdout.decode("utf-8", "replace").strip()
    if got != "[5 true]":
        print("FAIL size? of an unreadable file\n  want [5 true]\n  got  %s %s" % (
            got, p.stderr.decode("utf-8", "replace")))
        return False
    return True


def run(kel, folder):
    j = lambda *p: os.path.join(folder, *p)
    # --- fixtures -------------------------------------------------------------------
    make(folder, "crlf.txt", b"a\r\nb\r\n")
    make(folder, "lone-cr.txt", b"a\rb\r")
    make(folder, "no-lf.txt", b"a\nlast")
    make(folder, "empty-last.txt", b"a\n\n")
    make(folder, "abc.txt", b"abcdef")
    make(folder, "empty.txt", b"")
    make(folder, "latin1.txt", b"caf\xe9\n")
    make(folder, "cut.txt", b"ab\xc3")
    make(folder, "bom.txt", b"\xef\xbb\xbfab")
    make(folder, "marks.txt", b"\xef\xbb\xbfa\n\xef\xbb\xbfb\n")
    make(folder, "utf8.txt", "é中😀\n".encode())
    # Line ends and wide characters at every offset of an eight-byte block,
    # between runs of ASCII long enough to be taken a block at a time.
    runs = "".join("x" * k + sep for k in range(20) for sep in ("\r\n", "\r", "é", "\x7f", "€", "😀"))
    make(folder, "runs.txt", runs.encode())
    runs_read = runs.replace("\r\n", "\n").replace("\r", "\n")
    os.mkdir(j("list"))
    raw_names = [b"a b.txt", "é.txt".encode(), "中".encode(), b"bad\xff.txt", b"bad\xc3", b"a", b"a.txt", b"z"]
    for n in raw_names:
        make(os.fsencode(folder), os.path.join(b"list", n), b"x")
    for d in [b"sub", b"a-dir", "dé".encode()]:
        os.mkdir(os.path.join(os.fsencode(folder), b"list", d))
    make(folder, "list/sub/inner", b"")
    os.symlink("sub", j("list", "link-to-sub"))
    os.mkdir(j("empty-dir"))
    os.mkdir(j("empty-dir2"))
    os.mkdir(j("full-dir"))
    make(folder, "full-dir/x", b"")
    for n in ["del.txt", "ren-a.txt", "ren-b.txt", "ren-c.txt"]:
        make(folder, n, n.encode())
    os.mkdir(j("ren-dir"))
    make(folder, "w-append", b"xy")
    make(folder, "w-seek", b"abcdef")
    make(folder, "w-negative", b"keep")
    make(folder, "w-trunc", b"a long old content")
    make(folder, "dated-1", b"")
    os.utime(j("dated-1"), ns=(1700000000120999999, 1700000000120999999))
    make(folder, "dated-2", b"")
    os.utime(j("dated-2"), ns=(946684799000000000, 946684799000000000))
    make(folder, "dated-3", b"now")
    with open(j("sparse"), "wb") as f:
        os.truncate(f.fileno(), 3 * 1024**3)

    listed = []
    for n in sorted(os.listdir(os.fsencode(j("list")))):
        listed.append(F(kel_name(n) + ("/" if os.path.isdir(os.path.join(os.fsencode(j("list")), n)) else "")))

    E = lambda cat_id, arg="none": ("E", cat_id, arg)
    M = lambda text: ("M", text)
    # (Kel expression, expected value) in one table; the writes are checked
    # again from Python after the run.
    cases = [
        # reading
        ("read %crlf.txt", "a\nb\n"),
        ("read/lines %crlf.txt", ["a", "b"]),
        ("read/binary %crlf.txt", b"a\r\nb\r\n"),
        ("read %lone-cr.txt", "a\nb\n"),
        ("read/lines %lone-cr.txt", ["a\rb\r"]),
        ("read/lines %no-lf.txt", ["a", "last"]),
        ("read/lines %empty-last.txt", ["a", ""]),
        ("read/part %abc.txt 0", ""),
        ("read/part/binary %abc.txt 0", b""),
        ("read/part/lines %abc.txt 0", []),
        ("read/part %abc.txt 3", "abc"),
        ("read/part %abc.txt 3.9", "abc"),
        ("read/part %abc.txt 100", "abcdef"),
        ("read/seek %abc.txt 2", "cdef"),
        ("read/seek/part %abc.txt 2 3", "cde"),
        ("read/seek %abc.txt 6", ""),
        ("read/seek %abc.txt 100", ""),
        ("read/seek/binary %abc.txt 100", b""),
        ("read/seek/lines %abc.txt 100", []),
        ("read/binary %latin1.txt", b"caf\xe9\n"),
        ("read %latin1.txt", E("access/invalid-utf8", "#{E90A}")),
        ("read/lines %latin1.txt", E("access/invalid-utf8", "#{E9}")),
        ("read %cut.txt", E("access/invalid-utf8", "#{C3}")),
        ("read/binary %cut.txt", b"ab\xc3"),
        ("read %bom.txt", "ab"),
        # only the file's own mark is dropped: U+FEFF beginning a later line is text
        ("read/lines %marks.txt", ["a", "\ufeffb"]),
        ("read %marks.txt", "a\n\ufeffb\n"),
        ("read %utf8.txt", "é中😀\n"),
        ("read %runs.txt", runs_read),
        ("to binary! read %runs.txt", runs_read.encode()),
        ("copy/part to binary! read %runs.txt 101", runs_read.encode()[:101]),
        ("read/lines %utf8.txt", ["é中😀"]),
        ("read %empty.txt", ""),
        ("read/binary %empty.txt", b""),
        ("read/lines %empty.txt", []),
        ("read/info %crlf.txt", "a\nb\n"),
        ("read %missing.txt", E("access/cannot-open", "%missing.txt")),
        ("read %list", E("access/cannot-open", "%list")),
        ("read %missing/", E("access/cannot-open", "%missing/")),
        ("read/part %abc.txt 'x", E("script/expect-arg", "read")),
        ("b: read/lines %/proc/self/status reduce [copy/part pick b 1 5 copy/part pick b length? b 27]",
         ["Name:", "nonvoluntary_ctxt_switches:"]),
        ("s: read %/proc/self/status copy/part skip tail s -1 1", "\n"),
        # listing
        ("read %list/", listed),
        ("read %list/.", listed),
        ("read %list/sub/", [F("inner")]),
        # a name that is not UTF-8 writes out as the bytes it was
        ("to binary! pick read %%list/ %d" % (listed.index(kel_name(b"bad\xff.txt")) + 1), b"bad\xff.txt"),
        ("write %%w-name pick read %%list/ %d read/binary %%w-name" % (listed.index(kel_name(b"bad\xc3")) + 1),
         b"bad\xc3"),
        ("read %empty-dir/", []),
        # writing (the files are checked below)
        ('write %w-plain "a^/b^Mc"', UNSET),
        ('write %w-append "x" write/append %w-append "z"', UNSET),
        ('write/seek %w-seek "XY" 2', UNSET),
        ('write/lines %w-lines ["a" 1 #{41} %f "é"]', UNSET),
        ('write/lines %w-line "one"', UNSET),
        ('write/part %w-negative "new" -1', UNSET),
        ('write/part %w-part "héllo" 2', UNSET),
        ('write/part %w-part-bin #{01020304} 3', UNSET),
        ("write %w-binary #{00FF0A0D}", UNSET),
        ('write %w-block [1 "a" [b]]', UNSET),
        ('write %w-trunc "new"', UNSET),
        ('write/part %w-x "x" 1.5', E("script/invalid-refine-arg", "part")),
        ('write %missing-dir/x "x"', E("access/cannot-open", "%missing-dir/x")),
        ('write %list/ "x"', E("access/cannot-open", "%list/")),
        ('write/allow %w-x "x" []', E("internal/not-done")),
        ('write %w-rw "é" read %w-rw', "é"),
        # delete and rename
        ("reduce [delete %del.txt delete %del.txt]", [M("true"), M("false")]),
        ("delete %empty-dir2", M("false")),
        ("delete %empty-dir2/", M("true")),
        ("delete %full-dir/", M("false")),
        ("rename %ren-a.txt %ren-b.txt", M("false")),
        ("rename %ren-c.txt %ren-d.txt", M("true")),
        ("rename %ren-dir/ %ren-dir2/", M("true")),
        ("rename %missing.txt %x.txt", M("false")),
        # dates
        ("query %dated-1", M(date_mold(1700000000120999999))),
        ("query %dated-2", M(date_mold(946684799000000000))),
        ("query %dated-3", M(date_mold(os.stat(j("dated-3")).st_mtime_ns))),
        ("query %missing.txt", None),
        ("query %dated-1/", None),
        ("type? query %list/", M("date!")),
        # size? and to-local-file
        ("size? %abc.txt", M("6")),
        ("size? %empty.txt", M("0")),
        ("size? %sparse", M("3221225472.0")),
        ("size? %list/", None),
        ("size? %list", None),
        ("size? %missing.txt", None),
        ("to-local-file/full %a/b", os.path.realpath(folder) + "/a/b"),  # kel runs in the folder
        ("to-local-file/full %/x/y", "/x/y"),
        ('to-local-file "a/b"', "a/b"),
    ]

    script = HARNESS + "".join("show [%s]\n" % expr for expr, _ in cases)
    with open(j("cases.kel"), "w", encoding="utf-8") as f:
        f.write(script)
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    p = subprocess.run([kel, "cases.kel"], cwd=folder, capture_output=True, env=env, timeout=600)
    out = p.stdout.decode("utf-8", "replace").splitlines()
    failures = 0
    if p.returncode != 0 or len(out) != len(cases):
        print("kel exited %d after %d of %d lines\n%s" % (p.returncode, len(out), len(cases),
                                                         p.stderr.decode("utf-8", "replace")))
        failures += 1
    for (expr, want), got in zip(cases, out):
        if enc(want) != got:
            print("FAIL %s\n  want %s\n  got  %s" % (expr, enc(want), got))
            failures += 1

    # the files as written, and the fixtures delete and rename left
    def content(name):
        try:
            with open(j(name), "rb") as f:
                return f.read()
        except OSError:
            return None

    checks = [
        ("w-plain", content("w-plain") == b"a\nb\rc"),
        ("w-append", content("w-append") == b"xz"),
        ("w-seek", content("w-seek") == b"abXYef"),
        ("w-lines", content("w-lines") == "a\n1\nA\nf\né\n".encode()),
        ("w-line", content("w-line") == b"one\n"),
        ("w-negative", content("w-negative") == b"keep"),
        ("w-part", content("w-part") == "hé".encode()),
        ("w-part-bin", content("w-part-bin") == b"\x01\x02\x03"),
        ("w-binary", content("w-binary") == b"\x00\xff\n\r"),
        ("w-block", content("w-block") == b"1 a b"),
        ("w-trunc", content("w-trunc") == b"new"),
        ("w-x not made", not os.path.exists(j("w-x"))),
        ("del.txt gone", not os.path.exists(j("del.txt"))),
        ("empty-dir2 gone", not os.path.exists(j("empty-dir2"))),
        ("full-dir kept", os.path.exists(j("full-dir", "x"))),
        ("rename refused: both intact", content("ren-a.txt") == b"ren-a.txt" and content("ren-b.txt") == b"ren-b.txt"),
        ("renamed", content("ren-d.txt") == b"ren-c.txt" and not os.path.exists(j("ren-c.txt"))),
        ("renamed dir", os.path.isdir(j("ren-dir2")) and not os.path.exists(j("ren-dir"))),
    ]
    for name, good in checks:
        if not good:
            print("FAIL file check: %s" % name)
            failures += 1
    print("%d cases, %d file checks, %d failures" % (len(cases), len(checks), failures))
    return failures == 0


if __name__ == "__main__":
    main()
