#!/usr/bin/env python3
# Text mode on a terminal as a person meets it: keystrokes written to a
# pseudo-terminal of 100x30 and the screen read back. Line editing and the
# history (the console's block the one truth), hidden input, the end of
# input, interrupts at the prompt and in a command with the terminal's modes
# given back, the console size, Tab completion and a completion that fails,
# the terminal title; and standard input from a pipe, which keeps the plain
# line reading.
import os
import re
import select
import signal
import struct
import subprocess
import sys
import termios
import time
import fcntl

KEL = os.path.abspath(sys.argv[1])
ENV = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
ENV["TERM"] = "xterm"
failures = 0
PROMPT = b">> "


def check(what, ok, got):
    global failures
    if not ok:
        failures += 1
        print("FAILED %s:\n  got %r" % (what, got))


class Session:
    def __init__(self, stdin_pipe=False):
        self.master, self.slave = os.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
        self.modes = termios.tcgetattr(self.slave)
        self.p = subprocess.Popen([KEL], stdin=subprocess.PIPE if stdin_pipe else self.slave, stdout=self.slave,
                                  stderr=self.slave, env=ENV, start_new_session=True)
        self.screen = b""
        self.matched = 0   # where the last wait's pattern ended
        self.answered = 0  # how much of the output the waits have answered

    # Reads until `pattern` (bytes or compiled regex) shows after the last
    # match, or the time runs out; answers the output read since the last
    # wait answered. A prompt that arrived with a result is found at once by
    # the next wait, and no output is answered twice.
    def wait(self, pattern=PROMPT, timeout=120):
        end = time.time() + timeout
        while True:
            new = self.screen[self.matched:]
            if isinstance(pattern, re.Pattern):
                m = pattern.search(new)
                stop = m.end() if m else -1
            else:
                i = new.find(pattern)
                stop = i + len(pattern) if i >= 0 else -1
            if stop >= 0:
                self.matched += stop
                return self.take()
            if time.time() >= end:
                break
            r, _, _ = select.select([self.master], [], [], 0.05)
            if r:
                try:
                    data = os.read(self.master, 4096)
                except OSError:
                    break
                if not data:
                    break
                self.screen += data
        self.matched = len(self.screen)
        return self.take()

    def take(self):
        out = self.screen[self.answered:]
        self.answered = len(self.screen)
        return out

    def type(self, keys, pattern=PROMPT):
        os.write(self.master, keys)
        return self.wait(pattern)

    def end(self):
        try:
            return self.p.wait(timeout=120)
        except subprocess.TimeoutExpired:
            self.p.kill()
            return "hung"


def cooked(out):
    return out.replace(b"\r\n", b"\n")


s = Session()
s.wait()
# editing: Left, Backspace and a typed character
out = s.type(b"1 + 23\x1b[D\x7f4\r", b"== ")
out += s.wait()
check("edited line", b"== 44\r\n>> " in out, out)
# Up recalls the line, Enter runs it; the same line is not entered twice
out = s.type(b"\x1b[A\r", b"== 44")
out += s.wait()
check("Up recalls", b"== 44" in out, out)
out = s.type(b"length? system/console/history\r", b"== ")
out += s.wait()
check("entered once", b"== 2\r\n" in out, out)
# a /history block passed by a script is the one walked
out = s.type(b'h: ["from-h"] ask/history "q? " h\r', b"\r\nq? ")
out = s.type(b"\x1b[A\r", b"== ")
out += s.wait()
check("history block", b'== "from-h"' in out, out)
# hidden input: no echo, no history entry
s.type(b'ask/hide "pw: "\r', b"\r\npw: ")  # the question, not its echo
out = s.type(b"secret\r", b"== ")
out += s.wait()
check("hidden no echo", b"secret" not in out.split(b"==")[0] and b'== "secret"' in out, out)
out = s.type(b'find system/console/history "secret"\r', b"== ")
out += s.wait()
check("hidden not in history", b"== none" in out, out)
# the size of the terminal, and the result cut to it
out = s.type(b"system/console/size\r", b"== ")
out += s.wait()
check("size", b"== 100x30" in out, out)
out = s.type(b'append/dup copy "" "x" 200\r', b"== ")
out += s.wait()
check("cut at 93", b"== {" + b"x" * 92 + b"...\r\n" in out, out)
# Tab: the candidates under the line and the line again
out = s.type(b"pri\t", re.compile(rb"prin print[\s\S]*pri"))
check("Tab candidates", re.search(rb"pri\r\n>> prin print\r\n[\s\S]*>> prin", out) is not None, out)
s.type(b"\x15")  # the line emptied
# Tab completes a unique member; Enter runs the completed line
out = s.type(b"system/opt\t\r", b"== ")
out += s.wait()
check("Tab member", b"== make object!" in out, out)
# a completion that fails: its error, the prompt back, the terminal usable
s.type(b"kel-complete-ctx/complete-input: func [s c] [1 / 0]\r")
out = s.type(b"pri\t", b"attempt to divide by zero")
check("failed completion", b"*** Math Error: attempt to divide by zero" in out, out)
out = s.type(b"1 + 2\r", b"== 3")
check("usable after", b"== 3" in out, out)
s.wait()
# SIGINT during an evaluation halts it (sent once the evaluation has shown
# that it runs: under load the echo of the line can come long before)
s.type(b'print "going" forever []\r', b"going\r\n")
time.sleep(0.1)
s.p.send_signal(signal.SIGINT)
out = s.wait()
check("halted", b"(halted)" in out, out)
# the terminal title
out = s.type(b'system/console/init "x"\r')
check("title", b"\x1b]0;x\x07" in out, out)
# the result line and the prompt after it
RESULT = re.compile(rb"== [^\n]*\n>> ")
# keys of the input line: each row types keys after a fresh prompt and
# expects the result line that Enter gives
for what, keys, want in [
    ("Ctrl+K empties the whole line", b'"foo bar"\x1b[D\x1b[D\x0b"k"\r', b'== "k"'),
    ("Ctrl+Left before the last word", b'"foo bar"\x1b[1;5Dz\r', b'== "foo zbar"'),
    ("Ctrl+Left twice", b'"foo bar"\x1b[1;5D\x1b[1;5Dz\r', b'== "zfoo bar"'),
    ("Ctrl+Right after the next word", b'"foo bar"\x01\x1b[1;5C\x1b[1;5Cz\r', b'== "foo barz"'),
    ("rxvt's Ctrl+Left", b'"foo bar"\x1bOdz\r', b'== "foo zbar"'),
    ("a word stops at a bracket", b'"x: [abc"\x1b[1;5D\x1b[1;5Dz\r', b'== "zx: [abc"'),
    ("words of UTF-8 text", b'"a\xc3\xa9b c"\x1b[1;5D\x1b[1;5Dz\r', b'== "za\xc3\xa9b c"'),
    ("Ctrl+H deletes the word before", b'"foo bar"\x08\x08"\r', b'== ""'),
    ("Ctrl+H over spaces only", b'  \x08\x08"k"\r', b'== "k"'),
    ("Ctrl+Delete deletes the word after", b'"foo bar"\x01\x1b[C\x1b[3;5~\r', b'== " bar"'),
    ("Backspace stays one character", b'1 + 2\x7f3\r', b'== 4'),
    # keys with nothing to do in a terminal line insert nothing of their sequences
    ("Insert", b'"ab\x1b[2~c"\r', b'== "abc"'),
    ("Shift+Insert", b'"ab\x1b[2;2~c"\r', b'== "abc"'),
    ("Shift+Delete", b'"ab\x1b[3;2~c"\r', b'== "abc"'),
    ("F1", b'"ab\x1bOPc"\r', b'== "abc"'),
    ("F5", b'"ab\x1b[15~c"\r', b'== "abc"'),
    ("F12", b'"ab\x1b[24~c"\r', b'== "abc"'),
    ("Ctrl+F12", b'"ab\x1b[24;5~c"\r', b'== "abc"'),
    ("Page Up", b'"ab\x1b[5~c"\r', b'== "abc"'),
    ("Ctrl+Up", b'"ab\x1b[1;5Ac"\r', b'== "abc"'),
    ("Linux console F1", b'"ab\x1b[[Ac"\r', b'== "abc"'),
    ("Shift+Left moves the caret", b'"ab"\x1b[1;2D\x1b[1;2Dx\r', b'== "axb"'),
    ("Shift+Home and Shift+End", b'"ab"\x1b[1;2H\x1b[1;2F\x1b[D\x1b[1;2H\x1b[Cx\r', b'== "xab"'),
    ("Ctrl+Shift+Left by words", b'"ab cd"\x1b[1;6Dx\r', b'== "ab xcd"'),
]:
    out = s.type(keys, RESULT)
    check(what, want + b"\r\n>> " in out, out)
# Escape alone cancels: the gathered lines are dropped at the prompt, and
# ask answers the text with the Escape character after it; the arrow keys,
# which begin with the same byte, still move the caret
out = s.type(b"[1 2\r", b"[    ")
out = s.type(b"3 4\x1b", b">> ")
check("Escape at the prompt", out.endswith(b"3 4\r\n(escape)\r\n>> "), out)
s.type(b'ask "q? "\r', b"q? ")
out = s.type(b"ab\x1b", b">> ")
check("Escape in ask", out.endswith(b'ab\r\n== "ab^["\r\n>> '), out)
out = s.type(b'"ab"\x1b[D\x1b[Dx\r', RESULT)
check("arrows after Escape", b'== "axb"\r\n>> ' in out, out)
# hidden input shows a "*" for each character; Backspace takes back one
# (a whole UTF-8 character) and never reaches into the question
s.type(b'ask/hide "pw: "\r', b"\r\npw: ")
out = s.type(b"ab\x7fc\xc3\xa9\x7f\x7f\x7f\x7fd\r", RESULT)
check("hidden stars", out.startswith(b"**\x08 \x08**\x08 \x08\x08 \x08\x08 \x08*\r\n") and b'== "d"' in out, out)
s.type(b'ask/hide "pw: "\r', b"\r\npw: ")
out = s.type(b"xy\x15\xc3\xa9z\r", RESULT)
check("hidden Ctrl+U", b'== "\xc3\xa9z"' in out and b"\xc3\xa9" not in out.split(b"==")[0], out)
# a session whose script removed system/console still edits and recalls lines
s.type(b'system/console: none ask "q? "\r', b"\r\nq? ")
out = s.type(b"yes\r", RESULT)
check("ask without system/console", b'== "yes"\r\n>> ' in out, out)
out = s.type(b"\x1b[A\r", RESULT)  # the answer, evaluated: the word yes
check("history without system/console", b'== true\r\n>> ' in out, out)
# Ctrl-D at an empty prompt quits with 0
os.write(s.master, b"\x04")
status = s.end()
check("Ctrl-D", status == 0, (status, s.screen[-80:]))

# SIGINT at the prompt ends with 0 and gives the terminal's modes back
s = Session()
s.wait()
s.type(b"1\r")
s.p.send_signal(signal.SIGINT)
status = s.end()
check("SIGINT at the prompt", status == 0, status)
check("modes restored", termios.tcgetattr(s.slave) == s.modes, termios.tcgetattr(s.slave))

# standard input a pipe, standard output a terminal: plain reading
s = Session(stdin_pipe=True)
s.p.stdin.write(b"1 + 2\nsystem/console/init {x}\n")
s.p.stdin.close()
status = s.end()
out = s.wait(b"never", 1)
check("pipe input", b"== 3" in out and b"\x1b[" not in out and status == 0, out)

# into a pipe the title writes nothing
p = subprocess.run([KEL], input=b'system/console/init "x"\n', capture_output=True, env=ENV, timeout=60)
check("no title into a pipe", b"\x1b" not in p.stdout, p.stdout)

# standard input a terminal, standard output a pipe: hidden input is still
# not echoed on the terminal
def read_until(fd, want, timeout=120):
    got = b""
    end = time.time() + timeout
    while want not in got and time.time() < end:
        if select.select([fd], [], [], 0.05)[0]:
            try:
                data = os.read(fd, 4096)
            except OSError:
                break
            if not data:
                break
            got += data
    return got


m, sl = os.openpty()
p = subprocess.Popen([KEL], stdin=sl, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV, start_new_session=True)
read_until(p.stdout.fileno(), b">> ")
os.write(m, b'x: ask/hide "pw: "\r')
out = read_until(p.stdout.fileno(), b"pw: ")
read_until(m, b"never", 0.3)  # the echo of the command line
os.write(m, b"secret\r")
out += read_until(p.stdout.fileno(), b">> ")
echo = read_until(m, b"never", 0.3)
os.write(m, b"print x\r")
out += read_until(p.stdout.fileno(), b"\n>> ")
os.write(m, b"\x04")
p.communicate(timeout=60)
os.close(sl)
os.close(m)
check("hidden input into a pipe", b"secret" not in echo and b">> secret\n" in out, (echo, out))

print("%d failed" % failures)
sys.exit(1 if failures else 0)
