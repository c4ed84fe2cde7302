#!/usr/bin/python3
"""The `kel` process as a user meets it: the bytes it writes, the statuses it
ends with, and how it takes signals and script files it cannot read. Each
case starts the real executable; a signal is sent only after the script has
printed a line (or, for the reading phase, after the process has opened the
script), never after a fixed pause.

usage: process.py KEL_BINARY
KEL_BIG_TESTS=1 adds the cases that need about 2 GB of memory."""
import os
import resource
import signal
import subprocess
import sys
import tempfile
import time

KEL = None
ENV = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
failures = []
checked = 0


def check(name, got, want):
    global checked
    checked += 1
    if got != want:
        failures.append("%s:\n  got  %r\n  want %r" % (name, got, want))


def script(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def run(args, timeout=60, **kw):
    try:
        return subprocess.run([KEL] + args, capture_output=True, env=ENV, timeout=timeout, **kw)
    except subprocess.TimeoutExpired as e:  # the process was killed
        return subprocess.CompletedProcess(e.cmd, "hung", e.stdout or b"", e.stderr or b"")


def utf8_everywhere(folder):
    # Strings of each unit width (1: Latin-1 only, 2: the BMP, 4: beyond it)
    # leave the process as UTF-8: print, prin, a formed block, an error text.
    rows = [
        ('s: copy "abc" poke s 1 #"\xe9" print s', b"\xc3\xa9bc\n", b""),
        ('print form [\xe9]  prin "\xe9" print "x"', b"\xc3\xa9\n\xc3\xa9x\n", b""),
        ('print "\xe9\u20ac" prin "\u20ac"', b"\xc3\xa9\xe2\x82\xac\n\xe2\x82\xac", b""),
        ('print "\xe9\U0001F600"', b"\xc3\xa9\xf0\x9f\x98\x80\n", b""),
        ('do make error! "\xe9"', b"", b'*** User Error: "\xc3\xa9"\n'),
        ('do make error! "\xe9\u20ac"', b"", b'*** User Error: "\xc3\xa9\xe2\x82\xac"\n'),
        ('do make error! "\xe9\U0001F600"', b"", b'*** User Error: "\xc3\xa9\xf0\x9f\x98\x80"\n'),
    ]
    for source, out, err in rows:
        p = run([script(folder, "u.kel", ("Kel []\n" + source + "\n").encode("utf-8"))])
        check("output of " + source, p.stdout, out)
        check("error of " + source, p.stderr[: len(err)], err)


def reports(folder):
    rows = [
        # The arguments are formed into the report.
        (b"Kel [] make 5 1x2", b"*** Script Error: cannot MAKE/TO integer! from: 1x2\n*** Where: make\n"),
        # Quoted source shows control characters and bytes that are not
        # UTF-8 escaped: no ESC sequence reaches the terminal.
        (b"Kel [] x: 1 #\xff\x1b]0;title\x07 y\n",
         b"*** Syntax Error: (line 1) invalid issue at #^(FF)^[]0;title^G y\n"),
        (b"Kel [] print {a\x1b[31mb\xc3", b"*** Syntax Error: (line 1) invalid string at {a^[[31mb^(C3)\n"),
        # A script that replaced system/console still ends with its error's
        # report and status 1 (the console keeps the object it was booted with).
        (b"Kel [] system/console: context [size: 80x50] 1 / 0", b"*** Math Error: attempt to divide by zero\n"),
    ]
    for source, err in rows:
        p = run([script(folder, "r.kel", source)])
        check("status of %r" % source, p.returncode, 1)
        check("report of %r" % source, p.stderr[: len(err)], err)
    # A script that unsets or reuses a datatype's word ends as any other:
    # the console's own routines still check their arguments by the name.
    for source in (b"Kel [] unset 'logic! print 1", b"Kel [] string!: 5 block!: none print 1"):
        p = run([script(folder, "t.kel", source)])
        check("status of %r" % source, p.returncode, 0)
        check("output of %r" % source, p.stdout, b"1\n")
        check("errors of %r" % source, p.stderr, b"")
    # A NUL byte ends the script's text; the rest is never read.
    p = run([script(folder, "nul.kel", b"Kel [] print 1\x00print 2 1 +")])
    check("NUL ends the script", (p.returncode, p.stdout, p.stderr), (0, b"1\n", b""))


def refused_files(folder):
    fifo = os.path.join(folder, "fifo.kel")
    os.mkfifo(fifo)
    for path in ["/dev/zero", folder, fifo]:
        p = run([path], timeout=120)
        check("status for " + path, p.returncode, 1)
        first = p.stderr.split(b"\n")[0]
        check("message for " + path, first.endswith(b"(not a regular file)"), True)
        check("message for " + path + " names the file", path.encode() in first, True)
    # A script larger than the memory the process may take is refused cleanly
    # (a sparse file: no disk is used). Address-space limits and the
    # sanitizers' shadow memory do not mix, so an instrumented build skips it.
    if "ASAN_OPTIONS" not in os.environ:
        big = script(folder, "big.kel", b"Kel []")
        with open(big, "r+b") as f:
            f.truncate(1536 << 20)
        limit = 1100 << 20

        def cap():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        p = run([big], preexec_fn=cap)
        check("status when the script cannot be held", p.returncode, 1)
        check("message when the script cannot be held", p.stderr.split(b"\n")[0],
              b"*** Internal Error: not enough memory to hold the script")
        os.unlink(big)


def started(args):
    return subprocess.Popen([KEL] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)


def finish(p):
    try:
        out, err = p.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
        return "hung", out, err
    return p.returncode, out, err


def signals_while_running(folder):
    loop = script(folder, "loop.kel", b'Kel []\nprint "ready"\nforever []\n')
    # Calls alone, no loop: the interrupt is polled at calls as well.
    calls = script(folder, "calls.kel",
                   b'Kel []\nfib: func [n] [either n < 2 [n] [(fib n - 1) + (fib n - 2)]]\n'
                   b'print "ready"\nprint fib 60\n')
    for sig, status, err in [(signal.SIGINT, 130, b"(halted)\n"), (signal.SIGTERM, 143, b"")]:
        for name, path in [("loop", loop), ("recursion", calls)]:
            p = started([path])
            check("line before %s (%s)" % (sig.name, name), p.stdout.readline(), b"ready\n")
            p.send_signal(sig)
            check("%s while running a %s" % (sig.name, name), finish(p)[::2], (status, err))
    # A wake-up signal from outside must not end the signal waiter: the
    # SIGTERM after it still ends the script.
    p = started([loop])
    check("line before SIGUSR1", p.stdout.readline(), b"ready\n")
    p.send_signal(signal.SIGUSR1)
    p.send_signal(signal.SIGTERM)
    check("SIGTERM after a stray SIGUSR1", finish(p)[0], 143)
    # A script blocked in a system call (opening a pipe nobody writes) never
    # reaches a poll: SIGTERM still ends it, after a short grace.
    fifo = os.path.join(folder, "silent.fifo")
    os.mkfifo(fifo)
    blocked = script(folder, "blocked.kel", b'Kel []\nprint "ready"\nread %' + fifo.encode() + b'\n')
    p = started([blocked])
    check("line before SIGTERM (blocked)", p.stdout.readline(), b"ready\n")
    time.sleep(0.2)
    p.send_signal(signal.SIGTERM)
    check("SIGTERM while blocked in a system call", finish(p)[0], 143)
    os.unlink(fifo)


def signals_while_reading(folder):
    # A long script (one big string literal) takes a while to read and load;
    # the signal goes once the process has the script open.
    text = b"Kel []\nx: {" + b"abcdefgh" * (16 << 20) + b"}\n"
    path = script(folder, "long.kel", text)
    for sig, status in [(signal.SIGINT, 130), (signal.SIGTERM, 143)]:
        p = started([path])
        fds = "/proc/%d/fd" % p.pid
        seen = False
        while not seen and p.poll() is None:
            try:
                seen = any(os.readlink(os.path.join(fds, fd)) == path for fd in os.listdir(fds))
            except OSError:
                pass
        if not seen:
            failures.append("the script ended before it was seen open; make long.kel longer")
            p.communicate()
            continue
        p.send_signal(sig)
        check("%s while the script is read or loaded" % sig.name, finish(p)[0], status)
    os.unlink(path)


def long_strings(folder):
    # A 1-byte string stops below 2^31 units as a block stops at its limit.
    source = (b"Kel []\n"
              b"print mold reduce [try [make string! 2147483647] try [make block! 2147483647]]\n"
              b"s: append/dup copy \"\" \"x\" 2147483632\n"
              b"e: try [append s \"yz\"]\n"
              b"print [e/id length? s index? tail s]\n")
    p = run([script(folder, "long.kel", source)], timeout=600)
    check("long strings", p.stdout.split(b"\n")[-2], b"no-memory 2147483632 2147483633")
    check("make agrees", p.stdout.count(b"id: 'no-memory"), 2)


def waits_and_collections(folder):
    # wait sleeps at least as long as asked (a lower bound only: the machine
    # may be slow, never the other way).
    # Measured inside the script, so that a slow reader cannot shorten it; a
    # run across midnight says nothing.
    p = run([script(folder, "wait.kel", b"Kel []\nt: now/time/precise\nwait 0.2\nprint to float! now/time/precise - t\n")])
    took = float(p.stdout)
    check("wait 0.2 lasts", took >= 0.2 or took < 0, True)
    # A long wait, an infinite one included, still ends on an interrupt.
    for seconds in [b"100", b"1e300", b"1.#INF"]:
        p = started([script(folder, "long.kel", b'Kel []\nprint "ready"\nwait ' + seconds + b'\n')])
        check("line before wait " + seconds.decode(), p.stdout.readline(), b"ready\n")
        p.send_signal(signal.SIGINT)
        check("SIGINT during wait " + seconds.decode(), finish(p)[::2], (130, b"(halted)\n"))
    # recycle/off stops the collections until recycle/on; a plain recycle
    # gives back what was dropped. Only the shape of the figures is checked.
    mb = 1 << 20
    p = run([script(folder, "gc.kel", b"""Kel []
recycle
s0: stats
recycle/off
loop 100 [make block! 100000]
s1: stats
recycle/on
loop 100 [make block! 100000]
s2: stats
b: copy [] loop 64 [append/only b make block! 100000]
s3: stats
b: none
print [s0 s1 s2 s3 recycle]
""")])
    s0, s1, s2, s3, after = [float(x) for x in p.stdout.split()]
    check("garbage stays while off", s1 - s0 > 100 * mb, True)
    check("collections again once on", s2 < s1 - 100 * mb, True)
    # An instrumented build keeps stale copies of pointers in its larger
    # frames, which the collector's conservative stack scan must honour, so
    # there the dropped blocks may rightly stay.
    if "ASAN_OPTIONS" not in os.environ:
        check("recycle gives back dropped blocks", s3 - after > 80 * mb, True)


def main():
    global KEL
    KEL = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        utf8_everywhere(folder)
        reports(folder)
        refused_files(folder)
        signals_while_running(folder)
        signals_while_reading(folder)
        waits_and_collections(folder)
        if os.environ.get("KEL_BIG_TESTS"):
            long_strings(folder)
    for f in failures:
        print("FAILED " + f)
    print("%d passed, %d failed" % (checked - len(failures), len(failures)))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
