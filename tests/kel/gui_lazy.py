#!/usr/bin/python3
"""A boot that opens no window never opens the display.

DISPLAY names a listener on an ephemeral port of 127.0.0.1 (an X server's
TCP address, display = port - 6000): scripts that do nothing graphical must
run to their end without a single connection to it. The listener accepts
nothing, so a runtime that did connect would also hang or fail.

usage: gui_lazy.py KEL_BINARY"""
import os
import socket
import subprocess
import sys
import tempfile

# Kel source of each script -> what it prints on standard output.
CASES = [
    ("", ""),
    ("print 1 + 2", "3\n"),
    ("print type? system", "object\n"),
    ("print length? mold load {a [b] c}", "9\n"),
]
# Guards against a hang only.
RUN_DEADLINE = 120


def listener():
    """A TCP socket on 127.0.0.1 whose port has an X display number."""
    for port in range(6099, 6300):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            s.close()
            continue
        s.listen(8)
        s.setblocking(False)
        return s, port - 6000
    sys.exit("no free port for the listener")


def connected(s):
    try:
        conn, _ = s.accept()
    except BlockingIOError:
        return False
    conn.close()
    return True


def main():
    kel = sys.argv[1]
    sock, number = listener()
    env = dict(os.environ)
    env.pop("WAYLAND_DISPLAY", None)
    env["DISPLAY"] = "127.0.0.1:%d" % number
    passed = failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        for source, want in CASES:
            path = os.path.join(tmp, "lazy.kel")
            with open(path, "w") as f:
                f.write("Kel []\n" + source + "\n")
            got = subprocess.run([kel, path], env=env, capture_output=True, text=True,
                                 timeout=RUN_DEADLINE)
            problems = []
            if got.returncode != 0:
                problems.append("status %d, stderr %r" % (got.returncode, got.stderr))
            if got.stdout != want:
                problems.append("printed %r, want %r" % (got.stdout, want))
            if connected(sock):
                problems.append("connected to the display")
            if problems:
                failed += 1
                print("FAIL %r: %s" % (source, "; ".join(problems)))
            else:
                passed += 1
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
